# SPDX-License-Identifier: MIT
# orva-init-static: the launcher and the library linked into one static PIE
# against musl, so that it runs in any image (scratch, distroless, musl or
# glibc based) with nothing beside it. It comes from a second build of this
# same source tree with the musl toolchain, one per target architecture.

# Every target, by the name uname -m gives it: Debian's name for the
# architecture (for its musl-dev), the name of qemu's user-mode emulator,
# the most its stripped launcher may weigh, in bytes, and its platform in
# the dist image, as container engines name it. Each budget is its
# size when set (MinSizeRel, gcc 12, musl 1.2.3) plus a fifth or more,
# rounded up to 8 KiB: room for a compiler update, not for unnoticed
# growth, on either Debian release. x86_64 and aarch64 keep their earlier
# 64 and 80 KiB; aarch64 and ppc64le pad their writable segment to 64 KiB
# pages, so their size moves little with the code, and so does armv7l from
# Debian 13's binutils on (65.4 KiB there): it gets their 80 KiB. riscv64,
# built where its musl exists, gets the rule applied to x86_64's size: its
# compressed instructions are about as dense. The budgets stay as they
# are with every setting in: the launcher writes no number with printf
# and keeps no unwind tables, and so weighs less than before them.
set(ORVA_STATIC_TARGETS x86_64 aarch64 armv7l i686 ppc64le s390x riscv64)
set(ORVA_STATIC_TARGET_x86_64 amd64 x86_64 65536 linux/amd64)        # 50.1 KiB
set(ORVA_STATIC_TARGET_aarch64 arm64 aarch64 81920 linux/arm64)      # 66.0 KiB
set(ORVA_STATIC_TARGET_armv7l armhf arm 81920 linux/arm/v7) # 41.5; 64+ on 13
set(ORVA_STATIC_TARGET_i686 i386 i386 81920 linux/386)               # 57.4 KiB
set(ORVA_STATIC_TARGET_ppc64le ppc64el ppc64le 81920 linux/ppc64le)  # 66.0 KiB
set(ORVA_STATIC_TARGET_s390x s390x s390x 73728 linux/s390x)          # 54.0 KiB
set(ORVA_STATIC_TARGET_riscv64 riscv64 riscv64 73728 linux/riscv64)

# Sets `out` to the toolchain file for `arch`, and `<out>_INSTALLED` to
# whether its cross compiler and musl are on this machine.
function(orva_static_toolchain arch out)
  set(file ${PROJECT_SOURCE_DIR}/cmake/toolchains/musl-${arch}.cmake)
  if(NOT arch IN_LIST ORVA_STATIC_TARGETS OR NOT EXISTS ${file})
    list(JOIN ORVA_STATIC_TARGETS ", " known)
    message(FATAL_ERROR "no musl toolchain for '${arch}' "
                        "(${known}, native or all)")
  endif()
  set(gnu ${arch}-linux-gnu)
  set(musl ${arch}-linux-musl)
  file(STRINGS ${file} lines REGEX "^set\\(ORVA_(GNU|MUSL)_TRIPLET ")
  foreach(line IN LISTS lines)
    if(line MATCHES "^set\\(ORVA_GNU_TRIPLET ([^)]+)\\)")
      set(gnu ${CMAKE_MATCH_1})
    elseif(line MATCHES "^set\\(ORVA_MUSL_TRIPLET ([^)]+)\\)")
      set(musl ${CMAKE_MATCH_1})
    endif()
  endforeach()
  find_program(ORVA_${arch}_GCC ${gnu}-gcc)
  set(installed OFF)
  if(ORVA_${arch}_GCC AND EXISTS /usr/lib/${musl}/musl-gcc.specs)
    set(installed ON)
  endif()
  set(${out} ${file} PARENT_SCOPE)
  set(${out}_INSTALLED ${installed} PARENT_SCOPE)
endfunction()

