// SPDX-License-Identifier: MIT
// Reaping children and mapping their wait status to an exit code. Every
// scenario runs in a forked child of its own, whose only children are the
// ones it makes.
#include "harness.h"
#include "orva.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <ostream>
#include <source_location>

namespace {

using orva_test::in_forked_child;

constexpr int kUntouched = -12345;

// A child that dies with its parent, so that a failed scenario leaves
// nothing behind.
pid_t spawn(void (*body)(int), int arg) {
  const pid_t pid = fork();
  if (pid == 0) {
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    body(arg);
    _exit(0);
  }
  EXPECT_GT(pid, 0) << "fork: " << strerror(errno);
  return pid;
}

pid_t spawn_exiting(int code) {
  return spawn([](int c) { _exit(c); }, code);
}

pid_t spawn_running() {
  return spawn(
      [](int) {
        for (;;) {
          pause();
        }
      },
      0);
}

// Waits until `pid` has ended without reaping it, so the next waitpid is
// sure to report it.
void await_exit(pid_t pid) {
  siginfo_t info{};
  int rc = 0;
  do {
    rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  ASSERT_EQ(rc, 0) << "waitid " << pid << ": " << strerror(errno);
}

// A child that has already exited, left for the next waitpid to report.
pid_t spawn_exited(int code) {
  const pid_t pid = spawn_exiting(code);
  await_exit(pid);
  return pid;
}

// Sleeps 100 ms, then (when `interrupt`) signals its parent with SIGUSR1
// and sleeps another 100 ms; exits 5 if it signalled, 9 if not.
void napping_child(int interrupt) {
  const timespec nap{0, 100'000'000};
  (void)nanosleep(&nap, nullptr);
  if (interrupt != 0) {
    (void)kill(getppid(), SIGUSR1);
    (void)nanosleep(&nap, nullptr);
    _exit(5);
  }
  _exit(9);
}

// One call of orva_wait_for_managed_child: its result, and what it left in
// an exit code that starts out as kUntouched.
void expect_wait(pid_t pid, int nonblock, int result, int code,
                 const char *why = "",
                 std::source_location where = std::source_location::current()) {
  const ::testing::ScopedTrace trace(where.file_name(),
                                     static_cast<int>(where.line()), why);
  int got = kUntouched;
  EXPECT_EQ(orva_wait_for_managed_child(pid, &got, nonblock), result);
  EXPECT_EQ(got, code);
}

// Neither check reaps anything.
bool is_reaped(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info,
                WEXITED | WNOHANG | WNOWAIT) == -1 &&
         errno == ECHILD;
}

bool is_still_running(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info,
                WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

template <size_t N> void expect_reaped(const pid_t (&pids)[N]) {
  for (const pid_t pid : pids) {
    EXPECT_TRUE(is_reaped(pid)) << pid;
  }
}

void kill_and_reap(pid_t pid) {
  (void)kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

struct Ending {
  int exit_status; // or -1 when the child is killed instead
  int sig;
  int expected;
};

void PrintTo(const Ending &e, std::ostream *os) {
  if (e.exit_status >= 0) {
    *os << "exit " << e.exit_status;
  } else {
    *os << "signal " << e.sig;
  }
}

class MappedExitCode : public ::testing::TestWithParam<Ending> {};

TEST_P(MappedExitCode, ForTheManagedChild) {
  const Ending e = GetParam();
  for (const int nonblock : {0, 1}) {
    for (const bool any_child : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "nonblock " << nonblock
                                        << (any_child ? ", any child" : ""));
      in_forked_child([&] {
        pid_t pid = 0;
        if (e.exit_status >= 0) {
          pid = spawn_exiting(e.exit_status);
        } else {
          pid = spawn_running();
          ASSERT_EQ(kill(pid, e.sig), 0);
        }
        if (nonblock != 0) {
          await_exit(pid);
        }
        expect_wait(any_child ? -1 : pid, nonblock, 1, e.expected);
        EXPECT_TRUE(is_reaped(pid));
      });
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Statuses, MappedExitCode,
                         ::testing::Values(Ending{0, 0, 0}, Ending{3, 0, 3},
                                           Ending{255, 0, 255},
                                           Ending{-1, SIGKILL, 137},
                                           Ending{-1, SIGTERM, 143},
                                           Ending{-1, SIGUSR1, 138}));

TEST(WaitForManagedChild, SkipsOtherChildrenUntilTheManagedOneEnds) {
  in_forked_child([] {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t managed = spawn(
        [](int fd) {
          char byte = 0;
          (void)read(fd, &byte, 1);
          _exit(7);
        },
        go[0]);
    const pid_t others[] = {spawn_exited(1), spawn_exited(2)};
    expect_wait(managed, 1, 0, kUntouched);
    expect_reaped(others);
    EXPECT_TRUE(is_still_running(managed));

    ASSERT_EQ(write(go[1], "x", 1), 1);
    const pid_t late = spawn_exiting(4);
    await_exit(managed);
    await_exit(late);
    expect_wait(managed, 1, 1, 7);
    EXPECT_TRUE(is_reaped(managed));
    // The kernel decides whether the other one came first; if not, it is
    // left for a later call.
    if (!is_reaped(late)) {
      expect_wait(-1, 1, 1, 4);
    }
    expect_wait(managed, 1, 1, 0, "no child is left");
  });
}

// A signal that interrupts a blocking wait is no reason to give up on it.
TEST(WaitForManagedChild, BlockingWaitSkipsOtherChildrenAndRetriesOnEintr) {
  for (const int interrupt : {0, 1}) {
    SCOPED_TRACE(interrupt != 0 ? "interrupted" : "not interrupted");
    in_forked_child([interrupt] {
      struct sigaction action = {};
      action.sa_handler = [](int) {};
      sigemptyset(&action.sa_mask);
      action.sa_flags = 0; // no SA_RESTART: waitpid fails with EINTR
      ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
      const pid_t other = spawn_exited(1);
      const pid_t managed = spawn(napping_child, interrupt);
      expect_wait(managed, 0, 1, interrupt != 0 ? 5 : 9);
      EXPECT_TRUE(is_reaped(other));
      EXPECT_TRUE(is_reaped(managed));
    });
  }
}

TEST(WaitForManagedChild, NonblockWithNothingExitedLeavesTheCodeAlone) {
  for (const pid_t target : {pid_t{-1}, pid_t{0}, pid_t{1}}) {
    SCOPED_TRACE(::testing::Message() << "pid " << target);
    in_forked_child([target] {
      const pid_t running = spawn_running();
      expect_wait(target == 1 ? running : target, 1, 0, kUntouched);
      EXPECT_TRUE(is_still_running(running));
      kill_and_reap(running);
    });
  }
}

TEST(WaitForManagedChild, WithNoChildrenAtAll) {
  struct Case {
    pid_t pid;
    int result;
  };
  for (const int nonblock : {0, 1}) {
    for (const Case c : {Case{12345, 1}, Case{0, 1}, Case{-1, 0}}) {
      SCOPED_TRACE(::testing::Message()
                   << "pid " << c.pid << ", nonblock " << nonblock);
      in_forked_child([&] { expect_wait(c.pid, nonblock, c.result, 0); });
    }
  }
}

// pid 0 matches no child: everything is reaped and dropped, and only the
// end of all children ends the wait.
TEST(WaitForManagedChild, PidZeroMatchesNoChild) {
  in_forked_child([] {
    const pid_t exited[] = {spawn_exited(1), spawn_exited(2)};
    const pid_t running = spawn_running();
    expect_wait(0, 1, 0, kUntouched);
    expect_reaped(exited);
    ASSERT_EQ(kill(running, SIGTERM), 0);
    expect_wait(0, 0, 1, 0);
    EXPECT_TRUE(is_reaped(running));
  });
}

TEST(WaitForManagedChild, NullExitCodeReapsNothing) {
  for (const int nonblock : {0, 1}) {
    SCOPED_TRACE(::testing::Message() << "nonblock " << nonblock);
    in_forked_child([nonblock] {
      const pid_t pid = spawn_exited(3);
      errno = 0;
      EXPECT_EQ(orva_wait_for_managed_child(pid, nullptr, nonblock), -1);
      EXPECT_EQ(errno, EINVAL);
      int status = 0;
      EXPECT_EQ(waitpid(pid, &status, WNOHANG), pid) << "already reaped";
    });
  }
}

TEST(DrainZombies, ReapsTheExitedAndLeavesTheRunning) {
  in_forked_child(
      [] {
        const pid_t exited[] = {spawn_exited(0), spawn_exited(1),
                                spawn_exited(2)};
        const pid_t running = spawn_running();
        // A blocking wait would hang on the running child; the time limit
        // of the forked child catches that.
        orva_drain_zombies_nonblock();
        expect_reaped(exited);
        EXPECT_TRUE(is_still_running(running));
        kill_and_reap(running);
        orva_drain_zombies_nonblock(); // no children at all
      },
      std::chrono::seconds(10));
}

} // namespace
