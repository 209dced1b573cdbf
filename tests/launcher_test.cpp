// SPDX-License-Identifier: MIT
// orva-init, run as a real program: its options, its exit codes and
// messages, and what it does as process 1 and elsewhere. The same tests
// run over every build of the launcher: ORVA_TEST_LAUNCHER=static picks the
// static one at ORVA_TEST_STATIC_INIT, run under ORVA_TEST_EMULATOR when it
// was built for another architecture.
#include "harness.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orva_test::Process;
using orva_test::Result;
using orva_test::run_as_pid1;

using Env = std::vector<std::string>; // NAME=VALUE each

// The launcher under test and `args`, with its emulator in front where it
// needs one.
std::vector<std::string> launcher(const std::vector<std::string> &args) {
  std::vector<std::string> command = {ORVA_INIT_PATH};
  if (orva_test::static_launcher_wanted()) {
    const char *path = getenv("ORVA_TEST_STATIC_INIT");
    const char *emulator = getenv("ORVA_TEST_EMULATOR");
    command = {path != nullptr ? path : "ORVA_TEST_STATIC_INIT is not set"};
    if (emulator != nullptr && *emulator != '\0') {
      command.insert(command.begin(), emulator);
    }
  }
  return orva_test::joined(command, args);
}

// Runs orva-init as an ordinary (not process 1) child of the test, which
// sends it `sig` once it has said "ready".
Result launch(const std::vector<std::string> &args,
              const orva_test::Start &how = {}, int sig = 0) {
  Process launched(launcher(args), how);
  if (sig != 0 && launched.wait_for("ready\n")) {
    launched.send(sig);
  }
  return launched.wait(10s);
}

// Runs orva-init in a new PID namespace: as its process 1, or as the child
// of a plain process 1 that passes its exit code on.
Result launch_in_namespace(const std::vector<std::string> &args, bool as_pid1,
                           const Env &env = {}) {
  if (as_pid1) {
    return Process(launcher(args), {.pid1 = true, .env = env}).wait();
  }
  return run_as_pid1([&] {
    return Process(launcher(args), {.env = env, .inherit = true})
        .wait()
        .exit_code;
  });
}

std::string shown(const std::vector<std::string> &args) {
  std::string text = "orva-init";
  for (const std::string &arg : args) {
    text += " '" + arg + "'";
  }
  return text;
}

bool is_one_line(const std::string &text, const std::string &prefix) {
  return text.rfind(prefix, 0) == 0 && text.find('\n') == text.size() - 1;
}

