// orva_run as process 1 of a new PID namespace.
#include "orva.h"
#include "pid1.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

namespace {

using orva_test::Outcome;
using orva_test::run_as_pid1;

TEST(Supervise, ExitStatusOfTheChildIsReturned) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const Outcome o = run_as_pid1(
      [] { return orva_run([](int, char **) { return 3; }, 0, nullptr); });
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code(), 3);
  EXPECT_EQ(o.err, "");
}

} // namespace
