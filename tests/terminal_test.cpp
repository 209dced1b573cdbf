// SPDX-License-Identifier: MIT
// The terminal foreground hand-off, on real pseudo-terminals.
#include "harness.h"
#include "orva.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

// What the tcsetpgrp below does. Process 1 and its child each have their
// own copy after the fork, so each counts only its own calls.
struct TcsetpgrpControl {
  bool scripted = false;       // answer from `result` and leave the terminal be
  int result[3] = {};          // errno per standard descriptor, 0 for success
  bool hold_back_pid1 = false; // let the child reach the terminal first
  int calls = 0;
  int fds[8] = {};
};

TcsetpgrpControl g_tcsetpgrp;

} // namespace

// Defined in the executable, this takes the place of the C library's
// tcsetpgrp for liborva too: the dynamic linker searches the executable
// first. It lets the tests count calls, inject per-descriptor errors and
// delay the supervisor's hand-off, none of which a real terminal can do.
extern "C" int tcsetpgrp(int fd, pid_t pgrp) noexcept {
  TcsetpgrpControl &c = g_tcsetpgrp;
  if (c.calls < 8) {
    c.fds[c.calls] = fd;
  }
  ++c.calls;
  if (c.scripted) {
    const int error = fd >= 0 && fd < 3 ? c.result[fd] : EBADF;
    if (error != 0) {
      errno = error;
      return -1;
    }
    return 0;
  }
  if (c.hold_back_pid1 && getpid() == 1) {
    const timespec hold{0, 300'000'000};
    (void)nanosleep(&hold, nullptr);
  }
  return ioctl(fd, TIOCSPGRP, &pgrp);
}

namespace {

using orva_test::Process;
using orva_test::Result;
using namespace std::chrono_literals;

// A pseudo-terminal pair; the test keeps the master, process 1 opens the
// slave by name. O_NOCTTY keeps it from becoming the test's own terminal.
class Pty {
public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      ADD_FAILURE() << "cannot open a pseudo-terminal: " << strerror(errno);
      return;
    }
    slave_ = name;
  }
  ~Pty() {
    if (master_ >= 0) {
      close(master_);
    }
  }
  Pty(const Pty &) = delete;
  Pty &operator=(const Pty &) = delete;

  int master() const { return master_; }
  const std::string &slave() const { return slave_; }
  int open_slave() const {
    return open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }

  void type(const std::string &text) const {
    ASSERT_EQ(write(master_, text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
  }

  // Everything the slave side has written so far; stops at the first quiet
  // spell, or at EIO once every slave descriptor is closed.
  std::string drain(std::chrono::milliseconds quiet = 200ms) const {
    std::string seen;
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
      char buf[1024];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) {
        break;
      }
      seen.append(buf, static_cast<size_t>(n));
    }
    return seen;
  }

private:
  int master_ = -1;
  std::string slave_;
};

// Process 1's side. Set-up failures end process 1 with these codes so that
// they cannot pass for a result.
constexpr int kNoSession = 90;
constexpr int kNoTerminal = 91;

// Where process 1 and the managed child report: the harness's stdout pipe,
// moved out of the way of the standard streams.
int g_report = -1;
// The controlling terminal, also when no standard stream refers to it.
int g_tty = -1;

__attribute__((format(printf, 1, 2))) void report(const char *format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) {
    (void)!write(g_report, line, static_cast<size_t>(n));
  }
}

// Puts `fd` on each standard descriptor marked in `on`.
bool put_on_stdio(int fd, const bool (&on)[3]) {
  for (int std_fd = 0; std_fd < 3; ++std_fd) {
    if (on[std_fd] && dup2(fd, std_fd) != std_fd) {
      return false;
    }
  }
  return true;
}

constexpr bool kAllStreams[3] = {true, true, true};

