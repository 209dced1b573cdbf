/* SPDX-License-Identifier: MIT */
/* A program built against an installed orva, as a user would write it. */
#include <orva.h>
#include <stdio.h>
#include <time.h>

static int submain(int argc, char **argv) {
  struct timespec timeout;
  if (orva_parse_stop_timeout(argc > 1 ? argv[1] : NULL, &timeout) != 0) {
    perror("consumer: orva_parse_stop_timeout");
    return 2;
  }
  printf("stop timeout %lld s\n", (long long)timeout.tv_sec);
  return 7;
}

int main(int argc, char **argv) { return orva_run(submain, argc, argv); }
