# SPDX-License-Identifier: MIT
# Static builds for x86_64 against musl.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
