// SPDX-License-Identifier: MIT
#include "orva.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kSupervisorFailure = 111;
constexpr int kMissingMain = 64;
constexpr time_t kDefaultStopSeconds = 30;
constexpr timespec kDefaultStopTimeout{.tv_sec = kDefaultStopSeconds,
                                       .tv_nsec = 0};
constexpr timespec kExitPause{.tv_sec = 0, .tv_nsec = 50'000'000};
constexpr long kNanosPerSecond = 1'000'000'000;
// No C++ library header: the same file builds against any C library alone.
static_assert(static_cast<time_t>(-1) < 0, "time_t must be signed");
constexpr time_t kMaxSeconds =
    static_cast<time_t>((1ULL << (sizeof(time_t) * 8 - 1)) - 1);

// A span of time and a point on CLOCK_MONOTONIC are different things; the
// two types keep a deadline from being handed where a timeout belongs.
struct Duration {
  timespec ts;
};

struct Instant {
  timespec ts;
};

// Saturates at the largest representable time: a huge stop timeout means
// "never", not a deadline that wrapped into the past.
[[nodiscard]] constexpr Instant operator+(Instant at, Duration span) {
  constexpr Instant kNever{
      {.tv_sec = kMaxSeconds, .tv_nsec = kNanosPerSecond - 1}};
  if (span.ts.tv_sec > kMaxSeconds - at.ts.tv_sec) {
    return kNever;
  }
  timespec sum{.tv_sec = at.ts.tv_sec + span.ts.tv_sec,
               .tv_nsec = at.ts.tv_nsec + span.ts.tv_nsec};
  if (sum.tv_nsec >= kNanosPerSecond) {
    if (sum.tv_sec == kMaxSeconds) {
      return kNever;
    }
    sum.tv_nsec -= kNanosPerSecond;
    ++sum.tv_sec;
  }
  return Instant{sum};
}

[[nodiscard]] constexpr bool operator>=(Instant now, Instant deadline) {
  return now.ts.tv_sec > deadline.ts.tv_sec ||
         (now.ts.tv_sec == deadline.ts.tv_sec &&
          now.ts.tv_nsec >= deadline.ts.tv_nsec);
}

// Only meaningful while the deadline lies ahead of now.
[[nodiscard]] constexpr Duration operator-(Instant deadline, Instant now) {
  timespec left{.tv_sec = deadline.ts.tv_sec - now.ts.tv_sec,
                .tv_nsec = deadline.ts.tv_nsec - now.ts.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_nsec += kNanosPerSecond;
    --left.tv_sec;
  }
  return Duration{left};
}

[[nodiscard]] bool read_monotonic_clock(Instant &now) {
  return clock_gettime(CLOCK_MONOTONIC, &now.ts) == 0;
}

[[nodiscard]] int fail_with(int error) {
  errno = error;
  return -1;
}

// Blocks a set of signals and puts the caller's mask back exactly once:
// explicitly, or when the guard goes out of scope on any return path.
class BlockedSignals {
public:
  BlockedSignals() = default;
  BlockedSignals(const BlockedSignals &) = delete;
  BlockedSignals &operator=(const BlockedSignals &) = delete;
  BlockedSignals(BlockedSignals &&) = delete;
  BlockedSignals &operator=(BlockedSignals &&) = delete;
  ~BlockedSignals() { (void)restore(); }

  [[nodiscard]] bool block(const sigset_t &set) {
    if (sigprocmask(SIG_BLOCK, &set, &saved_) != 0) {
      return false;
    }
    armed_ = true;
    return true;
  }

  // Keeps errno when it succeeds, so a message printed after it still
  // names the failure that led here.
  [[nodiscard]] bool restore() {
    if (!armed_) {
      return true;
    }
    armed_ = false;
    const int saved_errno = errno;
    if (sigprocmask(SIG_SETMASK, &saved_, nullptr) != 0) {
      return false;
    }
    errno = saved_errno;
    return true;
  }

private:
  sigset_t saved_{};
  bool armed_ = false;
};

// An ignored SIGCHLD survives exec and makes the kernel reap children on
// its own without raising SIGCHLD: the supervisor would wait for ever and
// lose the exit code. While it supervises, SIGCHLD has its default action;
// the caller's comes back on every return path, and in the child before
// submain.
class DefaultChildSignal {
public:
  DefaultChildSignal() {
    if (sigaction(SIGCHLD, nullptr, &saved_) != 0 ||
        (saved_.sa_handler != SIG_IGN &&
         (saved_.sa_flags & SA_NOCLDWAIT) == 0)) {
      return;
    }
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    armed_ = sigaction(SIGCHLD, &standard, nullptr) == 0;
  }
  DefaultChildSignal(const DefaultChildSignal &) = delete;
  DefaultChildSignal &operator=(const DefaultChildSignal &) = delete;
  DefaultChildSignal(DefaultChildSignal &&) = delete;
  DefaultChildSignal &operator=(DefaultChildSignal &&) = delete;
  ~DefaultChildSignal() { restore(); }

