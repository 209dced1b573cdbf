// SPDX-License-Identifier: MIT
// Hostile input: stop timeouts that are no durations at all. (Programs that
// orva-init cannot run are walked in launcher_test.)
#include "harness.h"
#include "orva.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

namespace {

using orva_test::Result;
using orva_test::run_as_pid1;

const std::string kMiB(1 << 20, '9');

std::string invalid_line(const std::string &shown) {
  return "orva: invalid ORVA_STOP_TIMEOUT=" + shown + ", using default 30s\n";
}

struct Setting {
  const char *what;
  std::string value;
  std::string err; // "" when the value is accepted
  time_t seconds;
};

// Control characters are shown escaped so that the message stays one line
// and cannot drive a terminal; other bytes, valid UTF-8 or not, are kept.
const std::vector<Setting> kSettings = {
    {"newline", "5\n", invalid_line("5\\x0a"), 30},
    {"line break inside", "5\nforged", invalid_line("5\\x0aforged"), 30},
    {"escape sequence", "\x1b[2J5", invalid_line("\\x1b[2J5"), 30},
    {"carriage return", "1\r2", invalid_line("1\\x0d2"), 30},
    {"delete", "\x7f", invalid_line("\\x7f"), 30},
    {"control after unit", "5s\x01", invalid_line("5s\\x01"), 30},
    {"leading tab (white space before a number)", "\t5", "", 5},
    {"invalid UTF-8", "\xff\xfe", invalid_line("\xff\xfe"), 30},
    {"truncated UTF-8", "5\xc3", invalid_line("5\xc3"), 30},
    {"1 MiB number", kMiB, invalid_line(kMiB), 30},
    {"1 MiB of letters", std::string(1 << 20, 'x'),
     invalid_line(std::string(1 << 20, 'x')), 30},
    {"1 MiB of valid components",
     [] {
       std::string s;
       for (int i = 0; i < (1 << 19); ++i) {
         s += "1m";
       }
       return s;
     }(),
     "", time_t{60} << 19},
};

class BadSetting : public testing::Test {
protected:
  void TearDown() override { unsetenv("ORVA_STOP_TIMEOUT"); }
};

TEST_F(BadSetting, GivesOneLineAndTheDefault) {
  for (const Setting &s : kSettings) {
    SCOPED_TRACE(s.what);
    ASSERT_EQ(setenv("ORVA_STOP_TIMEOUT", s.value.c_str(), 1), 0);
    timespec out{-1, -1};
    testing::internal::CaptureStderr();
    const int result = orva_load_stop_timeout(&out);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.tv_sec, s.seconds);
    EXPECT_EQ(out.tv_nsec, 0);
    EXPECT_TRUE(err == s.err) << err.substr(0, 200);
  }
}

// The same as process 1: the line comes once and the supervision goes on.
TEST_F(BadSetting, DoesNotStopTheSupervisor) {
  ORVA_REQUIRE_PID_NAMESPACE();
  for (const Setting &s : kSettings) {
    SCOPED_TRACE(s.what);
    const std::string value = s.value;
    const Result o = run_as_pid1([value] {
      setenv("ORVA_STOP_TIMEOUT", value.c_str(), 1);
      return orva_run([](int, char **) { return 9; }, 0, nullptr);
    });
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, 9);
    EXPECT_TRUE(o.err == s.err) << o.err.substr(0, 200);
  }
}

} // namespace
