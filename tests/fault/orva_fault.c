/* SPDX-License-Identifier: MIT */
/* Preloadable fault injection: makes one chosen libc call fail on demand,
   and, for soak runs, sleeps a random moment in calls of either side.

   ORVA_FAULT_CALL   the call to watch: fork, setpgid, sigfillset,
                     sigprocmask, waitpid, kill, sigtimedwait, clock_gettime,
                     nanosleep, tcsetpgrp or execve
   ORVA_FAULT_WHO    parent (the supervisor), child (any other process) or
                     any
   ORVA_FAULT_SIG    for kill: watch only calls that send this signal
   ORVA_FAULT_ERRNO  errno to fail with, as a number; unset means the call
                     is only watched, never failed
   ORVA_FAULT_NTH    the first watched call that fails, counting from 1
   ORVA_FAULT_COUNT  how many watched calls fail from there on (default 1)
   ORVA_FAULT_TRACE  when set, also report the watched calls that pass
   ORVA_FAULT_DELAY  at most this many microseconds: the supervisor sleeps
                     a random moment up to it before each wrapped call
   ORVA_FAULT_PROGRAM_DELAY
                     the same for every other process, in fork and execve
                     before the call and in sigprocmask after it, where a
                     program's window between its mask and its fork lies

   Counters live in each process and are copied by fork, so ORVA_FAULT_WHO
   is what tells the supervisor's calls from its children's. The
   supervisor is process 1 of its PID namespace, or a child subreaper:
   orva becomes one when it supervises outside process 1, and a fork never
   inherits it, so nothing else in the tests is one.

   Each injected failure, and with ORVA_FAULT_TRACE each watched call,
   writes one line to stdout, leaving stderr to the diagnostics under test:
     fault: CALL[ sig=N] injected|passed at=NANOSECONDS
   where NANOSECONDS is CLOCK_MONOTONIC at the call. The delays write
   nothing, so that a run with them must give the same output. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum who { WHO_ANY, WHO_PARENT, WHO_CHILD };

struct config {
  int loaded;
  char call[32];
  enum who who;
  int sig;   /* 0: any */
  int error; /* 0: never fail */
  long nth;
  long count;
  int trace;
  long seen;          /* watched calls so far in this process */
  long delay;         /* microseconds at most, in the supervisor */
  long program_delay; /* ... and in every other process */
};

static struct config cfg;

static long number_from_env(const char *name, long fallback) {
  const char *text = getenv(name);
  if (text == NULL || *text == '\0') {
    return fallback;
  }
  return strtol(text, NULL, 10);
}

/* Read on first use rather than in a constructor: a sanitizer runtime may
   not be ready when preloaded constructors run. */
static void load_config(void) {
  if (cfg.loaded) {
    return;
  }
  cfg.loaded = 1;
  const char *call = getenv("ORVA_FAULT_CALL");
  if (call != NULL) {
    snprintf(cfg.call, sizeof cfg.call, "%s", call);
  }
  const char *who = getenv("ORVA_FAULT_WHO");
  if (who != NULL && strcmp(who, "parent") == 0) {
    cfg.who = WHO_PARENT;
  } else if (who != NULL && strcmp(who, "child") == 0) {
    cfg.who = WHO_CHILD;
  }
  cfg.sig = (int)number_from_env("ORVA_FAULT_SIG", 0);
  cfg.error = (int)number_from_env("ORVA_FAULT_ERRNO", 0);
  cfg.nth = number_from_env("ORVA_FAULT_NTH", 1);
  cfg.count = number_from_env("ORVA_FAULT_COUNT", 1);
  cfg.trace = getenv("ORVA_FAULT_TRACE") != NULL;
  cfg.delay = number_from_env("ORVA_FAULT_DELAY", 0);
  cfg.program_delay = number_from_env("ORVA_FAULT_PROGRAM_DELAY", 0);
}

static int is_supervisor(void) {
  int subreaper = 0;
  return getpid() == 1 ||
         (prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0);
}

