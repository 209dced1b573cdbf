# SPDX-License-Identifier: MIT
# Static builds for 32-bit x86 (Debian i386) against musl.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVA_GNU_TRIPLET i686-linux-gnu)
set(ORVA_MUSL_TRIPLET i386-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
