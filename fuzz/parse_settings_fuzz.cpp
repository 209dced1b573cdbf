// SPDX-License-Identifier: MIT
// Fuzzes the parsers of every setting. orva_parse_stop_timeout is held
// against a model of the duration grammar that reads the digits itself
// instead of trusting strtoul: both must accept and reject the same texts
// and agree on the total, and a rejected text must leave `out` as it was.
// Every row of the settings' table must leave its setting as it was when
// it refuses a text, and show what it accepted in a form it reads back to
// the same setting.
#include "line.h"
#include "orva.h"
#include "settings.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace {

constexpr uint64_t kMaxSeconds = std::numeric_limits<time_t>::max();
constexpr uint64_t kMaxNumber = std::numeric_limits<unsigned long>::max();
constexpr uint64_t kDefaultSeconds = 30;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

uint64_t unit_seconds(char c) {
  switch (c) {
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

// Components of optional white space, an optional '+', decimal digits and
// a unit letter that only the last one may leave out. Rejected besides: a
// '-' sign anywhere, a number beyond unsigned long, and a total beyond the
// largest second count a timespec holds.
std::optional<uint64_t> model(const char *text) {
  if (*text == '\0') {
    return kDefaultSeconds;
  }
  uint64_t total = 0;
  const char *p = text;
  for (;;) {
    while (is_space(*p)) {
      ++p;
    }
    if (*p == '+') {
      ++p;
    }
    if (!is_digit(*p)) {
      return std::nullopt;
    }
    uint64_t number = 0;
    bool too_big = false;
    for (; is_digit(*p); ++p) {
      const auto digit = static_cast<uint64_t>(*p - '0');
      if (number > (kMaxNumber - digit) / 10) {
        too_big = true;
      } else {
        number = number * 10 + digit;
      }
    }
    if (too_big) {
      return std::nullopt;
    }
    uint64_t unit = 1;
    if (*p != '\0') {
      unit = unit_seconds(*p);
      if (unit == 0) {
        return std::nullopt;
      }
      ++p;
    }
    if (number > kMaxSeconds / unit || number * unit > kMaxSeconds - total) {
      return std::nullopt;
    }
    total += number * unit;
    if (*p == '\0') {
      return total;
    }
  }
}

[[noreturn]] void mismatch(const char *text, const char *what) {
  fprintf(stderr, "orva: fuzz: %s for \"", what);
  for (const char *p = text; *p != '\0'; ++p) {
    fprintf(stderr, "\\x%02x", static_cast<unsigned char>(*p));
  }
  fprintf(stderr, "\"\n");
  abort();
}

// What `row` shows of `settings`, as the verbose start line would.
std::string shown(const orva_internal::Setting &row,
                  const orva_internal::Settings &settings) {
  orva_internal::Line line;
  orva_internal::show_setting(line, row, settings);
  // The line begins "orva: ".
  return std::string(line.data() + 6, line.size() - 6);
}

std::string shown_all(const orva_internal::Settings &settings) {
  std::string all;
  for (const orva_internal::Setting &row : orva_internal::kSettings) {
    all += shown(row, settings) + "\n";
  }
  return all;
}

void check_rows(const char *text) {
  using orva_internal::Settings;
  for (const orva_internal::Setting &row : orva_internal::kSettings) {
    Settings settings;
    orva_internal::default_settings(settings);
    // A map adds to what it holds: start from one entry already there.
    const bool is_map = row.kind == orva_internal::Kind::ExitCodes ||
                        row.kind == orva_internal::Kind::SignalRewrites;
    (void)orva_internal::parse_setting(row, is_map ? "1=2" : nullptr, settings);
    const std::string before = shown_all(settings);
    if (!orva_internal::parse_setting(row, text, settings)) {
      if (shown_all(settings) != before) {
        mismatch(text, row.variable);
      }
      continue;
    }
    const std::string once = shown(row, settings);
    for (const char c : once) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        mismatch(text, "a control character shown");
      }
    }
    Settings again;
    orva_internal::default_settings(again);
    if (!orva_internal::parse_setting(row, once.c_str(), again) ||
        shown(row, again) != once) {
      mismatch(text, "shown, not read back the same");
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  timespec out{1, 2};
  if (orva_parse_stop_timeout("5", nullptr) != -1 || errno != EINVAL) {
    mismatch("5", "NULL out accepted");
  }
  if (orva_parse_stop_timeout(nullptr, &out) != 0 ||
      out.tv_sec != static_cast<time_t>(kDefaultSeconds) || out.tv_nsec != 0) {
    mismatch("", "NULL text did not give the default");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The parser sees a C string, so it ends at the first NUL byte.
  const std::string copy(reinterpret_cast<const char *>(data), size);
  const char *text = copy.c_str();
  check_rows(text);
  const timespec untouched{0x5a5a5a5a, 0x5a5a5a5a};
  timespec out = untouched;
  errno = 0;
  const int result = orva_parse_stop_timeout(text, &out);
  const std::optional<uint64_t> expected = model(text);
  if (!expected) {
    if (result != -1 || errno != EINVAL) {
      mismatch(text, "accepted, or rejected without EINVAL");
    }
    if (std::memcmp(&out, &untouched, sizeof out) != 0) {
      mismatch(text, "out written on rejection");
    }
    return 0;
  }
  if (result != 0) {
    mismatch(text, "rejected");
  }
  if (static_cast<uint64_t>(out.tv_sec) != *expected || out.tv_nsec != 0) {
    mismatch(text, "wrong total");
  }
  return 0;
}
