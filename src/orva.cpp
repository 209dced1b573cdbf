// SPDX-License-Identifier: MIT
// The entry point, the supervision loop and the reaping of children.
#include "orva.h"

#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using orva_internal::Line;
using orva_internal::Settings;
using orva_internal::SignalMap;

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
  if (target > 0) {
    return line.text("program ").number(target);
  }
  return line.text("process group ").number(-target);
}

// The settings given at all, as the verbose report's first line lists
// them, so that a log shows what the supervisor was told.
Line &with_settings(Line &line, const Settings &settings) {
  const char *separator = ", with ";
  for (unsigned row = 0; row < orva_internal::kSettingCount; ++row) {
    if ((settings.given & orva_internal::bit(row)) != 0) {
      const orva_internal::Setting &setting = orva_internal::kSettings[row];
      line.text(separator).text(setting.variable).text("=");
      setting.show(line, settings);
      separator = " ";
    }
  }
  return line;
}

[[nodiscard]] bool is_stop_signal(const Settings &settings, int sig) {
  return sigismember(&settings.stop_signals, sig) == 1;
}

[[nodiscard]] bool is_dropped(const Settings &settings, int sig) {
  return settings.signal_map.apply(sig) == SignalMap::kDropped;
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
        remaining_(Duration{settings.stop_timeout}) {
    (void)sigemptyset(&held_);
  }

  // The exit code to end with, or -1 when waiting failed.
  int run();

private:
  // Under scope all the stop signals reach every process; otherwise
  // signals go to the program's group, or to the program alone.
  [[nodiscard]] pid_t target_of(int sig) const {
    if (settings_.stop_all && is_stop_signal(settings_, sig)) {
      return -1;
    }
    return settings_.forward_to_child ? child_ : -child_;
  }
  [[nodiscard]] bool has_stop_delay() const {
    return settings_.stop_delay.tv_sec > 0 || settings_.stop_delay.tv_nsec > 0;
  }
  [[nodiscard]] const timespec *wait_timeout();
  void take(int sig);
  void forward(int sig, bool held);
  void arm(int sig, Instant now);
  void release_held();
  void kill_at_deadline();
  void report_end(bool found, int status, int exit_code, int mapped) const;
  void stop_the_rest();

  pid_t child_;
  Settings settings_;
  sigset_t full_;
  bool stopping_ = false;
  bool kill_sent_ = false;
  // Stop signals held back during the stop delay, and when they go out.
  bool holding_ = false;
  sigset_t held_;
  Instant release_{};
  Instant began_{};
  Instant deadline_{};
  Duration remaining_;
};

// A received signal is dropped, held back for the stop delay, or
// forwarded; the first stop signal arms the stop timeout either way.
void Supervisor::take(int sig) {
  if (is_dropped(settings_, sig)) {
    if (settings_.verbose) {
      Line().text("dropped ").signal(sig).emit();
    }
    return;
  }
  const bool stop = is_stop_signal(settings_, sig);
  Instant now{};
  if (stop && !stopping_ && has_stop_delay() && read_monotonic_clock(now)) {
    arm(sig, now);
    holding_ = true;
    release_ = now + Duration{settings_.stop_delay};
  }
  if (stop && holding_) {
    (void)sigaddset(&held_, sig);
    if (settings_.verbose) {
      Line()
          .text("holding ")
          .signal(sig)
          .text(" for the stop delay of ")
          .seconds(settings_.stop_delay)
          .emit();
    }
    return;
  }
  forward(sig, false);
  if (stop && !stopping_ && read_monotonic_clock(now)) {
    arm(sig, now);
  }
}

void Supervisor::forward(int sig, bool held) {
  const int sent = settings_.signal_map.apply(sig);
  const pid_t target = target_of(sig);
  send(target, sent, "orva: kill");
  if (settings_.verbose) {
    Line line;
    line.text("forwarded ").signal(sig);
    if (sent != sig) {
      line.text(" as ").signal(sent);
    }
    whom(line.text(" to "), target);
    Instant now{};
    if (held && read_monotonic_clock(now)) {
      line.text(", held until ")
          .milliseconds((now - began_).ts)
          .text(" after the stop began");
    }
    line.emit();
  }
}

