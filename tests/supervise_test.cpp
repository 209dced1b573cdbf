// SPDX-License-Identifier: MIT
// orva_run as process 1 of a new PID namespace.
#include "harness.h"
#include "orva.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace {

using orva_test::current_mask;
using orva_test::Process;
using orva_test::Result;
using orva_test::run_as_pid1;
using orva_test::same_mask;
using orva_test::say;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Set by process 1 before orva_run; the managed child sees them through
// the fork, since submain cannot capture.
int planned_code = 0;
sigset_t expected_mask;

// Written by the managed child's signal handlers.
volatile sig_atomic_t caught[NSIG];

long long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

// Sleeps on through the signal handlers that interrupt nanosleep.
void sleep_until(Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          until - Clock::now())
                          .count();
    if (left <= 0) {
      return;
    }
    const timespec nap{left / 1'000'000'000, left % 1'000'000'000};
    (void)nanosleep(&nap, nullptr);
  }
}

void sleep_for(milliseconds span) { sleep_until(Clock::now() + span); }

// Reports a signal on stdout and lets the process live on; write(2) alone,
// since it runs as a handler.
void report_signal(int sig) {
  caught[sig] = 1;
  char line[] = "got 00\n";
  line[4] = static_cast<char>('0' + sig / 10 % 10);
  line[5] = static_cast<char>('0' + sig % 10);
  (void)!write(STDOUT_FILENO, line, sizeof line - 1);
}

std::string got(int sig) {
  char line[16];
  (void)snprintf(line, sizeof line, "got %02d\n", sig);
  return line;
}

void catch_signal(int sig) {
  struct sigaction action = {};
  action.sa_handler = report_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)sigaction(sig, &action, nullptr);
}

// Catches `sigs`, says "ready", and returns once each has arrived. They
// stay blocked outside sigsuspend, so none can slip in between the check
// and the wait.
void catch_and_await(std::initializer_list<int> sigs) {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : sigs) {
    sigaddset(&set, sig);
  }
  (void)sigprocmask(SIG_BLOCK, &set, nullptr);
  for (const int sig : sigs) {
    catch_signal(sig);
  }
  say("ready\n");
  sigset_t none;
  sigemptyset(&none);
  for (const int sig : sigs) {
    while (caught[sig] == 0) {
      (void)sigsuspend(&none);
    }
  }
  (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Exits with planned_code, or dies of signal planned_code - 128.
int planned_main(int, char **) {
  if (planned_code > 128) {
    (void)raise(planned_code - 128);
  }
  return planned_code;
}

// Catches every terminate signal, says so, and never ends by itself.
int stubborn_main(int, char **) {
  for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
    catch_signal(sig);
  }
  say("ready\n");
  for (;;) {
    pause();
  }
}

// Ignores SIGTERM, as does the child it leaves in its group, and never
// ends by itself.
int ignoring_main(int, char **) {
  (void)signal(SIGTERM, SIG_IGN);
  if (fork() == 0) {
    for (;;) {
      pause();
    }
  }
  say("ready\n");
  for (;;) {
    pause();
  }
}

// The number printed after `key` in process 1's output, or -1.
long long number_after(const std::string &out, const std::string &key) {
  const size_t at = out.find(key);
  if (at == std::string::npos) {
    return -1;
  }
  return atoll(out.c_str() + at + key.size());
}

// Process-1 scenarios; the test process keeps its own signal mask.
class Supervise : public orva_test::KeepsSignalMask {
protected:
  void SetUp() override {
    KeepsSignalMask::SetUp();
    ORVA_REQUIRE_PID_NAMESPACE();
  }
};

template <class Param>
class SuperviseWith : public Supervise,
                      public ::testing::WithParamInterface<Param> {};

// Reaps process 1's children until none is left, and says whether one was
// still running at `limit`. A SIGKILL takes effect only when its target
// next runs, hence the grace.
std::string running_children_after(milliseconds limit) {
  const auto start = Clock::now();
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid < 0) {
      return "no child left running\n";
    }
    if (pid == 0) {
      if (elapsed_ms(start) > limit.count()) {
        return "a child still running\n";
      }
      sleep_for(milliseconds(5));
    }
  }
}

