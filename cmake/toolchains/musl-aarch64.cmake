# SPDX-License-Identifier: MIT
# Static builds for aarch64 against musl.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