void Supervisor::arm(int sig, Instant now) {
  began_ = now;
  deadline_ = now + Duration{settings_.stop_timeout};
  remaining_ = Duration{settings_.stop_timeout};
  stopping_ = true;
  if (settings_.verbose) {
    Line()
        .text("stop timeout of ")
        .seconds(settings_.stop_timeout)
        .text(" armed by ")
        .signal(sig)
        .emit();
  }
}

void Supervisor::release_held() {
  holding_ = false;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&held_, sig) == 1) {
      forward(sig, true);
    }
  }
}

void Supervisor::kill_at_deadline() {
  // A stop delay as long as the stop timeout ends here: the held signal
  // never goes out, SIGKILL does.
  holding_ = false;
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

void Supervisor::report_end(bool found, int status, int exit_code,
                            int mapped) const {
  Line line;
  line.text("program ").number(child_).text(" ");
  if (found) {
    line.status(status);
  } else {
    line.text("gone, no child left");
  }
  line.text(", exit code ").number(exit_code);
  if (mapped != exit_code) {
    line.text(" mapped to ").number(mapped);
  }
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
  // shutdown being waited for. One still held back has not gone out.
  if (stopping_ && !holding_) {
    if (settings_.verbose) {
      Line().text("other processes still running, waiting for them").emit();
    }
  } else {
    holding_ = false;
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

// How long the next wait may take: for ever while nothing is pending, else
// until the held signals go out or the deadline passes, whichever is
// first. Either falling due is dealt with here.
const timespec *Supervisor::wait_timeout() {
  if (!stopping_ || kill_sent_) {
    return nullptr;
  }
  Instant now{};
  if (!read_monotonic_clock(now)) {
    // Without a clock, wait as long as was left last time.
    return &remaining_.ts;
  }
  if (now >= deadline_) {
    kill_at_deadline();
    return nullptr;
  }
  if (holding_ && now >= release_) {
    release_held();
  }
  const Instant next =
      holding_ && !(release_ >= deadline_) ? release_ : deadline_;
  remaining_ = next - now;
  return &remaining_.ts;
}

int Supervisor::run() {
  if (settings_.verbose) {
    Line line;
    line.text("started program ")
        .number(child_)
        .text(" in process group ")
        .number(child_);
    with_settings(line, settings_).emit();
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
      const int mapped = settings_.exit_map.apply(exit_code);
      if (settings_.verbose) {
        report_end(reaped == Reaped::Found, status, exit_code, mapped);
      }
      if (settings_.stop_all) {
        stop_the_rest();
        return mapped;
      }
      // Give the group's last processes a moment to exit so that they are
      // reaped here rather than left behind.
      (void)nanosleep(&kExitPause, nullptr);
      drain(settings_.verbose);
      return mapped;
    }

    const int sig = sigtimedwait(&full_, &info, wait_timeout());
    if (sig < 0) {
      if (errno == EAGAIN) {
        // The held signals fall due before the deadline; the next pass
        // sends them.
        if (!holding_) {
          kill_at_deadline();
        }
      } else if (errno != EINTR) {
        perror("orva: sigtimedwait");
      }
      continue;
    }
    if (sig != SIGCHLD) {
      take(sig);
    }
  }
}

// Where the supervisor stands: process 1, a subreaper outside it, or (for
// the pause alone) neither.
enum class Role : unsigned char { ProcessOne, Subreaper, Plain };

// The steps before the fork that supervision and the pause share, with
// every signal blocked: the settings, and what some of them ask of the
// kernel. Outside process 1 the subreaper setting has been read already:
// it decides the role.
void take_settings(Settings &settings, Role role) {
  using orva_internal::bit;
  const unsigned rows = role == Role::ProcessOne ? ~0U
                        : role == Role::Subreaper
                            ? ~bit(orva_internal::kSubreaperRow)
                            : 0U;
  orva_internal::load_settings(settings, rows);
  // kill(-1) outside process 1 reaches every process this user may
  // signal on the machine.
  if (role != Role::ProcessOne && settings.stop_all) {
    Line().text("ORVA_STOP_SCOPE=all needs process 1, using group").emit();
    settings.stop_all = false;
  }
  if (role == Role::Subreaper && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    perror("orva: prctl(PR_SET_CHILD_SUBREAPER)");
  }
  const Instant zero{};
  if ((settings.stop_delay.tv_sec > 0 || settings.stop_delay.tv_nsec > 0) &&
      zero + Duration{settings.stop_delay} >=
          zero + Duration{settings.stop_timeout}) {
    Line()
        .text("stop delay of ")
        .seconds(settings.stop_delay)
        .text(" is not shorter than the stop timeout of ")
        .seconds(settings.stop_timeout)
        .text(", which wins")
        .emit();
  }
  if (settings.parent_death_signal != 0) {
    // The parent may have gone before we asked: then nobody would send
    // the signal, so it is raised here, pending like any other.
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, settings.parent_death_signal) != 0) {
      perror("orva: prctl(PR_SET_PDEATHSIG)");
    } else if (getppid() != parent) {
      (void)kill(getpid(), settings.parent_death_signal);
    }
  }
}

