// SPDX-License-Identifier: MIT
// The entry point, the supervision loop and the reaping of children.
#include "orva.h"

#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using orva_internal::Line;
using orva_internal::Settings;

constexpr int kSupervisorFailure = 111;
constexpr int kMissingMain = 64;
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
  // An unsigned constant on some targets, against an int field.
  static constexpr int kNoChildWait = SA_NOCLDWAIT;

public:
  DefaultChildSignal() {
    if (sigaction(SIGCHLD, nullptr, &saved_) != 0 ||
        (saved_.sa_handler != SIG_IGN &&
         (saved_.sa_flags & kNoChildWait) == 0)) {
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

// What a reap found.
enum class Reaped : unsigned char { Failed, Nothing, Found, NoChildLeft };

// Reaps children until `pid` (any child when negative; none when 0) is
// reaped, and gives its raw wait status. Every other child is dropped,
// and said so when `report` is set.
Reaped reap(pid_t pid, int &status, bool nonblock, bool report) {
  const int options = nonblock ? WNOHANG : 0;
  for (;;) {
    int raw = 0;
    const pid_t reaped = waitpid(-1, &raw, options);
    if (reaped == 0) {
      return Reaped::Nothing;
    }
    if (reaped < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == ECHILD ? Reaped::NoChildLeft : Reaped::Failed;
    }
    if (pid < 0 || reaped == pid) {
      status = raw;
      return Reaped::Found;
    }
    if (report) {
      Line()
          .text("reaped orphan ")
          .number(reaped)
          .text(", ")
          .status(raw)
          .emit();
    }
  }
}

// Reaps every child that has already exited.
void drain(bool report) {
  int status = 0;
  (void)reap(0, status, true, report);
}

// Sends to `target` (a negated group, or -1 for every process but process
// 1); one that has already gone (ESRCH) is not an error. `what` names the
// call in the message of any other failure.
void send(pid_t target, int sig, const char *what) {
  if (kill(target, sig) != 0 && errno != ESRCH) {
    perror(what);
  }
}

Line &whom(Line &line, pid_t target) {
  if (target == -1) {
    return line.text("every process");
  }
  return line.text("process group ").number(-target);
}

// Whether any process but process 1 is left in the namespace, zombies of
// other parents included; kill(-1) reaches those entered from outside too,
// which are not our children.
[[nodiscard]] bool others_left() { return kill(-1, 0) == 0; }

// The supervisor's side of one supervision, from the fork to the end.
class Supervisor {
public:
  Supervisor(pid_t child, const Settings &settings, const sigset_t &full)
      : child_(child), settings_(settings), full_(full),
        remaining_(Duration{settings.stop_timeout}) {}

  // The managed child's exit code, or -1 when waiting failed.
  int run();

private:
  [[nodiscard]] pid_t target_of(int sig) const {
    return settings_.stop_all && sigismember(&settings_.stop_signals, sig) == 1
               ? -1
               : -child_;
  }
  void forward(int sig);
  void kill_at_deadline();
  void report_end(bool found, int status, int exit_code) const;
  void stop_the_rest();

  pid_t child_;
  Settings settings_;
  sigset_t full_;
  bool stopping_ = false;
  bool kill_sent_ = false;
  Instant began_{};
  Instant deadline_{};
  Duration remaining_;
};

void Supervisor::forward(int sig) {
  const pid_t target = target_of(sig);
  send(target, sig, "orva: kill");
  if (settings_.verbose) {
    Line line;
    whom(line.text("forwarded ").signal(sig).text(" to "), target).emit();
  }
  Instant now{};
  if (!stopping_ && sigismember(&settings_.stop_signals, sig) == 1 &&
      read_monotonic_clock(now)) {
    began_ = now;
    deadline_ = now + Duration{settings_.stop_timeout};
    remaining_ = Duration{settings_.stop_timeout};
    stopping_ = true;
    if (settings_.verbose) {
      Line()
          .text("stop timeout of ")
          .number(settings_.stop_timeout.tv_sec)
          .text("s armed by ")
          .signal(sig)
          .emit();
    }
  }
}

void Supervisor::kill_at_deadline() {
  const pid_t target = settings_.stop_all ? -1 : -child_;
  if (settings_.verbose) {
    Line line;
    whom(line.text("stop timeout passed, SIGKILL to "), target)
        .text("; still running:")
        .running_processes(settings_.stop_all ? 0 : child_)
        .emit();
  }
  send(target, SIGKILL, "orva: kill(SIGKILL)");
  kill_sent_ = true;
}

void Supervisor::report_end(bool found, int status, int exit_code) const {
  Line line;
  line.text("program ").number(child_).text(" ");
  if (found) {
    line.status(status);
  } else {
    line.text("gone, no child left");
  }
  line.text(", exit code ").number(exit_code);
  Instant now{};
  if (stopping_ && read_monotonic_clock(now)) {
    line.text(", ")
        .milliseconds((now - began_).ts)
        .text(" after the stop began");
  }
  line.emit();
}

// Under scope all the program's end is the end for everyone else too:
// SIGTERM to all, a wait until none is left or the stop timeout has
// passed, then SIGKILL. Those entered from outside the namespace send no
// SIGCHLD, so the wait looks again at short steps; it is bounded, and no
// such step happens while the program runs.
void Supervisor::stop_the_rest() {
  constexpr timespec kStep{.tv_sec = 0, .tv_nsec = 20'000'000};
  // Time for the killed to go; what is left then, the kernel ends with us.
  constexpr Duration kKillGrace{{.tv_sec = 1, .tv_nsec = 0}};
  drain(settings_.verbose);
  if (!others_left()) {
    return;
  }
  // A stop signal has already gone to every process: a second SIGTERM is
  // what many programs take as "quit at once", cutting short the very
  // shutdown being waited for.
  if (stopping_) {
    if (settings_.verbose) {
      Line().text("other processes still running, waiting for them").emit();
    }
  } else {
    if (settings_.verbose) {
      Line()
          .text("other processes still running, SIGTERM to every process")
          .emit();
    }
    send(-1, SIGTERM, "orva: kill");
  }
  Instant now{};
  // Without a clock there is no deadline to keep: SIGKILL at once.
  bool have_clock = read_monotonic_clock(now);
  if (!stopping_ && have_clock) {
    began_ = now;
    deadline_ = now + Duration{settings_.stop_timeout};
    stopping_ = true;
  }
  sigset_t child_ended;
  (void)sigemptyset(&child_ended);
  (void)sigaddset(&child_ended, SIGCHLD);
  bool killed = false;
  Instant give_up{};
  for (;;) {
    drain(settings_.verbose);
    if (!others_left()) {
      break;
    }
    have_clock = read_monotonic_clock(now);
    if (!killed && (!have_clock || now >= deadline_)) {
      kill_at_deadline();
      killed = true;
      give_up = now + kKillGrace;
      continue;
    }
    if (killed && (!have_clock || now >= give_up)) {
      break;
    }
    Duration step = (killed ? give_up : deadline_) - now;
    if (step.ts.tv_sec > 0 || step.ts.tv_nsec > kStep.tv_nsec) {
      step = Duration{kStep};
    }
    siginfo_t info;
    (void)sigtimedwait(&child_ended, &info, &step.ts);
  }
  if (settings_.verbose) {
    Line line;
    line.text(others_left() ? "processes left after SIGKILL"
                            : "no process left");
    if (read_monotonic_clock(now)) {
      line.text(", ")
          .milliseconds((now - began_).ts)
          .text(" after the stop began");
    }
    line.emit();
  }
}

int Supervisor::run() {
  if (settings_.verbose) {
    Line()
        .text("started program ")
        .number(child_)
        .text(" in process group ")
        .number(child_)
        .emit();
  }
  siginfo_t info;
  for (;;) {
    // Reaping before every wait means a SIGCHLD that arrives in between
    // stays pending and ends the wait at once.
    int status = 0;
    const Reaped reaped = reap(child_, status, true, settings_.verbose);
    if (reaped == Reaped::Failed) {
      return -1;
    }
    if (reaped != Reaped::Nothing) {
      const int exit_code = exit_code_from_status(status);
      if (settings_.verbose) {
        report_end(reaped == Reaped::Found, status, exit_code);
      }
      if (settings_.stop_all) {
        stop_the_rest();
        return exit_code;
      }
      // Give the group's last processes a moment to exit so that they are
      // reaped here rather than left behind.
      (void)nanosleep(&kExitPause, nullptr);
      drain(settings_.verbose);
      return exit_code;
    }

    const timespec *timeout = nullptr;
    if (stopping_ && !kill_sent_) {
      Instant now{};
      if (!read_monotonic_clock(now)) {
        // Without a clock, wait as long as was left last time.
        timeout = &remaining_.ts;
      } else if (now >= deadline_) {
        kill_at_deadline();
      } else {
        remaining_ = deadline_ - now;
        timeout = &remaining_.ts;
      }
    }

    const int sig = sigtimedwait(&full_, &info, timeout);
    if (sig < 0) {
      if (errno == EAGAIN) {
        kill_at_deadline();
      } else if (errno != EINTR) {
        perror("orva: sigtimedwait");
      }
      continue;
    }
    if (sig != SIGCHLD) {
      forward(sig);
    }
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

  Settings settings;
  orva_internal::load_settings(settings);

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

  const int exit_code = Supervisor(child, settings, full).run();
  if (exit_code < 0) {
    perror("orva: waitpid");
    return kSupervisorFailure;
  }
  child_signal.restore();
  (void)mask.restore();
  return exit_code;
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

int orva_wait_for_managed_child(pid_t pid, int *exit_code, int nonblock) {
  if (exit_code == nullptr) {
    return fail_with(EINVAL);
  }
  int status = 0;
  switch (reap(pid, status, nonblock != 0, false)) {
  case Reaped::Found:
    *exit_code = exit_code_from_status(status);
    return 1;
  case Reaped::NoChildLeft:
    // No child left: the managed one has ended, however it went.
    *exit_code = 0;
    return pid < 0 ? 0 : 1;
  case Reaped::Nothing:
    return 0;
  case Reaped::Failed:
    break;
  }
  return -1;
}

void orva_drain_zombies_nonblock() {
  int exit_code = 0;
  while (orva_wait_for_managed_child(-1, &exit_code, 1) == 1) {
  }
}
