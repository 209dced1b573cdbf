# SPDX-License-Identifier: MIT
# orva-init-static: the launcher and the library linked into one static PIE
# against musl, so that it runs in any image (scratch, distroless, musl or
# glibc based) with nothing beside it. It comes from a second build of this
# same source tree with the musl toolchain.

# Builds orva-init-static for `arch` (x86_64, aarch64 or native) into
# `output_dir` through the target `target`. Sets `<target>_PATH` to the
# launcher and `<target>_EMULATOR` to what runs it on this machine (empty
# when it runs natively).
function(orva_add_static_launcher target arch output_dir)
  if(arch STREQUAL "native")
    set(arch ${CMAKE_HOST_SYSTEM_PROCESSOR})
  endif()
  set(toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchains/musl-${arch}.cmake)
  if(NOT EXISTS ${toolchain})
    message(FATAL_ERROR "no musl toolchain for '${arch}' "
                        "(x86_64, aarch64 or native)")
  endif()

  # Another architecture's launcher runs under its user-mode emulator.
  set(emulator "")
  if(NOT arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    find_program(ORVA_QEMU_${arch} qemu-${arch}-static)
    set(emulator ${ORVA_QEMU_${arch}})
  endif()

  include(ExternalProject)
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/${target}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${toolchain}
      -DCMAKE_BUILD_TYPE=MinSizeRel
      -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${output_dir}
      -DORVA_STATIC_ONLY=ON
      -DORVA_BUILD_TESTS=OFF
      -DORVA_WERROR=${ORVA_WERROR}
      -DORVA_COMMIT=${orva_commit}
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${output_dir}/orva-init-static
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  set(${target}_PATH ${output_dir}/orva-init-static PARENT_SCOPE)
  set(${target}_ARCH ${arch} PARENT_SCOPE)
  set(${target}_EMULATOR ${emulator} PARENT_SCOPE)
endfunction()

# The one this build installs and tests, in its top directory.
set(ORVA_STATIC_LAUNCHER "")
set(ORVA_STATIC_EMULATOR "")
if(ORVA_STATIC_ARCH)
  orva_add_static_launcher(orva_static_build ${ORVA_STATIC_ARCH}
                           ${PROJECT_BINARY_DIR})
  set(ORVA_STATIC_LAUNCHER ${orva_static_build_PATH})
  set(ORVA_STATIC_EMULATOR ${orva_static_build_EMULATOR})
  # Debian's name for the architecture, for the package of its musl.
  set(ORVA_STATIC_DEB_ARCH ${orva_static_build_ARCH})
  if(ORVA_STATIC_DEB_ARCH STREQUAL "x86_64")
    set(ORVA_STATIC_DEB_ARCH amd64)
  elseif(ORVA_STATIC_DEB_ARCH STREQUAL "aarch64")
    set(ORVA_STATIC_DEB_ARCH arm64)
  endif()
  if(ORVA_STATIC_EMULATOR MATCHES "NOTFOUND$")
    message(FATAL_ERROR "qemu-${orva_static_build_ARCH}-static not found: "
                        "package qemu-user-static is needed to test "
                        "orva-init-static for ${ORVA_STATIC_ARCH}")
  endif()
endif()
