// SPDX-License-Identifier: MIT
// The texts of the settings: the stop signals, the stop scope, the
// switches and the two maps.
// The parsers are internal, so this test is built from the library's own
// source rather than linked against it.
#include "line.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <initializer_list>
#include <string>

namespace {

using orva_internal::ExitMap;
using orva_internal::Settings;
using orva_internal::SignalMap;

// A field's text read as the environment and the command line read it:
// through its row of the table, into settings that hold `value` already.
template <typename Value>
bool parse_into(const char *variable, Value Settings::*field, const char *text,
                Value &value) {
  for (const orva_internal::Setting &row : orva_internal::kSettings) {
    if (strcmp(row.variable, variable) == 0) {
      Settings settings;
      settings.*field = value;
      const bool ok = orva_internal::parse_setting(row, text, settings);
      value = settings.*field;
      return ok;
    }
  }
  ADD_FAILURE() << "no row " << variable;
  return false;
}

bool read_stop_signals(const char *text, sigset_t &set) {
  return parse_into("ORVA_STOP_SIGNALS", &Settings::stop_signals, text, set);
}
bool read_stop_scope(const char *text, bool &all) {
  return parse_into("ORVA_STOP_SCOPE", &Settings::stop_all, text, all);
}
bool read_verbose(const char *text, bool &verbose) {
  return parse_into("ORVA_VERBOSE", &Settings::verbose, text, verbose);
}
bool read_exit_map(const char *text, ExitMap &map) {
  return parse_into("ORVA_EXIT_MAP", &Settings::exit_map, text, map);
}
bool read_signal_map(const char *text, SignalMap &map) {
  return parse_into("ORVA_SIGNAL_MAP", &Settings::signal_map, text, map);
}

std::string members(const sigset_t &set) {
  std::string out;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&set, sig) == 1) {
      out += (out.empty() ? "" : ",") + std::to_string(sig);
    }
  }
  return out;
}

std::string numbers(std::initializer_list<int> sigs) {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : sigs) {
    sigaddset(&set, sig);
  }
  return members(set);
}

TEST(StopSignals, NamesWithOrWithoutSigInAnyCase) {
  const struct {
    const char *text;
    std::string sigs;
  } accepted[] = {
      {nullptr, numbers({SIGHUP, SIGINT, SIGQUIT, SIGTERM})},
      {"", numbers({SIGHUP, SIGINT, SIGQUIT, SIGTERM})},
      {"TERM,INT,QUIT", numbers({SIGTERM, SIGINT, SIGQUIT})},
      {"SIGTERM,sigpwr", numbers({SIGTERM, SIGPWR})},
      {" term , Usr1 ", numbers({SIGTERM, SIGUSR1})},
      {"TERM,TERM", numbers({SIGTERM})},
      {"RTMIN,RTMIN+3,SIGRTMAX-1",
       numbers({SIGRTMIN, SIGRTMIN + 3, SIGRTMAX - 1})},
      {"WINCH,SYS,VTALRM", numbers({SIGWINCH, SIGSYS, SIGVTALRM})},
  };
  for (const auto &c : accepted) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    sigset_t set;
    sigemptyset(&set);
    ASSERT_TRUE(read_stop_signals(c.text, set));
    EXPECT_EQ(members(set), c.sigs);
  }
}

// What cannot be caught, SIGCHLD, which is never forwarded, unknown names,
// numbers and a list with an empty item are all refused, leaving the set
// as it was.
TEST(StopSignals, RefusesWhatCannotArm) {
  const std::string realtime_too_far =
      "RTMIN+" + std::to_string(SIGRTMAX - SIGRTMIN + 1);
  for (const char *text : {"KILL",     "SIGSTOP",    "TERM,CHLD",
                           "TERN",     "15",         "TERM,",
                           ",TERM",    "TERM,,INT",  " ",
                           "SIG",      "SIGSIGTERM", "RTMIN+",
                           "RTMIN-1",  "RTMAX+1",    "RTMIN+x",
                           "RTMIN+ 1", "RTMIN+1000", realtime_too_far.c_str(),
                           "TERM INT", "TERM;INT"}) {
    SCOPED_TRACE(text);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    EXPECT_FALSE(read_stop_signals(text, set));
    EXPECT_EQ(members(set), numbers({SIGUSR2}));
  }
}

