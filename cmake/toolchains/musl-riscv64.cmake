# SPDX-License-Identifier: MIT
# Static builds for 64-bit RISC-V (Debian riscv64) against musl.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(ORVA_GNU_TRIPLET riscv64-linux-gnu)
set(ORVA_MUSL_TRIPLET riscv64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
