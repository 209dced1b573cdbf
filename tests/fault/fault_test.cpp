// SPDX-License-Identifier: MIT
// Every failure of a system call the supervisor makes, injected through the
// preloaded fault library: the exact diagnostic, the exit code, whether the
// supervision went on, and the caller's mask after orva_run returns.
#include "fault_run.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>

#include <chrono>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orva_test::DriverOptions;
using orva_test::joined;
using orva_test::monotonic_ns;
using orva_test::perror_line;
using orva_test::Result;
using orva_test::start_driver;

struct Row {
  const char *name;
  std::vector<std::string> env;
  std::vector<std::string> args;
  int exit_code;
  std::string err;       // all of stderr
  int injected = 1;      // failures the library must have injected
  bool mask_kept = true; // false only where restoring is what failed
  std::vector<std::string> out_has{};
  std::vector<std::string> out_lacks{};
  double min_seconds = 0; // lower bound on the whole run

  Row injecting(int n) && {
    injected = n;
    return std::move(*this);
  }
  Row changing_mask() && {
    mask_kept = false;
    return std::move(*this);
  }
  Row saying(std::string text) && {
    out_has.push_back(std::move(text));
    return std::move(*this);
  }
  Row taking(double seconds) && {
    min_seconds = seconds;
    return std::move(*this);
  }
};

// The driver run with `args` in `env`, ending with `exit_code` and exactly
// `err` on stderr after one injected failure.
Row row(const char *name, std::vector<std::string> env,
        std::vector<std::string> args, int exit_code, std::string err = "") {
  return {name, std::move(env), std::move(args), exit_code, std::move(err)};
}

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
  const Result o = start_driver(DriverOptions{row.env, row.args}).wait(20s);
  const double seconds = static_cast<double>(monotonic_ns() - start) / 1e9;
  SCOPED_TRACE("stdout:\n" + o.out);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, row.exit_code);
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
  for (const std::string &text : row.out_lacks) {
    EXPECT_EQ(o.out.find(text), std::string::npos) << text;
  }
  EXPECT_GE(seconds, row.min_seconds);
}

// Fails the nth watched call of `call` in `who` (parent: process 1; child:
// any other) with `error`, and the count - 1 after it.
std::vector<std::string> fault(const char *call, int error,
                               const char *who = "parent", int nth = 1,
                               int count = 1) {
  return {std::string("ORVA_FAULT_CALL=") + call,
          "ORVA_FAULT_ERRNO=" + std::to_string(error),
          std::string("ORVA_FAULT_WHO=") + who,
          "ORVA_FAULT_NTH=" + std::to_string(nth),
          "ORVA_FAULT_COUNT=" + std::to_string(count)};
}

// Failures that end the supervision: process 1 returns 111 with the mask it
// was called with. A child whose own set-up failed must not have run
// submain, and leaves nothing behind.
Row fatal(const char *name, const char *call, int error,
          const char *who = "parent",
          std::vector<std::string> args = {"exit:3"}) {
  const bool child = std::string(who) == "child";
  Row r = row(name, fault(call, error, who), std::move(args), 111,
              perror_line(std::string(child ? "orva: child " : "orva: ") + call,
                          error));
  if (child) {
    r.out_lacks = {"ran\n"};
    r.out_has = {"leftover: none\n"};
  }
  return r;
}

class Fatal : public testing::TestWithParam<Row> {};

TEST_P(Fatal, EndsWithTheCodeAndTheMaskRestored) { check(GetParam()); }

const std::vector<std::string> kRanThenExit = {"say:ran", "exit:3"};

INSTANTIATE_TEST_SUITE_P(
    Supervisor, Fatal,
    testing::Values(
        fatal("Sigfillset", "sigfillset", EINVAL),
        fatal("Sigprocmask", "sigprocmask", EINVAL),
        fatal("ForkAgain", "fork", EAGAIN),
        fatal("ForkNoMemory", "fork", ENOMEM),
        fatal("ChildSigprocmask", "sigprocmask", EINVAL, "child", kRanThenExit),
        fatal("ChildSigprocmaskDenied", "sigprocmask", EPERM, "child",
              kRanThenExit),
        fatal("ChildSetpgid", "setpgid", EPERM, "child", kRanThenExit),
        fatal("Waitpid", "waitpid", EINVAL, "parent", {"sleep:200", "exit:3"}),
        // A missing main is a usage error.
        row("NullMain", {}, {"+null"}, 64, "orva: submain must not be NULL\n")
            .injecting(0)),
    row_name);

// Failures the supervisor reports, or rides out, and then carries on with:
// the managed child's exit code comes back.
class GoesOn : public testing::TestWithParam<Row> {};

TEST_P(GoesOn, ReturnsTheChildsExitCode) { check(GetParam()); }

const std::vector<std::string> kTty = {"+tty", "exit:8"};