int orva_supervise(int (*submain)(int, char **), int argc, char **argv,
                   const Settings &given, Role role) {
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

  Settings settings = given;
  take_settings(settings, role);

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

// Outside process 1 only the subreaper setting is read: it decides
// whether there is a supervision at all.
[[nodiscard]] bool wants_subreaper(Settings &settings) {
  orva_internal::load_settings(
      settings, orva_internal::bit(orva_internal::kSubreaperRow));
  return settings.subreaper;
}

} // namespace

namespace orva_internal {

int run(int (*submain)(int, char **), int argc, char **argv,
        const Launch &launch) {
  if (submain == nullptr) {
    fprintf(stderr, "orva: submain must not be NULL\n");
    return kMissingMain;
  }
  if (getpid() == 1) {
    return orva_supervise(submain, argc, argv, launch.settings,
                          Role::ProcessOne);
  }
  Settings settings = launch.settings;
  if (wants_subreaper(settings)) {
    return orva_supervise(submain, argc, argv, settings, Role::Subreaper);
  }
  return submain(argc, argv);
}

int pause_until_stopped(const Launch &launch) {
  Settings settings = launch.settings;
  const Role role = getpid() == 1               ? Role::ProcessOne
                    : wants_subreaper(settings) ? Role::Subreaper
                                                : Role::Plain;
  sigset_t full;
  if (sigfillset(&full) != 0) {
    perror("orva: sigfillset");
    return kSupervisorFailure;
  }
  (void)sigdelset(&full, SIGKILL);
  (void)sigdelset(&full, SIGSTOP);
  BlockedSignals mask;
  if (!mask.block(full)) {
    perror("orva: sigprocmask");
    return kSupervisorFailure;
  }
  DefaultChildSignal child_signal;
  take_settings(settings, role);
  if (settings.verbose) {
    Line line;
    with_settings(line.text("pausing until a stop signal"), settings).emit();
  }
  siginfo_t info;
  for (;;) {
    drain(settings.verbose);
    const int sig = sigtimedwait(&full, &info, nullptr);
    if (sig < 0) {
      if (errno != EINTR) {
        perror("orva: sigtimedwait");
      }
      continue;
    }
    if (sig == SIGCHLD) {
      continue;
    }
    const bool ends =
        is_stop_signal(settings, sig) && !is_dropped(settings, sig);
    if (settings.verbose) {
      Line().text(ends ? "pause ended by " : "ignored ").signal(sig).emit();
    }
    if (ends) {
      drain(settings.verbose);
      return 0;
    }
  }
}

} // namespace orva_internal

int orva_run(int (*submain)(int, char **), int argc, char **argv) {
  orva_internal::Launch launch;
  orva_internal::default_settings(launch.settings);
  return orva_internal::run(submain, argc, argv, launch);
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
