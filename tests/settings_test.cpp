// SPDX-License-Identifier: MIT
// The texts of the stop signals, the stop scope and the verbose setting.
// The parsers are internal, so this test is built from the library's own
// source rather than linked against it.
#include "internal.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <initializer_list>
#include <string>

namespace {

using orva_internal::parse_stop_scope;
using orva_internal::parse_stop_signals;
using orva_internal::parse_verbose;

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
    ASSERT_TRUE(parse_stop_signals(c.text, set));
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
    EXPECT_FALSE(parse_stop_signals(text, set));
    EXPECT_EQ(members(set), numbers({SIGUSR2}));
  }
}

TEST(StopScopeAndVerbose, TakeTheirWordsOnly) {
  using Parser = bool (*)(const char *, bool &);
  const Parser scope = parse_stop_scope;
  const Parser verbose = parse_verbose;
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

} // namespace