  void restore() {
    if (armed_) {
      armed_ = false;
      (void)sigaction(SIGCHLD, &saved_, nullptr);
    }
  }

private:
  struct sigaction saved_ = {};
  bool armed_ = false;
};

[[nodiscard]] int exit_code_from_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 1;
}

// Sends to the child's whole group; one that has already gone (ESRCH) is
// not an error. `what` names the call in the message of any other failure.
void signal_group(pid_t child, int sig, const char *what) {
  if (kill(-child, sig) != 0 && errno != ESRCH) {
    perror(what);
  }
}

int orva_supervise(int (*submain)(int, char **), int argc, char **argv) {
  sigset_t full;
  if (sigfillset(&full) != 0) {
    perror("orva: sigfillset");
    return kSupervisorFailure;
  }
  (void)sigdelset(&full, SIGKILL);
  (void)sigdelset(&full, SIGSTOP);

  // Signals must be blocked before the fork, or one sent in between would
  // meet process 1's default disposition and be lost.
  BlockedSignals mask;
  if (!mask.block(full)) {
    perror("orva: sigprocmask");
    return kSupervisorFailure;
  }

  DefaultChildSignal child_signal;

  timespec stop_timeout{};
  (void)orva_load_stop_timeout(&stop_timeout);

  // Whatever the caller left in stdio buffers would otherwise be written
  // twice, once by each process.
  (void)fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    perror("orva: fork");
    return kSupervisorFailure;
  }

  if (child == 0) {
    if (setpgid(0, 0) != 0) {
      perror("orva: child setpgid");
      _exit(kSupervisorFailure);
    }
    // Take the terminal before submain can touch it: a program that reads
    // at once from a background group would stop on SIGTTIN for good.
    // SIGTTOU is still blocked, so asking cannot stop us either.
    (void)orva_set_foreground_pgrp_for_stdio(getpid());
    child_signal.restore();
    if (!mask.restore()) {
      perror("orva: child sigprocmask");
      _exit(kSupervisorFailure);
    }
    return submain(argc, argv);
  }

  // Both sides set the group so that neither has to wait for the other;
  // EACCES means the child has already exec'd, ESRCH that it is gone.
  if (setpgid(child, child) != 0 && errno != EACCES && errno != ESRCH) {
    perror("orva: parent setpgid");
  }
  if (orva_set_foreground_pgrp_for_stdio(child) != 0) {
    perror("orva: tcsetpgrp");
  }

  bool stopping = false;
  bool kill_sent = false;
  Instant deadline{};
  Duration remaining{stop_timeout};
  siginfo_t info;
  for (;;) {
    // Reaping before every wait means a SIGCHLD that arrives in between
    // stays pending and ends the wait at once.
    int exit_code = 0;
    const int reaped = orva_wait_for_managed_child(child, &exit_code, 1);
    if (reaped < 0) {
      perror("orva: waitpid");
      return kSupervisorFailure;
    }
    if (reaped == 1) {
      // Give the group's last processes a moment to exit so that they are
      // reaped here rather than left behind.
      (void)nanosleep(&kExitPause, nullptr);
      orva_drain_zombies_nonblock();
      child_signal.restore();
      (void)mask.restore();
      return exit_code;
    }

    const timespec *timeout = nullptr;
    if (stopping && !kill_sent) {
      Instant now{};
      if (!read_monotonic_clock(now)) {
        // Without a clock, wait as long as was left last time.
        timeout = &remaining.ts;
      } else if (now >= deadline) {
        signal_group(child, SIGKILL, "orva: kill(SIGKILL)");
        kill_sent = true;
      } else {
        remaining = deadline - now;
        timeout = &remaining.ts;
      }
    }

    const int sig = sigtimedwait(&full, &info, timeout);
    if (sig < 0) {
      if (errno == EAGAIN) {
        signal_group(child, SIGKILL, "orva: kill(SIGKILL)");
        kill_sent = true;
      } else if (errno != EINTR) {
        perror("orva: sigtimedwait");
      }
      continue;
    }
    if (sig == SIGCHLD) {
      continue;
    }
    signal_group(child, sig, "orva: kill");
    Instant now{};
    if (!stopping && orva_is_terminate_signal(sig) == 1 &&
        read_monotonic_clock(now)) {
      deadline = now + Duration{stop_timeout};
      remaining = Duration{stop_timeout};
      stopping = true;
    }
  }
}

// Reads one component's unit letter; 0 for anything else.
[[nodiscard]] unsigned long seconds_per_unit(char unit) {
  switch (unit) {
  case 'h':
    return 3600;
  case 'm':
    return 60;
  case 's':
    return 1;
  default:
    return 0;
  }
}

