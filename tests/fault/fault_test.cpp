// SPDX-License-Identifier: MIT
// Every failure of a system call the supervisor makes, injected through the
// preloaded fault library: the exact diagnostic, the exit code, whether the
// supervision went on, and the caller's mask after orva_run returns.
#include "fault_run.h"
#include "pid1.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orva_test::DriverOptions;
using orva_test::monotonic_ns;
using orva_test::Outcome;
using orva_test::perror_line;
using orva_test::run_driver;

struct Row {
  const char *name;
  std::vector<std::string> env;
  std::vector<std::string> args;
  int exit_code;
  std::string err;       // all of stderr
  int injected = 1;      // failures the library must have injected
  bool mask_kept = true; // false only where restoring is what failed
  std::vector<std::string> out_has{};
  double min_seconds = 0; // lower bound on the whole run
};

// Names the row in failure messages instead of dumping its bytes.
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

std::string row_name(const testing::TestParamInfo<Row> &info) {
  return info.param.name;
}

int count_of(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

void check(const Row &row) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const long long start = monotonic_ns();
  const Outcome o = run_driver(DriverOptions{row.env, row.args}, 20s);
  const double seconds = static_cast<double>(monotonic_ns() - start) / 1e9;
  SCOPED_TRACE("stdout:\n" + o.out);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code(), row.exit_code);
  EXPECT_EQ(o.err, row.err);
  EXPECT_EQ(count_of(o.out, " injected at="), row.injected);
  if (row.mask_kept) {
    EXPECT_NE(o.out.find("mask: kept\n"), std::string::npos);
  } else {
    EXPECT_NE(o.out.find("mask: changed"), std::string::npos);
  }
  EXPECT_EQ(o.out.find("child mask: changed"), std::string::npos);
  for (const std::string &text : row.out_has) {
    EXPECT_NE(o.out.find(text), std::string::npos) << text;
  }
  EXPECT_GE(seconds, row.min_seconds);
}

std::vector<std::string> fault(const char *call, const char *error,
                               const char *who, int nth = 1, int count = 1) {
  return {std::string("ORVA_FAULT_CALL=") + call,
          std::string("ORVA_FAULT_ERRNO=") + error,
          std::string("ORVA_FAULT_WHO=") + who,
          "ORVA_FAULT_NTH=" + std::to_string(nth),
          "ORVA_FAULT_COUNT=" + std::to_string(count)};
}

std::vector<std::string> with(std::vector<std::string> env,
                              const std::vector<std::string> &more) {
  env.insert(env.end(), more.begin(), more.end());
  return env;
}

// Failures that end the supervision: process 1 returns 111 (64 for a
// missing main) with the mask it was called with.
class Fatal : public testing::TestWithParam<Row> {};

TEST_P(Fatal, EndsWithTheCodeAndTheMaskRestored) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Supervisor, Fatal,
    testing::Values(Row{"Sigfillset",
                        fault("sigfillset", "EINVAL", "parent"),
                        {"exit:3"},
                        111,
                        perror_line("orva: sigfillset", EINVAL)},
                    Row{"Sigprocmask",
                        fault("sigprocmask", "EINVAL", "parent"),
                        {"exit:3"},
                        111,
                        perror_line("orva: sigprocmask", EINVAL)},
                    Row{"ForkAgain",
                        fault("fork", "EAGAIN", "parent"),
                        {"exit:3"},
                        111,
                        perror_line("orva: fork", EAGAIN)},
                    Row{"ForkNoMemory",
                        fault("fork", "ENOMEM", "parent"),
                        {"exit:3"},
                        111,
                        perror_line("orva: fork", ENOMEM)},
                    Row{"ChildSigprocmask",
                        fault("sigprocmask", "EINVAL", "child"),
                        {"say:ran", "exit:3"},
                        111,
                        perror_line("orva: child sigprocmask", EINVAL)},
                    Row{"ChildSetpgid",
                        fault("setpgid", "EPERM", "child"),
                        {"say:ran", "exit:3"},
                        111,
                        perror_line("orva: child setpgid", EPERM)},
                    Row{"Waitpid",
                        fault("waitpid", "EINVAL", "parent"),
                        {"sleep:200", "exit:3"},
                        111,
                        perror_line("orva: waitpid", EINVAL)},
                    Row{"NullMain",
                        {},
                        {"+null"},
                        64,
                        "orva: submain must not be NULL\n",
                        0}),
    row_name);

