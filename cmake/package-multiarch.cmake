# SPDX-License-Identifier: MIT
# Run by cpack after it has made the packages: CPack writes no Multi-Arch
# field, so each package is taken apart and built again by dpkg-deb with
# the field added. ORVA_MULTI_ARCH holds package=value pairs.
find_program(ORVA_DPKG_DEB dpkg-deb REQUIRED)

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${ORVA_DPKG_DEB} --field ${deb} Package
                  OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  set(value)
  foreach(pair IN LISTS ORVA_MULTI_ARCH)
    if(pair MATCHES "^${package}=(.+)$")
      set(value ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT value)
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${ORVA_DPKG_DEB} --raw-extract ${deb} ${tree}
                  COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  # Beside Architecture, the field it qualifies.
  string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)"
         "\\1\\2Multi-Arch: ${value}\n" control "${control}")
  if(NOT control MATCHES "\nMulti-Arch: ")
    message(FATAL_ERROR "${deb}: no Architecture field to follow")
  endif()
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND ${ORVA_DPKG_DEB} --root-owner-group -Zxz
                          --build ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
