/* SPDX-License-Identifier: MIT */
/* A program whose main does nothing, run through orva_run or not: as
   process 1 the difference is what supervising costs a program that calls
   the library itself, with no launcher in between. */
#include <string.h>

#include "orva.h"

static int nothing(int argc, char **argv) {
  (void)argc;
  (void)argv;
  return 0;
}

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--direct") == 0) {
    return nothing(argc, argv);
  }
  return orva_run(nothing, argc, argv);
}