TEST(StopScopeAndVerbose, TakeTheirWordsOnly) {
  using Parser = bool (*)(const char *, bool &);
  const Parser scope = read_stop_scope;
  const Parser verbose = read_verbose;
  // A refused text leaves the setting as it was, here `value`.
  struct Case {
    Parser parse;
    const char *text;
    bool ok;
    bool value;
  };
  const Case cases[] = {
      {scope, nullptr, true, false},  {scope, "", true, false},
      {scope, "group", true, false},  {scope, "all", true, true},
      {scope, "All", false, true},    {scope, "groups", false, true},
      {scope, " all", false, true},   {scope, "none", false, true},
      {scope, "-1", false, true},     {verbose, nullptr, true, false},
      {verbose, "", true, false},     {verbose, "0", true, false},
      {verbose, "1", true, true},     {verbose, "yes", false, true},
      {verbose, "true", false, true}, {verbose, "2", false, true},
      {verbose, "01", false, true},   {verbose, " 1", false, true},
      {verbose, "on", false, true},
  };
  for (const Case &c : cases) {
    bool got = c.ok ? !c.value : c.value;
    EXPECT_EQ(c.parse(c.text, got), c.ok)
        << (c.text != nullptr ? c.text : "(unset)");
    EXPECT_EQ(got, c.value) << (c.text != nullptr ? c.text : "(unset)");
  }
}

std::string exit_map_text(const ExitMap &map) {
  std::string out;
  for (int code = 0; code <= 255; ++code) {
    if (map.mapped(code) >= 0) {
      out +=
          std::to_string(code) + "=" + std::to_string(map.mapped(code)) + ",";
    }
  }
  return out;
}

std::string signal_map_text(const SignalMap &map) {
  std::string out;
  for (int sig = 0; sig <= NSIG; ++sig) {
    if (map.mapped(sig) >= 0) {
      out += std::to_string(sig) + "=" + std::to_string(map.mapped(sig)) + ",";
    }
  }
  return out;
}

// Lists add to what the map holds, a later entry for the same code or
// signal winning; a refused list leaves the map as it was.
TEST(Maps, AddTheirEntriesOrNone) {
  const struct {
    const char *text;
    const char *exits;
  } exit_cases[] = {
      {nullptr, "7=8,"},
      {"", "7=8,"},
      {"143=0", "7=8,143=0,"},
      {" 143=0 , 130=0,0=255", "0=255,7=8,130=0,143=0,"},
      {"7=1,7=2", "7=2,"},
      {"7=007", "7=7,"},
      {"256=0", "7=8,"},
      {"111=0", "7=8,"},
      {"1=111", "1=111,7=8,"},
      {"1=256", "7=8,"},
      {"1=2,", "7=8,"},
      {"1==2", "7=8,"},
      {"=2", "7=8,"},
      {"1=", "7=8,"},
      {"-1=0", "7=8,"},
      {"1 = 2", "7=8,"},
      {"1=2=3", "7=8,"},
      {"0x10=1", "7=8,"},
  };
  for (const auto &c : exit_cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    ExitMap map;
    map.map(7, 8);
    (void)read_exit_map(c.text, map);
    EXPECT_EQ(exit_map_text(map), c.exits);
  }
  const std::string term = std::to_string(SIGTERM);
  const std::string quit = std::to_string(SIGQUIT);
  const std::string usr1 = std::to_string(SIGUSR1);
  const std::string kill = std::to_string(SIGKILL);
  const std::string untouched = term + "=" + quit + ",";
  const struct {
    const char *text;
    std::string signals;
  } signal_cases[] = {
      {nullptr, untouched},
      {"TERM=KILL", term + "=" + kill + ","},
      {"sigusr1=0, TERM=TERM", usr1 + "=0," + term + "=" + term + ","},
      {"RTMIN+1=USR1",
       untouched + std::to_string(SIGRTMIN + 1) + "=" + usr1 + ","},
      {"KILL=TERM", untouched},
      {"STOP=TERM", untouched},
      {"CHLD=TERM", untouched},
      {"TERM=15", untouched},
      {"TERM=00", untouched},
      {"TERM=", untouched},
      {"TERM", untouched},
      {"TERM=QUIT,USR1", untouched},
  };
  for (const auto &c : signal_cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    SignalMap map;
    map.map(SIGTERM, SIGQUIT);
    (void)read_signal_map(c.text, map);
    EXPECT_EQ(signal_map_text(map), c.signals);
  }
}

} // namespace