// A scratch directory holding a directory, a file that is not executable,
// a script whose name begins with '-' and one without "#!"; the
// environment to give orva-init puts it first on PATH.
class Scratch {
public:
  Scratch() {
    char tmpl[] = "/tmp/orva-launcher-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << strerror(errno);
      return;
    }
    dir_ = tmpl;
    mkdir(path("subdir").c_str(), 0755);
    write_file("plain", "#!/bin/sh\necho never\n", 0644);
    write_file("-greet", "#!/bin/sh\nprintf '[%s]' greet \"$@\"\n", 0755);
    // No "#!": a shell runs it itself, whatever the C library's execvp.
    write_file("bare", "printf '[%s]' bare \"$@\"\n", 0755);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  Scratch(Scratch &&) = delete;
  Scratch &operator=(Scratch &&) = delete;

  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  const std::string &dir() const { return dir_; }
  Env env() const { return {"PATH=" + dir_ + ":/usr/bin:/bin"}; }

private:
  void write_file(const std::string &name, const std::string &text,
                  mode_t mode) const {
    const int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << name << ": " << strerror(errno);
    EXPECT_EQ(write(fd, text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
    close(fd);
    chmod(path(name).c_str(), mode);
  }
  std::string dir_;
};

struct Case {
  std::vector<std::string> args;
  int code;
  std::string out;
  std::string err;
  bool pid1_only = false; // needs process 1 to reap its orphans
};

Case sh(const char *script, int code, bool pid1_only = false) {
  return {{"sh", "-c", script}, code, "", "", pid1_only};
}

// orva-init's report on a program it cannot run, exiting as shells do.
Case cannot_run(const std::vector<std::string> &args, int error) {
  const std::string &program = args[0] == "--" ? args[1] : args[0];
  return {args, error == ENOENT ? 127 : 126, "",
          "orva-init: " + program + ": " + strerror(error) + "\n"};
}

// Programs missing, unnamed, or not executable (found by path or on PATH);
// after "--" even an option is a program name.
std::vector<Case> cannot_run_cases(const Scratch &scratch) {
  return {cannot_run({"orva-no-such-program", "arg"}, ENOENT),
          cannot_run({"orva-no-such-program"}, ENOENT),
          cannot_run({"", "arg"}, ENOENT), cannot_run({"--", ""}, ENOENT),
          cannot_run({"/no/such/dir/program", "arg"}, ENOENT),
          cannot_run({"--", "--help"}, ENOENT),
          cannot_run({"--", "--"}, ENOENT),
          cannot_run({scratch.path("subdir"), "arg"}, EACCES),
          cannot_run({scratch.dir()}, EACCES),
          cannot_run({scratch.path("plain"), "arg"}, EACCES),
          cannot_run({"plain"}, EACCES),
          // A path through a file: only ENOENT means "not found".
          cannot_run({"/etc/passwd/x"}, ENOTDIR)};
}

TEST(Launcher, HelpAndVersionGoToStdoutWithSuccess) {
  for (const char *option : {"-h", "--help", "--version"}) {
    SCOPED_TRACE(option);
    const Result r = launch({option});
    EXPECT_EQ(r.exit_code, 0);
    if (std::string(option) == "--version") {
      EXPECT_EQ(r.out, "orva-init version " ORVA_EXPECTED_VERSION
                       " - git." ORVA_EXPECTED_COMMIT "\n");
    } else {
      EXPECT_EQ(r.out.rfind(
                    "Usage: orva-init [OPTION...] [--] PROGRAM [ARG...]\n", 0),
                0U)
          << r.out;
      EXPECT_NE(r.out.find("ORVA_STOP_TIMEOUT"), std::string::npos);
    }
    EXPECT_EQ(r.err, "");
    // Output that cannot be written is a failure.
    const Result f = launch({option}, {.out_file = "/dev/full"});
    EXPECT_EQ(f.exit_code, 1);
    EXPECT_EQ(f.err,
              std::string("orva-init: stdout: ") + strerror(ENOSPC) + "\n");
  }
}

// Each usage error is one line; a bad option value names its option, and
// so does a value given to an option that takes none, or none to one that
// needs it.
TEST(Launcher, UsageErrorsExitWith64AndOneLine) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, ""},
      {{"--"}, ""},
      {{"-x"}, "'-x'"},
      {{"--bogus", "sh"}, "'--bogus'"},
      {{"-greet"}, "'-g'"},
      {{"--pause", "sh"}, "--pause"},
      {{"-t"}, "'-t'"},
      {{"--verbose=1", "sh"}, "'--verbose=1'"},
      {{"-t", "5x", "sh"}, "--stop-timeout=5x "},
      {{"--stop-timeout=-1", "sh"}, "--stop-timeout=-1 "},
      {{"--stop-scope=every", "sh"}, "--stop-scope=every "},
      {{"--stop-signals=TERM,KILL", "sh"}, "--stop-signals=TERM,KILL "},
      {{"-e", "143", "sh"}, "--exit-map=143 "},
      {{"-e143=256", "sh"}, "--exit-map=143=256 "},
      {{"--exit-map=1=2,", "sh"}, "--exit-map=1=2, "},
      {{"-r", "KILL=TERM", "sh"}, "--signal-map=KILL=TERM "},
      {{"-r", "TERM=NOPE", "sh"}, "--signal-map=TERM=NOPE "},
      {{"--signal-map=TERM=15", "sh"}, "--signal-map=TERM=15 "},
      {{"--forward=children", "sh"}, "--forward=children "},
      {{"-p", "STOP", "sh"}, "--parent-death-signal=STOP "},
      {{"--stop-delay=1.5", "sh"}, "--stop-delay=1.5 "},
      {{"-t", "1\n2", "sh"}, "--stop-timeout=1\\x0a2 "},
  };
  for (const auto &[args, named] : cases) {
    const Result r = launch(args);
    SCOPED_TRACE(shown(args));
    EXPECT_EQ(r.exit_code, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(is_one_line(r.err, "orva-init: ")) << r.err;
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
  }
}

