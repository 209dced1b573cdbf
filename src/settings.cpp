// SPDX-License-Identifier: MIT
// The rows of kSettings at work: load_settings reads the environment once,
// before the fork; each row is parsed and shown by its kind, and an invalid
// value is reported in words that follow from its row. Also the exported
// orva_load_stop_timeout, which is the stop timeout's row alone.
#include "orva.h"

#include "line.h"
#include "settings.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace orva_internal {
namespace {

// NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
void find_variables(const char *(&texts)[kSettingCount]);
[[gnu::noinline]] void report_invalid(const Setting &row, const char *text);
template <typename Map>
void show_map(Line &line, const Map &map, int first, int last,
              void (*show_to)(Line &, int));

constexpr const Setting &kStopTimeoutRow = kSettings[0];
static_assert(kStopTimeoutRow.field.span == &Settings::stop_timeout,
              "the stop timeout is the first row");

} // namespace

void default_settings(Settings &settings) {
  settings = Settings{};
  for (const Setting &row : kSettings) {
    (void)parse_setting(row, nullptr, settings);
  }
}

void load_settings(Settings &settings, unsigned rows) {
  // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
  const char *texts[kSettingCount] = {};
  find_variables(texts);
  unsigned index = 0;
  for (const Setting &row : kSettings) {
    // NOLINTNEXTLINE(*-pro-bounds-constant-array-index): one for each row
    const char *text = texts[index];
    const unsigned this_row = bit(index++);
    if ((rows & this_row) == 0 ||
        (settings.from_command_line & this_row) != 0) {
      continue;
    }
    if (text == nullptr || *text == '\0') {
      continue;
    }
    if (parse_setting(row, text, settings)) {
      settings.given |= this_row;
    } else {
      report_invalid(row, text);
    }
  }
}

bool parse_setting(const Setting &row, const char *text, Settings &settings) {
  const bool unset = text == nullptr || *text == '\0';
  const Field field = row.field;
  switch (row.kind) {
  case Kind::Duration:
    return parse_duration(unset ? row.default_text : text,
                          settings.*field.span);
  case Kind::Switch:
  case Kind::WordPair:
    if (unset || strcmp(text, row.default_text) == 0) {
      settings.*field.flag = false;
      return true;
    }
    if (strcmp(text, row.on_word) == 0) {
      settings.*field.flag = true;
      return true;
    }
    return false;
  case Kind::SignalList:
    return parse_signal_list(unset ? row.default_text : text,
                             settings.*field.signals);
  case Kind::Signal:
    if (unset) {
      settings.*field.signal = 0;
      return true;
    }
    return parse_one_signal(text, settings.*field.signal);
  case Kind::ExitCodes:
    return unset || parse_exit_map(text, settings.*field.exit_map);
  case Kind::SignalRewrites:
    return unset || parse_signal_map(text, settings.*field.signal_map);
  }
  return false;
}

void show_setting(Line &line, const Setting &row, const Settings &settings) {
  const Field field = row.field;
  switch (row.kind) {
  case Kind::Duration:
    line.seconds(settings.*field.span);
    return;
  case Kind::Switch:
  case Kind::WordPair:
    line.text(settings.*field.flag ? row.on_word : row.default_text);
    return;
  case Kind::SignalList: {
    const char *separator = "";
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sigismember(&(settings.*field.signals), sig) == 1) {
        line.text(separator).signal_setting(sig);
        separator = ",";
      }
    }
    return;
  }
  case Kind::Signal:
    if (settings.*field.signal != 0) {
      line.signal_setting(settings.*field.signal);
    }
    return;
  case Kind::ExitCodes:
    show_map(line, settings.*field.exit_map, 0, kMaxExitCode,
             [](Line &l, int code) { l.number(code); });
    return;
  case Kind::SignalRewrites:
    show_map(line, settings.*field.signal_map, 1, NSIG - 1,
             [](Line &l, int sig) {
               if (sig == kSignalDropped) {
                 l.text("0");
               } else {
                 l.signal_setting(sig);
               }
             });
    return;
  }
}

Line &show_given(Line &line, const Settings &settings) {
  const char *separator = ", with ";
  unsigned index = 0;
  for (const Setting &row : kSettings) {
    if ((settings.given & bit(index++)) != 0) {
      line.text(separator).text(row.variable).text("=");
      show_setting(line, row, settings);
      separator = " ";
    }
  }
  return line;
}

namespace {

// Each row's value, as getenv would find it (the first entry of its
// name), in one pass over the environment rather than one for each row.
// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-constant-array-index)
void find_variables(const char *(&texts)[kSettingCount]) {
  constexpr size_t kPrefix = sizeof "ORVA_" - 1;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    if (strncmp(*entry, "ORVA_", kPrefix) != 0) {
      continue;
    }
    unsigned index = 0;
    for (const Setting &row : kSettings) {
      const size_t length = strlen(row.variable);
      if (texts[index] == nullptr &&
          strncmp(*entry, row.variable, length) == 0 &&
          (*entry)[length] == '=') {
        texts[index] = *entry + length + 1;
      }
      ++index;
    }
  }
}
// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-constant-array-index)

// "orva: invalid NAME=TEXT, using default 30s": what the setting stays at,
// in words that follow from its row.
void report_invalid(const Setting &row, const char *text) {
  const char *words = "using default ";
  const char *fallback = row.default_text;
  if (row.kind == Kind::Switch) {
    words = "staying off";
    fallback = "";
  } else if (row.kind == Kind::Signal) {
    words = "asking for none";
    fallback = "";
  } else if (row.kind == Kind::ExitCodes) {
    words = "mapping no exit code";
    fallback = "";
  } else if (row.kind == Kind::SignalRewrites) {
    words = "rewriting no signal";
    fallback = "";
  }
  // The value goes out whole, as long as the environment allows.
  Line()
      .text("invalid ")
      .text(row.variable)
      .text("=")
      .whole(text)
      .text(", ")
      .text(words)
      .text(fallback)
      .emit();
}

// "FROM=TO,..." for every entry from `first` to `last` the map changes.
template <typename Map>
void show_map(Line &line, const Map &map, int first, int last,
              void (*show_to)(Line &, int)) {
  const char *separator = "";
  for (int from = first; from <= last; ++from) {
    const int to = map.mapped(from);
    if (to < 0) {
      continue;
    }
    line.text(separator);
    show_to(line, from);
    line.text("=");
    show_to(line, to);
    separator = ",";
  }
}

} // namespace
} // namespace orva_internal

int orva_load_stop_timeout(struct timespec *out) {
  using orva_internal::kStopTimeoutRow;
  if (out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const char *text = getenv(kStopTimeoutRow.variable);
  if (orva_parse_stop_timeout(text, out) != 0) {
    if (text != nullptr && *text != '\0') {
      orva_internal::report_invalid(kStopTimeoutRow, text);
    }
    (void)orva_parse_stop_timeout(nullptr, out);
  }
  return 0;
}