// Process 1 made a session leader with the slave of `pty` as controlling
// terminal, as a container runtime does for an interactive container, then
// running `body`. The terminal goes on the standard descriptors marked in
// `on`; the others keep what the harness gave them (/dev/null and pipes).
Process on_terminal(const Pty &pty, const bool (&on)[3],
                    std::function<int()> body) {
  return Process(
      [&pty, &on, body = std::move(body)] {
        close(pty.master());
        g_report = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 10);
        if (g_report < 0 || setsid() < 0) {
          return kNoSession;
        }
        g_tty = pty.open_slave();
        if (g_tty < 0 || ioctl(g_tty, TIOCSCTTY, 0) != 0 ||
            !put_on_stdio(g_tty, on)) {
          return kNoTerminal;
        }
        g_tcsetpgrp = TcsetpgrpControl{};
        return body();
      },
      {.pid1 = true});
}

// Closes the descriptors a test opened, whichever of them it got.
void close_all(std::initializer_list<int> fds) {
  for (const int fd : fds) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

TEST(TerminalFd, OnlyOpenTerminalsCount) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(devnull, 0);
  Pty pty;
  const int slave = pty.open_slave();
  ASSERT_GE(slave, 0);
  const int closed = dup(devnull);
  close(closed);

  const struct {
    const char *what;
    int fd;
    int expected;
  } cases[] = {
      {"pty master", pty.master(), 1},  {"pty slave", slave, 1},
      {"pipe", pipe_fds[0], 0},         {"/dev/null", devnull, 0},
      {"closed descriptor", closed, 0}, {"-1", -1, 0},
      {"INT_MIN", -2147483647 - 1, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(orva_is_terminal_fd(c.fd), c.expected) << c.what;
  }
  // A negative descriptor is refused before isatty could set EBADF.
  errno = 0;
  EXPECT_EQ(orva_is_terminal_fd(-1), 0);
  EXPECT_EQ(errno, 0);
  close_all({slave, devnull, pipe_fds[0], pipe_fds[1]});
}

// Runs `body` with `fds` on the standard descriptors of the test process,
// then puts the originals back.
template <class Body> void with_stdio(const int (&fds)[3], Body body) {
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) {
    saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    (void)dup2(fds[fd], fd);
  }
  body();
  for (int fd = 0; fd < 3; ++fd) {
    if (saved[fd] >= 0) {
      (void)dup2(saved[fd], fd);
      close(saved[fd]);
    }
  }
}

// The rules for combining the three descriptors' outcomes, with the errors
// scripted: a real terminal gives the same answer on every descriptor.
TEST(ForegroundForStdio, CombinesDescriptorErrors) {
  Pty pty;
  const int slave = pty.open_slave();
  ASSERT_GE(slave, 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);

  constexpr int kPipe = -1; // the descriptor is a pipe, not a terminal
  const struct {
    const char *what;
    int result[3];
    int expected; // errno that counts, 0 for success
    int calls;
  } cases[] = {
      {"all succeed", {0, 0, 0}, 0, 3},
      {"ENOTTY and EPERM are ignored", {ENOTTY, EPERM, ENOTTY}, 0, 3},
      {"a later success keeps an error", {ESRCH, 0, 0}, ESRCH, 3},
      {"the last error counts", {EINVAL, 0, EIO}, EIO, 3},
      {"ignored errors replace nothing", {EIO, ENOTTY, EPERM}, EIO, 3},
      {"an error on stdout alone", {0, EINVAL, 0}, EINVAL, 3},
      {"a pipe is skipped", {ESRCH, kPipe, 0}, ESRCH, 2},
      {"no terminal, no call", {kPipe, kPipe, kPipe}, 0, 0},
  };
  for (const auto &c : cases) {
    int stdio[3];
    g_tcsetpgrp = TcsetpgrpControl{};
    g_tcsetpgrp.scripted = true;
    for (int fd = 0; fd < 3; ++fd) {
      const bool tty = c.result[fd] != kPipe;
      g_tcsetpgrp.result[fd] = tty ? c.result[fd] : 0;
      stdio[fd] = tty ? slave : pipe_fds[fd == 0 ? 0 : 1];
    }
    int result = 0;
    int error = 0;
    with_stdio(stdio, [&] {
      errno = 0;
      result = orva_set_foreground_pgrp_for_stdio(getpgrp());
      error = errno;
    });
    const TcsetpgrpControl seen = std::exchange(g_tcsetpgrp, {});
    EXPECT_EQ(result, c.expected == 0 ? 0 : -1) << c.what;
    if (c.expected != 0) {
      EXPECT_EQ(error, c.expected) << c.what;
    }
    EXPECT_EQ(seen.calls, c.calls) << c.what;
    for (int i = 1; i < seen.calls && i < 8; ++i) {
      EXPECT_LT(seen.fds[i - 1], seen.fds[i]) << c.what << ": out of order";
    }
  }
  close_all({pipe_fds[0], pipe_fds[1], slave});
}

