/* SPDX-License-Identifier: MIT */
/* Preloadable fault injection: makes one chosen libc call fail on demand.

   ORVA_FAULT_CALL   the call to watch: fork, setpgid, sigfillset,
                     sigprocmask, waitpid, kill, sigtimedwait, clock_gettime,
                     nanosleep or tcsetpgrp
   ORVA_FAULT_WHO    parent (process 1), child (any other process) or any
   ORVA_FAULT_SIG    for kill: watch only calls that send this signal
   ORVA_FAULT_ERRNO  errno to fail with (a name such as EINTR, or a number);
                     unset means the call is only watched, never failed
   ORVA_FAULT_NTH    the first watched call that fails, counting from 1
   ORVA_FAULT_COUNT  how many watched calls fail from there on (default 1)
   ORVA_FAULT_TRACE  when set, also report the watched calls that pass

   Counters live in each process and are copied by fork, so ORVA_FAULT_WHO
   is what tells the supervisor's calls from its children's: the supervisor
   is process 1 of its PID namespace, everything else is not.

   Each injected failure, and with ORVA_FAULT_TRACE each watched call,
   writes one line to stdout, leaving stderr to the diagnostics under test:
     fault: CALL[ sig=N] injected|passed at=NANOSECONDS
   where NANOSECONDS is CLOCK_MONOTONIC at the call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
  long seen; /* watched calls so far in this process */
};

static struct config cfg;

static const struct {
  const char *name;
  int value;
} errno_names[] = {
    {"EINTR", EINTR},   {"EAGAIN", EAGAIN}, {"EINVAL", EINVAL},
    {"EPERM", EPERM},   {"ESRCH", ESRCH},   {"ECHILD", ECHILD},
    {"ENOMEM", ENOMEM}, {"EACCES", EACCES}, {"ENOTTY", ENOTTY},
    {"EIO", EIO},       {"EFAULT", EFAULT}, {"ENOSYS", ENOSYS},
};

static long number_from_env(const char *name, long fallback) {
  const char *text = getenv(name);
  if (text == NULL || *text == '\0') {
    return fallback;
  }
  return strtol(text, NULL, 10);
}

static int errno_from_env(void) {
  const char *text = getenv("ORVA_FAULT_ERRNO");
  if (text == NULL || *text == '\0') {
    return 0;
  }
  for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i) {
    if (strcmp(text, errno_names[i].name) == 0) {
      return errno_names[i].value;
    }
  }
  return (int)strtol(text, NULL, 10);
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
  cfg.error = errno_from_env();
  cfg.nth = number_from_env("ORVA_FAULT_NTH", 1);
  cfg.count = number_from_env("ORVA_FAULT_COUNT", 1);
  cfg.trace = getenv("ORVA_FAULT_TRACE") != NULL;
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
  const int is_parent = getpid() == 1;
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

/* Each wrapper fails before calling through, so a failed call has no
   effect: a signal stays pending, a child stays unreaped. */
#define FAIL_OR_PASS(name, sig, failed)                                        \
  do {                                                                         \
    const int error_ = should_fail(name, sig);                                 \
    if (error_ != 0) {                                                         \
      errno = error_;                                                          \
      return failed;                                                           \
    }                                                                          \
  } while (0)

pid_t fork(void) {
  FAIL_OR_PASS("fork", 0, -1);
  static pid_t (*real)(void);
  load_next((void **)&real, "fork");
  return real();
}

int setpgid(pid_t pid, pid_t pgid) {
  FAIL_OR_PASS("setpgid", 0, -1);
  static int (*real)(pid_t, pid_t);
  load_next((void **)&real, "setpgid");
  return real(pid, pgid);
}

int sigfillset(sigset_t *set) {
  FAIL_OR_PASS("sigfillset", 0, -1);
  static int (*real)(sigset_t *);
  load_next((void **)&real, "sigfillset");
  return real(set);
}

int sigprocmask(int how, const sigset_t *set, sigset_t *old) {
  FAIL_OR_PASS("sigprocmask", 0, -1);
  static int (*real)(int, const sigset_t *, sigset_t *);
  load_next((void **)&real, "sigprocmask");
  return real(how, set, old);
}

pid_t waitpid(pid_t pid, int *status, int options) {
  FAIL_OR_PASS("waitpid", 0, -1);
  static pid_t (*real)(pid_t, int *, int);
  load_next((void **)&real, "waitpid");
  return real(pid, status, options);
}

int kill(pid_t pid, int sig) {
  FAIL_OR_PASS("kill", sig, -1);
  static int (*real)(pid_t, int);
  load_next((void **)&real, "kill");
  return real(pid, sig);
}

int sigtimedwait(const sigset_t *set, siginfo_t *info,
                 const struct timespec *timeout) {
  FAIL_OR_PASS("sigtimedwait", 0, -1);
  static int (*real)(const sigset_t *, siginfo_t *, const struct timespec *);
  load_next((void **)&real, "sigtimedwait");
  return real(set, info, timeout);
}

int clock_gettime(clockid_t clock, struct timespec *now) {
  FAIL_OR_PASS("clock_gettime", 0, -1);
  static int (*real)(clockid_t, struct timespec *);
  load_next((void **)&real, "clock_gettime");
  return real(clock, now);
}

int nanosleep(const struct timespec *span, struct timespec *left) {
  FAIL_OR_PASS("nanosleep", 0, -1);
  static int (*real)(const struct timespec *, struct timespec *);
  load_next((void **)&real, "nanosleep");
  return real(span, left);
}

int tcsetpgrp(int fd, pid_t pgrp) {
  FAIL_OR_PASS("tcsetpgrp", 0, -1);
  static int (*real)(int, pid_t);
  load_next((void **)&real, "tcsetpgrp");
  return real(fd, pgrp);
}
