# SPDX-License-Identifier: MIT
# orva-init-static: the launcher and the library linked into one static PIE
# against musl, so that it runs in any image (scratch, distroless, musl or
# glibc based) with nothing beside it. It comes from a second build of this
# same source tree with the musl toolchain, and lands in this build's top
# directory as orva-init-static.
if(NOT ORVA_STATIC_ARCH)
  return()
endif()

set(arch ${ORVA_STATIC_ARCH})
if(arch STREQUAL "native")
  set(arch ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()
set(toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchains/musl-${arch}.cmake)
if(NOT EXISTS ${toolchain})
  message(FATAL_ERROR "ORVA_STATIC_ARCH: no musl toolchain for '${arch}' "
                      "(x86_64, aarch64 or native)")
endif()

# Another architecture's launcher runs under its user-mode emulator.
set(ORVA_STATIC_EMULATOR "")
if(NOT arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  find_program(ORVA_QEMU_${arch} qemu-${arch}-static)
  if(NOT ORVA_QEMU_${arch})
    message(FATAL_ERROR "qemu-${arch}-static (package qemu-user-static) is "
                        "needed to test orva-init-static for ${arch}")
  endif()
  set(ORVA_STATIC_EMULATOR ${ORVA_QEMU_${arch}})
endif()

include(ExternalProject)
set(ORVA_STATIC_LAUNCHER ${PROJECT_BINARY_DIR}/orva-init-static)
ExternalProject_Add(orva_static_build
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${PROJECT_BINARY_DIR}/static-${arch}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${toolchain}
    -DCMAKE_BUILD_TYPE=MinSizeRel
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${PROJECT_BINARY_DIR}
    -DORVA_STATIC_ONLY=ON
    -DORVA_BUILD_TESTS=OFF
    -DORVA_WERROR=${ORVA_WERROR}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${ORVA_STATIC_LAUNCHER}
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