# When not building for `arch`, because its toolchain is missing: fails if
# this system could install it (it is then missing by mistake, and the
# build would quietly ship one target fewer), else says why it is left out.
function(orva_static_leave_out arch)
  list(GET ORVA_STATIC_TARGET_${arch} 0 deb_arch)
  set(package musl-dev:${deb_arch})
  find_program(ORVA_APT_CACHE apt-cache)
  set(candidate "")
  if(ORVA_APT_CACHE)
    execute_process(COMMAND ${ORVA_APT_CACHE} policy ${package}
                    OUTPUT_VARIABLE policy ERROR_QUIET)
    if(policy MATCHES "Candidate: ([^ (\n][^\n]*)")
      set(candidate ${CMAKE_MATCH_1})
    endif()
  endif()
  if(candidate)
    message(FATAL_ERROR "orva-init-static for ${arch}: ${package} "
                        "${candidate} is available but not installed, nor is "
                        "its cross compiler, perhaps (see scripts/dev)")
  endif()
  message(STATUS "orva-init-static for ${arch} left out: this system "
                 "offers no ${package}")
endfunction()

# Builds orva-init-static for `arch` (one of ORVA_STATIC_TARGETS or native)
# into `output_dir` through the target `target`. Sets `<target>_PATH` to the
# launcher, `<target>_ARCH` to the architecture and `<target>_EMULATOR` to
# what runs it on this machine (empty when it runs natively).
function(orva_add_static_launcher target arch output_dir)
  if(arch STREQUAL "native")
    set(arch ${CMAKE_HOST_SYSTEM_PROCESSOR})
  endif()
  orva_static_toolchain(${arch} toolchain)

  # Another architecture's launcher runs under its user-mode emulator.
  set(emulator "")
  if(NOT arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    list(GET ORVA_STATIC_TARGET_${arch} 1 qemu)
    find_program(ORVA_QEMU_${arch} qemu-${qemu}-static)
    set(emulator ${ORVA_QEMU_${arch}})
    if(emulator MATCHES "NOTFOUND$")
      message(FATAL_ERROR "qemu-${qemu}-static not found: package "
                          "qemu-user-static is needed to test "
                          "orva-init-static for ${arch}")
    endif()
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
    BUILD_COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${orva_epoch}
                  ${CMAKE_COMMAND} --build <BINARY_DIR>
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${output_dir}/orva-init-static
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  set(${target}_PATH ${output_dir}/orva-init-static PARENT_SCOPE)
  set(${target}_ARCH ${arch} PARENT_SCOPE)
  set(${target}_EMULATOR ${emulator} PARENT_SCOPE)
endfunction()

# The commit's date, so that nothing in a build depends on when it ran.
if(NOT DEFINED ORVA_SOURCE_DATE_EPOCH)
  set(epoch 0)
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch 0)
  endif()
  set(ORVA_SOURCE_DATE_EPOCH ${epoch} CACHE STRING
      "SOURCE_DATE_EPOCH for the static launchers (the last commit's date)")
endif()
# Anyone can rebuild a launcher, or the image, and compare it with the one
# they got: the same commit gives the same bytes, wherever and whenever it
# is built. SOURCE_DATE_EPOCH at configure time overrides.
set(orva_epoch $ENV{SOURCE_DATE_EPOCH})
if("${orva_epoch}" STREQUAL "")
  set(orva_epoch ${ORVA_SOURCE_DATE_EPOCH})
endif()

# The targets this build makes: ORVA_STATIC_ARCH names them, or is "all"
# for every target whose toolchain is installed, or "auto" for this
# machine's where its toolchain is installed.
set(ORVA_STATIC_BUILT "")
if(ORVA_STATIC_ARCH STREQUAL "auto")
  set(arch ${CMAKE_HOST_SYSTEM_PROCESSOR})
  set(toolchain_INSTALLED OFF)
  if(arch IN_LIST ORVA_STATIC_TARGETS)
    orva_static_toolchain(${arch} toolchain)
  endif()
  if(toolchain_INSTALLED)
    list(APPEND ORVA_STATIC_BUILT ${arch})
  else()
    message(STATUS "orva-init-static: no musl toolchain for ${arch} here "
                   "(package musl-tools), so orva-init is the dynamic build")
  endif()
elseif(ORVA_STATIC_ARCH STREQUAL "all")
  foreach(arch IN LISTS ORVA_STATIC_TARGETS)
    orva_static_toolchain(${arch} toolchain)
    if(toolchain_INSTALLED)
      list(APPEND ORVA_STATIC_BUILT ${arch})
    else()
      orva_static_leave_out(${arch})
    endif()
  endforeach()
  if(NOT ORVA_STATIC_BUILT)
    message(FATAL_ERROR "no musl toolchain is installed (see scripts/dev)")
  endif()