// Options end at the program or at "--"; a program that cannot be run is
// reported by name.
TEST(Launcher, OptionsEndAtTheProgramOrAtDoubleDash) {
  Scratch scratch;
  std::vector<Case> cases = cannot_run_cases(scratch);
  cases.insert(
      cases.end(),
      {{{"--", "-greet", "a", "--help"}, 0, "[greet][a][--help]", ""},
       {{"bare", "a"}, 0, "[bare][a]", ""},
       {{scratch.path("bare")}, 0, "[bare]", ""},
       {{"sh", "-c", "printf '[%s]' \"$@\"", "sh", "--version", "-h", "--", ""},
        0,
        "[--version][-h][--][]",
        ""},
       // Settings before PROGRAM are orva-init's, after it PROGRAM's.
       {{"-vt", "5", "-e143=0", "--forward", "child", "sh", "-c",
         "printf '[%s]' \"$@\"", "sh", "-t", "1", "--pause", "-s"},
        0,
        "[-t][1][--pause][-s]",
        ""}});
  for (const Case &c : cases) {
    SCOPED_TRACE(shown(c.args));
    const Result r = launch(c.args, {.env = scratch.env()});
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Launcher, OutsideProcessOneTheProgramTakesOverTheProcess) {
  Process launched(launcher({"sh", "-c", "echo $$; exit 3"}));
  const Result r = launched.wait(10s);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, std::to_string(launched.pid()) + "\n");
  EXPECT_EQ(r.err, "");
}

// With --subreaper orva-init supervises as process 1 would under a plain
// parent: its program's orphans come to it and are reaped (a zombie still
// answers kill -0, and the report names it), signals are forwarded and the
// exit code comes back. Whatever is still below it when the program has
// ended gets SIGKILL, as the kernel gives it when process 1 ends: here a
// daemon that left the session, a child the forwarding never reached and a
// grandchild that ignores SIGTERM, all holding the output open, and the
// sleep a shell forks with every signal blocked, when the SIGTERM to the
// group comes in that window (the fault library widens it) and so reaches
// the shell alone. Scope all is refused there. qemu's user mode refuses
// PR_SET_CHILD_SUBREAPER (orva says so and supervises on), so there the
// orphans are left to the native runs.
TEST(Launcher, SubreaperSupervisesOutsideProcessOne) {
  const char *emulator = getenv("ORVA_TEST_EMULATOR");
  const bool emulated = emulator != nullptr && *emulator != '\0';
  const std::string refused =
      std::string("orva: prctl(PR_SET_CHILD_SUBREAPER): ") + strerror(EINVAL) +
      "\n";
  const std::string orphan =
      "orphan=$(sh -c 'sleep 0.1 >/dev/null & echo $!'); sleep 1; "
      "if kill -0 $orphan 2>/dev/null; then exit 9; fi; exit 4";
  const std::string left_behind =
      "setsid sh -c 'sleep 30 & wait' & sleep 30 & echo ready; wait";
  const std::string ignores_term =
      "sh -c \"trap '' TERM; echo ready; exec sleep 30\" & wait";
  const struct {
    std::vector<std::string> options;
    Env env;
    std::string script;
    int code;
    std::string err;
  } cases[] = {
      {{"-sv"}, {}, orphan, 4, "orva: reaped orphan "},
      {{}, {"ORVA_SUBREAPER=1"}, "echo ready; sleep 30", 128 + SIGTERM, ""},
      {{"--subreaper", "--stop-scope=all"},
       {},
       "echo ready; sleep 30",
       128 + SIGTERM,
       "orva: ORVA_STOP_SCOPE=all needs process 1, using group\n"},
      {{"-sv", "--forward=child"},
       {},
       left_behind,
       128 + SIGTERM,
       "\norva: SIGKILL to the processes left behind: "},
      {{"-sv"},
       {},
       ignores_term,
       128 + SIGTERM,
       "\norva: SIGKILL to the processes left behind: "},
      {{"-s"},
       {"LD_PRELOAD=" ORVA_FAULT_LIBRARY, "ORVA_FAULT_PROGRAM_DELAY=3000",
        "ASAN_OPTIONS=verify_asan_link_order=0"},
       "echo ready; sleep 30",
       128 + SIGTERM,
       ""},
  };
  for (const auto &c : cases) {
    const bool orphans = c.script == orphan || c.script == left_behind ||
                         c.script == ignores_term;
    const bool widened =
        !c.env.empty() && c.env[0].rfind("LD_PRELOAD=", 0) == 0;
    if (emulated && (orphans || widened)) {
      continue;
    }
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"sh", "-c", c.script});
    SCOPED_TRACE(shown(args));
    const Result r = launch(args, {.env = c.env}, SIGTERM);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.code);
    std::string err = r.err;
    if (const size_t at = err.find(refused); emulated && at != err.npos) {
      err.erase(at, refused.size());
    }
    if (orphans) {
      EXPECT_NE(err.find(c.err), std::string::npos) << err;
    } else {
      EXPECT_EQ(err, c.err);
    }
  }
}

