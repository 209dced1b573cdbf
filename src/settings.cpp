// SPDX-License-Identifier: MIT
// The environment settings of process 1: their parsers, their defaults and
// the one line that reports an invalid value.
#include "orva.h"

#include "internal.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace orva_internal {
namespace {

constexpr time_t kDefaultStopSeconds = 30;
constexpr timespec kDefaultStopTimeout{.tv_sec = kDefaultStopSeconds,
                                       .tv_nsec = 0};
static_assert(kDefaultStopSeconds == 30, "the message below says 30s");
constexpr const char *kDefaultStopFallback = "using default 30s";

struct NamedSignal {
  const char *name;
  int number;
};

// The signals Linux has on every architecture, plus the two some lack.
// NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
constexpr NamedSignal kSignals[] = {
    {.name = "HUP", .number = SIGHUP},
    {.name = "INT", .number = SIGINT},
    {.name = "QUIT", .number = SIGQUIT},
    {.name = "ILL", .number = SIGILL},
    {.name = "TRAP", .number = SIGTRAP},
    {.name = "ABRT", .number = SIGABRT},
    {.name = "BUS", .number = SIGBUS},
    {.name = "FPE", .number = SIGFPE},
    {.name = "KILL", .number = SIGKILL},
    {.name = "USR1", .number = SIGUSR1},
    {.name = "SEGV", .number = SIGSEGV},
    {.name = "USR2", .number = SIGUSR2},
    {.name = "PIPE", .number = SIGPIPE},
    {.name = "ALRM", .number = SIGALRM},
    {.name = "TERM", .number = SIGTERM},
    {.name = "CHLD", .number = SIGCHLD},
    {.name = "CONT", .number = SIGCONT},
    {.name = "STOP", .number = SIGSTOP},
    {.name = "TSTP", .number = SIGTSTP},
    {.name = "TTIN", .number = SIGTTIN},
    {.name = "TTOU", .number = SIGTTOU},
    {.name = "URG", .number = SIGURG},
    {.name = "XCPU", .number = SIGXCPU},
    {.name = "XFSZ", .number = SIGXFSZ},
    {.name = "VTALRM", .number = SIGVTALRM},
    {.name = "PROF", .number = SIGPROF},
    {.name = "WINCH", .number = SIGWINCH},
    {.name = "IO", .number = SIGIO},
    {.name = "SYS", .number = SIGSYS},
#ifdef SIGSTKFLT
    {.name = "STKFLT", .number = SIGSTKFLT},
#endif
#ifdef SIGPWR
    {.name = "PWR", .number = SIGPWR},
#endif
};

[[nodiscard]] int fail_with(int error) {
  errno = error;
  return -1;
}

[[nodiscard]] bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// Reads one component's unit letter; 0 for anything else.
[[nodiscard]] unsigned long long seconds_per_unit(char unit) {
  switch (unit) {
  case 'h':
    return 3600;
  case 'm':
    return 60;
  case 's':
    return 1;
  default:
    return 0;
  }
}

// Whether the `length` bytes at `item` spell `name`, in either case.
[[nodiscard]] bool spells(const char *item, size_t length, const char *name) {
  if (strlen(name) != length) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    if (toupper(static_cast<unsigned char>(item[i])) != name[i]) {
      return false;
    }
  }
  return true;
}

// A decimal number of one to three digits and nothing else; -1 otherwise.
[[nodiscard]] int small_number(const char *digits, size_t length) {
  if (length == 0 || length > 3) {
    return -1;
  }
  int value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (isdigit(static_cast<unsigned char>(digits[i])) == 0) {
      return -1;
    }
    value = value * 10 + (digits[i] - '0');
  }
  return value;
}

// RTMIN, RTMIN+n, RTMAX or RTMAX-n; 0 when the item is none of them.
[[nodiscard]] int realtime_signal(const char *item, size_t length) {
  constexpr size_t kStem = 5; // "RTMIN" and "RTMAX"
  if (length < kStem) {
    return 0;
  }
  const bool from_min = spells(item, kStem, "RTMIN");
  if (!from_min && !spells(item, kStem, "RTMAX")) {
    return 0;
  }
  int offset = 0;
  if (length > kStem) {
    if (item[kStem] != (from_min ? '+' : '-')) {
      return 0;
    }
    offset = small_number(item + kStem + 1, length - kStem - 1);
    if (offset < 0 || offset > SIGRTMAX - SIGRTMIN) {
      return 0;
    }
  }
  return from_min ? SIGRTMIN + offset : SIGRTMAX - offset;
}

