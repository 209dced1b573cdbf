// SPDX-License-Identifier: MIT
// The supervision loop: every signal taken, dropped, held or forwarded,
// the stop timeout kept, every child reaped, and the program's exit code
// given back.
#include "supervisor.h"

#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace orva_internal {
namespace {

constexpr timespec kExitPause{.tv_sec = 0, .tv_nsec = 50'000'000};

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

// Whether any process but process 1 is left in the namespace, zombies of
// other parents included; kill(-1) reaches those entered from outside too,
// which are not our children.
[[nodiscard]] bool others_left() { return kill(-1, 0) == 0; }

} // namespace

int exit_code_from_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 1;
}

void report_reaped(pid_t pid, int status) {
  Line().text("reaped orphan ").number(pid).text(", ").status(status).emit();
}

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
      report_reaped(reaped, raw);
    }
  }
}

void drain(bool report) {
  int status = 0;
  (void)reap(0, status, true, report);
}

namespace {

// Whether `process` descends from `ancestor`, as far as its first hops up
// tell; only for the report, so a chain that ends early says no.
[[nodiscard]] bool is_below(const ProcessStat &process, pid_t ancestor) {
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

void end_what_is_left(bool verbose) {
  // For a child handed over without a SIGCHLD: short enough that it is
  // found soon, long enough not to spin.
  constexpr timespec kStep{.tv_sec = 0, .tv_nsec = 100'000'000};
  const pid_t self = getpid();
  for (bool first = true;; first = false) {
    Line line;
    Line::Listing listing;
    bool listing_open = verbose && first;
    line.text("SIGKILL to the processes left behind:");
    int killed = 0;
    const bool known = each_process([&](const ProcessStat &process) {
      if (process.state == 'Z' || process.state == 'X') {
        return true;
      }
      if (process.ppid == self) {
        send(static_cast<pid_t>(process.pid), SIGKILL, "orva: kill(SIGKILL)");
        ++killed;
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
      drain(verbose);
      return;
    }
    if (listing.listed > 0) {
      line.end_list(listing).emit();
    }
    // Each one killed is sure to end, so these waits cannot hang.
    for (int waits = killed; waits > 0; --waits) {
      int status = 0;
      pid_t reaped = -1;
      do {
        reaped = waitpid(-1, &status, 0);
      } while (reaped < 0 && errno == EINTR);
      if (reaped < 0) {
        break;
      }
      if (verbose) {
        report_reaped(reaped, status);
      }
    }
    int status = 0;
    if (reap(0, status, true, verbose) != Reaped::Nothing) {
      return;
    }
    // What the killed left below them is ours now: look again at once.
    if (killed > 0) {
      continue;
    }
    sigset_t child_ended;
    (void)sigemptyset(&child_ended);
    (void)sigaddset(&child_ended, SIGCHLD);
    siginfo_t info;
    (void)sigtimedwait(&child_ended, &info, &kStep);
  }
}

Line &with_settings(Line &line, const Settings &settings) {
  const char *separator = ", with ";
  unsigned row = 0;
  for (const Setting &setting : kSettings) {
    if ((settings.given & bit(row++)) != 0) {
      line.text(separator).text(setting.variable).text("=");
      setting.show(line, settings);
      separator = " ";
    }
  }
  return line;
}

bool is_stop_signal(const Settings &settings, int sig) {
  return sigismember(&settings.stop_signals, sig) == 1;
}

bool is_dropped(const Settings &settings, int sig) {
  return settings.signal_map.apply(sig) == kSignalDropped;
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
    if (held) {
      since_the_stop(line, ", held until ");
    }
    line.emit();
  }
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
  if (stopping_) {
    since_the_stop(line, ", ");
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
    since_the_stop(line, ", ").emit();
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
      if (ends_what_is_left_) {
        end_what_is_left(settings_.verbose);
      }
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
} // namespace orva_internal
