// SPDX-License-Identifier: MIT
// The supervisor's loop as the set-up in orva.cpp hands over to it, and
// the reaping and time arithmetic both sides share.
#pragma once

#include "internal.h"

#include <signal.h>
#include <sys/types.h>
#include <time.h>

namespace orva_internal {

constexpr long kNanosPerSecond = 1'000'000'000;

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

[[nodiscard]] constexpr bool is_zero(timespec span) {
  return span.tv_sec == 0 && span.tv_nsec == 0;
}

[[nodiscard]] constexpr bool is_shorter(timespec span, timespec than) {
  return span.tv_sec < than.tv_sec ||
         (span.tv_sec == than.tv_sec && span.tv_nsec < than.tv_nsec);
}

[[nodiscard]] inline bool read_monotonic_clock(Instant &now) {
  return clock_gettime(CLOCK_MONOTONIC, &now.ts) == 0;
}

[[nodiscard]] int exit_code_from_status(int status);

// What a reap found.
enum class Reaped : unsigned char { Failed, Nothing, Found, NoChildLeft };

// Reaps children until `pid` (any child when negative; none when 0) is
// reaped, and gives its raw wait status. Every other child is dropped,
// and said so when `report` is set.
Reaped reap(pid_t pid, int &status, bool nonblock, bool report);

// Reaps every child that has already exited.
void drain(bool report);

// "reaped orphan PID, ..." for a child that was not the program.
void report_reaped(pid_t pid, int status);

// Outside process 1 nothing ends what is left below the supervisor when it
// returns, as the kernel does for process 1: this does, with SIGKILL to
// every process still below it, and reaps until no child is left. Only its
// own children are signalled, since their pids cannot pass to anyone else
// before they are reaped; what was below a killed child comes to the
// subreaper as that child's orphans and is killed in the next round.
void end_what_is_left(bool verbose);

[[nodiscard]] bool is_stop_signal(const Settings &settings, int sig);
[[nodiscard]] bool is_dropped(const Settings &settings, int sig);

// The settings given at all, as the verbose report's first line lists
// them, so that a log shows what the supervisor was told.
Line &with_settings(Line &line, const Settings &settings);

// The supervisor's side of one supervision, from the fork to the end.
class Supervisor {
public:
  // `ends_what_is_left` outside process 1, where the kernel does not.
  Supervisor(pid_t child, const Settings &settings, const sigset_t &full,
             bool ends_what_is_left)
      : child_(child), settings_(settings), full_(full),
        ends_what_is_left_(ends_what_is_left),
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
    return !is_zero(settings_.stop_delay);
  }
  [[nodiscard]] const timespec *wait_timeout();
  void take(int sig);
  void forward(int sig, bool held);
  void arm(int sig, Instant now);
  void release_held();
  void kill_at_deadline();
  void report_end(bool found, int status, int exit_code, int mapped) const;
  // `before`, then "N ms after the stop began", where the clock can tell.
  Line &since_the_stop(Line &line, const char *before) const;
  void stop_the_rest();

  pid_t child_;
  Settings settings_;
  sigset_t full_;
  bool ends_what_is_left_;
  bool stopping_ = false;
  bool kill_sent_ = false;
  // Stop signals held back during the stop delay, and when they go out.
  bool holding_ = false;
  sigset_t held_{};
  Instant release_{};
  Instant began_{};
  Instant deadline_{};
  Duration remaining_;
};

} // namespace orva_internal
