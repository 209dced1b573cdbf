// SPDX-License-Identifier: MIT
// orva-init, run as a real program: its options, its exit codes and
// messages, and what it does as process 1 and elsewhere. The same tests
// run over every build of the launcher: ORVA_TEST_LAUNCHER=static picks the
// static one, run under its user-mode emulator when it was built for
// another architecture.
#include "pid1.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orva_test::Outcome;
using orva_test::Pid1;
using orva_test::run_as_pid1;

const std::string kNotFound = strerror(ENOENT);
const std::string kDenied = strerror(EACCES);

struct Launched {
  pid_t pid = -1;
  int code = -1; // exit status, or 128 + n for signal n
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct Options {
  std::vector<std::pair<std::string, std::string>> env;
  const char *stdout_path = nullptr; // a file instead of the capture pipe
  std::chrono::milliseconds limit = 10s;
};

std::vector<char *> to_argv(std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return argv;
}

// The launcher under test, with its emulator in front where it needs one.
std::vector<std::string> launcher_command() {
  if (!orva_test::static_launcher_wanted()) {
    return {ORVA_INIT_PATH};
  }
#ifdef ORVA_STATIC_INIT_PATH
  if (*ORVA_STATIC_EMULATOR != '\0') {
    return {ORVA_STATIC_EMULATOR, ORVA_STATIC_INIT_PATH};
  }
  return {ORVA_STATIC_INIT_PATH};
#else
  return {"orva-init-static was not built"};
#endif
}

// Replaces the calling process with the launcher under test and `args`.
[[noreturn]] void exec_launcher(std::vector<std::string> args) {
  const std::vector<std::string> command = launcher_command();
  args.insert(args.begin(), command.begin(), command.end());
  std::vector<char *> argv = to_argv(args);
  execv(argv[0], argv.data());
  _exit(200);
}

// Runs orva-init as an ordinary (not process 1) child of the test.
Launched launch(const std::vector<std::string> &args,
                const Options &opts = {}) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << strerror(errno);
    return {};
  }
  fflush(nullptr);
  Launched run;
  run.pid = fork();
  if (run.pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int to = opts.stdout_path != nullptr
                       ? open(opts.stdout_path, O_WRONLY | O_CLOEXEC)
                       : out[1];
    dup2(in, STDIN_FILENO);
    dup2(to, STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (const auto &[name, value] : opts.env) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    exec_launcher(args);
  }
  close(out[1]);
  close(err[1]);
  const auto deadline = std::chrono::steady_clock::now() + opts.limit;
  int out_fd = out[0];
  int err_fd = err[0];
  while (out_fd >= 0 || err_fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      kill(run.pid, SIGKILL);
      break;
    }
    orva_test::read_pipes(out_fd, err_fd, run.out, run.err,
                          static_cast<int>(left.count()));
  }
  for (const int fd : {out_fd, err_fd}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  int status = 0;
  while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.code = WIFEXITED(status)     ? WEXITSTATUS(status)
             : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                   : -1;
  return run;
}

bool is_one_line(const std::string &text, const std::string &prefix) {
  return text.rfind(prefix, 0) == 0 && text.find('\n') == text.size() - 1;
}

// A scratch directory holding a directory, a file that is not executable
// and a script whose name begins with '-'.
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
  }
  ~Scratch() {
    for (const char *name : {"plain", "-greet"}) {
      unlink(path(name).c_str());
    }
    rmdir(path("subdir").c_str());
    rmdir(dir_.c_str());
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  Scratch(Scratch &&) = delete;
  Scratch &operator=(Scratch &&) = delete;

  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  const std::string &dir() const { return dir_; }

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

TEST(Launcher, HelpAndVersionGoToStdoutWithSuccess) {
  for (const char *option : {"-h", "--help"}) {
    const Launched r = launch({option});
    EXPECT_EQ(r.code, 0) << option;
    EXPECT_EQ(r.out.rfind("Usage: orva-init [--] PROGRAM [ARG...]\n", 0), 0U)
        << option << ": " << r.out;
    EXPECT_NE(r.out.find("ORVA_STOP_TIMEOUT"), std::string::npos) << option;
    EXPECT_EQ(r.err, "") << option;
  }
  const Launched r = launch({"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "orva-init " ORVA_EXPECTED_VERSION "\n");
  EXPECT_EQ(r.err, "");
}

TEST(Launcher, OutputThatCannotBeWrittenIsAFailure) {
  for (const char *option : {"--help", "--version"}) {
    Options opts;
    opts.stdout_path = "/dev/full";
    const Launched r = launch({option}, opts);
    EXPECT_EQ(r.code, 1) << option;
    EXPECT_EQ(r.err,
              std::string("orva-init: stdout: ") + strerror(ENOSPC) + "\n")
        << option;
  }
}

TEST(Launcher, UsageErrorsExitWith64AndOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--"}, {"-x"}, {"--bogus", "sh"}, {"-greet"}};
  for (const auto &args : cases) {
    const Launched r = launch(args);
    const std::string shown = args.empty() ? "(no arguments)" : args[0];
    EXPECT_EQ(r.code, 64) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_TRUE(is_one_line(r.err, "orva-init: ")) << shown << ": " << r.err;
  }
}

TEST(Launcher, ExecFailuresAreReportedAsShellsDo) {
  Scratch scratch;
  struct Case {
    std::string program;
    int code;
    std::string error;
  };
  const Case cases[] = {
      {"orva-no-such-program", 127, kNotFound},
      {"", 127, kNotFound},
      {"/no/such/dir/program", 127, kNotFound},
      {scratch.path("subdir"), 126, kDenied},
      {scratch.path("plain"), 126, kDenied},
  };
  for (const Case &c : cases) {
    const Launched r = launch({c.program, "arg"});
    EXPECT_EQ(r.code, c.code) << "'" << c.program << "'";
    EXPECT_EQ(r.out, "") << "'" << c.program << "'";
    EXPECT_EQ(r.err, "orva-init: " + c.program + ": " + c.error + "\n");
  }
}

TEST(Launcher, OptionsEndAtTheProgramOrAtDoubleDash) {
  Scratch scratch;
  Options opts;
  opts.env = {{"PATH", scratch.dir() + ":/usr/bin:/bin"}};
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"--", "-greet", "a", "--help"}, 0, "[greet][a][--help]", ""},
      {{"sh", "-c", "printf '[%s]' \"$@\"", "sh", "--version", "-h", "--", ""},
       0,
       "[--version][-h][--][]",
       ""},
      {{"--", "--help"}, 127, "", "orva-init: --help: " + kNotFound + "\n"},
      {{"--", "--"}, 127, "", "orva-init: --: " + kNotFound + "\n"},
  };
  for (const Case &c : cases) {
    const Launched r = launch(c.args, opts);
    EXPECT_EQ(r.code, c.code) << c.args[1];
    EXPECT_EQ(r.out, c.out) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
  }
}