// The verbose report lists processes only from a /proc that shows this
// namespace; the mount stays in a mount namespace of process 1's own.
void mount_own_proc() {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
            nullptr) != 0) {
    say(std::string("no /proc of its own: ") + strerror(errno) + "\n");
  }
}

// Process 1 supervising `child`, with ORVA_STOP_TIMEOUT set to `timeout`
// unless it is null, and the NAME=VALUE settings of `env`. With `outlive`
// it reaps on after orva_run: were it to end, the kernel would kill the
// rest of the namespace and hide a process the SIGKILL missed.
Process supervising(int (*child)(int, char **), const char *timeout = nullptr,
                    bool outlive = false, std::vector<std::string> env = {}) {
  if (timeout != nullptr) {
    env.push_back(std::string("ORVA_STOP_TIMEOUT=") + timeout);
  }
  return Process(
      [child, outlive] {
        mount_own_proc();
        const int rc = orva_run(child, 0, nullptr);
        if (outlive && getpid() == 1) {
          say(running_children_after(milliseconds(2000)));
        }
        return rc;
      },
      {.pid1 = true, .env = env});
}

bool no_children_left() {
  int status = 0;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Process 1 ended by itself with `code`, having written `out` (unless it
// is null) and `err`.
void expect_end(const Result &o, int code, const char *out,
                const char *err = "") {
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, code);
  if (out != nullptr) {
    EXPECT_EQ(o.out, out);
  }
  EXPECT_EQ(o.err, err);
}

struct Ending {
  int code; // > 128: the child kills itself with signal code - 128
};

void PrintTo(const Ending &e, std::ostream *os) { *os << "code " << e.code; }

using ExitCodeOfTheChild = SuperviseWith<Ending>;

// What the caller left in its stdout buffer must reach the pipe once, not
// once per process that inherited the buffer. Whoever returns from orva_run
// flushes as exit would, since process 1 ends with _exit.
TEST_P(ExitCodeOfTheChild, IsReturnedAfterAShortPause) {
  const int code = GetParam().code;
  const std::string buffered = "buffered before orva_run\n";
  const Result o = run_as_pid1([code, buffered] {
    planned_code = code;
    (void)fputs(buffered.c_str(), stdout);
    const auto start = Clock::now();
    const int rc = orva_run(planned_main, 0, nullptr);
    if (getpid() == 1) {
      say("supervised for " + std::to_string(elapsed_ms(start)) + " ms\n");
    }
    (void)fflush(stdout);
    return rc;
  });
  expect_end(o, code, nullptr);
  EXPECT_NE(o.out.find(buffered), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find(buffered), o.out.rfind(buffered))
      << "written twice: " << o.out;
  const long long took = number_after(o.out, "supervised for ");
  EXPECT_GE(took, 45) << o.out;
  EXPECT_LT(took, 5000) << o.out;
}

INSTANTIATE_TEST_SUITE_P(Supervise, ExitCodeOfTheChild,
                         ::testing::Values(Ending{0}, Ending{3}, Ending{255},
                                           Ending{128 + SIGUSR1}));

TEST_F(Supervise, NullSubmainIsRefusedWithoutAFork) {
  const Result o = run_as_pid1([] {
    const int rc = orva_run(nullptr, 0, nullptr);
    if (no_children_left()) {
      say("no child\n");
    }
    return rc;
  });
  expect_end(o, 64, "no child\n", "orva: submain must not be NULL\n");
}

// The child waits for its own child to see SIGTERM too before it dies of
// it, so the grandchild's line cannot be lost when process 1 ends.
int group_main(int, char **) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  (void)sigprocmask(SIG_BLOCK, &term, nullptr);
  const pid_t grandchild = fork();
  if (grandchild == 0) {
    int sig = 0;
    (void)sigwait(&term, &sig);
    say("grandchild got SIGTERM\n");
    _exit(0);
  }
  say("ready\n");
  int sig = 0;
  (void)sigwait(&term, &sig);
  int status = 0;
  (void)waitpid(grandchild, &status, 0);
  (void)raise(SIGTERM);
  (void)sigprocmask(SIG_UNBLOCK, &term, nullptr);
  return 99;
}

