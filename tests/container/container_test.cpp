// SPDX-License-Identifier: MIT
// orva as process 1 of real containers: the runtime sets up the namespaces,
// mounts, user and stdio itself and delivers `runc kill` its own way.
#include "loopback.h"
#include "runtime.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using orva_test::Container;
using orva_test::has_line;
using orva_test::Process;
using orva_test::Result;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Where the supervisor comes from: the launcher in front of a shell, or a
// program whose own main returns orva_run.
enum class Entry { Launcher, Linked };

struct Profile {
  const char *name;
  Entry entry;
  bool unprivileged; // uid and gid 1000 on a read-only root
};

constexpr Profile kProfiles[] = {
    {"launcher_root", Entry::Launcher, false},
    {"launcher_uid1000_readonly", Entry::Launcher, true},
    {"linked_root", Entry::Linked, false},
    {"linked_uid1000_readonly", Entry::Linked, true},
};
constexpr const Profile &kRoot = kProfiles[0];

// Names the profile in gtest's messages instead of dumping its bytes.
[[maybe_unused]] void PrintTo(const Profile &p, std::ostream *os) {
  *os << p.name;
}

std::vector<std::string> launcher(const std::string &script) {
  return {"/bin/orva-init", "sh", "-c", script};
}

// The same behaviour on either entry, so that one expectation covers both:
// a mode of the test program, or a shell script under the launcher.
std::vector<std::string> command(Entry e, std::vector<std::string> mode,
                                 const std::string &script) {
  if (e == Entry::Launcher) {
    return launcher(script);
  }
  mode.insert(mode.begin(), "/bin/linked-program");
  return mode;
}

std::vector<std::string> exits_with(Entry e, int code) {
  const std::string n = std::to_string(code);
  return command(e, {"exit", n}, "exit " + n);
}

std::vector<std::string> dies_of(Entry e, int sig) {
  const std::string n = std::to_string(sig);
  return command(e, {"raise", n}, "kill -" + n + " $$");
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

// Gives a new container the profile's user and root, `args` and, when
// there is one, the extra environment entry.
::testing::AssertionResult prepared(Container &box, const Profile &p,
                                    const std::vector<std::string> &args,
                                    const char *env = nullptr) {
  if (!box.error().empty()) {
    return ::testing::AssertionFailure() << box.error();
  }
  if (p.unprivileged) {
    box.user(1000, 1000);
    box.readonly(true);
  }
  if (env != nullptr) {
    box.env(env);
  }
  box.args(args);
  return ::testing::AssertionSuccess();
}

// A container run to its end and what it must show; a null `out` or `err`
// is not checked.
struct Expected {
  std::vector<std::string> args;
  int code;
  const char *err = "";
  const char *out = nullptr;
  const char *env = nullptr;
};

void expect_run(const Profile &p, const Expected &c, Result *got = nullptr) {
  SCOPED_TRACE(c.args.back());
  Container box;
  ASSERT_TRUE(prepared(box, p, c.args, c.env));
  const Result r = box.run(15s);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, c.code) << r.err;
  if (c.out != nullptr) {
    EXPECT_EQ(r.out, c.out);
  }
  if (c.err != nullptr) {
    EXPECT_EQ(r.err, c.err);
  }
  if (got != nullptr) {
    *got = r;
  }
}

// What stop_with_term saw: the program's pid, parent and process group,
// the container's end, and the time from the kill to that end.
struct Stopped {
  long ids[3] = {};
  Result r;
  std::chrono::steady_clock::duration took{};
};

// Starts the container, waits until the program and the second member of
// its group have said they are ready, sends TERM with `runc kill` and waits
// up to `limit` for the end.
void stop_with_term(Container &box, milliseconds limit, Stopped &s) {
  Process *p = nullptr;
  std::string line;
  for (int attempt = 0;; ++attempt) {
    p = &box.start();
    line = p->wait_for_line("main-ready ", 15s);
    if (!line.empty() && !p->wait_for_line("member-ready", 15s).empty()) {
      break;
    }
    const Result r = p->wait(5s);
    if (attempt > 0 || !box.refused_by_runtime(r)) {
      FAIL() << "the program never said it was ready; exit " << r.exit_code
             << "\nstdout: " << r.out << "\nstderr: " << r.err;
    }
  }
  ASSERT_TRUE(std::istringstream(line.substr(11)) >> s.ids[0] >> s.ids[1] >>
              s.ids[2])
      << "bad ready line: " << line;
  const auto sent = std::chrono::steady_clock::now();
  const Result kill = box.kill("TERM");
  ASSERT_EQ(kill.exit_code, 0) << kill.err;
  s.r = p->wait(limit);
  s.took = std::chrono::steady_clock::now() - sent;
}

class Entrypoint : public ::testing::TestWithParam<Profile> {};

