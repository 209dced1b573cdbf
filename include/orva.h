/* SPDX-License-Identifier: MIT */
/* orva: run a program's main under a supervisor when it is process 1. */
#ifndef ORVA_H
#define ORVA_H

#include <sys/types.h>

#if defined(__GNUC__)
#define ORVA_EXPORT __attribute__((visibility("default")))
#else
#define ORVA_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Declared here so that strict C99 callers, whose <time.h> may hide it, can
   still use the header; the definition comes from <time.h>. */
struct timespec;

/* Calls submain(argc, argv). As process 1 it runs submain in a child with a
   process group of its own and supervises it: every signal but SIGCHLD is
   forwarded to the group, every exited child is reaped, SIGKILL follows once
   the stop timeout has passed after the first SIGHUP, SIGINT, SIGQUIT or
   SIGTERM. Returns submain's result (in the child, and outside process 1),
   the managed child's exit code (in the supervisor), 111 when the
   supervisor fails, or 64 when submain is NULL. */
ORVA_EXPORT int orva_run(int (*submain)(int, char **), int argc, char **argv);

/* Reaps children until pid (any child when pid is negative) is reaped.
   Returns 1 with its exit code (status, or 128 + signal) in *exit_code, or
   with 0 when no child is left; 0 when nonblock is set and nothing has
   exited; -1 with errno on failure. */
ORVA_EXPORT int orva_wait_for_managed_child(pid_t pid, int *exit_code,
                                            int nonblock);

/* Reaps every child that has already exited, without blocking. */
ORVA_EXPORT void orva_drain_zombies_nonblock(void);

/* 1 for SIGHUP, SIGINT, SIGQUIT and SIGTERM, else 0. */
ORVA_EXPORT int orva_is_terminate_signal(int sig);

/* Parses a duration such as "90", "2m" or "1h30m" into whole seconds. NULL
   or "" gives the default of 30 s. Returns 0, or -1 with errno EINVAL and
   *out untouched. */
ORVA_EXPORT int orva_parse_stop_timeout(const char *text, struct timespec *out);

/* Reads ORVA_STOP_TIMEOUT into *out, falling back to 30 s (with one message
   on stderr when the variable is set but invalid). Returns 0. */
ORVA_EXPORT int orva_load_stop_timeout(struct timespec *out);

/* 1 when fd is not negative and refers to a terminal, else 0. */
ORVA_EXPORT int orva_is_terminal_fd(int fd);

/* Makes pgrp the foreground process group of the terminal behind
   descriptors 0, 1 and 2. ENOTTY and EPERM are not errors. Returns 0, or -1
   with errno set to the last other error. */
ORVA_EXPORT int orva_set_foreground_pgrp_for_stdio(pid_t pgrp);

#ifdef __cplusplus
}
#endif

#endif /* ORVA_H */