TEST_F(Supervise, SigtermReachesTheWholeGroup) {
  Process init = supervising(group_main);
  ASSERT_TRUE(init.wait_for("ready\n"));
  init.send(SIGTERM);
  const Result o = init.wait();
  expect_end(o, 143, nullptr);
  EXPECT_NE(o.out.find("grandchild got SIGTERM\n"), std::string::npos) << o.out;
}

struct Stop {
  int sig;
  bool ignored; // SIG_IGN rather than a handler in the child
};

void PrintTo(const Stop &s, std::ostream *os) {
  *os << "SIG" << sigabbrev_np(s.sig) << (s.ignored ? " ignored" : " caught");
}

using StopSignal = SuperviseWith<Stop>;

TEST_P(StopSignal, ArmsTheStopTimeoutThenKills) {
  const Stop s = GetParam();
  Process init =
      supervising(s.ignored ? ignoring_main : stubborn_main, "1", true);
  ASSERT_TRUE(init.wait_for("ready\n"));
  const auto sent = Clock::now();
  init.send(s.sig);
  const Result o = init.wait();
  const long long took = elapsed_ms(sent);
  expect_end(o, 137, nullptr);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 10'000);
  EXPECT_NE(o.out.find("no child left running\n"), std::string::npos) << o.out;
  if (!s.ignored) {
    EXPECT_NE(o.out.find(got(s.sig)), std::string::npos) << o.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Supervise, StopSignal,
                         ::testing::Values(Stop{SIGTERM, true},
                                           Stop{SIGTERM, false},
                                           Stop{SIGINT, false},
                                           Stop{SIGHUP, false},
                                           Stop{SIGQUIT, false}));

TEST_F(Supervise, StopTimeoutZeroKillsAtOnce) {
  Process init = supervising(stubborn_main, "0");
  ASSERT_TRUE(init.wait_for("ready\n"));
  const auto sent = Clock::now();
  init.send(SIGTERM);
  const Result o = init.wait();
  expect_end(o, 137, nullptr);
  EXPECT_LT(elapsed_ms(sent), 5000);
}

// With 3 s from the first SIGTERM, a second one 2 s in would push the kill
// to 5 s if it moved the deadline.
TEST_F(Supervise, SecondSigtermDoesNotMoveTheDeadline) {
  Process init = supervising(stubborn_main, "3");
  ASSERT_TRUE(init.wait_for("ready\n"));
  const auto sent = Clock::now();
  init.send(SIGTERM);
  ASSERT_TRUE(init.wait_for(got(SIGTERM)));
  sleep_until(sent + milliseconds(2000));
  init.send(SIGTERM);
  const Result o = init.wait();
  const long long took = elapsed_ms(sent);
  expect_end(o, 137, nullptr);
  EXPECT_GE(took, 2900);
  EXPECT_LT(took, 4400);
  EXPECT_NE(o.out.find(got(SIGTERM) + got(SIGTERM)), std::string::npos)
      << "the second SIGTERM was not forwarded: " << o.out;
}

// Ends by itself 1.5 s after it has seen both signals: past a stop timeout
// of 1 s, had either of them armed it.
int unarmed[2];

int outlasting_main(int, char **) {
  catch_and_await({unarmed[0], unarmed[1]});
  sleep_for(milliseconds(1500));
  return 5;
}

struct Unarmed {
  int first;
  int second;
  const char *stop_signals; // ORVA_STOP_SIGNALS, unless null
};

void PrintTo(const Unarmed &u, std::ostream *os) {
  *os << "SIG" << sigabbrev_np(u.first) << " and SIG" << sigabbrev_np(u.second)
      << " with ORVA_STOP_SIGNALS=" << (u.stop_signals ? u.stop_signals : "");
}

using ForwardedWithoutArming = SuperviseWith<Unarmed>;

TEST_P(ForwardedWithoutArming, OtherSignals) {
  const Unarmed u = GetParam();
  unarmed[0] = u.first;
  unarmed[1] = u.second;
  std::vector<std::string> env;
  if (u.stop_signals != nullptr) {
    env.push_back(std::string("ORVA_STOP_SIGNALS=") + u.stop_signals);
  }
  Process init = supervising(outlasting_main, "1", false, env);
  ASSERT_TRUE(init.wait_for("ready\n"));
  init.send(u.first);
  ASSERT_TRUE(init.wait_for(got(u.first)));
  init.send(u.second);
  const Result o = init.wait();
  expect_end(o, 5, nullptr);
  EXPECT_NE(o.out.find(got(u.second)), std::string::npos) << o.out;
}

// A reload signal left out of the stop signals is only passed on.
INSTANTIATE_TEST_SUITE_P(
    Supervise, ForwardedWithoutArming,
    ::testing::Values(Unarmed{SIGUSR1, SIGWINCH, nullptr},
                      Unarmed{SIGHUP, SIGUSR1, "TERM,INT,QUIT"},
                      Unarmed{SIGHUP, SIGTERM, "SIGUSR2,RTMIN+1"}));

// Leaves a daemon in a session of its own, as a start script's setsid
// does, waits for SIGTERM and returns 7. The daemon takes 300 ms to finish
// on SIGTERM, or ignores it, as do the crowd of children it then starts.
bool daemon_ignores_term = false;
int daemon_crowd = 0;

int daemon_main(int, char **) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  (void)sigprocmask(SIG_BLOCK, &term, nullptr);
  if (fork() == 0) {
    (void)setsid();
    if (daemon_ignores_term) {
      (void)signal(SIGTERM, SIG_IGN);
      // Any process may name itself so. The crowd inherits its name; the
      // daemon's own mimics the fields that follow a name in /proc.
      (void)prctl(PR_SET_NAME, "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01"
                               "\x01\x01\x01\x01\x01");
      for (int i = 0; i < daemon_crowd; ++i) {
        if (fork() == 0) {
          for (;;) {
            pause();
          }
        }
      }
      (void)prctl(PR_SET_NAME, "d) Z 1 1\n(x");
      say("daemon ready\n");
      for (;;) {
        pause();
      }
    }
    say("daemon ready\n");
    int sig = 0;
    (void)sigwait(&term, &sig);
    sleep_for(milliseconds(300));
    say("daemon finished\n");
    _exit(0);
  }
  say("ready\n");
  int sig = 0;
  (void)sigwait(&term, &sig);
  return 7;
}