// Ends of its own reach the runtime's exit status; an invalid stop timeout
// and the launcher's own failure are reported on the runtime's stderr. The
// profile's user and mount flags are in force (the flags, not a failed
// write: uid 1000 could not write to / in any case).
TEST_P(Entrypoint, ProgramExitStatusIsTheContainers) {
  ORVA_REQUIRE_RUNC();
  const Entry e = GetParam().entry;
  const bool unprivileged = GetParam().unprivileged;
  const Expected runs[] = {
      {exits_with(e, 0), 0},
      {exits_with(e, 3), 3},
      {exits_with(e, 255), 255},
      {dies_of(e, 10), 128 + 10},
      {dies_of(e, 9), 128 + 9},
      {exits_with(e, 3), 3,
       "orva: invalid ORVA_STOP_TIMEOUT=soon, using default 30s\n", nullptr,
       "ORVA_STOP_TIMEOUT=soon"},
      {{"/bin/orva-init", "/bin/no-such-program"},
       127,
       "orva-init: /bin/no-such-program: No such file or directory\n"},
      {launcher("id -u; id -g; awk '$2 == \"/\" { split($4, o, \",\"); "
                "print o[1] }' /proc/mounts; exit 4"),
       4, "", unprivileged ? "1000\n1000\nro\n" : "0\n0\nrw\n"},
  };
  for (const Expected &c : runs) {
    ASSERT_NO_FATAL_FAILURE(expect_run(GetParam(), c));
  }
}

TEST_P(Entrypoint, RuncKillTermReachesTheProgramsWholeGroup) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_TRUE(
      prepared(box, GetParam(),
               command(GetParam().entry, {"trap-term"}, kTrapTermScript)));
  Stopped s;
  ASSERT_NO_FATAL_FAILURE(stop_with_term(box, 20s, s));
  // Supervised: the program is not process 1 but its child, and leads a
  // process group of its own.
  EXPECT_NE(s.ids[0], 1);
  EXPECT_EQ(s.ids[1], 1);
  EXPECT_EQ(s.ids[2], s.ids[0]);
  EXPECT_FALSE(s.r.timed_out);
  EXPECT_EQ(s.r.exit_code, 7);
  EXPECT_TRUE(has_line(s.r.out, "member caught TERM")) << s.r.out;
  EXPECT_TRUE(has_line(s.r.out, "caught TERM")) << s.r.out;
  // The shell may report its killed sleeps; nothing comes from orva.
  EXPECT_EQ(s.r.err.find("orva"), std::string::npos) << s.r.err;
}

TEST_P(Entrypoint, IgnoredTermEndsInSigkillAfterTheStopTimeout) {
  ORVA_REQUIRE_RUNC();
  Container box;
  ASSERT_TRUE(
      prepared(box, GetParam(),
               command(GetParam().entry, {"ignore-term"}, kIgnoreTermScript),
               "ORVA_STOP_TIMEOUT=1"));
  Stopped s;
  ASSERT_NO_FATAL_FAILURE(stop_with_term(box, 30s, s));
  EXPECT_FALSE(s.r.timed_out);
  EXPECT_EQ(s.r.exit_code, 137);
  EXPECT_EQ(s.r.err, "");
  // Not before the grace period, and long before the 30 s default.
  EXPECT_GE(s.took, 800ms);
  EXPECT_LE(s.took, 10s);
}