// The same function against the kernel, from a session leader whose
// controlling terminal is on the standard streams.
TEST(ForegroundForStdio, KernelErrorsOnAControllingTerminal) {
  ORVA_REQUIRE_PID_NAMESPACE();
  Pty pty;
  Pty other;
  Process init = on_terminal(pty, kAllStreams, [&] {
    // Process 1's group loses the foreground in one case below and would
    // be refused (EIO, reported as ENOTTY) from then on.
    (void)signal(SIGTTOU, SIG_IGN);

    const pid_t gone = fork();
    if (gone == 0) {
      _exit(0);
    }
    (void)waitpid(gone, nullptr, 0);
    const pid_t member = fork();
    if (member == 0) {
      setpgid(0, 0);
      pause();
      _exit(0);
    }
    setpgid(member, member);
    int left[2];
    if (pipe2(left, O_CLOEXEC) != 0) {
      return kNoSession;
    }
    const pid_t outsider = fork();
    if (outsider == 0) {
      setsid();
      close(left[1]);
      pause();
      _exit(0);
    }
    // EOF once the outsider has left the session.
    close(left[1]);
    char ignored;
    (void)!read(left[0], &ignored, 1);

    auto attempt = [](const char *what, pid_t pgrp) {
      errno = 0;
      const int result = orva_set_foreground_pgrp_for_stdio(pgrp);
      const char *error = result == 0 ? "0" : strerrorname_np(errno);
      report("%s: %d %s fg=%s\n", what, result, error ? error : "?",
             tcgetpgrp(g_tty) == pgrp ? "yes" : "no");
    };
    attempt("own group", getpgrp());
    attempt("negative", -1);
    attempt("no such group", gone);
    attempt("other session", outsider);
    attempt("group in the session", member);
    // A terminal that is somebody else's answers ENOTTY.
    (void)put_on_stdio(other.open_slave(), kAllStreams);
    attempt("not the controlling terminal", getpgrp());
    // No terminal on the standard streams at all.
    (void)put_on_stdio(open("/dev/null", O_RDWR | O_CLOEXEC), kAllStreams);
    attempt("no terminal", -1);
    return 0;
  });
  const Result o = init.wait(20s);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "own group: 0 0 fg=yes\n"
                   "negative: -1 EINVAL fg=no\n"
                   "no such group: -1 ESRCH fg=no\n"
                   "other session: 0 0 fg=no\n"
                   "group in the session: 0 0 fg=yes\n"
                   "not the controlling terminal: 0 0 fg=no\n"
                   "no terminal: 0 0 fg=no\n");
}

