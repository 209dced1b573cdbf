// SPDX-License-Identifier: MIT
// orva as process 1 of real containers: the runtime sets up the namespaces,
// mounts, user and stdio itself and delivers `runc kill` its own way.
#include "runtime.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using orva_test::Container;
using orva_test::has_line;
using orva_test::orphans_gone;
using orva_test::Process;
using orva_test::ProcessCount;
using orva_test::Result;
using namespace std::chrono_literals;

// Where the supervisor comes from: the launcher in front of a shell, or a
// program whose own main returns orva_run.
enum class Entry { Launcher, Linked };

struct Profile {
  const char *name;
  Entry entry;
  bool unprivileged; // uid and gid 1000 on a read-only root
};

// Names the profile in gtest's messages instead of dumping its bytes.
[[maybe_unused]] void PrintTo(const Profile &p, std::ostream *os) {
  *os << p.name;
}

void apply(const Profile &p, Container &c) {
  if (p.unprivileged) {
    c.user(1000, 1000);
    c.readonly(true);
  }
}

std::vector<std::string> launcher(const std::string &script) {
  return {"/bin/orva-init", "sh", "-c", script};
}

// The same behaviours on both entries, so that one expectation covers both.
std::vector<std::string> exits_with(Entry e, int code) {
  if (e == Entry::Linked) {
    return {"/bin/linked-program", "exit", std::to_string(code)};
  }
  return launcher("exit " + std::to_string(code));
}

std::vector<std::string> dies_of(Entry e, int sig) {
  if (e == Entry::Linked) {
    return {"/bin/linked-program", "raise", std::to_string(sig)};
  }
  return launcher("kill -" + std::to_string(sig) + " $$");
}

// The trap waits for the member so that both reports are written before
// the container ends.
constexpr const char *kTrapTermScript = R"(
trap 'wait $member; echo caught TERM; exit 7' TERM
sh -c 'trap "echo member caught TERM; exit 0" TERM
       echo member-ready; sleep 60 & wait $!' &
member=$!
echo main-ready $$ $PPID $(cut -d' ' -f5 /proc/$$/stat)
sleep 60 & wait $!
)";

constexpr const char *kIgnoreTermScript = R"(
trap '' TERM
sh -c 'echo member-ready; exec sleep 60' &
echo main-ready $$ $PPID $(cut -d' ' -f5 /proc/$$/stat)
wait
)";

std::vector<std::string> traps_term(Entry e) {
  if (e == Entry::Linked) {
    return {"/bin/linked-program", "trap-term"};
  }
  return launcher(kTrapTermScript);
}

std::vector<std::string> ignores_term(Entry e) {
  if (e == Entry::Linked) {
    return {"/bin/linked-program", "ignore-term"};
  }
  return launcher(kIgnoreTermScript);
}

// Both the program and the second member of its group have said they are
// ready; returns the program's pid, parent and process group.
::testing::AssertionResult wait_until_ready(Process &p, long ids[3]) {
  const std::string line = p.wait_for_line("main-ready ", 15s);
  if (line.empty() || p.wait_for_line("member-ready", 15s).empty()) {
    return ::testing::AssertionFailure()
           << "the program never said it was ready; stdout: " << p.out();
  }
  std::istringstream fields(line.substr(11));
  if (!(fields >> ids[0] >> ids[1] >> ids[2])) {
    return ::testing::AssertionFailure() << "bad ready line: " << line;
  }
  return ::testing::AssertionSuccess();
}

class Entrypoint : public ::testing::TestWithParam<Profile> {};

TEST_P(Entrypoint, ProgramExitStatusIsTheContainers) {
  ORVA_REQUIRE_RUNC();
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {exits_with(GetParam().entry, 0), 0},
      {exits_with(GetParam().entry, 3), 3},
      {exits_with(GetParam().entry, 255), 255},
      {dies_of(GetParam().entry, 10), 128 + 10},
      {dies_of(GetParam().entry, 9), 128 + 9},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.back());
    Container box;
    ASSERT_EQ(box.error(), "");
    apply(GetParam(), box);
    box.args(c.args);
    const Result r = box.run(15s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.err, "");
  }
}

TEST_P(Entrypoint, RuncKillTermReachesTheProgramsWholeGroup) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  apply(GetParam(), box);
  box.args(traps_term(GetParam().entry));
  Process &running = box.start();
  long ids[3] = {};
  ASSERT_TRUE(wait_until_ready(running, ids));
  // Supervised: the program is not process 1 but its child, and leads a
  // process group of its own.
  EXPECT_NE(ids[0], 1);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], ids[0]);

  const Result kill = box.kill("TERM");
  ASSERT_EQ(kill.exit_code, 0) << kill.err;
  const Result r = running.finish(20s);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_TRUE(has_line(r.out, "member caught TERM")) << r.out;
  EXPECT_TRUE(has_line(r.out, "caught TERM")) << r.out;
  // The shell may report its killed sleeps; nothing comes from orva.
  EXPECT_EQ(r.err.find("orva"), std::string::npos) << r.err;
}