// A supervisor whose parent is SIGKILLed still stops its program: the
// kernel sends it the parent-death signal, which it forwards.
TEST(Launcher, ParentDeathSignalStopsTheProgram) {
  Process parent([] {
    // Its own parent-death signal, not the harness's.
    Process launched(
        launcher({"-s", "-p", "TERM", "sh", "-c",
                  // Ready once the sleep runs as itself: before its exec
                  // it would take SIGTERM with the shell's trap.
                  "trap 'echo stopped; exit 7' TERM; sleep 30 & "
                  "until [ \"$(cat /proc/$!/comm)\" = sleep ]; do :; "
                  "done; echo ready; wait"}),
        {.inherit = true, .death_signal = 0});
    pause();
    return 0;
  });
  EXPECT_TRUE(parent.wait_for("ready\n"));
  parent.send(SIGKILL);
  // The output ends once the program and orva-init are both gone.
  const Result r = parent.wait(10s);
  EXPECT_FALSE(r.timed_out) << "still open after 10 s";
  EXPECT_EQ(r.out, "ready\nstopped\n");
}

// Exit codes come back unchanged, whether orva-init is process 1 or runs
// under a plain one. A program that cannot be run is reported once: only
// the child execs, so the message must not come twice.
TEST(LauncherAsProcessOne, ExitCodesPassThrough) {
  ORVA_REQUIRE_PID_NAMESPACE();
  Scratch scratch;
  std::vector<Case> cases = cannot_run_cases(scratch);
  cases.insert(
      cases.end(),
      {sh("exit 0", 0), sh("exit 3", 3), sh("exit 255", 255),
       sh("kill -USR1 $$", 128 + SIGUSR1),
       // The orphan is process 1's to reap; a zombie still answers kill -0.
       sh("orphan=$(sh -c 'sleep 0.1 >/dev/null & echo $!'); sleep 1; "
          "if kill -0 $orphan 2>/dev/null; then exit 9; fi; exit 4",
          4, true)});
  for (const Case &c : cases) {
    for (const bool as_pid1 : {true, false}) {
      if (!as_pid1 && c.pid1_only) {
        continue;
      }
      SCOPED_TRACE(shown(c.args) + (as_pid1 ? " as process 1" : ""));
      const Result o = launch_in_namespace(c.args, as_pid1, scratch.env());
      EXPECT_FALSE(o.timed_out);
      EXPECT_EQ(o.exit_code, c.code);
      EXPECT_EQ(o.out, c.out);
      EXPECT_EQ(o.err, c.err);
    }
  }
}

// SIGTERM to process 1 reaches the program: one dies of it, another
// handles it and picks its own exit code, and both codes come back
// unchanged. A third ignores it (and so does sleep, which inherits that),
// so only SIGKILL ends it, once the stop timeout from the environment has
// passed.
TEST(LauncherAsProcessOne, SigtermReachesTheProgramOrTheStopTimeoutEndsIt) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const struct {
    const char *script;
    Env env;
    int code;
  } cases[] = {
      {"echo ready; sleep 30", {}, 128 + SIGTERM},
      {"trap 'exit 7' TERM; echo ready; sleep 30 & wait", {}, 7},
      {"trap '' TERM; echo ready; sleep 30",
       {"ORVA_STOP_TIMEOUT=1"},
       128 + SIGKILL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.script);
    Process init(launcher({"sh", "-c", c.script}),
                 {.pid1 = true, .env = c.env});
    ASSERT_TRUE(init.wait_for("ready\n"));
    const auto sent = std::chrono::steady_clock::now();
    init.send(SIGTERM);
    const Result o = init.wait(20s);
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, c.code);
    EXPECT_EQ(o.err, "");
    EXPECT_LT(took, 15s);
    if (!c.env.empty()) {
      EXPECT_GE(took, 500ms);
    }
  }
}

