// SPDX-License-Identifier: MIT
// One supervision, start to finish, under valgrind's memcheck: a forwarded
// signal, orphans to reap, the exit code passed on.
#include "fault_run.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;
using orva_test::DriverOptions;
using orva_test::Result;
using orva_test::start_driver;

TEST(Memcheck, SupervisionHasNoMemoryErrors) {
  ORVA_REQUIRE_PID_NAMESPACE();
  DriverOptions options{
      {"ORVA_STOP_TIMEOUT=1h"},
      {"ignore:HUP", "kill1:HUP", "orphans:20", "say:done", "exit:7"},
      false};
  // Quiet, so that stderr holds nothing but errors; an error in either
  // process changes its exit code to 1.
  options.wrapper = {ORVA_VALGRIND,       "--tool=memcheck",
                     "--quiet",           "--error-exitcode=1",
                     "--leak-check=full", "--errors-for-leak-kinds=definite"};
  const Result o = start_driver(options).wait(100s);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 7);
  EXPECT_EQ(o.err, "");
  EXPECT_NE(o.out.find("done\n"), std::string::npos);
  EXPECT_NE(o.out.find("leftover: none\n"), std::string::npos) << o.out;
}

} // namespace