TEST_P(Entrypoint, IgnoredTermEndsInSigkillAfterTheStopTimeout) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  apply(GetParam(), box);
  box.env("ORVA_STOP_TIMEOUT=1");
  box.args(ignores_term(GetParam().entry));
  Process &running = box.start();
  long ids[3] = {};
  ASSERT_TRUE(wait_until_ready(running, ids));

  const auto sent = std::chrono::steady_clock::now();
  const Result kill = box.kill("TERM");
  ASSERT_EQ(kill.exit_code, 0) << kill.err;
  const Result r = running.finish(30s);
  const auto took = std::chrono::steady_clock::now() - sent;
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 137);
  EXPECT_EQ(r.err, "");
  // Not before the grace period, and long before the 30 s default.
  EXPECT_GE(took, 800ms);
  EXPECT_LE(took, 10s);
}

TEST_P(Entrypoint, InvalidStopTimeoutIsReportedOnTheRuntimesStderr) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  apply(GetParam(), box);
  box.env("ORVA_STOP_TIMEOUT=soon");
  box.args(exits_with(GetParam().entry, 3));
  const Result r = box.run();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.err, "orva: invalid ORVA_STOP_TIMEOUT=soon, using default 30s\n");
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, Entrypoint,
    ::testing::Values(Profile{"launcher_root", Entry::Launcher, false},
                      Profile{"launcher_uid1000_readonly", Entry::Launcher,
                              true},
                      Profile{"linked_root", Entry::Linked, false},
                      Profile{"linked_uid1000_readonly", Entry::Linked, true}),
    [](const ::testing::TestParamInfo<Profile> &param) {
      return std::string(param.param.name);
    });

TEST(Unprivileged, UserAndReadOnlyRootAreInForce) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  apply(Profile{"", Entry::Launcher, true}, box);
  // The mount flags, not a failed write: uid 1000 could not write to / in
  // any case.
  box.args(launcher("id -u; id -g; awk '$2 == \"/\" { split($4, o, \",\"); "
                    "print o[1] }' /proc/mounts; exit 4"));
  const Result r = box.run();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.out, "1000\n1000\nro\n");
  EXPECT_EQ(r.err, "");
}

TEST(Unprivileged, LauncherFailureIsReportedOnTheRuntimesStderr) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  apply(Profile{"", Entry::Launcher, true}, box);
  box.args({"/bin/orva-init", "/bin/no-such-program"});
  const Result r = box.run();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 127);
  EXPECT_EQ(r.err,
            "orva-init: /bin/no-such-program: No such file or directory\n");
}

// The static root must pass on its own, not because a C library or
// liborva.so.0 found its way in; the dynamic root shows that the listing
// sees them where they are.
TEST(Root, HoldsOnlyWhatItsProgramsLoad) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  box.args(launcher("find / -xdev ! -type d ! -type l | sort"));
  const Result r = box.run();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  if (orva_test::static_launcher_wanted()) {
    EXPECT_EQ(r.out, "/bin/busybox\n/bin/linked-program\n/bin/orva-init\n");
  } else {
    EXPECT_TRUE(has_line(r.out, "/usr/lib/liborva.so.0")) << r.out;
  }
}

// Subshells that start a short sleep and exit leave it to process 1.
constexpr const char *kOrphansScript =
    "for i in 1 2 3; do (sleep 0.3 &); done; echo main-ready; exec sleep 60";

// Runs the orphans script as the container's command and counts what its
// orphans leave once none of them is running.
::testing::AssertionResult orphans_leave(const std::vector<std::string> &args,
                                         ProcessCount &count) {
  Container box;
  if (!box.error().empty()) {
    return ::testing::AssertionFailure() << box.error();
  }
  box.args(args);
  Process &running = box.start();
  if (running.wait_for_line("main-ready", 15s).empty()) {
    return ::testing::AssertionFailure() << "not ready: " << running.out();
  }
  return orphans_gone(box, "sleep 0.3", count);
}

TEST(Zombies, OrphansThatExitAreReapedByOrva) {
  ORVA_REQUIRE_RUNC();
  ProcessCount count;
  ASSERT_TRUE(orphans_leave(launcher(kOrphansScript), count));
  EXPECT_EQ(count.zombies, 0);
}

// Shows that the count above can see zombies at all: a process 1 that
// never waits keeps every orphan as one.
TEST(Zombies, WithoutOrvaTheSameOrphansStayZombies) {
  ORVA_REQUIRE_RUNC();
  ProcessCount count;
  ASSERT_TRUE(orphans_leave({"sh", "-c", kOrphansScript}, count));
  EXPECT_EQ(count.zombies, 3);
}

TEST(NotProcessOne, LauncherReplacesItselfAndPassesTheExitCodeOn) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_EQ(box.error(), "");
  // An invalid stop timeout would be reported if the launcher supervised.
  box.env("ORVA_STOP_TIMEOUT=soon");
  box.args({"sh", "-c",
            "/bin/orva-init sh -c 'echo inner $$ $PPID; exit 5' & "
            "echo launched $!; wait $!"});
  const Result r = box.run();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_EQ(r.err, "");
  std::istringstream out(r.out);
  std::string word;
  long launched = -1;
  long inner = -2;
  long parent = -1;
  while (out >> word) {
    if (word == "launched") {
      out >> launched;
    } else if (word == "inner") {
      out >> inner >> parent;
    }
  }
  // No fork: the program runs in the launcher's own process.
  EXPECT_EQ(inner, launched) << r.out;
  EXPECT_EQ(parent, 1) << r.out;
}

} // namespace
