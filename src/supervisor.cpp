// SPDX-License-Identifier: MIT
// Supervisor::run, the one loop: reap, wait for a signal (with a timeout
// only while something falls due), take it. Its phases say what is awaited:
// nothing yet, the end of the stop delay, the deadline, the program's end,
// and, once the program has ended under scope all or as a subreaper, the
// end of what it left behind.
#include "supervisor.h"

#include "clock.h"
#include "line.h"
#include "processes.h"
#include "settings.h"

#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace orva_internal {
namespace {

constexpr timespec kExitPause{.tv_sec = 0, .tv_nsec = 50'000'000};
// Processes entered from outside the namespace send no SIGCHLD, so under
// scope all the end of the rest is looked for at short steps.
constexpr timespec kEndingStep{.tv_sec = 0, .tv_nsec = 20'000'000};
// Time for the killed to go; what is left then, the kernel ends with us.
constexpr Duration kKillGrace{{.tv_sec = 1, .tv_nsec = 0}};
// A subreaper looks again this often for an orphan handed to it without
// a SIGCHLD of its own.
constexpr Duration kBelowStep{{.tv_sec = 0, .tv_nsec = 100'000'000}};

void send(pid_t target, int sig, const char *what);
Line &whom(Line &line, pid_t target);
[[nodiscard]] bool others_left();
[[nodiscard]] bool is_below(const ProcessStat &process, pid_t ancestor);

} // namespace

Supervisor::Supervisor(Role role, pid_t program, const Settings &settings,
                       const sigset_t &full)
    : role_(role), program_(program), settings_(settings), full_(full),
      remaining_(Duration{settings.stop_timeout}) {
  (void)sigemptyset(&child_ended_);
  (void)sigaddset(&child_ended_, SIGCHLD);
  (void)sigemptyset(&held_);
}

int Supervisor::run() {
  announce();
  siginfo_t info;
  for (;;) {
    // Reaping before every wait means a SIGCHLD that arrives in between
    // stays pending and ends the wait at once.
    if (!reap_children()) {
      return -1;
    }
    if (is_ending()) {
      keep_ending();
    }
    if (phase_ == Phase::Done) {
      return exit_code_;
    }
    const int sig = sigtimedwait(wait_set(), &info, wait_timeout());
    if (sig < 0) {
      // The wait ran out: at the deadline, unless the stop delay or a step
      // of the ending fell due first, which the next pass takes up.
      if (errno == EAGAIN && phase_ == Phase::Stopping) {
        kill_at_deadline();
      } else if (errno != EAGAIN && errno != EINTR) {
        report_error("sigtimedwait");
      }
    } else if (sig != SIGCHLD && program_ == 0) {
      take_in_pause(sig);
    } else if (sig != SIGCHLD) {
      take(sig);
    }
  }
}

void Supervisor::announce() const {
  if (!settings_.verbose) {
    return;
  }
  Line line;
  if (program_ == 0) {
    line.text("pausing until a stop signal");
  } else {
    line.text("started program ")
        .number(program_)
        .text(" in process group ")
        .number(program_);
  }
  show_given(line, settings_).emit();
}

// False only when waiting for the program failed.
bool Supervisor::reap_children() {
  if (program_ == 0 || is_ending()) {
    drain();
    return true;
  }
  int status = 0;
  const Reaped reaped = reap(program_, status, true, settings_.verbose);
  if (reaped == Reaped::Failed) {
    return false;
  }
  if (reaped != Reaped::Nothing) {
    program_ended(reaped == Reaped::Found, status);
  }
  return true;
}

// Reaps every child that has exited, and notes whether any is left.
void Supervisor::drain() {
  int status = 0;
  children_left_ = reap(0, status, true, settings_.verbose) == Reaped::Nothing;
}

void Supervisor::program_ended(bool found, int status) {
  const int exit_code = exit_code_from_status(status);
  exit_code_ = settings_.exit_map.apply(exit_code);
  if (settings_.verbose) {
    Line line;
    line.text("program ").number(program_).text(" ");
    if (found) {
      line.status(status);
    } else {
      line.text("gone, no child left");
    }
    line.text(", exit code ").number(exit_code);
    if (exit_code_ != exit_code) {
      line.text(" mapped to ").number(exit_code_);
    }
    if (phase_ != Phase::Running) {
      since_the_stop(line, ", ");
    }
    line.emit();
  }
  if (role_ == Role::ProcessOne && settings_.stop_all) {
    begin_ending();
    return;
  }
  // Give the group's last processes a moment to exit so that they are
  // reaped here rather than left behind.
  (void)nanosleep(&kExitPause, nullptr);
  drain();
  phase_ =
      role_ == Role::Subreaper && children_left_ ? Phase::Ending : Phase::Done;
}

