# SPDX-License-Identifier: MIT
# Static builds for little-endian 64-bit POWER (Debian ppc64el) against musl.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(ORVA_GNU_TRIPLET powerpc64le-linux-gnu)
set(ORVA_MUSL_TRIPLET powerpc64le-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
