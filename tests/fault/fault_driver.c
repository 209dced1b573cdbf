/* SPDX-License-Identifier: MIT */
/* A program whose main calls orva_run, for tests that exec it as process 1
   of a PID namespace (often with the fault library preloaded).

   fault_driver [+tty] [+null] STEP...

   +tty   descriptor 0 becomes a pseudo-terminal before orva_run
   +null  orva_run gets a NULL submain

   The managed child runs the steps in order:
     say:TEXT      write TEXT and a newline to stdout
     sleep:MS      sleep MS milliseconds
     ignore:SIG    ignore SIG (TERM, USR1, ...)
     kill1:SIG     send SIG to process 1
     block:SIG     block SIG
     waitsig:SIG   wait until SIG, blocked before, arrives
     orphans:N     leave N children to process 1, each exiting only once it
                   is an orphan; go on when all of them have exited
     catch         record USR1, USR2, WINCH and HUP, saying "seen all kinds"
                   once all four have come; on TERM exit with 17 when all
                   four were seen, else with 20 + a bit per kind
     pause         wait for ever
     exit:N        return N (the default is 0)

   submain says "child mask: changed" when it does not run with the mask
   the caller of orva_run had.

   After orva_run returns in process 1 it writes two lines, then returns
   orva_run's result:
     mask: kept | mask: changed before=HEX after=HEX
     leftover: none | leftover: zombie | leftover: running */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "orva.h"

static void say(const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    const ssize_t n = write(STDOUT_FILENO, text, left);
    if (n <= 0) {
      return;
    }
    text += n;
    left -= (size_t)n;
  }
}

/* The mask is read and set with the raw system call: a preloaded fault in
   sigprocmask must hit only the library's calls, not these. */
static unsigned long long current_mask(void) {
  unsigned long long mask = 0;
  (void)syscall(SYS_rt_sigprocmask, SIG_BLOCK, NULL, &mask, sizeof mask);
  return mask;
}

static void block_raw(int sig) {
  unsigned long long mask = 1ULL << (sig - 1);
  (void)syscall(SYS_rt_sigprocmask, SIG_BLOCK, &mask, NULL, sizeof mask);
}

static int signal_by_name(const char *name) {
  static const struct {
    const char *name;
    int sig;
  } names[] = {{"HUP", SIGHUP},     {"INT", SIGINT},   {"QUIT", SIGQUIT},
               {"TERM", SIGTERM},   {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
               {"WINCH", SIGWINCH}, {"ALRM", SIGALRM}};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    if (strcmp(name, names[i].name) == 0) {
      return names[i].sig;
    }
  }
  say("fault_driver: unknown signal\n");
  _exit(98);
}

static void sleep_ms(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

/* The kinds "catch" records, kind i as bit 1 << i. */
static const int kinds[] = {SIGUSR1, SIGUSR2, SIGWINCH, SIGHUP};
enum { kAllKinds = (1 << (sizeof kinds / sizeof kinds[0])) - 1 };
static volatile sig_atomic_t kinds_seen;

static void record(int sig) {
  if (sig == SIGTERM) {
    _exit(kinds_seen == kAllKinds ? 17 : 20 + kinds_seen);
  }
  for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; ++i) {
    if (sig == kinds[i]) {
      kinds_seen |= 1 << i;
    }
  }
  static volatile sig_atomic_t announced;
  if (kinds_seen == kAllKinds && !announced) {
    announced = 1;
    say("seen all kinds\n");
  }
}

static void catch_all(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = record;
  action.sa_flags = SA_RESTART;
  sigfillset(&action.sa_mask);
  for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; ++i) {
    sigaction(kinds[i], &action, NULL);
  }
  sigaction(SIGTERM, &action, NULL);
}

