# SPDX-License-Identifier: MIT
# Debian packages, built by `cmake --workflow --preset deb`, which
# configures for /usr so that the library lands in the multiarch directory:
#   liborva0     the shared object; named after its soname so that a future
#                liborva1 can be installed beside it
#   orva-init    the launcher and its manual page; a separate package because
#                a library package must not carry files whose names do not
#                change with the soname
#   liborva-dev  header, link-time symlink, pkg-config file, CMake package,
#                the library's manual pages

# example.org is reserved for examples, so nobody is mailed by mistake;
# whoever publishes packages sets their own address.
set(ORVA_PACKAGE_MAINTAINER "orva developers <orva-devel@example.org>"
    CACHE STRING "The Maintainer field of the Debian packages")
set(ORVA_PACKAGE_RELEASE 1 CACHE STRING
    "Debian revision appended to the upstream version")

set(CPACK_PACKAGE_NAME orva)
set(CPACK_PACKAGE_VENDOR orva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORVA_PACKAGE_MAINTAINER}")
# Each package has a summary line of its own; CPack puts a project-wide
# summary in front of it unless that is left at CPack's own default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_STRIP_FILES ON)

# Only these components are packaged; files installed without one (by
# tests or benchmarks) stay out.
set(CPACK_COMPONENTS_ALL runtime launcher dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE ${ORVA_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# orva-init's dependencies come from dpkg-shlibdeps: none where it is the
# static launcher, libc6 where it is the dynamic build; the library is
# linked into either, so neither needs liborva0.
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SHLIBDEPS ON)

set(ORVA_DEB_VERSION "${PROJECT_VERSION}-${ORVA_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liborva0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "run a program's main as a well-behaved process 1 (shared library)
A program that returns orva_run() from its main runs unchanged outside
process 1. As process 1, for example as a container's entrypoint, its
real main runs in a child process while process 1 forwards signals to the
child's process group, reaps every orphan, sends SIGKILL once a stop
timeout has passed after the first terminate signal, and exits with the
child's exit code.
.
This package contains the shared library.")
# The library package carries the shlibs and symbols files that tell other
# packages what to depend on, and refreshes the dynamic linker's cache
# through the ldconfig trigger, with no maintainer scripts, as current
# Debian libraries do. (CPack's own shlibs and dependency scan would also
# add scripts that call ldconfig, so the library's libc6 dependency is
# worked out at cpack time by package-deps.cmake instead.) The symbols
# file, every export with the version that brought it, is written there
# too, by dpkg-gensymbols from cmake/liborva0.symbols, which fails the
# packaging when the library's exports differ from that list.
set(ORVA_RUNTIME_CONTROL ${PROJECT_BINARY_DIR}/deb-control/runtime)
file(WRITE ${ORVA_RUNTIME_CONTROL}/triggers "activate-noawait ldconfig\n")
file(WRITE ${ORVA_RUNTIME_CONTROL}/shlibs
  "liborva ${PROJECT_VERSION_MAJOR} liborva0 (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${ORVA_RUNTIME_CONTROL}/shlibs
  ${ORVA_RUNTIME_CONTROL}/symbols
  ${ORVA_RUNTIME_CONTROL}/triggers)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
  CONTENT "set(ORVA_LIBRARY_FILE \"$<TARGET_FILE:orva>\")
set(ORVA_INSTALL_PREFIX \"${CMAKE_INSTALL_PREFIX}\")
set(ORVA_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(ORVA_MULTIARCH \"${CMAKE_LIBRARY_ARCHITECTURE}\")
set(ORVA_DEB_VERSION \"${ORVA_DEB_VERSION}\")
set(ORVA_SYMBOLS_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/liborva0.symbols\")
set(ORVA_SYMBOLS_FILE \"${ORVA_RUNTIME_CONTROL}/symbols\")
include(\"${CMAKE_CURRENT_LIST_DIR}/package-deps.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME orva-init)
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_LAUNCHER_DESCRIPTION
  "run any program as a well-behaved process 1
orva-init PROGRAM [ARG...] runs PROGRAM as the child of a supervising
process 1: signals are forwarded to its process group, orphans are reaped,
SIGKILL follows once the stop timeout (ORVA_STOP_TIMEOUT, 30 s by default)
has passed after the first terminate signal, and PROGRAM's exit code
becomes the exit code of process 1. Meant as a container's entrypoint.
.
orva-init is orva-init-static, the launcher linked statically (with musl):
it starts as fast as a minimal process 1 and can be copied alone into any
container image, even one without a C library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liborva-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liborva0 (= ${ORVA_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "orva-init, pkgconf")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "run a program's main as a well-behaved process 1 (development files)
A program that returns orva_run() from its main runs unchanged outside
process 1 and is supervised as process 1.
.
This package contains the header, the pkg-config file, the CMake package
(find_package(orva) gives orva::orva) and the manual pages.")

# The library and its development files can be installed for several
# architectures at once: each architecture's files lie in its own library
# directory, and the rest (header, manual pages, documents) are the same
# bytes on every architecture. The launcher serves any architecture's
# programs alike. CPack writes no Multi-Arch field, so a script adds it
# once the packages are made.
set(ORVA_MULTI_ARCH "liborva0=same;liborva-dev=same;orva-init=foreign")
# orva-init-static carries a copy of musl; Built-Using names the exact
# source it came from, as Debian asks of every statically linked package.
set(ORVA_BUILT_USING "")
if(ORVA_STATIC_LAUNCHER)
  set(musl_arch ${ORVA_STATIC_DEB_ARCH})
  execute_process(
    COMMAND dpkg-query -W [=[-f=${source:Package} (= ${source:Version})]=]
            musl-dev:${musl_arch}
    OUTPUT_VARIABLE musl RESULT_VARIABLE failed)
  if(failed OR NOT musl MATCHES "^musl \\(= [^)]+\\)$")
    message(FATAL_ERROR "cannot tell which musl orva-init-static is linked "
                        "with: '${musl}'")
  endif()
  set(ORVA_BUILT_USING "orva-init=${musl}")
endif()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackPostBuild.cmake
  CONTENT "set(ORVA_MULTI_ARCH \"${ORVA_MULTI_ARCH}\")
set(ORVA_BUILT_USING \"${ORVA_BUILT_USING}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/package-multiarch.cmake\")
")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/CPackPostBuild.cmake)

# Each package's documentation directory holds the copyright file, in the
# machine-readable format, and the Debian changelog. They belong to the
# packages, so a plain install leaves them out, as it does lintian's
# overrides. The changelog's date is SOURCE_DATE_EPOCH where that is set,
# for builds that must come out identical.
set(ORVA_DEB_DOC ${PROJECT_BINARY_DIR}/deb-doc)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE has no copyright line followed by the text")
endif()
set(holders "${CMAKE_MATCH_1}")
# The licence text goes in indented by a space, blank lines as " .".
string(REPLACE "\n" "\n " text " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" text "${text}")
file(WRITE ${ORVA_DEB_DOC}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${holders}
License: MIT

License: MIT
${text}
")
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${ORVA_DEB_DOC}/changelog.Debian
"orva (${ORVA_DEB_VERSION}) unstable; urgency=medium

  * orva ${PROJECT_VERSION}, packaged from its source tree.

 -- ${ORVA_PACKAGE_MAINTAINER}  ${date}
")
add_custom_command(OUTPUT ${ORVA_DEB_DOC}/changelog.Debian.gz
  COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$1.gz\"" ${ORVA_GZIP}
          ${ORVA_DEB_DOC}/changelog.Debian
  DEPENDS ${ORVA_DEB_DOC}/changelog.Debian
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(orva_deb_doc ALL DEPENDS ${ORVA_DEB_DOC}/changelog.Debian.gz)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${ORVA_DEB_DOC}/copyright ${ORVA_DEB_DOC}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  # lintian takes a first changelog entry for the upload of a new package
  # to Debian, which would close the bug that announced it. These packages
  # are made for orva's users and uploaded nowhere, so no such bug exists.
  file(WRITE ${ORVA_DEB_DOC}/lintian/${package}
    "${package}: initial-upload-closes-no-bugs\n")
  # A static PIE is of the shared objects' ELF type, yet by design it has
  # nothing to load: lintian mistakes it for a library without NEEDED.
  if(package STREQUAL "orva-init" AND ORVA_STATIC_LAUNCHER)
    file(APPEND ${ORVA_DEB_DOC}/lintian/${package}
      "${package}: shared-library-lacks-prerequisites "
      "[usr/bin/orva-init-static]\n")
  endif()
  install(FILES ${ORVA_DEB_DOC}/lintian/${package}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