else()
  foreach(arch IN LISTS ORVA_STATIC_ARCH)
    if(arch STREQUAL "native")
      set(arch ${CMAKE_HOST_SYSTEM_PROCESSOR})
    endif()
    list(APPEND ORVA_STATIC_BUILT ${arch})
  endforeach()
endif()

# The one this build installs, packages and runs the container tests with:
# this machine's when it is among them, else the first. It is built in the
# top directory, the others in static-<arch>.
set(ORVA_STATIC_LAUNCHER "")
set(ORVA_STATIC_EMULATOR "")
if(ORVA_STATIC_BUILT)
  set(primary ${CMAKE_HOST_SYSTEM_PROCESSOR})
  if(NOT primary IN_LIST ORVA_STATIC_BUILT)
    list(GET ORVA_STATIC_BUILT 0 primary)
  endif()
  foreach(arch IN LISTS ORVA_STATIC_BUILT)
    if(arch STREQUAL primary)
      set(target orva_static_build)
      set(dir ${PROJECT_BINARY_DIR})
    else()
      set(target orva_static_build_${arch})
      set(dir ${PROJECT_BINARY_DIR}/static-${arch})
    endif()
    orva_add_static_launcher(${target} ${arch} ${dir})
    set(ORVA_STATIC_${arch}_TARGET ${target})
    set(ORVA_STATIC_${arch}_PATH ${${target}_PATH})
    set(ORVA_STATIC_${arch}_EMULATOR ${${target}_EMULATOR})
  endforeach()
  set(ORVA_STATIC_LAUNCHER ${ORVA_STATIC_${primary}_PATH})
  set(ORVA_STATIC_EMULATOR ${ORVA_STATIC_${primary}_EMULATOR})
  # Debian's name for the architecture, for the package of its musl.
  list(GET ORVA_STATIC_TARGET_${primary} 0 ORVA_STATIC_DEB_ARCH)
  list(JOIN ORVA_STATIC_BUILT " " built)
  message(STATUS "orva-init-static for: ${built}")
endif()

# The downloads: each launcher as dist/orva-init-static-<arch>, all of them
# as one multi-platform image (dist/oci and dist/orva-init-oci.tar), and
# SHA256SUMS over them; each launcher checked against its budget.
set(ORVA_DIST_DIR "" CACHE PATH
    "Where the dist target puts the static launchers, their image and \
SHA256SUMS")
# example.org is reserved for examples; whoever publishes the image names
# where its source is.
set(ORVA_IMAGE_SOURCE "https://example.org/orva" CACHE STRING
    "The org.opencontainers.image.source label of the dist image")
if(ORVA_DIST_DIR AND ORVA_STATIC_BUILT)
  find_program(ORVA_TAR tar REQUIRED)
  find_program(ORVA_GZIP gzip REQUIRED)
  set(entries "")
  set(targets "")
  foreach(arch IN LISTS ORVA_STATIC_BUILT)
    list(GET ORVA_STATIC_TARGET_${arch} 2 budget)
    list(GET ORVA_STATIC_TARGET_${arch} 3 platform)
    list(APPEND entries
         "${arch}=${budget}=${platform}=${ORVA_STATIC_${arch}_PATH}")
    list(APPEND targets ${ORVA_STATIC_${arch}_TARGET})
  endforeach()
  list(JOIN entries "|" entries)
  add_custom_target(dist ALL
    COMMAND ${CMAKE_COMMAND} -DENTRIES=${entries} -DDIST_DIR=${ORVA_DIST_DIR}
            -DVERSION=${PROJECT_VERSION} -DCOMMIT=${orva_commit} -DLICENSE=MIT
            -DSOURCE=${ORVA_IMAGE_SOURCE} -DEPOCH=${orva_epoch}
            -DTAR=${ORVA_TAR} -DGZIP=${ORVA_GZIP}
            -DWORK_DIR=${PROJECT_BINARY_DIR}/oci-image
            -P ${PROJECT_SOURCE_DIR}/cmake/dist.cmake
    DEPENDS ${targets}
    COMMENT "Writing the static launchers, their image and SHA256SUMS to \
${ORVA_DIST_DIR}"
    VERBATIM)
endif()
