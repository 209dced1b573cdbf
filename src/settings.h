// SPDX-License-Identifier: MIT
// What the supervisor is told (Settings) and the one table that says where
// each setting comes from (kSettings): its variable, its launcher option,
// its kind and the field it fills. The environment, the launcher's options,
// its --help, the invalid-value line and the verbose start line all walk
// the table; a new setting is a field and a row.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <time.h>

namespace orva_internal {

constexpr int kMaxExitCode = 255;
constexpr int kSupervisorFailure = 111;

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

// Everything the supervisor is told, read once before the fork. The
// defaults reproduce the supervisor as it is without any setting.
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
  // Bits by row of kSettings: the rows set at all, and those the command
  // line set, which the environment then leaves alone.
  unsigned given = 0;
  unsigned from_command_line = 0;
};

// How a setting's text is read and shown.
enum class Kind : unsigned char {
  Duration,       // "1h30m", as the stop timeout
  Switch,         // "0" or "1"; the option takes no value
  WordPair,       // one of two words, "group" or "all"
  SignalList,     // "TERM,INT"
  Signal,         // "TERM"
  ExitCodes,      // "143=0,130=0": an exit map, added to what it holds
  SignalRewrites, // "TERM=QUIT,USR1=0": a signal map, likewise
};

// The field of Settings a row fills, as its kind says.
union Field {
  timespec Settings::*span;
  bool Settings::*flag;
  sigset_t Settings::*signals;
  int Settings::*signal;
  ExitMap Settings::*exit_map;
  SignalMap Settings::*signal_map;
};

struct Setting {
  const char *variable = nullptr;
  const char *option = nullptr; // the long option, without "--"
  char letter = 0;              // the short option, if any
  Kind kind = Kind::Switch;
  Field field{};
  // The default as the setting's own text, if it has one; for a switch
  // and a word pair, the word that is off.
  const char *default_text = nullptr;
  const char *on_word = nullptr; // a switch's and a word pair's other word
  // For --help: what the setting does, lines already broken for 80 columns.
  const char *help = nullptr;
};

// NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
inline constexpr Setting kSettings[] = {
    {.variable = "ORVA_STOP_TIMEOUT",
     .option = "stop-timeout",
     .letter = 't',
     .kind = Kind::Duration,
     .field = {.span = &Settings::stop_timeout},
     .default_text = "30s",
     .help = "time from the first stop signal to SIGKILL, as seconds, "
             "minutes\nand hours: 10, 90s, 2m, 1h30m (default 30s)"},
    {.variable = "ORVA_STOP_SCOPE",
     .option = "stop-scope",
     .kind = Kind::WordPair,
     .field = {.flag = &Settings::stop_all},
     .default_text = "group",
     .on_word = "all",
     .help = "all: stop signals and SIGKILL go to every process, and once\n"
             "PROGRAM has ended the rest get SIGTERM and the stop timeout\n"
             "(default group: PROGRAM's process group; process 1 only)"},
    {.variable = "ORVA_STOP_SIGNALS",
     .option = "stop-signals",
     .kind = Kind::SignalList,
     .field = {.signals = &Settings::stop_signals},
     .default_text = "HUP,INT,QUIT,TERM",
     .help = "the stop signals, names with or without SIG: TERM,INT,QUIT\n"
             "leaves HUP to reload; PWR, RTMIN+3 (default HUP,INT,QUIT,TERM)"},
    {.variable = "ORVA_VERBOSE",
     .option = "verbose",
     .letter = 'v',
     .kind = Kind::Switch,
     .field = {.flag = &Settings::verbose},
     .default_text = "0",
     .on_word = "1",
     .help = "one line on stderr per signal, stop, kill and reaped process"},
    {.variable = "ORVA_EXIT_MAP",
     .option = "exit-map",
     .letter = 'e',
     .kind = Kind::ExitCodes,
     .field = {.exit_map = &Settings::exit_map},
     .help = "PROGRAM's exit code FROM becomes TO, both 0 to 255, FROM\n"
             "not 111: 143=0 makes a stop by SIGTERM a success; repeatable"},
    {.variable = "ORVA_SIGNAL_MAP",
     .option = "signal-map",
     .letter = 'r',
     .kind = Kind::SignalRewrites,
     .field = {.signal_map = &Settings::signal_map},
     .help = "a received signal FROM is forwarded as TO, or not at all when\n"
             "TO is 0: TERM=QUIT; it arms the stop timeout as FROM would;\n"
             "repeatable"},
    {.variable = "ORVA_FORWARD",
     .option = "forward",
     .kind = Kind::WordPair,
     .field = {.flag = &Settings::forward_to_child},
     .default_text = "group",
     .on_word = "child",
     .help = "child: signals go to PROGRAM alone, not to its process group\n"
             "(SIGKILL at the stop timeout still goes to the group)"},
    {.variable = "ORVA_SUBREAPER",
     .option = "subreaper",
     .letter = 's',
     .kind = Kind::Switch,
     .field = {.flag = &Settings::subreaper},
     .default_text = "0",
     .on_word = "1",
     .help = "supervise outside process 1 too, as a child subreaper that\n"
             "reaps the orphans of PROGRAM's descendants and kills what is\n"
             "left below it once PROGRAM has ended"},
    {.variable = "ORVA_PARENT_DEATH_SIGNAL",
     .option = "parent-death-signal",
     .letter = 'p',
     .kind = Kind::Signal,
     .field = {.signal = &Settings::parent_death_signal},
     .help = "take SIGNAL, as if sent, when orva-init's parent dies"},
    {.variable = "ORVA_STOP_DELAY",
     .option = "stop-delay",
     .kind = Kind::Duration,
     .field = {.span = &Settings::stop_delay},
     .default_text = "0s",
     .help = "hold the first stop signal this long before forwarding it;\n"
             "the stop timeout still counts from its arrival (default 0s)"},
};

