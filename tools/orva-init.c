/* SPDX-License-Identifier: MIT */
/* orva-init: supervise a program that cannot call orva_run itself. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "orva.h"

enum {
  EXIT_USAGE = 64,        /* the library's code for a missing main */
  EXIT_NOT_FOUND = 127,   /* as shells report a command not found */
  EXIT_CANNOT_EXEC = 126, /* ... and one found but not runnable */
};

static const char usage_text[] =
    "Usage: orva-init [--] PROGRAM [ARG...]\n"
    "Run PROGRAM with its arguments. As process 1 (a container's entrypoint)\n"
    "PROGRAM runs in a process group of its own under a supervisor that\n"
    "forwards every signal to the group, reaps every exited child, sends\n"
    "SIGKILL once the stop timeout has passed after the first SIGTERM,\n"
    "SIGINT, SIGHUP or SIGQUIT, and exits with PROGRAM's exit code (128+n\n"
    "when it was killed by signal n). Elsewhere PROGRAM simply replaces\n"
    "orva-init.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "Environment:\n"
    "  ORVA_STOP_TIMEOUT  grace period before SIGKILL, as seconds, minutes\n"
    "                     and hours: 10, 90s, 2m, 1h30m (default 30s)\n"
    "  ORVA_STOP_SIGNALS  the signals that start it, as names with or\n"
    "                     without SIG: TERM,INT,QUIT leaves HUP to reload;\n"
    "                     PWR, RTMIN+3 (default HUP,INT,QUIT,TERM)\n"
    "  ORVA_STOP_SCOPE    group (default): stop signals and SIGKILL go to\n"
    "                     PROGRAM's group; all: to every process, and once\n"
    "                     PROGRAM has ended the rest get SIGTERM and the\n"
    "                     stop timeout to end before SIGKILL\n"
    "  ORVA_VERBOSE       1: one line on stderr per signal, stop, kill and\n"
    "                     reaped process (default 0)\n"
    "\n"
    "Exit status: PROGRAM's; 127 if PROGRAM was not found, 126 if it could\n"
    "not be run, 111 if the supervisor failed, 64 on a usage error.\n";

static int exec_program(int argc, char **argv) {
  (void)argc;
  execvp(argv[0], argv);
  const int error = errno;
  fprintf(stderr, "orva-init: %s: %s\n", argv[0], strerror(error));
  return error == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXEC;
}

static int print_to_stdout(const char *text) {
  if (fputs(text, stdout) == EOF || fflush(stdout) != 0) {
    fprintf(stderr, "orva-init: stdout: %s\n", strerror(errno));
    return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  int first = 1;
  if (argc > 1) {
    const char *arg = argv[1];
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      return print_to_stdout(usage_text);
    }
    if (strcmp(arg, "--version") == 0) {
      /* "NAME version X - git.COMMIT": the form container engines parse
       * to show an init's version and commit. */
      return print_to_stdout("orva-init version " ORVA_VERSION
                             " - git." ORVA_COMMIT "\n");
    }
    if (strcmp(arg, "--") == 0) {
      first = 2;
    } else if (arg[0] == '-' && arg[1] != '\0') {
      fprintf(stderr,
              "orva-init: unknown option '%s' (try 'orva-init --help')\n", arg);
      return EXIT_USAGE;
    }
  }
  if (first >= argc) {
    fprintf(stderr, "orva-init: missing PROGRAM (try 'orva-init --help')\n");
    return EXIT_USAGE;
  }
  return orva_run(exec_program, argc - first, argv + first);
}