static void report(const char *call, int sig, const char *what) {
  /* The raw system call, so that watching clock_gettime cannot recurse. */
  struct timespec now = {0, 0};
  (void)syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
  char line[128];
  int len;
  if (sig != 0) {
    len =
        snprintf(line, sizeof line, "fault: %s sig=%d %s at=%lld\n", call, sig,
                 what, (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
  } else {
    len = snprintf(line, sizeof line, "fault: %s %s at=%lld\n", call, what,
                   (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
  }
  if (len > 0) {
    (void)write(STDOUT_FILENO, line, (size_t)len);
  }
}

static int watched(const char *call, int sig) {
  load_config();
  if (strcmp(cfg.call, call) != 0 || (cfg.sig != 0 && cfg.sig != sig)) {
    return 0;
  }
  const int is_parent = is_supervisor();
  return !((cfg.who == WHO_PARENT && !is_parent) ||
           (cfg.who == WHO_CHILD && is_parent));
}

/* Returns the errno to fail this call with, or 0 to let it through. */
static int should_fail(const char *call, int sig) {
  const int saved_errno = errno;
  int error = 0;
  if (watched(call, sig)) {
    const long n = ++cfg.seen;
    if (cfg.error != 0 && n >= cfg.nth && n < cfg.nth + cfg.count) {
      error = cfg.error;
      report(call, sig, "injected");
    } else if (cfg.trace) {
      report(call, sig, "passed");
    }
  }
  errno = saved_errno;
  return error;
}

/* xorshift64, seeded anew in each process from its pid and the clock:
   a forked child must not repeat its parent's moments. */
static unsigned long long next_random(void) {
  static unsigned long long state;
  static pid_t owner;
  const pid_t self = getpid();
  if (owner != self || state == 0) {
    struct timespec now = {0, 0};
    (void)syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    state = ((unsigned long long)self << 32) ^ (unsigned long long)now.tv_nsec ^
            ((unsigned long long)now.tv_sec << 20) ^ 0x9e3779b97f4a7c15ULL;
    owner = self;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

/* Sleeps a random moment up to the bound for this side of the call:
   `after` is set once the call has been made. The raw system call, so
   that a wrapped nanosleep is not entered again. */
static void delay(const char *call, int after) {
  const int saved_errno = errno;
  load_config();
  if (cfg.delay <= 0 && cfg.program_delay <= 0) {
    return;
  }
  long most = 0;
  if (is_supervisor()) {
    most = after ? 0 : cfg.delay;
  } else if (strcmp(call, "sigprocmask") == 0) {
    most = after ? cfg.program_delay : 0;
  } else if (strcmp(call, "fork") == 0 || strcmp(call, "execve") == 0) {
    most = after ? 0 : cfg.program_delay;
  }
  if (most > 0) {
    const long micros = (long)(next_random() % (unsigned long long)(most + 1));
    const struct timespec span = {micros / 1000000, micros % 1000000 * 1000};
    (void)syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &span, NULL);
  }
  errno = saved_errno;
}

/* Stores through a void pointer because ISO C has no conversion from
   dlsym's result to a function pointer. */
static void load_next(void **real, const char *name) {
  if (*real != NULL) {
    return;
  }
  *real = dlsym(RTLD_NEXT, name);
  if (*real == NULL) {
    static const char msg[] = "orva_fault: a wrapped call is missing\n";
    (void)write(STDERR_FILENO, msg, sizeof msg - 1);
    abort();
  }
}

/* Defines `name` to fail on demand, before calling through so that a
   failed call has no effect (a signal stays pending, a child unreaped),
   and otherwise to call the next definition of it, with the delays
   around. `sig` is the signal a call sends, for ORVA_FAULT_SIG, or 0. */
#define WRAP(type, name, params, args, sig)                                    \
  type name params {                                                           \
    const int error_ = should_fail(#name, sig);                                \
    if (error_ != 0) {                                                         \
      errno = error_;                                                          \
      return -1;                                                               \
    }                                                                          \
    static type(*real) params;                                                 \
    load_next((void **)&real, #name);                                          \
    delay(#name, 0);                                                           \
    const type result_ = real args;                                            \
    delay(#name, 1);                                                           \
    return result_;                                                            \
  }

WRAP(pid_t, fork, (void), (), 0)
WRAP(int, setpgid, (pid_t pid, pid_t pgid), (pid, pgid), 0)
WRAP(int, sigfillset, (sigset_t * set), (set), 0)
WRAP(int, sigprocmask, (int how, const sigset_t *set, sigset_t *old),
     (how, set, old), 0)
WRAP(pid_t, waitpid, (pid_t pid, int *status, int options),
     (pid, status, options), 0)
WRAP(int, kill, (pid_t pid, int sig), (pid, sig), sig)
WRAP(int, sigtimedwait,
     (const sigset_t *set, siginfo_t *info, const struct timespec *timeout),
     (set, info, timeout), 0)
WRAP(int, clock_gettime, (clockid_t clock, struct timespec *now), (clock, now),
     0)
WRAP(int, nanosleep, (const struct timespec *span, struct timespec *left),
     (span, left), 0)
WRAP(int, tcsetpgrp, (int fd, pid_t pgrp), (fd, pgrp), 0)
WRAP(int, execve, (const char *path, char *const argv[], char *const envp[]),
     (path, argv, envp), 0)
