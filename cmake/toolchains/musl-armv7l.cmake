# SPDX-License-Identifier: MIT
# Static builds for 32-bit ARM with hardware floating point (Debian armhf) against musl.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ORVA_GNU_TRIPLET arm-linux-gnueabihf)
set(ORVA_MUSL_TRIPLET arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
