/* SPDX-License-Identifier: MIT */
/* A long-running worker that stops cleanly on SIGTERM, SIGINT or SIGHUP.
 *
 *   ./worker                 runs until it is sent one of those signals
 *   ./worker SECONDS         also stops by itself after SECONDS
 *   ./worker SECONDS FINISH  takes FINISH seconds to wind down once told to
 *                            stop, like a job that must not be cut short
 *
 * main hands the real work to orva_run. Run normally, that is a plain call.
 * As a container's process 1, worker_main runs in a child process while
 * process 1 passes the platform's SIGTERM on to it, reaps orphans, and
 * ends with worker_main's exit code. */
#define _POSIX_C_SOURCE 200809L

#include <orva.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop_signal;

static void on_stop(int sig) { stop_signal = sig; }

static int parse_seconds(const char *text, long *seconds) {
  char *end = NULL;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0) {
    return -1;
  }
  *seconds = value;
  return 0;
}

static int worker_main(int argc, char **argv) {
  long seconds = -1; /* run until signalled */
  long finish = 0;
  if (argc > 3 || (argc >= 2 && parse_seconds(argv[1], &seconds) != 0) ||
      (argc == 3 && parse_seconds(argv[2], &finish) != 0)) {
    fprintf(stderr, "usage: %s [SECONDS [FINISH]]\n", argv[0]);
    return 64;
  }

  /* Under orva, SIGHUP is a stop request too: the supervisor starts its
     stop timeout on it, so treating it as "reload" would end in SIGKILL. */
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  const int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};
  for (size_t i = 0; i < sizeof stop_signals / sizeof stop_signals[0]; ++i) {
    if (sigaction(stop_signals[i], &action, NULL) != 0) {
      perror("worker: sigaction");
      return 1;
    }
  }

  printf("worker: running as pid %ld in process group %ld\n", (long)getpid(),
         (long)getpgrp());
  fflush(stdout);

  /* One tick of work every 100 ms; a signal cuts the sleep short. */
  const struct timespec tick = {0, 100000000};
  for (long ticks = 0;
       stop_signal == 0 && (seconds < 0 || ticks < seconds * 10); ++ticks) {
    nanosleep(&tick, NULL);
  }

  if (stop_signal == 0) {
    printf("worker: done\n");
    return 0;
  }
  printf("worker: stopping on signal %d\n", (int)stop_signal);
  fflush(stdout);
  /* A wind-down longer than ORVA_STOP_TIMEOUT ends in orva's SIGKILL. */
  for (long ticks = 0; ticks < finish * 10; ++ticks) {
    nanosleep(&tick, NULL);
  }
  return 0;
}

int main(int argc, char **argv) { return orva_run(worker_main, argc, argv); }