// The example start script: under scope all its setsid daemon gets SIGTERM
// and saves before the container ends, or is killed at a deadline too short
// for it; under the default the kernel kills it unwarned. The program's own
// exit code comes back each time, and the verbose report tells the stop.
TEST_P(Entrypoint, StopScopeDecidesWhetherASetsidDaemonSaves) {
  ORVA_REQUIRE_RUNC();
  std::ifstream file(ORVA_EXAMPLES_DIR "/daemon/start.sh");
  const std::string script{std::istreambuf_iterator<char>(file), {}};
  ASSERT_FALSE(script.empty());
  const struct {
    const char *scope;
    const char *timeout;
    bool saved;
    std::vector<const char *> report;
  } stops[] = {
      {"all",
       "10",
       true,
       {"orva: forwarded SIGTERM to every process",
        "orva: stop timeout of 10s armed by SIGTERM",
        "orva: other processes still running, waiting for them",
        "orva: no process left, "}},
      {"all",
       "1",
       false,
       {"orva: stop timeout passed, SIGKILL to every process; still running: ",
        " (sleep)", " killed by SIGKILL", "orva: no process left, "}},
      {"group", "10", false, {"orva: forwarded SIGTERM to process group "}},
  };
  for (const auto &stop : stops) {
    SCOPED_TRACE(stop.scope + std::string(" ") + stop.timeout);
    Container box;
    ASSERT_TRUE(prepared(box, GetParam(),
                         command(GetParam().entry, {"sh", script}, script),
                         "ORVA_VERBOSE=1"));
    box.env(std::string("ORVA_STOP_SCOPE=") + stop.scope);
    box.env(std::string("ORVA_STOP_TIMEOUT=") + stop.timeout);
    box.env("SAVE_SECONDS=3");
    box.env("STATE_FILE=/dev/shm/state");
    Process &p = box.start();
    ASSERT_FALSE(p.wait_for_line("main: ready", 15s).empty()) << p.out();
    ASSERT_FALSE(p.wait_for_line("daemon: ready", 15s).empty()) << p.out();
    ASSERT_EQ(box.kill("TERM").exit_code, 0);
    const Result r = p.wait(30s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(has_line(r.out, "main: stopping")) << r.out;
    EXPECT_EQ(has_line(r.out, "daemon: saved"), stop.saved) << r.out;
    EXPECT_NE(r.err.find("orva: started program "), std::string::npos);
    EXPECT_NE(r.err.find(" exited with status 0, exit code 0, "),
              std::string::npos)
        << r.err;
    for (const char *text : stop.report) {
      EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, Entrypoint, ::testing::ValuesIn(kProfiles),
                         ::testing::PrintToStringParamName());

// Socket activation through the runtime: the listening socket handed in
// as descriptor 3 (--preserve-fds), LISTEN_PID=1 naming process 1. The
// program gets its own pid there and answers through the socket; once it
// has closed the socket on SIGTERM a new client is refused, since process
// 1 keeps no copy.
TEST(SocketActivation, ThePreservedSocketIsTheProgramsAlone) {
  ORVA_REQUIRE_RUNC();
  for (const Entry entry : {Entry::Launcher, Entry::Linked}) {
    SCOPED_TRACE(entry == Entry::Launcher ? "launcher" : "linked program");
    int port = 0;
    const int sock = orva_test::listen_on_loopback(port);
    ASSERT_GE(sock, 0);
    Container box;
    ASSERT_TRUE(prepared(
        box, kRoot, command(entry, {"serve"}, "exec /bin/linked-program serve"),
        "LISTEN_FDS=1"));
    box.env("LISTEN_PID=1");
    Process &p = box.start(sock);
    close(sock);
    ASSERT_FALSE(p.wait_for_line("serving", 15s).empty()) << p.out();
    EXPECT_EQ(orva_test::answer_from(port), "hello\n");
    ASSERT_EQ(box.kill("TERM").exit_code, 0);
    ASSERT_FALSE(p.wait_for_line("draining", 15s).empty()) << p.out();
    EXPECT_EQ(orva_test::answer_from(port), strerror(ECONNREFUSED));
    const Result r = p.wait(15s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
  }
}

// The static root must pass on its own, not because a C library or
// liborva.so.0 found its way in; the dynamic root shows that the listing
// sees them where they are.
TEST(Root, HoldsOnlyWhatItsProgramsLoad) {
  ORVA_REQUIRE_RUNC();
  const bool only_static = orva_test::static_launcher_wanted();
  Result r;
  ASSERT_NO_FATAL_FAILURE(expect_run(
      kRoot,
      {launcher("find / -xdev ! -type d ! -type l | sort"), 0, nullptr,
       only_static ? "/bin/busybox\n/bin/linked-program\n/bin/orva-init\n"
                   : nullptr},
      &r));
  if (!only_static) {
    EXPECT_TRUE(has_line(r.out, "/usr/lib/liborva.so.0")) << r.out;
  }
}

// Subshells that start a short sleep and exit leave it to process 1, which
// orva reaps. A process 1 that never waits keeps every orphan as a zombie,
// which shows that the count can see zombies at all.
TEST(Zombies, OrphansThatExitAreReapedByOrvaAndStayZombiesWithout) {
  ORVA_REQUIRE_RUNC();
  const std::string script = "for i in 1 2 3; do (sleep 0.3 &); done; "
                             "echo main-ready; exec sleep 60";
  const struct {
    std::vector<std::string> args;
    int zombies;
  } cases[] = {{launcher(script), 0}, {{"sh", "-c", script}, 3}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.front());
    Container box;
    ASSERT_TRUE(prepared(box, kRoot, c.args));
    Process &running = box.start();
    ASSERT_NE(running.wait_for_line("main-ready", 15s), "")
        << "not ready: " << running.out();
    orva_test::ProcessCount count;
    const ::testing::AssertionResult gone =
        orva_test::orphans_gone(box, "sleep 0.3", count);
    ASSERT_TRUE(gone);
    EXPECT_EQ(count.zombies, c.zombies) << gone.message();
  }
}

TEST(NotProcessOne, LauncherReplacesItselfAndPassesTheExitCodeOn) {
  ORVA_REQUIRE_RUNC();
  // An invalid stop timeout would be reported if the launcher supervised.
  // The outer shell reports the pid it launched once the program is done.
  Result r;
  ASSERT_NO_FATAL_FAILURE(expect_run(
      kRoot,
      {{"sh", "-c",
        "/bin/orva-init sh -c 'echo inner $$ $PPID; exit 5' & "
        "launched=$!; wait $!; code=$?; echo launched $launched; exit $code"},
       5,
       "",
       nullptr,
       "ORVA_STOP_TIMEOUT=soon"},
      &r));
  std::string word;
  long inner = -2;
  long parent = -1;
  long launched = -1;
  std::istringstream(r.out) >> word >> inner >> parent >> word >> launched;
  // No fork: the program runs in the launcher's own process.
  EXPECT_EQ(inner, launched) << r.out;
  EXPECT_EQ(parent, 1) << r.out;
}

} // namespace
