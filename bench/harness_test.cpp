// SPDX-License-Identifier: MIT
// The driver's own helpers: statistics, units, the parsers of perf and
// strace output, and the /proc readers the figures rest on.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

TEST(BenchSummarize, MedianAndNearestRankP99) {
  struct Case {
    std::vector<double> values;
    double median;
    double p99;
  };
  std::vector<double> hundreds;
  for (int i = 200; i >= 1; --i) {
    hundreds.push_back(i); // unsorted on purpose
  }
  const Case cases[] = {
      {{5}, 5, 5},
      {{3, 1, 2}, 2, 3},
      {{4, 1, 3, 2}, 2.5, 4},
      // Rank ceil(0.99 * 200) = 198, not the largest.
      {hundreds, 100.5, 198},
  };
  for (const Case &c : cases) {
    const bench::Summary s = bench::summarize(c.values);
    EXPECT_EQ(s.count, c.values.size());
    EXPECT_DOUBLE_EQ(s.median, c.median);
    EXPECT_DOUBLE_EQ(s.p99, c.p99);
  }
  EXPECT_EQ(bench::summarize({}).count, 0U);
}

TEST(BenchFormat, PicksTheUnitAndKeepsTheSign) {
  EXPECT_EQ(bench::format_ns(950), "950 ns");
  EXPECT_EQ(bench::format_ns(1500), "1.5 µs");
  EXPECT_EQ(bench::format_ns(2.5e6), "2.50 ms");
  EXPECT_EQ(bench::format_ns(1.0005e9), "1.0005 s");
  EXPECT_EQ(bench::format_ns(-273272), "-273.3 µs");
  EXPECT_EQ(bench::format_kib(13.75), "13.8 KiB");
}

TEST(BenchParseCounts, PerfCsvByEventWithoutUncountedOnes) {
  const auto calls = bench::parse_perf_counts(
      "# started on Tue Dec  8 01:00:00 2026\n"
      "\n"
      "4001,,raw_syscalls:sys_enter,1000,100.00,,\n"
      "1500,,syscalls:sys_enter_wait4,1000,100.00,,\n"
      "<not counted>,,syscalls:sys_enter_kill,0,0.00,,\n"
      "1250,,syscalls:sys_enter_rt_sigtimedwait,1000,100.00,,\n");
  EXPECT_EQ(calls.at("total"), 4001);
  EXPECT_EQ(calls.at("wait4"), 1500);
  EXPECT_EQ(calls.at("rt_sigtimedwait"), 1250);
  EXPECT_EQ(calls.count("kill"), 0U);
}

TEST(BenchParseCounts, StraceSummaryWithAndWithoutErrors) {
  const auto calls = bench::parse_strace_counts(
      "% time     seconds  usecs/call     calls    errors syscall\n"
      "------ ----------- ----------- --------- --------- ----------------\n"
      " 60.00    0.000300           2       120           wait4\n"
      " 30.00    0.000150           1       100         3 rt_sigtimedwait\n"
      " 10.00    0.000050           5        10           kill\n"
      "------ ----------- ----------- --------- --------- ----------------\n"
      "100.00    0.000500           2       230         3 total\n");
  EXPECT_EQ(calls.at("wait4"), 120);
  EXPECT_EQ(calls.at("rt_sigtimedwait"), 100);
  EXPECT_EQ(calls.at("kill"), 10);
  EXPECT_EQ(calls.at("total"), 230);
  EXPECT_TRUE(bench::parse_strace_counts("").empty());
}

TEST(BenchProc, SampleSeesASleepAsAVoluntarySwitch) {
  const bench::ProcSample before = bench::sample_process(getpid());
  const timespec nap{0, 2'000'000};
  (void)nanosleep(&nap, nullptr);
  const bench::ProcSample after = bench::sample_process(getpid());
  EXPECT_GT(after.voluntary, before.voluntary);
  EXPECT_GE(after.nonvoluntary, 0);
  EXPECT_GT(after.rss_kib, 0);
  EXPECT_GE(after.hwm_kib, after.rss_kib);
  EXPECT_GT(after.anon_kib, 0);
  EXPECT_GE(after.cpu_ticks, before.cpu_ticks);
  EXPECT_GE(after.run_ns, before.run_ns);
}

// The reaping figure ends when process 1's list of children is empty, so
// the list must hold zombies until they are reaped.
TEST(BenchProc, ChildrenIncludeZombiesUntilReaped) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(0);
  }
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT),
            0);
  std::vector<pid_t> children = bench::children_of(getpid());
  EXPECT_NE(std::find(children.begin(), children.end(), child), children.end());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  children = bench::children_of(getpid());
  EXPECT_EQ(std::find(children.begin(), children.end(), child), children.end());
}

TEST(BenchSharedMemory, WritesOfAChildReachTheParent) {
  auto *value = bench::map_shared<std::atomic<int>>();
  ASSERT_EQ(value->load(), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    value->store(42);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(value->load(), 42);
}

} // namespace