// The child must not have run submain when its own set-up failed.
TEST(Fatal, ChildSetUpFailureNeverRunsSubmain) {
  ORVA_REQUIRE_PID_NAMESPACE();
  for (const char *call : {"sigprocmask", "setpgid"}) {
    const Outcome o = run_driver(
        DriverOptions{fault(call, "EPERM", "child"), {"say:ran", "exit:3"}});
    EXPECT_EQ(o.out.find("ran\n"), std::string::npos) << call;
    EXPECT_NE(o.out.find("leftover: none\n"), std::string::npos) << call;
  }
}

// Failures the supervisor reports, or rides out, and then carries on with:
// the managed child's exit code comes back.
class GoesOn : public testing::TestWithParam<Row> {};

TEST_P(GoesOn, ReturnsTheChildsExitCode) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Supervisor, GoesOn,
    testing::Values(
        Row{"NoFault", {}, {"exit:3"}, 3, "", 0},
        Row{"ParentSetpgidDenied",
            fault("setpgid", "EPERM", "parent"),
            {"exit:3"},
            3,
            perror_line("orva: parent setpgid", EPERM)},
        Row{"ParentSetpgidAfterExec",
            fault("setpgid", "EACCES", "parent"),
            {"exit:3"},
            3,
            ""},
        Row{"ParentSetpgidChildGone",
            fault("setpgid", "ESRCH", "parent"),
            {"exit:3"},
            3,
            ""},
        Row{"WaitpidInterrupted",
            fault("waitpid", "EINTR", "parent", 1, 5),
            {"sleep:100", "exit:42"},
            42,
            "",
            5},
        Row{"WaitpidNoChildren",
            fault("waitpid", "ECHILD", "parent"),
            {"sleep:300", "exit:42"},
            0,
            ""},
        Row{"SigtimedwaitFails",
            fault("sigtimedwait", "EINVAL", "parent"),
            {"sleep:200", "exit:6"},
            6,
            perror_line("orva: sigtimedwait", EINVAL)},
        // A wait that fails takes nothing: the signal is still pending for
        // the next one, forwarded, and lets the child finish.
        Row{"SigtimedwaitInterrupted",
            fault("sigtimedwait", "EINTR", "parent", 1, 3),
            {"block:USR1", "kill1:USR1", "waitsig:USR1", "exit:21"},
            21,
            "",
            3},
        Row{"ExitPauseInterrupted",
            fault("nanosleep", "EINTR", "parent"),
            {"exit:7"},
            7,
            ""},
        Row{"MaskRestoreFails",
            fault("sigprocmask", "EINVAL", "parent", 2),
            {"exit:7"},
            7,
            "",
            1,
            false},
        Row{"TcsetpgrpFails",
            fault("tcsetpgrp", "EIO", "parent"),
            {"+tty", "exit:8"},
            8,
            perror_line("orva: tcsetpgrp", EIO)},
        Row{"TcsetpgrpInvalid",
            fault("tcsetpgrp", "EINVAL", "parent"),
            {"+tty", "exit:8"},
            8,
            perror_line("orva: tcsetpgrp", EINVAL)},
        Row{"TcsetpgrpNotOurTerminal",
            fault("tcsetpgrp", "ENOTTY", "parent"),
            {"+tty", "exit:8"},
            8,
            ""},
        Row{"TcsetpgrpOtherSession",
            fault("tcsetpgrp", "EPERM", "parent"),
            {"+tty", "exit:8"},
            8,
            ""},
        Row{"ChildTcsetpgrpFails",
            fault("tcsetpgrp", "EIO", "child"),
            {"+tty", "exit:8"},
            8,
            ""}),
    row_name);

// Failures on the way to a stop. The child ignores or never sees SIGTERM,
// so how it ends shows whether the deadline was armed and SIGKILL sent.
class Stopping : public testing::TestWithParam<Row> {};

TEST_P(Stopping, EscalatesAsDesigned) { check(GetParam()); }

