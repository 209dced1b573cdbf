# SPDX-License-Identifier: MIT
# Static builds for IBM Z, big-endian 64-bit (Debian s390x) against musl.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ORVA_GNU_TRIPLET s390x-linux-gnu)
set(ORVA_MUSL_TRIPLET s390x-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