struct Scope {
  const char *name; // ORVA_STOP_SCOPE
  bool ignores;
  const char *ending; // what process 1 saw once orva_run had returned
  int crowd = 0;      // more ignoring SIGTERM, named with control characters
};

void PrintTo(const Scope &s, std::ostream *os) {
  *os << s.name << (s.ignores ? ", daemon ignores SIGTERM" : "");
  if (s.crowd > 0) {
    *os << " with a crowd of " << s.crowd;
  }
}

// Each line of the report fits in 2 KiB with its newline, begins with
// "orva: " and holds no control character some process put in its name.
void expect_report_lines(const std::string &err) {
  for (size_t at = 0; at < err.size();) {
    const size_t end = err.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "an unfinished line: " << err;
    const std::string line = err.substr(at, end - at);
    const std::string shown = line.substr(0, 200);
    EXPECT_EQ(line.rfind("orva: ", 0), 0U) << shown;
    EXPECT_LT(line.size(), 2048U) << shown;
    EXPECT_EQ(std::count_if(line.begin(), line.end(),
                            [](char c) {
                              return static_cast<unsigned char>(c) < 0x20 ||
                                     c == 0x7f;
                            }),
              0)
        << shown;
    at = end + 1;
  }
}

using StopScope = SuperviseWith<Scope>;

