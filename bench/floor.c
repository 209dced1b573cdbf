/* SPDX-License-Identifier: MIT */
/* A shared library with one empty function, linked like liborva: the
   smallest file those flags and the page alignment allow. */
__attribute__((visibility("default"))) int orva_bench_floor(void);

int orva_bench_floor(void) { return 0; }
