// SPDX-License-Identifier: MIT
// One line on stderr, beginning "orva: ", built on the stack and written
// with one write(2) so that it cannot interleave with the program's own
// output. Much of it comes from other processes (their names) and from
// whoever set the environment, so every part goes through one bounded
// append: a part that does not fit cuts the line, marked once with "...",
// and a cut line takes nothing more. printf is left out everywhere: its
// machinery would be most of a static launcher, and nothing here needs
// stdio at all.
#pragma once

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

namespace orva_internal {

struct ProcessStat;

// The decimal digits of `value` at the end of `buffer`; where they begin.
constexpr size_t kDecimalSize = 21; // "-9223372036854775808" and a NUL
// NOLINTBEGIN(*-avoid-c-arrays): no C++ library header here
[[nodiscard]] const char *decimal(long long value,
                                  char (&buffer)[kDecimalSize]);
// "\xHH" for one byte, NUL-terminated.
void hex_escape(unsigned char byte, char (&escape)[5]);
// NOLINTEND(*-avoid-c-arrays)

// "orva: CALL: the error's text" for the errno a failed call left, which
// it keeps.
[[gnu::noinline]] void report_error(const char *call);

// Writes all `length` bytes to `fd`, again after EINTR; 0, or the errno
// of the write that failed (EIO for one that took nothing).
[[nodiscard]] int write_all(int fd, const char *data, size_t length);

class Line {
public:
  // The most one line writes, its newline included.
  static constexpr size_t kCapacity = 2048;

  // The launcher's own lines begin with its name instead.
  explicit Line(const char *prefix = "orva: ");
  // Control characters come out as \xHH in every part: a newline would
  // forge a second line, an escape sequence reach the terminal.
  Line &text(const char *part);
  // A part that is never cut, such as a value the line is about: a line
  // that cannot hold it goes out in several writes instead of one.
  Line &whole(const char *part);
  Line &escaped(const char *part, size_t length);
  Line &number(long long value);
  Line &signal(int sig);
  // The signal's name without SIG, as the settings write it.
  Line &signal_setting(int sig);
  // status as waitpid gives it
  Line &status(int status);
  Line &seconds(timespec span);
  Line &milliseconds(timespec span);
  // " PID (name)" for each live process of group `pgrp`, or of the whole
  // namespace when `pgrp` is 0, as far as /proc can tell.
  Line &running_processes(pid_t pgrp);
  // The same, one process at a time: list() adds one and gives false once
  // the line can take no more; end_list() says " none", or how many more
  // there were than it shows.
  struct Listing {
    size_t listed = 0;
    size_t more = 0;
  };
  bool list(const ProcessStat &process, Listing &listing);
  Line &end_list(const Listing &listing);
  // Writes the line once; later calls, and later parts, do nothing.
  void emit();

  // What the line holds so far: the newline comes with emit.
  [[nodiscard]] const char *data() const { return &buffer_[0]; }
  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] bool is_cut() const { return state_ == State::Cut; }

private:
  enum class State : unsigned char { Open, Streaming, Cut, Sent };
  // The only write into buffer_: all of `unit` or, when it does not fit,
  // the cut mark; a streaming line writes out what it holds instead.
  void append(const char *unit, size_t length);
  void write_out();

  // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
  char buffer_[kCapacity]{};
  size_t size_ = 0;
  State state_ = State::Open;
};

} // namespace orva_internal