TEST(Launcher, OutsideProcessOneTheProgramTakesOverTheProcess) {
  const Launched r = launch({"sh", "-c", "echo $$; exit 3"});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, std::to_string(r.pid) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(LauncherAsProcessOne, ExitCodesPassThrough) {
  ORVA_REQUIRE_PID_NAMESPACE();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Case cases[] = {
      {{"sh", "-c", "exit 0"}, 0, ""},
      {{"sh", "-c", "exit 3"}, 3, ""},
      {{"sh", "-c", "exit 255"}, 255, ""},
      {{"sh", "-c", "kill -USR1 $$"}, 128 + SIGUSR1, ""},
      // The orphan is process 1's to reap; a zombie still answers kill -0.
      {{"sh", "-c",
        "orphan=$(sh -c 'sleep 0.1 >/dev/null & echo $!'); sleep 1; "
        "if kill -0 $orphan 2>/dev/null; then exit 9; fi; exit 4"},
       4,
       ""},
      // Only the child execs, so the message must come once, not twice.
      {{"orva-no-such-program"},
       127,
       "orva-init: orva-no-such-program: " + kNotFound + "\n"},
  };
  for (const Case &c : cases) {
    const Outcome o = run_as_pid1([&c]() -> int { exec_launcher(c.args); });
    EXPECT_FALSE(o.timed_out) << c.args.back();
    EXPECT_EQ(o.exit_code(), c.code) << c.args.back();
    EXPECT_EQ(o.err, c.err) << c.args.back();
  }
}

TEST(LauncherAsProcessOne, SigtermToProcessOneReachesTheProgram) {
  ORVA_REQUIRE_PID_NAMESPACE();
  // One program dies of the signal, the other handles it and picks its
  // own exit code; both codes must come back unchanged.
  const struct {
    const char *script;
    int code;
  } cases[] = {
      {"echo ready; sleep 30", 128 + SIGTERM},
      {"trap 'exit 7' TERM; echo ready; sleep 30 & wait", 7},
  };
  for (const auto &c : cases) {
    Pid1 init([&c]() -> int { exec_launcher({"sh", "-c", c.script}); });
    ASSERT_TRUE(init.wait_for_output("ready\n")) << c.script;
    init.send(SIGTERM);
    const Outcome o = init.wait(20s);
    EXPECT_FALSE(o.timed_out) << c.script;
    EXPECT_EQ(o.exit_code(), c.code) << c.script;
    EXPECT_EQ(o.err, "") << c.script;
  }
}

TEST(LauncherAsProcessOne, StopTimeoutComesFromTheEnvironment) {
  ORVA_REQUIRE_PID_NAMESPACE();
  // An ignored SIGTERM is inherited by sleep, so only SIGKILL ends it.
  Pid1 init([]() -> int {
    setenv("ORVA_STOP_TIMEOUT", "1", 1);
    exec_launcher({"sh", "-c", "trap '' TERM; echo ready; sleep 30"});
  });
  ASSERT_TRUE(init.wait_for_output("ready\n"));
  const auto sent = std::chrono::steady_clock::now();
  init.send(SIGTERM);
  const Outcome o = init.wait(20s);
  const auto took = std::chrono::steady_clock::now() - sent;
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code(), 128 + SIGKILL);
  EXPECT_GE(took, 500ms);
  EXPECT_LT(took, 15s);
  EXPECT_EQ(o.err, "");
}

} // namespace