// Each setting as an option and as a variable, the option winning where
// both are given: process 1 gets `sent` once the program is ready, and the
// program's exit code, its output and process 1's report tell what
// happened. The program's environment is the one orva-init was given.
TEST(LauncherAsProcessOne, SettingsComeFromOptionsOrTheEnvironment) {
  ORVA_REQUIRE_PID_NAMESPACE();
  // Two processes that say how they end: the program, and a grandchild in
  // its group that only group forwarding reaches.
  const std::string family =
      "(trap 'echo grandchild got TERM; exit' TERM; echo grandchild waits; "
      "sleep 5 & wait) & trap 'exit 7' TERM; echo ready; sleep 30 & wait";
  const struct {
    const char *what;
    std::vector<std::string> options;
    Env env;
    std::string script;
    std::vector<int> sent;
    int code;
    std::vector<std::string> out_has{};
    std::vector<std::string> out_lacks{};
    std::string err_has{};
  } cases[] = {
      {"exit map", {"-e", "143=0"}, {}, "echo ready; sleep 30", {SIGTERM}, 0},
      {"exit map variable",
       {},
       {"ORVA_EXIT_MAP=1=2,143=0"},
       "echo ready; sleep 30",
       {SIGTERM},
       0},
      {"exit map option wins",
       {"--exit-map=143=5"},
       {"ORVA_EXIT_MAP=143=0"},
       "echo ready; sleep 30",
       {SIGTERM},
       5},
      // The stop timeout comes from the signal received, even when what
      // goes out is no stop signal at all.
      {"TERM rewritten to an ignored USR1",
       {"-r", "TERM=USR1", "-t", "1"},
       {"ORVA_STOP_TIMEOUT=60"},
       "trap '' USR1; echo ready; sleep 30",
       {SIGTERM},
       128 + SIGKILL},
      {"signal map variable, option wins",
       {"--signal-map=TERM=USR1"},
       {"ORVA_SIGNAL_MAP=TERM=0"},
       "trap 'exit 5' USR1; echo ready; sleep 30 & wait",
       {SIGTERM},
       5},
      {"dropped signal",
       {},
       {"ORVA_SIGNAL_MAP=USR1=0"},
       "trap 'exit 9' USR1; trap 'exit 7' TERM; echo ready; sleep 30 & wait",
       {SIGUSR1, SIGTERM},
       7},
      {"forwarded to the program alone",
       {"--forward=child"},
       {},
       family,
       {SIGTERM},
       7,
       {},
       {"grandchild got TERM"}},
      {"forwarded to the group by the variable's word",
       {},
       {"ORVA_FORWARD=group"},
       family,
       {SIGTERM},
       7,
       {"grandchild got TERM"}},
      {"stop signals, verbose and scope by option",
       {"--stop-signals=USR1", "-vt0", "--stop-scope=all"},
       {},
       "trap '' USR1 TERM; echo ready; sleep 30",
       {SIGTERM, SIGUSR1},
       128 + SIGKILL,
       {},
       {},
       "orva: forwarded SIGUSR1 to every process\n"},
      // A LISTEN_PID that names another process is not meant for us.
      {"the environment unchanged",
       {"-v", "-t", "5", "-e", "1=2", "-r", "USR1=0", "--stop-delay=0"},
       {"ORVA_STOP_TIMEOUT=7", "LISTEN_PID=7", "LISTEN_FDS=1"},
       "env | grep -e ^ORVA_ -e ^LISTEN_ | "
       "grep -v -e ^ORVA_TEST_ -e ^ORVA_REQUIRE_ -e ^ORVA_FAULT_ | sort; "
       "echo ready",
       {},
       0,
       {"LISTEN_FDS=1\nLISTEN_PID=7\nORVA_STOP_TIMEOUT=7\nready\n"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--", "sh", "-c", c.script});
    Process init(launcher(args), {.pid1 = true, .env = c.env});
    ASSERT_TRUE(init.wait_for("ready\n"));
    if (c.script == family) {
      ASSERT_TRUE(init.wait_for("grandchild waits\n"));
    }
    for (const int sig : c.sent) {
      init.send(sig);
    }
    const Result o = init.wait(15s);
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, c.code);
    for (const std::string &text : c.out_has) {
      EXPECT_NE(o.out.find(text), std::string::npos) << o.out;
    }
    for (const std::string &text : c.out_lacks) {
      EXPECT_EQ(o.out.find(text), std::string::npos) << o.out;
    }
    EXPECT_NE(o.err.find(c.err_has), std::string::npos) << o.err;
  }
}

// Any zombie whose parent is `pid`, as the machine's /proc shows it.
bool has_zombie_child(pid_t pid) {
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text) || text.rfind(')') == std::string::npos) {
      continue;
    }
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    char state = 0;
    pid_t parent = 0;
    if (fields >> state >> parent && state == 'Z' && parent == pid) {
      return true;
    }
  }
  return false;
}