// The signal one list item names, with or without SIG; 0 for none.
[[nodiscard]] int signal_named(const char *item, size_t length) {
  if (length > 3 && spells(item, 3, "SIG")) {
    item += 3;
    length -= 3;
  }
  for (const NamedSignal &known : kSignals) {
    if (spells(item, length, known.name)) {
      return known.number;
    }
  }
  return realtime_signal(item, length);
}

[[nodiscard]] bool is_blank(char c) { return c == ' ' || c == '\t'; }

void default_stop_signals(sigset_t &set) {
  (void)sigemptyset(&set);
  (void)sigaddset(&set, SIGHUP);
  (void)sigaddset(&set, SIGINT);
  (void)sigaddset(&set, SIGQUIT);
  (void)sigaddset(&set, SIGTERM);
}

// A setting with two values: unset, empty or `off` gives false, `on` true.
[[nodiscard]] bool parse_switch(const char *text, const char *off,
                                const char *on, bool &value) {
  if (text == nullptr || *text == '\0' || strcmp(text, off) == 0) {
    value = false;
    return true;
  }
  if (strcmp(text, on) == 0) {
    value = true;
    return true;
  }
  return false;
}

// Calls `take(first, length)` for each comma-separated item of `text`,
// blanks around it trimmed, until one gives false. An empty item is
// refused before it gets there.
template <typename Take>
[[nodiscard]] bool each_item(const char *text, Take take) {
  for (const char *item = text;;) {
    const char *end = strchr(item, ',');
    if (end == nullptr) {
      end = item + strlen(item);
    }
    const char *first = item;
    const char *last = end;
    while (first < last && is_blank(*first)) {
      ++first;
    }
    while (last > first && is_blank(last[-1])) {
      --last;
    }
    if (first == last || !take(first, static_cast<size_t>(last - first))) {
      return false;
    }
    if (*end == '\0') {
      return true;
    }
    item = end + 1;
  }
}

// Splits "FROM=TO" at its one '='; false when there is none or more.
[[nodiscard]] bool split_pair(const char *item, size_t length,
                              size_t &from_length, const char *&to,
                              size_t &to_length) {
  const auto *equals = static_cast<const char *>(memchr(item, '=', length));
  if (equals == nullptr ||
      memchr(equals + 1, '=',
             length - static_cast<size_t>(equals + 1 - item)) != nullptr) {
    return false;
  }
  from_length = static_cast<size_t>(equals - item);
  to = equals + 1;
  to_length = length - from_length - 1;
  return true;
}

// Whether the process can be made to act on `sig` at all: what cannot be
// caught, and SIGCHLD, which the supervisor reaps on and never forwards.
[[nodiscard]] bool is_receivable(int sig) {
  return sig != 0 && sig != SIGKILL && sig != SIGSTOP && sig != SIGCHLD;
}

} // namespace

const char *signal_name(int sig) {
  for (const NamedSignal &known : kSignals) {
    if (known.number == sig) {
      return known.name;
    }
  }
  return nullptr;
}

bool parse_stop_signals(const char *text, sigset_t &set) {
  if (text == nullptr || *text == '\0') {
    default_stop_signals(set);
    return true;
  }
  sigset_t parsed;
  (void)sigemptyset(&parsed);
  const bool ok = each_item(text, [&parsed](const char *item, size_t length) {
    const int sig = signal_named(item, length);
    return is_receivable(sig) && sigaddset(&parsed, sig) == 0;
  });
  if (ok) {
    set = parsed;
  }
  return ok;
}

bool parse_stop_scope(const char *text, bool &all) {
  return parse_switch(text, "group", "all", all);
}

bool parse_verbose(const char *text, bool &verbose) {
  return parse_switch(text, "0", "1", verbose);
}

bool parse_exit_map(const char *text, ExitMap &map) {
  if (text == nullptr || *text == '\0') {
    return true;
  }
  ExitMap parsed = map;
  const bool ok = each_item(text, [&parsed](const char *item, size_t length) {
    size_t from_length = 0;
    const char *to = nullptr;
    size_t to_length = 0;
    if (!split_pair(item, length, from_length, to, to_length)) {
      return false;
    }
    const int from = small_number(item, from_length);
    const int code = small_number(to, to_length);
    // Seen from outside, a program's 111 and the supervisor's own failure
    // are the same code; mapping it would hide the failure.
    if (from < 0 || from > kMaxExitCode || from == kSupervisorFailure ||
        code < 0 || code > kMaxExitCode) {
      return false;
    }
    parsed.map(from, code);
    return true;
  });
  if (ok) {
    map = parsed;
  }
  return ok;
}