INSTANTIATE_TEST_SUITE_P(
    Supervisor, GoesOn,
    testing::Values(
        row("NoFault", {}, {"exit:3"}, 3).injecting(0),
        row("ParentSetpgidDenied", fault("setpgid", EPERM), {"exit:3"}, 3,
            perror_line("orva: parent setpgid", EPERM)),
        row("ParentSetpgidAfterExec", fault("setpgid", EACCES), {"exit:3"}, 3),
        row("ParentSetpgidChildGone", fault("setpgid", ESRCH), {"exit:3"}, 3),
        row("WaitpidInterrupted", fault("waitpid", EINTR, "parent", 1, 5),
            {"sleep:100", "exit:42"}, 42)
            .injecting(5),
        row("WaitpidNoChildren", fault("waitpid", ECHILD),
            {"sleep:300", "exit:42"}, 0),
        row("SigtimedwaitFails", fault("sigtimedwait", EINVAL),
            {"sleep:200", "exit:6"}, 6,
            perror_line("orva: sigtimedwait", EINVAL)),
        // A wait that fails takes nothing: the signal is still pending for
        // the next one, forwarded, and lets the child finish.
        row("SigtimedwaitInterrupted",
            fault("sigtimedwait", EINTR, "parent", 1, 3),
            {"block:USR1", "kill1:USR1", "waitsig:USR1", "exit:21"}, 21)
            .injecting(3),
        row("ExitPauseInterrupted", fault("nanosleep", EINTR), {"exit:7"}, 7),
        row("MaskRestoreFails", fault("sigprocmask", EINVAL, "parent", 2),
            {"exit:7"}, 7)
            .changing_mask(),
        row("TcsetpgrpFails", fault("tcsetpgrp", EIO), kTty, 8,
            perror_line("orva: tcsetpgrp", EIO)),
        row("TcsetpgrpInvalid", fault("tcsetpgrp", EINVAL), kTty, 8,
            perror_line("orva: tcsetpgrp", EINVAL)),
        row("TcsetpgrpNotOurTerminal", fault("tcsetpgrp", ENOTTY), kTty, 8),
        row("TcsetpgrpOtherSession", fault("tcsetpgrp", EPERM), kTty, 8),
        row("ChildTcsetpgrpFails", fault("tcsetpgrp", EIO, "child"), kTty, 8)),
    row_name);

// Failures on the way to a stop. The child ignores or never sees SIGTERM,
// so how it ends shows whether the deadline was armed and SIGKILL sent.
class Stopping : public testing::TestWithParam<Row> {};

TEST_P(Stopping, EscalatesAsDesigned) { check(GetParam()); }

const std::string kKillSig = "ORVA_FAULT_SIG=" + std::to_string(SIGKILL);
const std::string kTermSig = "ORVA_FAULT_SIG=" + std::to_string(SIGTERM);
const std::string kUsr1Sig = "ORVA_FAULT_SIG=" + std::to_string(SIGUSR1);
const std::vector<std::string> kIgnoreTerm = {"ignore:TERM", "kill1:TERM"};
const std::vector<std::string> kKillFails =
    fault("kill", EPERM, "parent", 1, 100);

INSTANTIATE_TEST_SUITE_P(
    Supervisor, Stopping,
    testing::Values(
        // SIGKILL that fails still counts as sent: no second attempt, and
        // the supervisor waits for the child however long it takes.
        row("KillFailsWhenTheWaitTimesOut",
            joined(kKillFails, {kKillSig, "ORVA_STOP_TIMEOUT=1"}),
            joined(kIgnoreTerm, {"sleep:2500", "say:outlived", "exit:5"}), 5,
            perror_line("orva: kill(SIGKILL)", EPERM))
            .saying("outlived\n")
            .taking(2.4),
        row("KillFailsWhenTheDeadlineHasPassed",
            joined(kKillFails, {kKillSig, "ORVA_STOP_TIMEOUT=0"}),
            joined(kIgnoreTerm, {"sleep:500", "say:outlived", "exit:5"}), 5,
            perror_line("orva: kill(SIGKILL)", EPERM))
            .saying("outlived\n"),
        row("KillFindsTheGroupGone",
            joined(fault("kill", ESRCH, "parent", 1, 100),
                   {kKillSig, "ORVA_STOP_TIMEOUT=0"}),
            joined(kIgnoreTerm, {"sleep:500", "exit:5"}), 5),
        // A terminate signal that could not be forwarded still arms the
        // deadline.
        row("ForwardFails",
            joined(fault("kill", EPERM), {kTermSig, "ORVA_STOP_TIMEOUT=1"}),
            {"kill1:TERM", "pause"}, 137, perror_line("orva: kill", EPERM))
            .taking(0.9),
        row("ForwardFindsTheGroupGone",
            joined(fault("kill", ESRCH), {kTermSig, "ORVA_STOP_TIMEOUT=1"}),
            {"kill1:TERM", "pause"}, 137)
            .taking(0.9),
        row("ForwardOfOtherSignalFails",
            joined(fault("kill", EPERM), {kUsr1Sig}),
            {"kill1:USR1", "sleep:300", "exit:4"}, 4,
            perror_line("orva: kill", EPERM)),
        // No clock when the first SIGTERM comes: nothing is armed, so the
        // child outlives the timeout; the second SIGTERM arms it.
        row("ClockFailsWhenArming",
            joined(fault("clock_gettime", EINVAL), {"ORVA_STOP_TIMEOUT=1"}),
            joined(kIgnoreTerm,
                   {"sleep:1500", "say:survived", "kill1:TERM", "pause"}),
            137)
            .saying("survived\n")
            .taking(2.4),
        // No clock for the first remaining time: the full stop timeout.
        row("ClockFailsForTheFirstRemainingTime",
            joined(fault("clock_gettime", EINVAL, "parent", 2),
                   {"ORVA_STOP_TIMEOUT=2"}),
            joined(kIgnoreTerm, {"pause"}), 137)
            .taking(1.9),
        // No clock for a later one: the time left at the previous pass,
        // counted again from the signal that caused this pass.
        row("ClockFailsForALaterRemainingTime",
            joined(fault("clock_gettime", EINVAL, "parent", 3),
                   {"ORVA_STOP_TIMEOUT=2"}),
            joined(kIgnoreTerm,
                   {"ignore:USR1", "sleep:500", "kill1:USR1", "pause"}),
            137)
            .taking(2.4)),
    row_name);

} // namespace
