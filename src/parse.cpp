// SPDX-License-Identifier: MIT
// The texts settings are written in: durations (orva_parse_stop_timeout),
// signal names and lists, and the two maps; and which signals stop by
// default (orva_is_terminate_signal). Each parser gives false, or -1 with
// EINVAL, for a text it refuses, and then leaves its result alone.
#include "orva.h"

#include "clock.h"
#include "settings.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace orva_internal {
namespace {

[[nodiscard]] bool read_number(const char *&at, unsigned long long &number);
[[nodiscard]] unsigned long long seconds_per_unit(char unit);
template <typename Take>
[[nodiscard]] bool each_item(const char *text, Take take);
template <typename Map, typename Entry>
[[nodiscard]] bool parse_map(const char *text, Map &map, Entry entry);
[[nodiscard]] bool split_pair(const char *item, size_t length,
                              size_t &from_length, const char *&to,
                              size_t &to_length);
[[nodiscard]] int small_number(const char *digits, size_t length);
[[nodiscard]] bool is_receivable(int sig);
[[nodiscard]] bool spells(const char *item, size_t length, const char *name);
[[nodiscard]] int realtime_signal(const char *item, size_t length);

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

} // namespace

bool parse_duration(const char *text, timespec &span) {
  return orva_parse_stop_timeout(text, &span) == 0;
}

bool parse_signal_list(const char *text, sigset_t &set) {
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

bool parse_one_signal(const char *text, int &sig) {
  const int named = signal_named(text, strlen(text));
  if (!is_receivable(named)) {
    return false;
  }
  sig = named;
  return true;
}

bool parse_exit_map(const char *text, ExitMap &map) {
  return parse_map(text, map,
                   [](const char *from_text, size_t from_length, const char *to,
                      size_t to_length, int &from, int &code) {
                     from = small_number(from_text, from_length);
                     code = small_number(to, to_length);
                     // Seen from outside, a program's 111 and the
                     // supervisor's own failure are the same code; mapping
                     // it would hide the failure.
                     return from >= 0 && from <= kMaxExitCode &&
                            from != kSupervisorFailure && code >= 0 &&
                            code <= kMaxExitCode;
                   });
}

bool parse_signal_map(const char *text, SignalMap &map) {
  return parse_map(text, map,
                   [](const char *from_text, size_t from_length, const char *to,
                      size_t to_length, int &from, int &sent) {
                     from = signal_named(from_text, from_length);
                     // Any signal may go out instead, SIGKILL and SIGSTOP
                     // included; "0" sends none.
                     const bool drop = to_length == 1 && *to == '0';
                     sent = drop ? kSignalDropped : signal_named(to, to_length);
                     return is_receivable(from) && (drop || sent != 0);
                   });
}

int signal_named(const char *item, size_t length) {
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

const char *signal_name(int sig) {
  for (const NamedSignal &known : kSignals) {
    if (known.number == sig) {
      return known.name;
    }
  }
  return nullptr;
}

namespace {

// A decimal number as strtoull reads it, blanks and a '+' before it
// allowed, but never negated by a '-' (strtoull would take "-5" quietly
// as a huge number) and never beyond its range; `at` moves past it.
bool read_number(const char *&at, unsigned long long &number) {
  constexpr unsigned long long kMax = ~0ULL;
  const char *digit = at;
  while (isspace(static_cast<unsigned char>(*digit)) != 0) {
    ++digit;
  }
  if (*digit == '+') {
    ++digit;
  }
  if (isdigit(static_cast<unsigned char>(*digit)) == 0) {
    return false;
  }
  number = 0;
  for (; isdigit(static_cast<unsigned char>(*digit)) != 0; ++digit) {
    const auto value = static_cast<unsigned long long>(*digit - '0');
    if (number > (kMax - value) / 10) {
      return false;
    }
    number = (number * 10) + value;
  }
  at = digit;
  return true;
}

// Reads one component's unit letter; 0 for anything else.
unsigned long long seconds_per_unit(char unit) {
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

[[nodiscard]] bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Calls `take(first, length)` for each comma-separated item of `text`,
// blanks around it trimmed, until one gives false. An empty item is
// refused before it gets there.
template <typename Take> bool each_item(const char *text, Take take) {
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

// Adds each "FROM=TO" item of `text` to a copy of `map`, as `entry` reads
// its two sides, and keeps the copy only when every item could be read.
template <typename Map, typename Entry>
bool parse_map(const char *text, Map &map, Entry entry) {
  Map parsed = map;
  const bool ok =
      each_item(text, [&parsed, entry](const char *item, size_t length) {
        size_t from_length = 0;
        const char *to = nullptr;
        size_t to_length = 0;
        int from = 0;
        int into = 0;
        if (!split_pair(item, length, from_length, to, to_length) ||
            !entry(item, from_length, to, to_length, from, into)) {
          return false;
        }
        parsed.map(from, into);
        return true;
      });
  if (ok) {
    map = parsed;
  }
  return ok;
}

// Splits "FROM=TO" at its one '='; false when there is none or more.
bool split_pair(const char *item, size_t length, size_t &from_length,
                const char *&to, size_t &to_length) {
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

// A decimal number of one to three digits and nothing else; -1 otherwise.
int small_number(const char *digits, size_t length) {
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

// Whether the process can be made to act on `sig` at all: what cannot be
// caught, and SIGCHLD, which the supervisor reaps on and never forwards.
bool is_receivable(int sig) {
  return sig != 0 && sig != SIGKILL && sig != SIGSTOP && sig != SIGCHLD;
}

// Whether the `length` bytes at `item` spell `name`, in either case.
bool spells(const char *item, size_t length, const char *name) {
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

// RTMIN, RTMIN+n, RTMAX or RTMAX-n; 0 when the item is none of them.
int realtime_signal(const char *item, size_t length) {
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

} // namespace
} // namespace orva_internal

int orva_parse_stop_timeout(const char *text, struct timespec *out) {
  const auto refuse = [] {
    errno = EINVAL;
    return -1;
  };
  if (out == nullptr) {
    return refuse();
  }
  if (text == nullptr || *text == '\0') {
    *out = timespec{.tv_sec = 30, .tv_nsec = 0}; // as ORVA_STOP_TIMEOUT's row
    return 0;
  }
  // unsigned long is 32 bits wide where time_t has 64 (armhf, i686): the
  // range of the result must not depend on it.
  constexpr auto kMaxTotal =
      static_cast<unsigned long long>(orva_internal::kMaxSeconds);
  unsigned long long total = 0;
  for (const char *component = text;;) {
    const char *end = component;
    unsigned long long number = 0;
    if (!orva_internal::read_number(end, number)) {
      return refuse();
    }
    unsigned long long unit = 1;
    if (*end != '\0') {
      unit = orva_internal::seconds_per_unit(*end++);
    }
    if (unit == 0 || number > kMaxTotal / unit ||
        number * unit > kMaxTotal - total) {
      return refuse();
    }
    total += number * unit;
    if (*end == '\0') {
      break;
    }
    component = end;
  }
  *out = timespec{.tv_sec = static_cast<time_t>(total), .tv_nsec = 0};
  return 0;
}

int orva_is_terminate_signal(int sig) {
  return sig == SIGHUP || sig == SIGINT || sig == SIGQUIT || sig == SIGTERM ? 1
                                                                            : 0;
}