bool parse_signal_map(const char *text, SignalMap &map) {
  if (text == nullptr || *text == '\0') {
    return true;
  }
  SignalMap parsed = map;
  const bool ok = each_item(text, [&parsed](const char *item, size_t length) {
    size_t from_length = 0;
    const char *to = nullptr;
    size_t to_length = 0;
    if (!split_pair(item, length, from_length, to, to_length)) {
      return false;
    }
    const int from = signal_named(item, from_length);
    // Any signal may go out instead, SIGKILL and SIGSTOP included; "0"
    // sends none.
    const bool drop = to_length == 1 && *to == '0';
    const int sent = drop ? kSignalDropped : signal_named(to, to_length);
    if (!is_receivable(from) || (!drop && sent == 0)) {
      return false;
    }
    parsed.map(from, sent);
    return true;
  });
  if (ok) {
    map = parsed;
  }
  return ok;
}

// The value comes from whoever set up the environment or the command
// line: a newline in it would forge a second line and an escape sequence
// would reach the terminal, so control characters are shown as \xHH.
void write_escaped(const char *text) {
  for (const char *run = text; *run != '\0';) {
    size_t plain = 0;
    while (run[plain] != '\0' && !is_control(run[plain])) {
      ++plain;
    }
    if (plain > 0) {
      (void)fwrite(run, 1, plain, stderr);
      run += plain;
    } else {
      // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
      char escape[5];
      hex_escape(static_cast<unsigned char>(*run), escape);
      // NOLINTNEXTLINE(*-pro-bounds-array-to-pointer-decay): a C string
      (void)fputs(escape, stderr);
      ++run;
    }
  }
}

void report_invalid_setting(const char *name, const char *text,
                            const char *fallback) {
  // One write, as every line of the report, where the line fits; a longer
  // text (as long as the environment allows) still goes out whole.
  Line line;
  line.text("invalid ")
      .text(name)
      .text("=")
      .text(text)
      .text(", ")
      .text(fallback);
  if (!line.is_cut()) {
    line.emit();
    return;
  }
  (void)fputs("orva: invalid ", stderr);
  (void)fputs(name, stderr);
  (void)fputc('=', stderr);
  write_escaped(text);
  (void)fputs(", ", stderr);
  (void)fputs(fallback, stderr);
  (void)fputc('\n', stderr);
}

namespace {

// The table's readers and writers, one pair for each field.

bool read_stop_timeout(const char *text, Settings &s) {
  return orva_parse_stop_timeout(text, &s.stop_timeout) == 0;
}

bool read_stop_delay(const char *text, Settings &s) {
  if (text == nullptr || *text == '\0') {
    s.stop_delay = timespec{};
    return true;
  }
  return orva_parse_stop_timeout(text, &s.stop_delay) == 0;
}

bool read_stop_signals(const char *text, Settings &s) {
  return parse_stop_signals(text, s.stop_signals);
}

bool read_stop_scope(const char *text, Settings &s) {
  return parse_stop_scope(text, s.stop_all);
}

bool read_verbose(const char *text, Settings &s) {
  return parse_verbose(text, s.verbose);
}

bool read_exit_map(const char *text, Settings &s) {
  return parse_exit_map(text, s.exit_map);
}

bool read_signal_map(const char *text, Settings &s) {
  return parse_signal_map(text, s.signal_map);
}

bool read_forward(const char *text, Settings &s) {
  return parse_switch(text, "group", "child", s.forward_to_child);
}

bool read_subreaper(const char *text, Settings &s) {
  return parse_switch(text, "0", "1", s.subreaper);
}

bool read_parent_death_signal(const char *text, Settings &s) {
  if (text == nullptr || *text == '\0') {
    s.parent_death_signal = 0;
    return true;
  }
  const int sig = signal_named(text, strlen(text));
  if (!is_receivable(sig)) {
    return false;
  }
  s.parent_death_signal = sig;
  return true;
}

void show_stop_timeout(Line &line, const Settings &s) {
  line.seconds(s.stop_timeout);
}

void show_stop_delay(Line &line, const Settings &s) {
  line.seconds(s.stop_delay);
}

void show_stop_signals(Line &line, const Settings &s) {
  const char *separator = "";
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&s.stop_signals, sig) == 1) {
      line.text(separator).signal_setting(sig);
      separator = ",";
    }
  }
}

void show_stop_scope(Line &line, const Settings &s) {
  line.text(s.stop_all ? "all" : "group");
}

