// SPDX-License-Identifier: MIT
// The supervision core and the reaping it stands on. Supervisor::run is one
// loop for every role: it takes each signal, reaps each child and keeps the
// stop timeout until the program has ended, and then, where nobody else
// will, ends what the program left behind.
#pragma once

#include "clock.h"
#include "settings.h"

#include <signal.h>
#include <sys/types.h>
#include <time.h>

namespace orva_internal {

class Line;

// Where the supervisor stands, which decides who ends what is left below
// it when it returns.
enum class Role : unsigned char {
  ProcessOne, // the kernel ends the namespace with process 1
  Subreaper,  // nobody would: the core ends it itself
  Plain,      // a pause with neither, which only reaps what it is given
};

// What a reap found.
enum class Reaped : unsigned char { Failed, Nothing, Found, NoChildLeft };

// Reaps children until `pid` (any child when negative; none when 0) is
// reaped, and gives its raw wait status. Every other child is dropped, and
// said so when `report` is set.
[[nodiscard]] Reaped reap(pid_t pid, int &status, bool nonblock, bool report);

// 0 to 255 for an exit, 128 + n for death by signal n, else 1.
[[nodiscard]] int exit_code_from_status(int status);

class Supervisor {
public:
  // `program` is the managed child, or 0 for the pause, which runs none
  // and ends with 0 at the first stop signal. `full` is the set of signals
  // the caller has blocked, every one that can be.
  Supervisor(Role role, pid_t program, const Settings &settings,
             const sigset_t &full);

  // The exit code to end with, or -1 when waiting for the program failed.
  [[nodiscard]] int run();

private:
  enum class Phase : unsigned char {
    Running,      // no stop yet
    Delaying,     // the first stop signal is held back; the stop timeout runs
    Stopping,     // the stop signal is out; SIGKILL follows at the deadline
    Killed,       // SIGKILL is out; only the program's end is awaited
    Ending,       // the program has ended; the rest are being ended
    EndingKilled, // ... and have had SIGKILL
    Done,
  };

  void announce() const;
  [[nodiscard]] bool reap_children();
  void drain();
  void program_ended(bool found, int status);
  void begin_ending();
  void keep_ending();
  void finish_ending(const char *how);
  void end_below();
  [[nodiscard]] const sigset_t *wait_set() const;
  [[nodiscard]] const timespec *wait_timeout();
  void take(int sig);
  void take_in_pause(int sig);
  void forward(int sig, bool held);
  void arm(int sig, Instant now);
  void release_held();
  void kill_at_deadline();
  [[nodiscard]] bool is_ending() const {
    return phase_ == Phase::Ending || phase_ == Phase::EndingKilled;
  }
  [[nodiscard]] pid_t target_of(int sig) const;
  // `before`, then "N ms after the stop began", where the clock can tell.
  Line &since_the_stop(Line &line, const char *before) const;

  Role role_;
  pid_t program_;
  // The supervision's own, which outlive it: not copied onto its stack.
  // NOLINTNEXTLINE(*-avoid-const-or-ref-data-members)
  const Settings &settings_;
  sigset_t full_;
  sigset_t child_ended_{};
  Phase phase_ = Phase::Running;
  int exit_code_ = 0;
  bool children_left_ = true;
  sigset_t held_{}; // stop signals held back during the stop delay
  Instant release_{};
  Instant began_{};
  Instant deadline_{};
  Instant give_up_{};
  Duration remaining_; // the wait while stopping, and again without a clock
};

} // namespace orva_internal
