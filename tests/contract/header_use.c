/* SPDX-License-Identifier: MIT */
/* Compiled, never run: the public header must stand alone under strict C
   and C++ and keep the exact types of the frozen ABI. */
#include "orva.h"
#include "orva.h" /* a second inclusion must be harmless */

static int submain(int argc, char **argv) {
  (void)argv;
  return argc;
}

int main(void) {
  /* An exactly typed pointer fails to compile when a signature drifts. */
  int (*run)(int (*)(int, char **), int, char **) = orva_run;
  int (*wait_child)(pid_t, int *, int) = orva_wait_for_managed_child;
  void (*drain)(void) = orva_drain_zombies_nonblock;
  int (*is_terminate)(int) = orva_is_terminate_signal;
  int (*parse)(const char *, struct timespec *) = orva_parse_stop_timeout;
  int (*load)(struct timespec *) = orva_load_stop_timeout;
  int (*is_terminal)(int) = orva_is_terminal_fd;
  int (*foreground)(pid_t) = orva_set_foreground_pgrp_for_stdio;
  (void)wait_child;
  (void)drain;
  (void)is_terminate;
  (void)parse;
  (void)load;
  (void)is_terminal;
  (void)foreground;
  return run(submain, 0, 0);
}