void show_verbose(Line &line, const Settings &s) {
  line.text(s.verbose ? "1" : "0");
}

void show_exit_map(Line &line, const Settings &s) {
  const char *separator = "";
  for (int from = 0; from <= kMaxExitCode; ++from) {
    const int to = s.exit_map.mapped(from);
    if (to >= 0) {
      line.text(separator).number(from).text("=").number(to);
      separator = ",";
    }
  }
}

void show_signal_map(Line &line, const Settings &s) {
  const char *separator = "";
  for (int from = 1; from < NSIG; ++from) {
    const int to = s.signal_map.mapped(from);
    if (to < 0) {
      continue;
    }
    line.text(separator).signal_setting(from).text("=");
    if (to == kSignalDropped) {
      line.text("0");
    } else {
      line.signal_setting(to);
    }
    separator = ",";
  }
}

void show_forward(Line &line, const Settings &s) {
  line.text(s.forward_to_child ? "child" : "group");
}

void show_subreaper(Line &line, const Settings &s) {
  line.text(s.subreaper ? "1" : "0");
}

void show_parent_death_signal(Line &line, const Settings &s) {
  if (s.parent_death_signal != 0) {
    line.signal_setting(s.parent_death_signal);
  }
}

} // namespace

// In the order of Row. The help texts are broken for a terminal of 80
// columns below the option's own line.
// NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
constexpr Setting kSettings[kSettingCount] = {
    {.variable = "ORVA_STOP_TIMEOUT",
     .option = "stop-timeout",
     .argument = "DURATION",
     .fallback = kDefaultStopFallback,
     .help = "time from the first stop signal to SIGKILL, as seconds, "
             "minutes\nand hours: 10, 90s, 2m, 1h30m (default 30s)",
     .parse = read_stop_timeout,
     .show = show_stop_timeout,
     .letter = 't',
     .repeatable = false},
    {.variable = "ORVA_STOP_SCOPE",
     .option = "stop-scope",
     .argument = "group|all",
     .fallback = "using default group",
     .help = "all: stop signals and SIGKILL go to every process, and once\n"
             "PROGRAM has ended the rest get SIGTERM and the stop timeout\n"
             "(default group: PROGRAM's process group; process 1 only)",
     .parse = read_stop_scope,
     .show = show_stop_scope,
     .letter = 0,
     .repeatable = false},
    {.variable = "ORVA_STOP_SIGNALS",
     .option = "stop-signals",
     .argument = "LIST",
     .fallback = "using default HUP,INT,QUIT,TERM",
     .help = "the stop signals, names with or without SIG: TERM,INT,QUIT\n"
             "leaves HUP to reload; PWR, RTMIN+3 (default HUP,INT,QUIT,TERM)",
     .parse = read_stop_signals,
     .show = show_stop_signals,
     .letter = 0,
     .repeatable = false},
    {.variable = "ORVA_VERBOSE",
     .option = "verbose",
     .argument = nullptr,
     .fallback = "staying off",
     .help = "one line on stderr per signal, stop, kill and reaped process",
     .parse = read_verbose,
     .show = show_verbose,
     .letter = 'v',
     .repeatable = false},
    {.variable = "ORVA_EXIT_MAP",
     .option = "exit-map",
     .argument = "FROM=TO,...",
     .fallback = "mapping no exit code",
     .help = "PROGRAM's exit code FROM becomes TO, both 0 to 255, FROM\n"
             "not 111: 143=0 makes a stop by SIGTERM a success; repeatable",
     .parse = read_exit_map,
     .show = show_exit_map,
     .letter = 'e',
     .repeatable = true},
    {.variable = "ORVA_SIGNAL_MAP",
     .option = "signal-map",
     .argument = "FROM=TO,...",
     .fallback = "rewriting no signal",
     .help = "a received signal FROM is forwarded as TO, or not at all when\n"
             "TO is 0: TERM=QUIT; it arms the stop timeout as FROM would;\n"
             "repeatable",
     .parse = read_signal_map,
     .show = show_signal_map,
     .letter = 'r',
     .repeatable = true},
    {.variable = "ORVA_FORWARD",
     .option = "forward",
     .argument = "group|child",
     .fallback = "using default group",
     .help = "child: signals go to PROGRAM alone, not to its process group\n"
             "(SIGKILL at the stop timeout still goes to the group)",
     .parse = read_forward,
     .show = show_forward,
     .letter = 0,
     .repeatable = false},
    {.variable = "ORVA_SUBREAPER",
     .option = "subreaper",
     .argument = nullptr,
     .fallback = "staying off",
     .help = "supervise outside process 1 too, as a child subreaper that\n"
             "reaps the orphans of PROGRAM's descendants and kills what is\n"
             "left below it once PROGRAM has ended",
     .parse = read_subreaper,
     .show = show_subreaper,
     .letter = 's',
     .repeatable = false},
    {.variable = "ORVA_PARENT_DEATH_SIGNAL",
     .option = "parent-death-signal",
     .argument = "SIGNAL",
     .fallback = "asking for none",
     .help = "take SIGNAL, as if sent, when orva-init's parent dies",
     .parse = read_parent_death_signal,
     .show = show_parent_death_signal,
     .letter = 'p',
     .repeatable = false},
    {.variable = "ORVA_STOP_DELAY",
     .option = "stop-delay",
     .argument = "DURATION",
     .fallback = "using default 0s",
     .help = "hold the first stop signal this long before forwarding it;\n"
             "the stop timeout still counts from its arrival (default 0s)",
     .parse = read_stop_delay,
     .show = show_stop_delay,
     .letter = 0,
     .repeatable = false},
};