// The program's own exit code comes back however the daemon ends; the
// verbose report walks the whole stop.
TEST_P(StopScope, DecidesWhetherADaemonOutsideTheGroupIsStopped) {
  const Scope s = GetParam();
  daemon_ignores_term = s.ignores;
  daemon_crowd = s.crowd;
  Process init =
      supervising(daemon_main, "1", true,
                  {std::string("ORVA_STOP_SCOPE=") + s.name, "ORVA_VERBOSE=1"});
  ASSERT_TRUE(init.wait_for("daemon ready\n"));
  ASSERT_TRUE(init.wait_for("ready\n"));
  const auto sent = Clock::now();
  init.send(SIGTERM);
  const Result o = init.wait();
  const long long took = elapsed_ms(sent);
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 7);
  EXPECT_NE(o.out.find(s.ending), std::string::npos) << o.out;
  const bool all = std::string(s.name) == "all";
  EXPECT_EQ(o.out.find("daemon finished\n") != std::string::npos,
            all && !s.ignores)
      << o.out;
  if (all && s.ignores) {
    EXPECT_GE(took, 900);
  }
  const std::string target = all ? "every process" : "process group ";
  for (const std::string &line :
       {std::string("orva: started program "),
        "orva: forwarded SIGTERM to " + target,
        std::string("orva: stop timeout of 1s armed by SIGTERM\n"),
        std::string(" exited with status 7, exit code 7, ")}) {
    EXPECT_NE(o.err.find(line), std::string::npos) << line << "\n" << o.err;
  }
  if (all) {
    for (const char *line :
         {"orva: other processes still running, waiting for them\n",
          "orva: reaped orphan ", "orva: no process left, "}) {
      EXPECT_NE(o.err.find(line), std::string::npos) << line << "\n" << o.err;
    }
    const std::string kill_line = "SIGKILL to every process; still running: ";
    const size_t kill_at = o.err.find(kill_line);
    EXPECT_EQ(kill_at != std::string::npos, s.ignores) << o.err;
    if (s.ignores) {
      const size_t no_proc = o.out.find("no /proc of its own");
      ORVA_REQUIRE(
          no_proc == std::string::npos
              ? ""
              : o.out.substr(no_proc, o.out.find('\n', no_proc) - no_proc),
          "process listings");
      // The daemon and its crowd by name, and a full line cut once.
      const std::string listed =
          o.err.substr(kill_at, o.err.find('\n', kill_at) - kill_at);
      EXPECT_NE(listed.find(" (d) Z 1 1\\x0a(x)"), std::string::npos) << listed;
      EXPECT_EQ(listed.find(" (\\x01\\x01") != std::string::npos, s.crowd > 0)
          << listed;
      EXPECT_EQ(listed.find("..."),
                s.crowd > 0 ? listed.size() - 3 : std::string::npos)
          << listed;
    }
  }
  expect_report_lines(o.err);
}

INSTANTIATE_TEST_SUITE_P(
    Supervise, StopScope,
    ::testing::Values(Scope{"all", false, "no child left running\n"},
                      Scope{"all", true, "no child left running\n"},
                      Scope{"all", true, "no child left running\n", 40},
                      Scope{"group", false, "a child still running\n"}));

// Catches SIGTERM and SIGUSR1, says so, and returns 7 after SIGTERM, or 5
// after SIGUSR1 when quit_on_usr1 is set.
bool quit_on_usr1 = false;

int delayed_main(int, char **) {
  catch_signal(SIGTERM);
  catch_signal(SIGUSR1);
  say("ready\n");
  for (;;) {
    pause();
    if (caught[SIGTERM] != 0) {
      return 7;
    }
    if (quit_on_usr1 && caught[SIGUSR1] != 0) {
      return 5;
    }
  }
}

struct Delay {
  const char *what;
  int (*child)(int, char **);
  const char *delay;
  const char *timeout;
  bool quit_on_usr1;
  int code;
  long long min_ms; // from SIGTERM to the end
  long long max_ms;
  const char *report; // a line of the verbose report
  const char *out;    // the program's output, when it takes SIGUSR1 too
};

void PrintTo(const Delay &d, std::ostream *os) { *os << d.what; }

using StopDelay = SuperviseWith<Delay>;