TEST(SupervisorHandOff, FollowsWhicheverStreamIsTheTerminal) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const struct {
    const char *what;
    bool on[3];
  } cases[] = {
      {"all three streams", {true, true, true}},
      {"stdin alone", {true, false, false}},
      {"stderr alone", {false, false, true}},
      {"no stream", {false, false, false}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    Process init = on_terminal(pty, c.on, [] {
      const int code = orva_run(
          [](int, char **) {
            report("child: pgrp %d foreground %d calls %d\n",
                   static_cast<int>(getpgrp()),
                   static_cast<int>(tcgetpgrp(g_tty)), g_tcsetpgrp.calls);
            return 7;
          },
          0, nullptr);
      report("init: code %d foreground %d calls %d\n", code,
             static_cast<int>(tcgetpgrp(g_tty)), g_tcsetpgrp.calls);
      return 0;
    });
    const Result o = init.wait(20s);
    ASSERT_FALSE(o.timed_out);
    ASSERT_EQ(o.exit_code, 0) << o.err;
    // Reported from inside the managed child and from process 1 afterwards.
    struct {
      int child_pgrp = -1;
      int child_foreground = -1;
      int child_calls = -1;
      int code = -1;
      int init_foreground = -1;
      int init_calls = -1;
    } h;
    EXPECT_EQ(sscanf(o.out.c_str(),
                     "child: pgrp %d foreground %d calls %d\n"
                     "init: code %d foreground %d calls %d\n",
                     &h.child_pgrp, &h.child_foreground, &h.child_calls,
                     &h.code, &h.init_foreground, &h.init_calls),
              6)
        << "unexpected report: " << o.out;
    EXPECT_EQ(h.code, 7);
    EXPECT_NE(h.child_pgrp, 1) << "the child needs a group of its own";
    const bool any = c.on[0] || c.on[1] || c.on[2];
    if (any) {
      EXPECT_EQ(h.child_foreground, h.child_pgrp);
      // Never given back: the child's group keeps the terminal.
      EXPECT_EQ(h.init_foreground, h.child_pgrp);
    } else {
      // A terminal that no stream refers to is left alone, untried.
      EXPECT_EQ(h.child_foreground, 1);
      EXPECT_EQ(h.init_foreground, 1);
      EXPECT_EQ(h.child_calls, 0);
      EXPECT_EQ(h.init_calls, 0);
    }
    EXPECT_EQ(o.err, "");
    const std::string screen = pty.drain();
    EXPECT_EQ(screen.find("orva:"), std::string::npos) << screen;
  }
}

// An interactive program checks that it owns the terminal before it reads,
// and stops itself with SIGTTIN until it does. Nothing would continue it,
// so it must own the terminal before it first looks; the supervisor's own
// hand-off is held back here so that it cannot win that race for it.
TEST(SupervisorHandOff, ImmediateReaderIsNotLeftStopped) {
  ORVA_REQUIRE_PID_NAMESPACE();
  Pty pty;
  Process init = on_terminal(pty, kAllStreams, [] {
    g_tcsetpgrp.hold_back_pid1 = true;
    return orva_run(
        [](int, char **) {
          while (tcgetpgrp(STDIN_FILENO) != getpgrp()) {
            kill(0, SIGTTIN);
          }
          report("reading\n");
          char line[64] = {};
          const ssize_t n = read(STDIN_FILENO, line, sizeof line - 1);
          report("got %s", n > 0 ? line : "nothing\n");
          return n > 0 ? 0 : 1;
        },
        0, nullptr);
  });
  // If the child stopped, "reading" never comes and the wait below ends at
  // its limit with the namespace killed.
  if (init.wait_for("reading\n", 10s)) {
    pty.type("hello\n");
  }
  const Result o = init.wait(10s);
  EXPECT_FALSE(o.timed_out) << "the managed child was left stopped";
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "reading\ngot hello\n");
  EXPECT_EQ(o.err, "");
}

// The launcher as an interactive container's process 1: shells that read
// their input at once get it and finish.
TEST(LauncherOnATerminal, ShellsReadTheirInputAndFinish) {
  ORVA_REQUIRE_PID_NAMESPACE();
  const struct {
    const char *what;
    std::vector<const char *> argv;
    const char *input;
    const char *expected;
    int code;
  } cases[] = {
      {"reading script",
       {"sh", "-c", "read x; echo got $x; exit 3"},
       "hello\n",
       "got hello",
       3},
      {"interactive shell",
       {"sh", "-i"},
       "echo got $((6 * 7))\nexit 5\n",
       "got 42",
       5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    Process init = on_terminal(pty, kAllStreams, [&] {
      std::vector<char *> argv{const_cast<char *>("orva-init")};
      for (const char *arg : c.argv) {
        argv.push_back(const_cast<char *>(arg));
      }
      argv.push_back(nullptr);
      execv(ORVA_TEST_INIT, argv.data());
      return 127;
    });
    pty.type(c.input);
    const Result o = init.wait(15s);
    const std::string screen = pty.drain();
    EXPECT_FALSE(o.timed_out) << "the shell was left stopped: " << screen;
    EXPECT_EQ(o.exit_code, c.code) << screen;
    EXPECT_NE(screen.find(c.expected), std::string::npos) << screen;
    EXPECT_EQ(screen.find("orva"), std::string::npos) << screen;
  }
}

} // namespace
