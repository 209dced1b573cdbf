// SPDX-License-Identifier: MIT
// The stop policy: duration texts, the environment setting and the
// classification of terminate signals.
#include "harness.h"
#include "orva.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <limits>
#include <optional>
#include <ostream>
#include <string>

namespace {

constexpr time_t kMaxSeconds = std::numeric_limits<time_t>::max();

struct Accepted {
  const char *text;
  time_t seconds;
};

void PrintTo(const Accepted &a, std::ostream *os) {
  if (a.text == nullptr) {
    *os << "NULL";
  } else {
    *os << '"' << a.text << '"';
  }
  *os << " is " << a.seconds << " s";
}

class ParseAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepts, GivesWholeSeconds) {
  const Accepted &c = GetParam();
  timespec out{-7, 123};
  ASSERT_EQ(orva_parse_stop_timeout(c.text, &out), 0)
      << "text \"" << (c.text != nullptr ? c.text : "(null)") << "\"";
  EXPECT_EQ(out.tv_sec, c.seconds);
  EXPECT_EQ(out.tv_nsec, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseAccepts,
    ::testing::Values(
        Accepted{nullptr, 30}, Accepted{"", 30}, Accepted{"45", 45},
        Accepted{"45s", 45}, Accepted{"2m", 120}, Accepted{"1h30m", 5400},
        // A last number without a unit counts as seconds.
        Accepted{"1h30", 3630}, Accepted{"30s2m", 150}, Accepted{"1m1m", 120},
        Accepted{"0", 0}, Accepted{"0h0m0s", 0}, Accepted{" 5", 5},
        Accepted{"\t5", 5}, Accepted{"1h 30m", 5400}, Accepted{"+5", 5},
        Accepted{"1h+30m", 5400}, Accepted{"007", 7},
        // The largest second count still fits, however it is spelt.
        Accepted{"9223372036854775807", kMaxSeconds},
        Accepted{"153722867280912930m7", kMaxSeconds},
        Accepted{"2562047788015215h", 2562047788015215 * 3600}));

class ParseRejects : public ::testing::TestWithParam<const char *> {};

TEST_P(ParseRejects, WithEinvalAndOutUntouched) {
  timespec out{-7, 123};
  errno = 0;
  EXPECT_EQ(orva_parse_stop_timeout(GetParam(), &out), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(out.tv_sec, -7);
  EXPECT_EQ(out.tv_nsec, 123);
}

INSTANTIATE_TEST_SUITE_P(Grammar, ParseRejects,
                         ::testing::Values("-5", "5x", "5M", "1.5m", "h5",
                                           "abc", "m", "5 ", "5\n", "1h ",
                                           "1hh", "5s ", " ", "+", "1h30x",
                                           "++5", "0x10"));

// strtoul would quietly negate these, leaving a deadline in the past.
INSTANTIATE_TEST_SUITE_P(NegativeNumbers, ParseRejects,
                         ::testing::Values(" -5", "\t-5", "1h-5", "1h-30m",
                                           "1h -30m", "-0", " -0", "1h-0m",
                                           "+-5"));

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, ParseRejects,
    ::testing::Values(
        // Beyond what strtoul can represent.
        "18446744073709551616", "99999999999999999999999",
        "1h18446744073709551616s",
        // Representable, but above the largest second count.
        "9223372036854775808", "18446744073709551615",
        // A product above it.
        "2562047788015216h", "153722867280912931m",
        "5124095576030432h", // 3584 s once taken modulo 2^64
        // A running total above it.
        "9223372036854775807s1", "153722867280912930m8",
        "4611686018427387904s4611686018427387904s"));

TEST(Parse, NullOutIsRejected) {
  for (const char *text : {"5", "", static_cast<const char *>(nullptr)}) {
    errno = 0;
    EXPECT_EQ(orva_parse_stop_timeout(text, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
  }
}

// Restores ORVA_STOP_TIMEOUT as it was, whatever a test sets it to.
class Load : public orva_test::KeepsSignalMask {
protected:
  void SetUp() override {
    KeepsSignalMask::SetUp();
    if (const char *value = getenv(kName)) {
      saved_ = value;
    }
  }
  void TearDown() override {
    if (saved_) {
      setenv(kName, saved_->c_str(), 1);
    } else {
      unsetenv(kName);
    }
    KeepsSignalMask::TearDown();
  }

  static constexpr const char *kName = "ORVA_STOP_TIMEOUT";

private:
  std::optional<std::string> saved_;
};

// Unset, empty and valid settings load silently; an invalid one is reported
// once and gives the default.
TEST_F(Load, GivesTheSettingOrTheDefault) {
  struct Case {
    const char *value; // nullptr: unset
    time_t seconds;
    bool reported;
  };
  for (const Case &c :
       {Case{nullptr, 30, false}, Case{"", 30, false},
        Case{"1h30m", 5400, false}, Case{"abc", 30, true}, Case{"-5", 30, true},
        Case{" -5", 30, true}, Case{"5 ", 30, true}, Case{"1h-30m", 30, true},
        Case{"18446744073709551616", 30, true}}) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
    if (c.value == nullptr) {
      unsetenv(kName);
    } else {
      setenv(kName, c.value, 1);
    }
    timespec out{-7, 123};
    testing::internal::CaptureStderr();
    EXPECT_EQ(orva_load_stop_timeout(&out), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              c.reported ? std::string("orva: invalid ORVA_STOP_TIMEOUT=") +
                               c.value + ", using default 30s\n"
                         : "");
    EXPECT_EQ(out.tv_sec, c.seconds);
    EXPECT_EQ(out.tv_nsec, 0);
  }
  // Whatever the setting, there must be somewhere to put it.
  setenv(kName, "5", 1);
  errno = 0;
  EXPECT_EQ(orva_load_stop_timeout(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(TerminateSignal, OnlyHupIntQuitAndTerm) {
  struct Case {
    int sig;
    int expected;
  };
  for (const Case c :
       {Case{SIGHUP, 1}, Case{SIGINT, 1}, Case{SIGQUIT, 1}, Case{SIGTERM, 1},
        Case{1, 1}, Case{2, 1}, Case{3, 1}, Case{15, 1}, Case{0, 0},
        Case{-1, 0}, Case{-15, 0}, Case{SIGUSR1, 0}, Case{SIGCHLD, 0},
        Case{SIGKILL, 0}, Case{SIGWINCH, 0}, Case{SIGRTMIN, 0}, Case{64, 0},
        Case{15 + 256, 0}}) {
    EXPECT_EQ(orva_is_terminate_signal(c.sig), c.expected)
        << "signal " << c.sig;
  }
}

} // namespace