static_assert(kSettings[kStopDelayRow].parse == read_stop_delay,
              "the rows in the order of Row");
static_assert(kSettingCount <= sizeof(unsigned) * 8, "a bit for every row");

void default_settings(Settings &settings) {
  settings = Settings{};
  for (const Setting &setting : kSettings) {
    (void)setting.parse(nullptr, settings);
  }
}

void load_settings(Settings &settings, unsigned rows) {
  unsigned row = 0;
  for (const Setting &setting : kSettings) {
    const unsigned this_row = row++;
    if ((rows & bit(this_row)) == 0 ||
        (settings.from_command_line & bit(this_row)) != 0) {
      continue;
    }
    const char *text = getenv(setting.variable);
    if (text == nullptr || *text == '\0') {
      continue;
    }
    if (setting.parse(text, settings)) {
      settings.given |= bit(this_row);
    } else {
      report_invalid_setting(setting.variable, text, setting.fallback);
    }
  }
}

} // namespace orva_internal

int orva_load_stop_timeout(struct timespec *out) {
  if (out == nullptr) {
    return orva_internal::fail_with(EINVAL);
  }
  const char *text = getenv("ORVA_STOP_TIMEOUT");
  if (orva_parse_stop_timeout(text, out) != 0) {
    if (text != nullptr && *text != '\0') {
      orva_internal::report_invalid_setting(
          "ORVA_STOP_TIMEOUT", text, orva_internal::kDefaultStopFallback);
    }
    *out = orva_internal::kDefaultStopTimeout;
  }
  return 0;
}

int orva_parse_stop_timeout(const char *text, struct timespec *out) {
  using orva_internal::fail_with;
  if (out == nullptr) {
    return fail_with(EINVAL);
  }
  if (text == nullptr || *text == '\0') {
    *out = orva_internal::kDefaultStopTimeout;
    return 0;
  }
  const int saved_errno = errno;
  // unsigned long is 32 bits wide where time_t has 64 (armhf, i686): the
  // range of the result must not depend on it.
  constexpr auto kMaxTotal =
      static_cast<unsigned long long>(orva_internal::kMaxSeconds);
  unsigned long long total = 0;
  const char *component = text;
  for (;;) {
    // strtoull would skip white space and quietly negate a '-' number.
    const char *sign = component;
    while (isspace(static_cast<unsigned char>(*sign)) != 0) {
      ++sign;
    }
    if (*sign == '-') {
      return fail_with(EINVAL);
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = strtoull(component, &end, 10);
    if (end == component || errno == ERANGE) {
      return fail_with(EINVAL);
    }
    unsigned long long unit = 1;
    if (*end != '\0') {
      unit = orva_internal::seconds_per_unit(*end);
      if (unit == 0) {
        return fail_with(EINVAL);
      }
      ++end;
    }
    if (number > kMaxTotal / unit || number * unit > kMaxTotal - total) {
      return fail_with(EINVAL);
    }
    total += number * unit;
    if (*end == '\0') {
      break;
    }
    component = end;
  }
  errno = saved_errno;
  *out = timespec{.tv_sec = static_cast<time_t>(total), .tv_nsec = 0};
  return 0;
}

int orva_is_terminate_signal(int sig) {
  return sig == SIGHUP || sig == SIGINT || sig == SIGQUIT || sig == SIGTERM ? 1
                                                                            : 0;
}
