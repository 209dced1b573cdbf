// SPDX-License-Identifier: MIT
// orva_run outside process 1: a plain call of submain.
#include "harness.h"
#include "orva.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using orva_test::current_mask;
using orva_test::in_forked_child;
using orva_test::same_mask;

// What submain saw; a plain function pointer cannot capture.
struct Seen {
  int calls = 0;
  int argc = 0;
  char **argv = nullptr;
  pid_t pid = 0;
  sigset_t mask{};
};
Seen seen;
int result_to_return = 0;

int recording_main(int argc, char **argv) {
  ++seen.calls;
  seen.argc = argc;
  seen.argv = argv;
  seen.pid = getpid();
  seen.mask = current_mask();
  return result_to_return;
}

class Run : public orva_test::KeepsSignalMask {};

TEST_F(Run, IsAPlainCallOfSubmain) {
  char arg0[] = "prog";
  char arg1[] = "--flag";
  char *argv[] = {arg0, arg1, nullptr};
  struct Case {
    int argc;
    char **argv;
    int result;
  };
  for (const Case c :
       {Case{2, argv, 0}, Case{2, argv, 3}, Case{1, argv, 255},
        Case{0, nullptr, -1}, Case{7, argv, 1000}, Case{0, nullptr, INT_MIN}}) {
    SCOPED_TRACE(::testing::Message()
                 << "argc " << c.argc << ", result " << c.result);
    in_forked_child([&] {
      // An invalid setting must not even be looked at here.
      setenv("ORVA_STOP_TIMEOUT", "abc", 1);
      sigset_t usr2;
      sigemptyset(&usr2);
      sigaddset(&usr2, SIGUSR2);
      ASSERT_EQ(sigprocmask(SIG_BLOCK, &usr2, nullptr), 0);
      const sigset_t before = current_mask();
      result_to_return = c.result;

      testing::internal::CaptureStderr();
      const int rc = orva_run(recording_main, c.argc, c.argv);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

      EXPECT_EQ(rc, c.result);
      EXPECT_EQ(seen.calls, 1);
      EXPECT_EQ(seen.argc, c.argc);
      EXPECT_EQ(seen.argv, c.argv);
      EXPECT_EQ(seen.pid, getpid()) << "submain ran in another process";
      int status = 0;
      EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
      EXPECT_EQ(errno, ECHILD) << "a child was left behind";
      EXPECT_TRUE(same_mask(seen.mask, before)) << "mask inside submain";
      EXPECT_TRUE(same_mask(current_mask(), before)) << "mask afterwards";
    });
  }
}

// ORVA_SUBREAPER makes it supervise here too, with every other setting
// read; what it asked of the kernel for this process is given back, and
// nothing is left below it: a daemon the program started in a session of
// its own has been killed and reaped by the time orva_run returns.
TEST_F(Run, SubreaperSupervisesAndGivesBackWhatItChanged) {
  in_forked_child([] {
    setenv("ORVA_SUBREAPER", "1", 1);
    setenv("ORVA_EXIT_MAP", "3=4", 1);
    setenv("ORVA_PARENT_DEATH_SIGNAL", "TERM", 1);
    const sigset_t before = current_mask();
    result_to_return = 3;
    seen.pid = getpid();
    // submain runs in another process, which tells so by its exit code
    // alone and must not go on with the test.
    const int rc = orva_run(
        [](int, char **) -> int {
          if (fork() == 0) {
            (void)setsid();
            for (;;) {
              pause();
            }
          }
          _exit(getpid() != seen.pid ? result_to_return : 1);
        },
        0, nullptr);
    EXPECT_EQ(rc, 4);
    int attribute = -1;
    EXPECT_EQ(prctl(PR_GET_CHILD_SUBREAPER, &attribute), 0);
    EXPECT_EQ(attribute, 0);
    EXPECT_EQ(prctl(PR_GET_PDEATHSIG, &attribute), 0);
    EXPECT_EQ(attribute, 0);
    EXPECT_TRUE(same_mask(current_mask(), before)) << "mask afterwards";
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  });
}

TEST_F(Run, NullSubmainIsRefused) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(orva_run(nullptr, 0, nullptr), 64);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orva: submain must not be NULL\n");
}

} // namespace