// Under scope all the program's end is the end for everyone else too:
// SIGTERM to all, unless a stop signal has already gone to all (a second
// SIGTERM is what many programs take as "quit at once"), and the stop
// timeout from the first stop signal, or from now.
void Supervisor::begin_ending() {
  drain();
  if (!others_left()) {
    phase_ = Phase::Done;
    return;
  }
  const bool told = phase_ == Phase::Stopping || phase_ == Phase::Killed;
  if (settings_.verbose) {
    Line()
        .text(told ? "other processes still running, waiting for them"
                   : "other processes still running, SIGTERM to every "
                     "process")
        .emit();
  }
  if (!told) {
    send(-1, SIGTERM, "kill");
  }
  Instant now{};
  // Without a clock there is no deadline to keep: SIGKILL at once.
  if (phase_ == Phase::Running && read_monotonic_clock(now)) {
    began_ = now;
    deadline_ = now + Duration{settings_.stop_timeout};
  }
  phase_ = Phase::Ending;
}

// One pass of the ending: done once nobody is left, SIGKILL at the
// deadline, and a short step to the next look.
void Supervisor::keep_ending() {
  if (role_ == Role::Subreaper) {
    end_below();
    return;
  }
  if (!others_left()) {
    finish_ending("no process left");
    return;
  }
  Instant now{};
  const bool have_clock = read_monotonic_clock(now);
  if (phase_ == Phase::Ending && (!have_clock || now >= deadline_)) {
    kill_at_deadline();
    give_up_ = now + kKillGrace;
  } else if (phase_ == Phase::EndingKilled &&
             (!have_clock || now >= give_up_)) {
    finish_ending("processes left after SIGKILL");
    return;
  }
  Duration step = (phase_ == Phase::EndingKilled ? give_up_ : deadline_) - now;
  if (step.ts.tv_sec != 0 || step.ts.tv_nsec > kEndingStep.tv_nsec) {
    step = Duration{kEndingStep};
  }
  remaining_ = step;
}

void Supervisor::finish_ending(const char *how) {
  if (settings_.verbose) {
    Line line;
    since_the_stop(line.text(how), ", ").emit();
  }
  phase_ = Phase::Done;
}

// As a subreaper, what the kernel does when process 1 ends: SIGKILL to
// every child, until none is left. Only children are signalled, since their
// pids cannot pass to anyone else before they are reaped; what was below a
// killed child comes to us as its orphans and is killed in a later pass.
void Supervisor::end_below() {
  if (!children_left_) {
    phase_ = Phase::Done;
    return;
  }
  const pid_t self = getpid();
  Line line;
  Line::Listing listing;
  bool listing_open = settings_.verbose && phase_ == Phase::Ending;
  line.text("SIGKILL to the processes left behind:");
  const bool known = each_process([&](const ProcessStat &process) {
    if (process.state == 'Z' || process.state == 'X') {
      return true;
    }
    if (process.ppid == self) {
      send(static_cast<pid_t>(process.pid), SIGKILL, "kill(SIGKILL)");
    }
    if (listing_open && is_below(process, self)) {
      listing_open = line.list(process, listing);
    }
    return true;
  });
  if (!known) {
    Line()
        .text("/proc is not this namespace's: the processes left behind "
              "may live on")
        .emit();
    phase_ = Phase::Done;
    return;
  }
  if (listing.listed > 0) {
    line.end_list(listing).emit();
  }
  phase_ = Phase::EndingKilled;
  remaining_ = kBelowStep;
}

const sigset_t *Supervisor::wait_set() const {
  return is_ending() ? &child_ended_ : &full_;
}