static void close_pair(const int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

/* Orphans come in batches from short-lived spawners. Each waits on `gate`
   until its spawner has exited, so it is sure to end as process 1's child,
   and holds `done` open until it exits, so EOF there means all are gone. */
static int spawn_orphans(long total) {
  enum { kBatch = 100 };
  int done[2];
  if (pipe(done) != 0) {
    return 90;
  }
  for (long made = 0; made < total; made += kBatch) {
    int gate[2];
    if (pipe(gate) != 0) {
      return 91;
    }
    const pid_t spawner = fork();
    if (spawner < 0) {
      return 92;
    }
    if (spawner == 0) {
      const long n = total - made < kBatch ? total - made : kBatch;
      for (long i = 0; i < n; ++i) {
        const pid_t orphan = fork();
        if (orphan < 0) {
          _exit(1);
        }
        if (orphan == 0) {
          char byte;
          close(gate[1]);
          close(done[0]);
          while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
          }
          _exit(getppid() == 1 ? 0 : 1);
        }
      }
      _exit(0);
    }
    close_pair(gate);
    int status = 0;
    while (waitpid(spawner, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return 93;
    }
  }
  close(done[1]);
  char byte;
  while (read(done[0], &byte, 1) != 0 && errno == EINTR) {
  }
  close(done[0]);
  return 0;
}

static int is_step(const char *step, size_t len, const char *name) {
  return len == strlen(name) && strncmp(step, name, len) == 0;
}

static unsigned long long callers_mask;

static int run_steps(int argc, char **argv) {
  if (current_mask() != callers_mask) {
    say("child mask: changed\n");
  }
  for (int i = 0; i < argc; ++i) {
    const char *step = argv[i];
    const char *colon = strchr(step, ':');
    const char *arg = colon != NULL ? colon + 1 : "";
    const size_t len = colon != NULL ? (size_t)(colon - step) : strlen(step);
    if (is_step(step, len, "say")) {
      say(arg);
      say("\n");
    } else if (is_step(step, len, "sleep")) {
      sleep_ms(strtol(arg, NULL, 10));
    } else if (is_step(step, len, "ignore")) {
      signal(signal_by_name(arg), SIG_IGN);
    } else if (is_step(step, len, "kill1")) {
      kill(1, signal_by_name(arg));
    } else if (is_step(step, len, "block")) {
      block_raw(signal_by_name(arg));
    } else if (is_step(step, len, "waitsig")) {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, signal_by_name(arg));
      int got = 0;
      while (sigwait(&set, &got) != 0) {
      }
    } else if (is_step(step, len, "orphans")) {
      const int failed = spawn_orphans(strtol(arg, NULL, 10));
      if (failed != 0) {
        return failed;
      }
    } else if (is_step(step, len, "catch")) {
      catch_all();
    } else if (is_step(step, len, "pause")) {
      for (;;) {
        pause();
      }
    } else if (is_step(step, len, "exit")) {
      return (int)strtol(arg, NULL, 10);
    } else {
      say("fault_driver: unknown step\n");
      return 99;
    }
  }
  return 0;
}

static void use_pseudo_terminal(void) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  const int slave = master < 0 || grantpt(master) != 0 || unlockpt(master) != 0
                        ? -1
                        : open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0 || dup2(slave, STDIN_FILENO) < 0) {
    say("fault_driver: no pseudo-terminal\n");
    _exit(97);
  }
}

/* Uses the raw system call so that a fault in waitpid cannot touch it. */
static const char *leftover(void) {
  int status = 0;
  const long reaped = syscall(SYS_wait4, -1, &status, WNOHANG, NULL);
  if (reaped > 0) {
    return "zombie";
  }
  return reaped == 0 ? "running" : "none";
}

int main(int argc, char **argv) {
  int first = 1;
  int null_main = 0;
  for (; first < argc && argv[first][0] == '+'; ++first) {
    if (strcmp(argv[first], "+tty") == 0) {
      use_pseudo_terminal();
    } else if (strcmp(argv[first], "+null") == 0) {
      null_main = 1;
    }
  }
  /* A caller's mask with something in it, so that "restored" cannot be
     confused with "emptied". */
  block_raw(SIGXFSZ);
  block_raw(SIGPWR);
  const unsigned long long before = current_mask();
  callers_mask = before;
  const int rc =
      orva_run(null_main ? NULL : run_steps, argc - first, argv + first);
  if (getpid() != 1) {
    return rc;
  }
  const unsigned long long after = current_mask();
  char line[96];
  if (before == after) {
    snprintf(line, sizeof line, "mask: kept\n");
  } else {
    snprintf(line, sizeof line, "mask: changed before=%llx after=%llx\n",
             before, after);
  }
  say(line);
  snprintf(line, sizeof line, "leftover: %s\n", leftover());
  say(line);
  return rc;
}
