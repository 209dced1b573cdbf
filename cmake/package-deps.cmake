# SPDX-License-Identifier: MIT
# Included by cpack once per generator, when the library has been built:
# asks dpkg-shlibdeps which libc6 the shared object needs, as Debian's own
# tools would for the package's Depends field.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

find_program(ORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT ORVA_DPKG_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is needed to "
                      "build the Debian packages")
endif()

# dpkg-shlibdeps insists on running in a source tree with debian/control.
set(work "${CPACK_PACKAGE_DIRECTORY}/_shlibdeps")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/debian")
file(TOUCH "${work}/debian/control")
execute_process(
  COMMAND ${ORVA_DPKG_SHLIBDEPS} -O "${ORVA_LIBRARY_FILE}"
  WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE substvars
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
file(REMOVE_RECURSE "${work}")
if(NOT result EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps failed for ${ORVA_LIBRARY_FILE}: "
                      "${errors}")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
