// SPDX-License-Identifier: MIT
// What the library's source files share with each other and with the
// launcher, which links the static archive. Nothing here is exported: the
// visibility preset hides it from the shared object.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

namespace orva_internal {

constexpr int kMaxExitCode = 255;
constexpr int kSupervisorFailure = 111;

// No C++ library header: the same file builds against any C library alone.
static_assert(static_cast<time_t>(-1) < 0, "time_t must be signed");
// The longest span a timespec holds, in whole seconds.
constexpr time_t kMaxSeconds =
    static_cast<time_t>((1ULL << (sizeof(time_t) * 8 - 1)) - 1);

// What each of the numbers 0 to `kSize` - 1 becomes; each is itself by
// default, and zero stands for that, so an empty map needs no set-up.
template <size_t kSize, typename Stored> class NumberMap {
public:
  void map(int from, int to) {
    // NOLINTNEXTLINE(*-pro-bounds-constant-array-index): checked by parsers
    to_plus_one_[from] = static_cast<Stored>(to + 1);
  }
  // What `from` becomes, or -1 when it is kept.
  [[nodiscard]] int mapped(int from) const {
    if (from < 0 || static_cast<size_t>(from) >= kSize) {
      return -1;
    }
    // NOLINTNEXTLINE(*-pro-bounds-constant-array-index): range checked
    return to_plus_one_[from] - 1;
  }
  [[nodiscard]] int apply(int from) const {
    const int to = mapped(from);
    return to < 0 ? from : to;
  }

private:
  // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
  Stored to_plus_one_[kSize] = {};
};

// The program's exit code, 0 to 255, as the supervisor gives it back.
using ExitMap =
    NumberMap<static_cast<size_t>(kMaxExitCode) + 1, unsigned short>;
// A received signal as it is forwarded: itself, another, or none.
using SignalMap = NumberMap<static_cast<size_t>(NSIG), unsigned char>;
constexpr int kSignalDropped = 0;

// Everything the supervisor is told, from the environment or from the
// launcher's command line, read once before the fork. The defaults
// reproduce the supervisor as it is without them.
struct Settings {
  timespec stop_timeout{};
  timespec stop_delay{};
  sigset_t stop_signals{}; // the signals that arm the stop timeout
  bool stop_all = false;   // stop signals and SIGKILL go to every process
  bool verbose = false;
  bool forward_to_child = false; // not to the program's whole group
  bool subreaper = false;
  int parent_death_signal = 0;
  ExitMap exit_map;
  SignalMap signal_map;
  // Bits by row of the table below: the rows set at all, and those the
  // command line set, which the environment then leaves alone.
  unsigned given = 0;
  unsigned from_command_line = 0;
};

class Line;

// One setting: its variable, its launcher option, how its text is read
// and shown, and what an invalid variable falls back to. The environment,
// the launcher's options, its --help and the verbose start line all walk
// this table.
struct Setting {
  const char *variable;
  const char *option; // the long option, without "--"
  // What the option takes, as --help names it; NULL for a switch, which
  // the option alone turns on.
  const char *argument;
  // The rest of the invalid-value line: "using default 30s".
  const char *fallback;
  // For --help: what the setting does, lines already broken.
  const char *help;
  // Reads `text` into its field of `settings` and gives true, or gives
  // false and leaves the field alone. NULL and "" give the default, and a
  // repeatable setting adds to what it already holds.
  bool (*parse)(const char *text, Settings &settings);
  // Writes the field's value, as parse reads it back.
  void (*show)(Line &line, const Settings &settings);
  char letter; // the short option, or 0
  bool repeatable;
};

// Which row a field's setting is, for the few places that name one.
enum Row : unsigned char {
  kStopTimeoutRow,
  kStopScopeRow,
  kStopSignalsRow,
  kVerboseRow,
  kExitMapRow,
  kSignalMapRow,
  kForwardRow,
  kSubreaperRow,
  kParentDeathSignalRow,
  kStopDelayRow,
  kSettingCount
};

// NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
extern const Setting kSettings[kSettingCount];

[[nodiscard]] constexpr unsigned bit(unsigned row) { return 1U << row; }

// Every setting at its default; `given` and `from_command_line` empty.
void default_settings(Settings &settings);

// Reads from the environment every row in `rows` that the command line
// left alone; an invalid value is reported and its default kept.
void load_settings(Settings &settings, unsigned rows);

// Parsers of the settings' texts: each returns false for an invalid text
// and leaves its out-parameter alone then. NULL and "" give the default.
[[nodiscard]] bool parse_stop_signals(const char *text, sigset_t &set);
[[nodiscard]] bool parse_stop_scope(const char *text, bool &all);
[[nodiscard]] bool parse_verbose(const char *text, bool &verbose);
// The maps add what the text lists to what they hold; a later entry for
// the same code or signal replaces an earlier one.
[[nodiscard]] bool parse_exit_map(const char *text, ExitMap &map);
[[nodiscard]] bool parse_signal_map(const char *text, SignalMap &map);

// printf is left out everywhere: its machinery (floating point included,
// which is software on some targets) would be most of a static launcher.
// The decimal digits of `value` at the end of `buffer`; where they begin.
constexpr size_t kDecimalSize = 21; // "-9223372036854775808" and a NUL
// NOLINTBEGIN(*-avoid-c-arrays): no C++ library header here
[[nodiscard]] const char *decimal(long long value,
                                  char (&buffer)[kDecimalSize]);
// NOLINTEND(*-avoid-c-arrays)
// "\xHH" for one byte, NUL-terminated.
// NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
void hex_escape(unsigned char byte, char (&escape)[5]);

// "orva: invalid NAME=TEXT, FALLBACK", control characters shown as \xHH.
void report_invalid_setting(const char *name, const char *text,
                            const char *fallback);

// Writes `text` to stderr with its control characters shown as \xHH: it
// comes from whoever set up the environment or the command line.
void write_escaped(const char *text);

// The name of a signal without its SIG prefix, or NULL for a realtime or
// unknown one.
[[nodiscard]] const char *signal_name(int sig);

// What the launcher asks of the supervisor beyond orva_run.
struct Launch {
  Settings settings; // the command line's; default_settings otherwise
  // The supervising process closes every descriptor above 2 once the
  // program runs: the launcher itself has no use for any.
  bool close_descriptors = false;
};

// orva_run with what the launcher read from its command line.
[[nodiscard]] int run(int (*submain)(int, char **), int argc, char **argv,
                      const Launch &launch);

// Reaps whatever is handed to it until the first stop signal, then gives
// 0: the process that holds a pod's namespaces.
[[nodiscard]] int pause_until_stopped(const Launch &launch);

// Calls `take(number)` for every entry of the directory open at `dir`
// whose name is a decimal number (the pids of /proc, the descriptors of
// /proc/self/fd), until it gives false. The records are read straight from
// the kernel, since opendir would allocate, and each is checked against
// what was read.
void each_numbered_entry(int dir,
                         bool (*take)(unsigned long number, void *context),
                         void *context);
template <typename Take> void each_numbered_entry(int dir, Take take) {
  each_numbered_entry(
      dir,
      [](unsigned long number, void *context) {
        return (*static_cast<Take *>(context))(number);
      },
      &take);
}

// A process as /proc/PID/stat shows it. The name points into the walk's
// own buffer: it lasts as long as the call that is given it.
struct ProcessStat {
  long pid = 0;
  const char *name = nullptr;
  size_t name_length = 0;
  char state = '?';
  long ppid = 0;
  long pgrp = 0;
};

// Calls `take` for every process that /proc lists, until it gives false;
// false when /proc is not this PID namespace's or cannot be read.
[[nodiscard]] bool each_process(bool (*take)(const ProcessStat &, void *),
                                void *context);
template <typename Take> [[nodiscard]] bool each_process(Take take) {
  return each_process(
      [](const ProcessStat &process, void *context) {
        return (*static_cast<Take *>(context))(process);
      },
      &take);
}

// The parent of `pid`, or 0 once /proc cannot tell.
[[nodiscard]] long parent_of(long pid);

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
  // The signal's name without SIG, as the settings write it.
  Line &signal_setting(int sig);
  // status as waitpid gives it
  Line &status(int status);
  Line &seconds(timespec span);
  Line &milliseconds(timespec span);
  // " PID (name)" for each live process of group `pgrp`, or of the whole
  // namespace when `pgrp` is 0, as far as /proc can tell.
  Line &running_processes(pid_t pgrp);
  // The same, one process at a time: list() adds one, and gives false once
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