constexpr unsigned kSettingCount = sizeof kSettings / sizeof kSettings[0];
static_assert(kSettingCount <= sizeof(unsigned) * 8, "a bit for every row");

[[nodiscard]] constexpr unsigned bit(unsigned row) { return 1U << row; }

// The row of a switch or word pair, by the field it fills.
[[nodiscard]] constexpr unsigned row_of(bool Settings::*flag) {
  unsigned row = 0;
  for (const Setting &setting : kSettings) {
    if ((setting.kind == Kind::Switch || setting.kind == Kind::WordPair) &&
        setting.field.flag == flag) {
      break;
    }
    ++row;
  }
  return row;
}

// Read on its own outside process 1: it decides whether to supervise.
inline constexpr unsigned kSubreaperRow = row_of(&Settings::subreaper);
static_assert(kSubreaperRow < kSettingCount, "a row for the subreaper");

// Every setting at its default; `given` and `from_command_line` empty.
void default_settings(Settings &settings);

// Reads from the environment every row in `rows` that the command line
// left alone; an invalid value is reported and its default kept.
void load_settings(Settings &settings, unsigned rows);

// Reads `text` into the row's field and gives true, or gives false and
// leaves the field alone. NULL and "" give the default; a map adds to what
// it already holds.
[[nodiscard]] bool parse_setting(const Setting &row, const char *text,
                                 Settings &settings);

class Line;
// Writes the row's value as parse_setting reads it back.
void show_setting(Line &line, const Setting &row, const Settings &settings);
// ", with NAME=VALUE ..." for every row given, as the verbose start line
// ends, so that a log shows what the supervisor was told.
Line &show_given(Line &line, const Settings &settings);

// Parsers of the texts, for each kind. NULL and "" are for the caller.
[[nodiscard]] bool parse_duration(const char *text, timespec &span);
[[nodiscard]] bool parse_signal_list(const char *text, sigset_t &set);
[[nodiscard]] bool parse_one_signal(const char *text, int &sig);
// The maps add what the text lists to what they hold; a later entry for
// the same code or signal replaces an earlier one.
[[nodiscard]] bool parse_exit_map(const char *text, ExitMap &map);
[[nodiscard]] bool parse_signal_map(const char *text, SignalMap &map);

// The signal `length` bytes at `item` name, with or without SIG, in any
// case, RTMIN+n and RTMAX-n included; 0 for none.
[[nodiscard]] int signal_named(const char *item, size_t length);
// The name of a signal without its SIG prefix, or NULL for a realtime or
// unknown one.
[[nodiscard]] const char *signal_name(int sig);

[[nodiscard]] inline bool is_stop_signal(const Settings &settings, int sig) {
  return sigismember(&settings.stop_signals, sig) == 1;
}

[[nodiscard]] inline bool is_dropped(const Settings &settings, int sig) {
  return settings.signal_map.apply(sig) == kSignalDropped;
}

} // namespace orva_internal