[[nodiscard]] bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// The value comes from whoever set up the environment: a newline in it
// would forge a second line and an escape sequence would reach the
// terminal, so control characters are shown as \xHH.
void report_invalid_setting(const char *name, const char *text) {
  const char *control = text;
  while (*control != '\0' && !is_control(*control)) {
    ++control;
  }
  if (*control == '\0') {
    fprintf(stderr, "orva: invalid %s=%s, using default %ds\n", name, text,
            static_cast<int>(kDefaultStopSeconds));
    return;
  }
  fprintf(stderr, "orva: invalid %s=", name);
  for (const char *run = text; *run != '\0';) {
    size_t plain = 0;
    while (run[plain] != '\0' && !is_control(run[plain])) {
      ++plain;
    }
    if (plain > 0) {
      (void)fwrite(run, 1, plain, stderr);
      run += plain;
    } else {
      fprintf(stderr, "\\x%02x", static_cast<unsigned char>(*run));
      ++run;
    }
  }
  fprintf(stderr, ", using default %ds\n",
          static_cast<int>(kDefaultStopSeconds));
}

} // namespace

int orva_run(int (*submain)(int, char **), int argc, char **argv) {
  if (submain == nullptr) {
    fprintf(stderr, "orva: submain must not be NULL\n");
    return kMissingMain;
  }
  if (getpid() == 1) {
    return orva_supervise(submain, argc, argv);
  }
  return submain(argc, argv);
}

int orva_load_stop_timeout(struct timespec *out) {
  if (out == nullptr) {
    return fail_with(EINVAL);
  }
  const char *text = getenv("ORVA_STOP_TIMEOUT");
  if (orva_parse_stop_timeout(text, out) != 0) {
    if (text != nullptr && *text != '\0') {
      report_invalid_setting("ORVA_STOP_TIMEOUT", text);
    }
    *out = kDefaultStopTimeout;
  }
  return 0;
}

int orva_parse_stop_timeout(const char *text, struct timespec *out) {
  if (out == nullptr) {
    return fail_with(EINVAL);
  }
  if (text == nullptr || *text == '\0') {
    *out = kDefaultStopTimeout;
    return 0;
  }
  const int saved_errno = errno;
  constexpr auto kMaxTotal = static_cast<unsigned long>(kMaxSeconds);
  unsigned long total = 0;
  const char *component = text;
  for (;;) {
    // strtoul would skip white space and quietly negate a '-' number.
    const char *sign = component;
    while (isspace(static_cast<unsigned char>(*sign)) != 0) {
      ++sign;
    }
    if (*sign == '-') {
      return fail_with(EINVAL);
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long number = strtoul(component, &end, 10);
    if (end == component || errno == ERANGE) {
      return fail_with(EINVAL);
    }
    unsigned long unit = 1;
    if (*end != '\0') {
      unit = seconds_per_unit(*end);
      if (unit == 0) {
        return fail_with(EINVAL);
      }
      ++end;
    }
    if (number > kMaxTotal / unit || number * unit > kMaxTotal - total) {
      return fail_with(EINVAL);
    }
    total += number * unit;
    if (*end == '\0') {
      break;
    }
    component = end;
  }
  errno = saved_errno;
  *out = timespec{.tv_sec = static_cast<time_t>(total), .tv_nsec = 0};
  return 0;
}

int orva_is_terminate_signal(int sig) {
  return sig == SIGHUP || sig == SIGINT || sig == SIGQUIT || sig == SIGTERM ? 1
                                                                            : 0;
}

int orva_wait_for_managed_child(pid_t pid, int *exit_code, int nonblock) {
  if (exit_code == nullptr) {
    return fail_with(EINVAL);
  }
  const int options = nonblock != 0 ? WNOHANG : 0;
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(-1, &status, options);
    if (reaped == 0) {
      return 0;
    }
    if (reaped < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == ECHILD) {
        // No child left: the managed one has ended, however it went.
        *exit_code = 0;
        return pid < 0 ? 0 : 1;
      }
      return -1;
    }
    if (pid < 0 || reaped == pid) {
      *exit_code = exit_code_from_status(status);
      return 1;
    }
  }
}

void orva_drain_zombies_nonblock() {
  int exit_code = 0;
  while (orva_wait_for_managed_child(-1, &exit_code, 1) == 1) {
  }
}

int orva_is_terminal_fd(int fd) { return fd >= 0 && isatty(fd) == 1 ? 1 : 0; }

int orva_set_foreground_pgrp_for_stdio(pid_t pgrp) {
  int error = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // ENOTTY: not our controlling terminal; EPERM: not our session. Both
    // mean there is nothing here for us to hand over.
    if (orva_is_terminal_fd(fd) == 1 && tcsetpgrp(fd, pgrp) != 0 &&
        errno != ENOTTY && errno != EPERM) {
      error = errno;
    }
  }
  if (error != 0) {
    return fail_with(error);
  }
  return 0;
}
