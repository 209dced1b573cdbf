# SPDX-License-Identifier: MIT
# Run by cpack after it has made the packages: CPack writes no Multi-Arch
# or Built-Using field, so each package is taken apart and built again by
# dpkg-deb with the fields added. ORVA_MULTI_ARCH and ORVA_BUILT_USING hold
# package=value pairs.
find_program(ORVA_DPKG_DEB dpkg-deb REQUIRED)

# The value that `pairs` gives `package`, or "" when it names none.
function(value_for package pairs out)
  set(value "")
  foreach(pair IN LISTS pairs)
    if(pair MATCHES "^${package}=(.+)$")
      set(value "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${ORVA_DPKG_DEB} --field ${deb} Package
                  OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  value_for(${package} "${ORVA_MULTI_ARCH}" value)
  value_for(${package} "${ORVA_BUILT_USING}" built_using)
  if(NOT value AND NOT built_using)
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${ORVA_DPKG_DEB} --raw-extract ${deb} ${tree}
                  COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  if(value)
    # Beside Architecture, the field it qualifies.
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)"
           "\\1\\2Multi-Arch: ${value}\n" control "${control}")
    if(NOT control MATCHES "\nMulti-Arch: ")
      message(FATAL_ERROR "${deb}: no Architecture field to follow")
    endif()
  endif()
  if(built_using)
    string(REGEX REPLACE "\nDescription: "
           "\nBuilt-Using: ${built_using}\nDescription: " control
           "${control}")
  endif()
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND ${ORVA_DPKG_DEB} --root-owner-group -Zxz
                          --build ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