// The first SIGTERM is held for the stop delay while other signals pass;
// the stop timeout counts from its arrival, and a program that ends during
// the delay ends as usual.
TEST_P(StopDelay, HoldsTheFirstStopSignal) {
  const Delay d = GetParam();
  quit_on_usr1 = d.quit_on_usr1;
  Process init = supervising(
      d.child, d.timeout, false,
      {std::string("ORVA_STOP_DELAY=") + d.delay, "ORVA_VERBOSE=1"});
  ASSERT_TRUE(init.wait_for("ready\n"));
  const auto sent = Clock::now();
  init.send(SIGTERM);
  if (d.out != nullptr) {
    sleep_for(milliseconds(100));
    init.send(SIGUSR1);
  }
  const Result o = init.wait();
  const long long took = elapsed_ms(sent);
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, d.code);
  EXPECT_GE(took, d.min_ms);
  EXPECT_LT(took, d.max_ms);
  EXPECT_NE(o.err.find(d.report), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("orva: holding SIGTERM for the stop delay of "),
            std::string::npos)
      << o.err;
  if (d.out != nullptr) {
    EXPECT_EQ(o.out, d.out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Supervise, StopDelay,
    ::testing::Values(
        Delay{"forwarded after the delay", delayed_main, "1", nullptr, false, 7,
              900, 5000, "orva: forwarded SIGTERM to process group ",
              "ready\ngot 10\ngot 15\n"},
        Delay{"killed at the timeout from its arrival", ignoring_main, "2", "3",
              false, 128 + SIGKILL, 2500, 4500,
              "orva: stop timeout passed, SIGKILL to process group ", nullptr},
        Delay{"ended during the delay", delayed_main, "5", nullptr, true, 5, 0,
              3000, " exited with status 5, exit code 5, ",
              "ready\ngot 10\n"}));

// A stop timeout too large for the deadline must not wrap into the past.
TEST_F(Supervise, HugeStopTimeoutDoesNotKillAtOnce) {
  Process init = supervising(
      [](int, char **) {
        catch_and_await({SIGTERM});
        sleep_for(milliseconds(300));
        return 6;
      },
      "9223372036854775807");
  ASSERT_TRUE(init.wait_for("ready\n"));
  init.send(SIGTERM);
  expect_end(init.wait(), 6, nullptr);
}

// Leaves a grandchild that is re-parented to process 1 and exits once the
// child is listening for a forwarded SIGCHLD; then waits until process 1
// has reaped it (kill(pid, 0) succeeds on a zombie). A second grandchild
// exits as soon as the child has: the child precedes it among process 1's
// children, so the reap that finds the child stops short of it and only
// the drain after the pause can take it.
int orphan_main(int, char **) {
  int pid_pipe[2];
  int go_pipe[2];
  if (pipe(pid_pipe) != 0 || pipe(go_pipe) != 0) {
    return 90;
  }
  const pid_t middle = fork();
  if (middle == 0) {
    const pid_t orphan = fork();
    if (orphan == 0) {
      char byte = 0;
      (void)!read(go_pipe[0], &byte, 1);
      _exit(0);
    }
    (void)!write(pid_pipe[1], &orphan, sizeof orphan);
    _exit(0);
  }
  pid_t orphan = 0;
  if (read(pid_pipe[0], &orphan, sizeof orphan) != sizeof orphan) {
    return 91;
  }
  int status = 0;
  (void)waitpid(middle, &status, 0);
  catch_signal(SIGCHLD);
  (void)!write(go_pipe[1], "x", 1);
  const auto start = Clock::now();
  while (kill(orphan, 0) == 0) {
    if (elapsed_ms(start) > 5000) {
      say("orphan not reaped\n");
      return 92;
    }
    sleep_for(milliseconds(5));
  }
  say("orphan reaped\n");
  int end_pipe[2];
  if (pipe(end_pipe) != 0) {
    return 93;
  }
  if (fork() == 0) {
    // End of file comes when the child exits and its write end closes.
    (void)close(end_pipe[1]);
    char byte = 0;
    (void)!read(end_pipe[0], &byte, 1);
    _exit(0);
  }
  return 0;
}

TEST_F(Supervise, OrphansAreReapedAndLeaveNoZombie) {
  const Result o = run_as_pid1([] {
    const int rc = orva_run(orphan_main, 0, nullptr);
    if (getpid() == 1 && no_children_left()) {
      say("no children left\n");
    }
    return rc;
  });
  SCOPED_TRACE("a SIGCHLD was forwarded, or a child was left behind");
  expect_end(o, 0, "orphan reaped\nno children left\n");
}

// A grandchild that outlives the managed child must not hold up the end.
TEST_F(Supervise, RunningOrphansAreNotWaitedFor) {
  const Result o = run_as_pid1(
      [] {
        return orva_run(
            [](int, char **) {
              if (fork() == 0) {
                sleep_for(milliseconds(60'000));
                _exit(0);
              }
              return 4;
            },
            0, nullptr);
      },
      milliseconds(10'000));
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 4);
}

TEST_F(Supervise, InvalidSettingsAreReportedOnceEach) {
  const Result o = run_as_pid1([] {
    setenv("ORVA_STOP_TIMEOUT", "abc", 1);
    setenv("ORVA_STOP_SCOPE", "everything", 1);
    setenv("ORVA_STOP_SIGNALS", "TERM,KILL", 1);
    setenv("ORVA_VERBOSE", "yes\n", 1);
    setenv("ORVA_EXIT_MAP", "143=0,111=0", 1);
    setenv("ORVA_SIGNAL_MAP", "TERM=QUIT,KILL=TERM", 1);
    setenv("ORVA_FORWARD", "children", 1);
    setenv("ORVA_SUBREAPER", "yes", 1);
    setenv("ORVA_PARENT_DEATH_SIGNAL", "CHLD", 1);
    setenv("ORVA_STOP_DELAY", "-5", 1);
    // A list with one bad entry is dropped whole: 143 stays 143.
    return orva_run([](int, char **) { return 143; }, 0, nullptr);
  });
  expect_end(o, 143, nullptr,
             "orva: invalid ORVA_STOP_TIMEOUT=abc, using default 30s\n"
             "orva: invalid ORVA_STOP_SCOPE=everything, using default group\n"
             "orva: invalid ORVA_STOP_SIGNALS=TERM,KILL, using default "
             "HUP,INT,QUIT,TERM\n"
             "orva: invalid ORVA_VERBOSE=yes\\x0a, staying off\n"
             "orva: invalid ORVA_EXIT_MAP=143=0,111=0, mapping no exit code\n"
             "orva: invalid ORVA_SIGNAL_MAP=TERM=QUIT,KILL=TERM, rewriting no "
             "signal\n"
             "orva: invalid ORVA_FORWARD=children, using default group\n"
             "orva: invalid ORVA_SUBREAPER=yes, staying off\n"
             "orva: invalid ORVA_PARENT_DEATH_SIGNAL=CHLD, asking for none\n"
             "orva: invalid ORVA_STOP_DELAY=-5, using default 0s\n");
}

// submain runs with the caller's mask, and process 1 gets it back.
TEST_F(Supervise, CallersSignalMaskIsKept) {
  const Result o = run_as_pid1([] {
    sigset_t some;
    sigemptyset(&some);
    sigaddset(&some, SIGUSR2);
    sigaddset(&some, SIGPIPE);
    (void)sigprocmask(SIG_BLOCK, &some, nullptr);
    expected_mask = current_mask();
    const int rc = orva_run(
        [](int, char **) {
          return same_mask(current_mask(), expected_mask) ? 0 : 9;
        },
        0, nullptr);
    if (getpid() == 1 && same_mask(current_mask(), expected_mask)) {
      say("mask restored\n");
    }
    return rc;
  });
  SCOPED_TRACE("9: submain ran with another mask");
  expect_end(o, 0, "mask restored\n");
}

bool sigchld_ignored() {
  struct sigaction action = {};
  return sigaction(SIGCHLD, nullptr, &action) == 0 &&
         action.sa_handler == SIG_IGN;
}

// An entrypoint may be exec'd with SIGCHLD ignored; the kernel would then
// reap the child behind the supervisor's back and never wake it.
TEST_F(Supervise, IgnoredSigchldDoesNotHideTheChildsEnd) {
  const Result o = run_as_pid1(
      [] {
        (void)signal(SIGCHLD, SIG_IGN);
        const int rc = orva_run(
            [](int, char **) { return sigchld_ignored() ? 3 : 9; }, 0, nullptr);
        if (getpid() == 1 && sigchld_ignored()) {
          say("caller's SIGCHLD action restored\n");
        }
        return rc;
      },
      milliseconds(10'000));
  SCOPED_TRACE("timed out: the supervisor never saw the child end; "
               "9: submain ran without the caller's action");
  expect_end(o, 3, "caller's SIGCHLD action restored\n");
}

} // namespace