// The pause only reaps: an orphan of a process entered from outside is
// reaped, a signal other than a stop signal is ignored, and SIGTERM ends
// it with 0.
TEST(LauncherAsProcessOne, PauseReapsUntilAStopSignal) {
  ORVA_REQUIRE_PID_NAMESPACE();
  Process init(launcher({"--pause", "-v"}), {.pid1 = true});
  // Said with every signal blocked: none sent from now on is lost.
  ASSERT_TRUE(init.wait_for_report("orva: pausing until a stop signal"));
  // Without root, process 1's PID namespace belongs to a user namespace of
  // its own, which nsenter enters first.
  std::vector<std::string> enter = {"nsenter", "-t", std::to_string(init.pid()),
                                    "-p"};
  if (geteuid() != 0) {
    enter.insert(enter.end(), {"-U", "--preserve-credentials"});
  }
  const Result entered = orva_test::run(
      orva_test::joined(enter, {"--", "sh", "-c", "sleep 0.2 & exit 0"}));
  ASSERT_EQ(entered.exit_code, 0) << entered.err;
  std::this_thread::sleep_for(700ms);
  EXPECT_FALSE(has_zombie_child(init.pid()));
  init.send(SIGUSR1);
  init.send(SIGTERM);
  const Result o = init.wait(10s);
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 0);
  for (const char *line :
       {"orva: pausing until a stop signal, with ORVA_VERBOSE=1\n",
        "orva: reaped orphan ", "orva: ignored SIGUSR1\n",
        "orva: pause ended by SIGTERM\n"}) {
    EXPECT_NE(o.err.find(line), std::string::npos) << line << o.err;
  }
}

// Socket activation through process 1: LISTEN_PID=1 names the supervisor,
// so the program gets its own pid there and takes the socket. Once it has
// closed the socket on SIGTERM, a new client is refused: process 1 keeps
// no copy that would take it into a backlog nobody accepts. The same for
// a program that calls orva_run itself.
TEST(LauncherAsProcessOne, SocketActivationReachesTheProgram) {
  ORVA_REQUIRE_PID_NAMESPACE();
  std::vector<bool> launched = {true};
  if (!orva_test::static_launcher_wanted()) {
    launched.push_back(false);
  }
  for (const bool via_launcher : launched) {
    SCOPED_TRACE(via_launcher ? "orva-init" : "linked program");
    int port = 0;
    const int sock = orva_test::listen_on_loopback(port);
    ASSERT_GE(sock, 0);
    const std::vector<std::string> program = {ORVA_LINKED_PROGRAM_PATH,
                                              "serve"};
    Process init(
        via_launcher ? launcher(orva_test::joined({"--"}, program)) : program,
        {.pid1 = true, .env = {"LISTEN_FDS=1", "LISTEN_PID=1"}, .fd3 = sock});
    // Descriptor 3 alone: a copy under another number would outlive the
    // program's close.
    close(sock);
    ASSERT_TRUE(init.wait_for("serving\n"));
    EXPECT_EQ(orva_test::answer_from(port), "hello\n");
    init.send(SIGTERM);
    ASSERT_TRUE(init.wait_for("draining\n"));
    EXPECT_EQ(orva_test::answer_from(port), strerror(ECONNREFUSED));
    const Result o = init.wait(10s);
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, "serving\ndraining\n");
  }
}

// The stop timeout reaches as far as time_t on every target, whatever the
// width of its long: process 1 takes each text silently, or reports it and
// keeps the default.
TEST(LauncherAsProcessOne, StopTimeoutHasTheSameRangeOnEveryTarget) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const struct {
    const char *text;
    bool accepted;
  } cases[] = {
      {"9223372036854775807", true}, // the largest time_t
      {"9223372036854775808", false},
      {"2562047788015215h", true},
      {"2562047788015216h", false}, // a product above it
      {"5124095576030432h", false}, // ... that is 3584 s modulo 2^64
      {"4294967296", true},         // above 32 bits, far below 64
      {"71582789m", true},          // a product above 32 bits
      {"4294967295s1", true},       // a running total above 32 bits
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    const Result o = launch_in_namespace(
        {"true"}, true, {std::string("ORVA_STOP_TIMEOUT=") + c.text});
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.err, c.accepted
                         ? ""
                         : std::string("orva: invalid ORVA_STOP_TIMEOUT=") +
                               c.text + ", using default 30s\n");
  }
}

} // namespace