// How long the next wait may take: for ever while nothing falls due, else
// until the held signals go out or the deadline passes, whichever is
// first. Either falling due is dealt with here.
const timespec *Supervisor::wait_timeout() {
  if (is_ending()) {
    return &remaining_.ts;
  }
  if (phase_ != Phase::Delaying && phase_ != Phase::Stopping) {
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
  if (phase_ == Phase::Delaying && now >= release_) {
    release_held();
  }
  const Instant next = phase_ == Phase::Delaying && !(release_ >= deadline_)
                           ? release_
                           : deadline_;
  remaining_ = next - now;
  return &remaining_.ts;
}

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
  if (stop && phase_ == Phase::Running && !is_zero(settings_.stop_delay) &&
      read_monotonic_clock(now)) {
    arm(sig, now);
    phase_ = Phase::Delaying;
    release_ = now + Duration{settings_.stop_delay};
  }
  if (stop && phase_ == Phase::Delaying) {
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
  if (stop && phase_ == Phase::Running && read_monotonic_clock(now)) {
    arm(sig, now);
  }
}

void Supervisor::take_in_pause(int sig) {
  const bool ends =
      is_stop_signal(settings_, sig) && !is_dropped(settings_, sig);
  if (settings_.verbose) {
    Line().text(ends ? "pause ended by " : "ignored ").signal(sig).emit();
  }
  if (ends) {
    drain();
    phase_ = role_ == Role::Subreaper && children_left_ ? Phase::Ending
                                                        : Phase::Done;
  }
}

void Supervisor::forward(int sig, bool held) {
  const int sent = settings_.signal_map.apply(sig);
  const pid_t target = target_of(sig);
  send(target, sent, "kill");
  if (settings_.verbose) {
    Line line;
    line.text("forwarded ").signal(sig);
    if (sent != sig) {
      line.text(" as ").signal(sent);
    }
    whom(line.text(" to "), target);
    if (held) {
      since_the_stop(line, ", held until ");
    }
    line.emit();
  }
}

void Supervisor::arm(int sig, Instant now) {
  began_ = now;
  deadline_ = now + Duration{settings_.stop_timeout};
  remaining_ = Duration{settings_.stop_timeout};
  phase_ = Phase::Stopping;
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
  phase_ = Phase::Stopping;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&held_, sig) == 1) {
      forward(sig, true);
    }
  }
}

// A stop delay as long as the stop timeout ends here too: the held signal
// never goes out, SIGKILL does.
void Supervisor::kill_at_deadline() {
  const pid_t target = settings_.stop_all ? -1 : -program_;
  if (settings_.verbose) {
    Line line;
    whom(line.text("stop timeout passed, SIGKILL to "), target)
        .text("; still running:")
        .running_processes(settings_.stop_all ? 0 : program_)
        .emit();
  }
  send(target, SIGKILL, "kill(SIGKILL)");
  phase_ = is_ending() ? Phase::EndingKilled : Phase::Killed;
}

// Under scope all the stop signals reach every process; otherwise
// signals go to the program's group, or to the program alone.
pid_t Supervisor::target_of(int sig) const {
  if (settings_.stop_all && is_stop_signal(settings_, sig)) {
    return -1;
  }
  return settings_.forward_to_child ? program_ : -program_;
}

Line &Supervisor::since_the_stop(Line &line, const char *before) const {
  Instant now{};
  if (read_monotonic_clock(now)) {
    line.text(before)
        .milliseconds((now - began_).ts)
        .text(" after the stop began");
  }
  return line;
}

namespace {

// Sends to `target` (a negated group, or -1 for every process but process
// 1); one that has already gone (ESRCH) is not an error. `what` names the
// call in the message of any other failure.
void send(pid_t target, int sig, const char *what) {
  if (kill(target, sig) != 0 && errno != ESRCH) {
    report_error(what);
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

// Whether any process but process 1 is left in the namespace, zombies of
// other parents included; kill(-1) reaches those entered from outside too,
// which are not our children.
bool others_left() { return kill(-1, 0) == 0; }

// Whether `process` descends from `ancestor`, as far as its first hops up
// tell; only for the report, so a chain that ends early says no.
bool is_below(const ProcessStat &process, pid_t ancestor) {
  constexpr int kMaxHops = 32;
  long parent = process.ppid;
  for (int hop = 0; hop < kMaxHops && parent > 1; ++hop) {
    if (parent == ancestor) {
      return true;
    }
    parent = parent_of(parent);
  }
  return false;
}

} // namespace
} // namespace orva_internal
