# SPDX-License-Identifier: MIT
# Included by cpack once per generator, when the library has been built:
# asks dpkg-shlibdeps which libc6 the shared object needs, as Debian's own
# tools would for the package's Depends field, and has dpkg-gensymbols
# write the symbols file, checking the exports against the listed ones.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# The packages install under /usr whatever the build was configured for;
# a build for another prefix would put the library outside the multiarch
# directory and give the launcher a RUNPATH.
if(NOT ORVA_INSTALL_PREFIX STREQUAL "/usr" OR
   (ORVA_MULTIARCH AND NOT ORVA_INSTALL_LIBDIR STREQUAL "lib/${ORVA_MULTIARCH}"))
  message(FATAL_ERROR "The Debian packages need a build configured with "
    "the prefix /usr and the library directory lib/${ORVA_MULTIARCH}, not "
    "${ORVA_INSTALL_PREFIX} and ${ORVA_INSTALL_LIBDIR}; make them with "
    "`cmake --workflow --preset deb`.")
endif()

foreach(tool dpkg-shlibdeps dpkg-gensymbols)
  string(MAKE_C_IDENTIFIER "ORVA_${tool}" var)
  find_program(${var} ${tool})
  if(NOT ${var})
    message(FATAL_ERROR "${tool} (package dpkg-dev) is needed to build the "
                        "Debian packages")
  endif()
endforeach()

# Both tools insist on running in a source tree with debian/control.
set(work "${CPACK_PACKAGE_DIRECTORY}/_shlibdeps")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/debian")
file(TOUCH "${work}/debian/control")
execute_process(
  COMMAND ${ORVA_dpkg_shlibdeps} -O "${ORVA_LIBRARY_FILE}"
  WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE substvars
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
  file(REMOVE_RECURSE "${work}")
  message(FATAL_ERROR "dpkg-shlibdeps failed for ${ORVA_LIBRARY_FILE}: "
                      "${errors}")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")

# -c4 fails on any difference, a symbol gone or a new one alike.
file(REMOVE "${ORVA_SYMBOLS_FILE}")
execute_process(
  COMMAND ${ORVA_dpkg_gensymbols} -c4 -pliborva0 -v${ORVA_DEB_VERSION}
          -P${work} -e${ORVA_LIBRARY_FILE} -I${ORVA_SYMBOLS_TEMPLATE}
          -O${ORVA_SYMBOLS_FILE}
  WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE diff
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
file(REMOVE_RECURSE "${work}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The library's exports differ from "
    "${ORVA_SYMBOLS_TEMPLATE}; list a new function there with the version "
    "it first appears in:\n${errors}${diff}")
endif()
