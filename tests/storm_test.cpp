// SPDX-License-Identifier: MIT
// The supervisor under load, as process 1: thousands of orphans, tens of
// thousands of signals, and the SIGKILL deadline while signals keep coming.
#include "fault_run.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orva_test::DriverOptions;
using orva_test::fault_stamps;
using orva_test::monotonic_ns;
using orva_test::Process;
using orva_test::Result;
using orva_test::start_driver;

// Each orphan exits only after its parent has, so every one of them is
// process 1's to reap; the managed child ends once all have exited.
TEST(Storm, TenThousandOrphansAreAllReaped) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const Result o =
      start_driver(
          DriverOptions{{}, {"orphans:10000", "say:spawned", "exit:42"}, false})
          .wait(90s);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 42) << o.out;
  EXPECT_EQ(o.err, "");
  EXPECT_NE(o.out.find("spawned\n"), std::string::npos);
  EXPECT_NE(o.out.find("leftover: none\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("mask: kept\n"), std::string::npos);
}

// SIGHUP among them arms the deadline, so the stop timeout is long enough
// to outlast the storm. Every kind must reach the child (a standard signal
// may be merged with its repeats, never lost altogether); SIGTERM waits for
// that, since a pending SIGTERM would be taken before a pending SIGWINCH.
TEST(Storm, MixedSignalsAreForwardedAndTheChildEndsNormally) {
  ORVA_REQUIRE_PID_NAMESPACE();
  Process init = start_driver(DriverOptions{
      {"ORVA_STOP_TIMEOUT=1h"}, {"catch", "say:ready", "pause"}, false});
  ASSERT_TRUE(init.wait_for("ready\n"));
  const int kinds[] = {SIGUSR1, SIGUSR2, SIGWINCH, SIGHUP};
  for (int i = 0; i < 40'000; ++i) {
    init.send(kinds[i % 4]);
  }
  EXPECT_TRUE(init.wait_for("seen all kinds\n", 30s));
  init.send(SIGTERM);
  const Result o = init.wait(60s);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 17) << "20 + the kinds seen, as bits";
  EXPECT_EQ(o.err, "");
  EXPECT_NE(o.out.find("mask: kept\n"), std::string::npos);
}

// Repeated SIGTERMs during the grace period neither move the deadline nor
// cause a second SIGKILL; the fault library stamps every kill(SIGKILL).
TEST(Storm, IgnoredSigtermGetsOneSigkillAfterTheStopTimeout) {
  ORVA_REQUIRE_PID_NAMESPACE();
  Process init = start_driver(
      DriverOptions{{"ORVA_STOP_TIMEOUT=1", "ORVA_FAULT_CALL=kill",
                     "ORVA_FAULT_SIG=" + std::to_string(SIGKILL),
                     "ORVA_FAULT_WHO=parent", "ORVA_FAULT_TRACE=1"},
                    {"ignore:TERM", "say:ready", "pause"}});
  ASSERT_TRUE(init.wait_for("ready\n"));
  const long long first_term = monotonic_ns();
  init.send(SIGTERM);
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(250ms);
    init.send(SIGTERM);
  }
  const Result o = init.wait(20s);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 137);
  EXPECT_EQ(o.err, "");
  const auto kills = fault_stamps(o.out, "fault: kill sig=9 ");
  ASSERT_EQ(kills.size(), 1u) << o.out;
  const double after = static_cast<double>(kills[0] - first_term) / 1e9;
  EXPECT_GE(after, 1.0);
  EXPECT_LE(after, 1.5);
}

} // namespace