const std::string kKillSig = "ORVA_FAULT_SIG=" + std::to_string(SIGKILL);
const std::string kTermSig = "ORVA_FAULT_SIG=" + std::to_string(SIGTERM);
const std::string kUsr1Sig = "ORVA_FAULT_SIG=" + std::to_string(SIGUSR1);
const std::vector<std::string> kTimeout1 = {"ORVA_STOP_TIMEOUT=1"};
const std::vector<std::string> kIgnoreTerm = {"ignore:TERM", "kill1:TERM"};

std::vector<std::string> steps(std::vector<std::string> first,
                               const std::vector<std::string> &then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

INSTANTIATE_TEST_SUITE_P(
    Supervisor, Stopping,
    testing::Values(
        // SIGKILL that fails still counts as sent: no second attempt, and
        // the supervisor waits for the child however long it takes.
        Row{"KillFailsWhenTheWaitTimesOut",
            with(fault("kill", "EPERM", "parent", 1, 100),
                 {kKillSig, "ORVA_STOP_TIMEOUT=1"}),
            steps(kIgnoreTerm, {"sleep:2500", "say:outlived", "exit:5"}),
            5,
            perror_line("orva: kill(SIGKILL)", EPERM),
            1,
            true,
            {"outlived\n"},
            2.4},
        Row{"KillFailsWhenTheDeadlineHasPassed",
            with(fault("kill", "EPERM", "parent", 1, 100),
                 {kKillSig, "ORVA_STOP_TIMEOUT=0"}),
            steps(kIgnoreTerm, {"sleep:500", "say:outlived", "exit:5"}),
            5,
            perror_line("orva: kill(SIGKILL)", EPERM),
            1,
            true,
            {"outlived\n"}},
        Row{"KillFindsTheGroupGone",
            with(fault("kill", "ESRCH", "parent", 1, 100),
                 {kKillSig, "ORVA_STOP_TIMEOUT=0"}),
            steps(kIgnoreTerm, {"sleep:500", "exit:5"}), 5, ""},
        // A terminate signal that could not be forwarded still arms the
        // deadline.
        Row{"ForwardFails",
            with(fault("kill", "EPERM", "parent"),
                 {kTermSig, "ORVA_STOP_TIMEOUT=1"}),
            {"kill1:TERM", "pause"},
            137,
            perror_line("orva: kill", EPERM),
            1,
            true,
            {},
            0.9},
        Row{"ForwardFindsTheGroupGone",
            with(fault("kill", "ESRCH", "parent"),
                 {kTermSig, "ORVA_STOP_TIMEOUT=1"}),
            {"kill1:TERM", "pause"},
            137,
            "",
            1,
            true,
            {},
            0.9},
        Row{"ForwardOfOtherSignalFails",
            with(fault("kill", "EPERM", "parent"), {kUsr1Sig}),
            {"kill1:USR1", "sleep:300", "exit:4"},
            4,
            perror_line("orva: kill", EPERM)},
        // No clock when the first SIGTERM comes: nothing is armed, so the
        // child outlives the timeout; the second SIGTERM arms it.
        Row{"ClockFailsWhenArming",
            with(fault("clock_gettime", "EINVAL", "parent"), kTimeout1),
            steps(kIgnoreTerm,
                  {"sleep:1500", "say:survived", "kill1:TERM", "pause"}),
            137,
            "",
            1,
            true,
            {"survived\n"},
            2.4},
        // No clock for the first remaining time: the full stop timeout.
        Row{"ClockFailsForTheFirstRemainingTime",
            with(fault("clock_gettime", "EINVAL", "parent", 2),
                 {"ORVA_STOP_TIMEOUT=2"}),
            steps(kIgnoreTerm, {"pause"}),
            137,
            "",
            1,
            true,
            {},
            1.9},
        // No clock for a later one: the time left at the previous pass,
        // counted again from the signal that caused this pass.
        Row{"ClockFailsForALaterRemainingTime",
            with(fault("clock_gettime", "EINVAL", "parent", 3),
                 {"ORVA_STOP_TIMEOUT=2"}),
            steps(kIgnoreTerm,
                  {"ignore:USR1", "sleep:500", "kill1:USR1", "pause"}),
            137,
            "",
            1,
            true,
            {},
            2.4}),
    row_name);

} // namespace
