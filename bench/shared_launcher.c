/* SPDX-License-Identifier: MIT */
/* A launcher that loads liborva.so.0, as orva-init did before it carried
   the library: the same exec of PROGRAM under orva_run, without the
   options, for the comparison of the two. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "orva.h"

static int exec_program(int argc, char **argv) {
  (void)argc;
  execvp(argv[0], argv);
  fprintf(stderr, "orva-bench-init-shared: %s: %s\n", argv[0], strerror(errno));
  return errno == ENOENT ? 127 : 126;
}

int main(int argc, char **argv) {
  const int first = argc > 1 && strcmp(argv[1], "--") == 0 ? 2 : 1;
  if (first >= argc) {
    fprintf(stderr, "usage: orva-bench-init-shared [--] PROGRAM [ARG...]\n");
    return 64;
  }
  return orva_run(exec_program, argc - first, argv + first);
}
