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
// No C++ library header: the same file builds against any C library alone.
static_assert(static_cast<time_t>(-1) < 0, "time_t must be signed");
constexpr time_t kMaxSeconds =
    static_cast<time_t>((1ULL << (sizeof(time_t) * 8 - 1)) - 1);

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
  sigset_t parsed;
  if (text == nullptr || *text == '\0') {
    default_stop_signals(set);
    return true;
  }
  (void)sigemptyset(&parsed);
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
    const int sig = signal_named(first, static_cast<size_t>(last - first));
    // SIGCHLD is what the supervisor reaps on, never forwarded, so it
    // could never start the clock; the others cannot be caught at all.
    if (sig == 0 || sig == SIGKILL || sig == SIGSTOP || sig == SIGCHLD) {
      return false;
    }
    (void)sigaddset(&parsed, sig);
    if (*end == '\0') {
      break;
    }
    item = end + 1;
  }
  set = parsed;
  return true;
}

namespace {

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

} // namespace

bool parse_stop_scope(const char *text, bool &all) {
  return parse_switch(text, "group", "all", all);
}

bool parse_verbose(const char *text, bool &verbose) {
  return parse_switch(text, "0", "1", verbose);
}

// The value comes from whoever set up the environment: a newline in it
// would forge a second line and an escape sequence would reach the
// terminal, so control characters are shown as \xHH.
void report_invalid_setting(const char *name, const char *text,
                            const char *fallback) {
  const char *control = text;
  while (*control != '\0' && !is_control(*control)) {
    ++control;
  }
  if (*control == '\0') {
    fprintf(stderr, "orva: invalid %s=%s, %s\n", name, text, fallback);
    return;
  }
  fprintf(stderr, "orva: invalid %s=", name);
  for (const char *run = text; *run != '\0';) {
    size_t plain = 0;
    while (run[plain] != '\0' && !is_control(run[plain])) {
      ++plain;
    }
    if (plain > 0) {
      (void)fwrite(run, 1, plain, stderr);
      run += plain;
    } else {
      fprintf(stderr, "\\x%02x", static_cast<unsigned char>(*run));
      ++run;
    }
  }
  fprintf(stderr, ", %s\n", fallback);
}

void load_settings(Settings &settings) {
  (void)orva_load_stop_timeout(&settings.stop_timeout);
  const char *scope = getenv("ORVA_STOP_SCOPE");
  if (!parse_stop_scope(scope, settings.stop_all)) {
    report_invalid_setting("ORVA_STOP_SCOPE", scope, "using default group");
    settings.stop_all = false;
  }
  const char *signals = getenv("ORVA_STOP_SIGNALS");
  if (!parse_stop_signals(signals, settings.stop_signals)) {
    report_invalid_setting("ORVA_STOP_SIGNALS", signals,
                           "using default HUP,INT,QUIT,TERM");
    default_stop_signals(settings.stop_signals);
  }
  const char *verbose = getenv("ORVA_VERBOSE");
  if (!parse_verbose(verbose, settings.verbose)) {
    report_invalid_setting("ORVA_VERBOSE", verbose, "staying off");
    settings.verbose = false;
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
