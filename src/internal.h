// SPDX-License-Identifier: MIT
// What the library's source files share with each other. Nothing here is
// exported: the visibility preset hides it from the shared object.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

namespace orva_internal {

// Everything process 1 takes from the environment, read once before the
// fork. The defaults reproduce the supervisor as it is without them.
struct Settings {
  timespec stop_timeout{};
  sigset_t stop_signals{}; // the signals that arm the stop timeout
  bool stop_all = false;   // stop signals and SIGKILL go to every process
  bool verbose = false;
};

// Reads every setting; an invalid one is reported and replaced by its
// default.
void load_settings(Settings &settings);

// Parsers of the settings' texts: each returns false for an invalid text
// and leaves its out-parameter alone then. NULL and "" give the default.
[[nodiscard]] bool parse_stop_signals(const char *text, sigset_t &set);
[[nodiscard]] bool parse_stop_scope(const char *text, bool &all);
[[nodiscard]] bool parse_verbose(const char *text, bool &verbose);

// "orva: invalid NAME=TEXT, FALLBACK", control characters shown as \xHH.
void report_invalid_setting(const char *name, const char *text,
                            const char *fallback);

// The name of a signal without its SIG prefix, or NULL for a realtime or
// unknown one.
[[nodiscard]] const char *signal_name(int sig);

// One line of the verbose report, built on the stack and written with one
// write(2), so that it cannot interleave with the program's own output.
// Much of it comes from other processes (their names), so every part goes
// through one bounded append: a part that does not fit cuts the line,
// marked once with "...", and a cut line takes nothing more.
class Line {
public:
  // The most one line writes, its newline included.
  static constexpr size_t kCapacity = 2048;

  Line();
  Line &text(const char *part);
  Line &number(long long value);
  // Control characters as \xHH: a process name is whatever it set itself.
  Line &escaped(const char *part, size_t length);
  Line &signal(int sig);
  // status as waitpid gives it
  Line &status(int status);
  Line &milliseconds(timespec span);
  // " PID (name)" for each live process of group `pgrp`, or of the whole
  // namespace when `pgrp` is 0, as far as /proc can tell.
  Line &running_processes(pid_t pgrp);
  // Writes the line once; later calls, and later parts, do nothing.
  void emit();

  // What the line holds so far: the newline comes with emit.
  [[nodiscard]] const char *data() const { return &buffer_[0]; }
  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] bool is_cut() const { return state_ == State::Cut; }

private:
  enum class State : unsigned char { Open, Cut, Sent };
  // The only write into buffer_: all of `unit` or, when it does not fit,
  // the cut mark.
  void append(const char *unit, size_t length);

  // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
  char buffer_[kCapacity]{};
  size_t size_ = 0;
  State state_ = State::Open;
};

} // namespace orva_internal
