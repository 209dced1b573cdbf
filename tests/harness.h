// SPDX-License-Identifier: MIT
// How every test starts a process, waits for it with a limit and reads how
// it ended: a plain child, or process 1 of a new PID namespace. A runtime
// or an engine is a plain child running its command line.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <source_location>
#include <string>
#include <vector>

namespace orva_test {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Why process-1 scenarios cannot run here, or "" when they can. Probed once.
const std::string &pid_namespace_unavailable_reason();

// Whether ORVA_REQUIRE_PID1 asks for a failure where a test would skip.
bool pid1_required();

// Whether ORVA_TEST_LAUNCHER=static asks for the tests to run over the
// static launcher (and, in containers, a root of static files alone).
bool static_launcher_wanted();

// Skips the current test when `why` (an expression giving the reason) is
// not empty, or fails it when ORVA_REQUIRE_PID1 is set (CI must not pass on
// a skip); `what` names the tests in the failure.
#define ORVA_REQUIRE(why, what)                                                \
  do {                                                                         \
    const std::string orva_why_ = (why);                                       \
    if (!orva_why_.empty()) {                                                  \
      if (::orva_test::pid1_required()) {                                      \
        FAIL() << what " are required: " << orva_why_;                         \
      }                                                                        \
      GTEST_SKIP() << orva_why_;                                               \
    }                                                                          \
  } while (0)

#define ORVA_REQUIRE_PID_NAMESPACE()                                           \
  ORVA_REQUIRE(::orva_test::pid_namespace_unavailable_reason(),                \
               "process-1 tests")

struct Result {
  int exit_code = -1;     // exit status, 128 + n when killed by signal n
  bool timed_out = false; // it, or its output, outlasted the limit
  std::string out;        // all it and its descendants wrote
  std::string err;
  milliseconds elapsed{0}; // from its start to its end
};

// How a process starts. Stdin is /dev/null and stdout and stderr are
// captured unless said otherwise.
struct Start {
  bool pid1 = false;              // process 1 of a new PID namespace
  std::vector<std::string> env{}; // NAME=VALUE each, added to its environment
  bool clean_env = false;         // ... or making up the whole of it
  bool input = false;             // stdin a pipe that write() feeds
  int fd3 = -1;                   // handed to it as descriptor 3
  std::string out_file{};         // stdout to this file, not captured
  bool err_too = false;           // stderr where stdout goes
  bool inherit = false;           // the caller's stdio, nothing captured
  int death_signal = SIGKILL;     // what it gets should the test end first
};

// A process of the test's, starting as a container's entrypoint does, with
// no signal blocked or ignored. It is killed and reaped at the end of its
// scope if it is still running.
class Process {
public:
  // Runs `body` and ends with its result, through _exit, so that nothing
  // of the test binary runs after it.
  Process(const std::function<int()> &body, const Start &how = {});
  // Runs the program in `argv`, looked up in PATH.
  explicit Process(const std::vector<std::string> &argv, const Start &how = {});
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  // Its pid as seen from the test, to look at it; signals go through
  // send(), by a pidfd, which never reaches another process that took the
  // pid once this one is reaped.
  pid_t pid() const { return pid_; }
  void send(int sig) const;

  // Writes `text` to its stdin pipe; false when it cannot.
  bool write(const std::string &text);
  bool running();

  // Reads its output until `text` has appeared on stdout (or on stderr,
  // for a report), or the limit has passed.
  bool wait_for(const std::string &text, milliseconds limit = 10s);
  bool wait_for_report(const std::string &text, milliseconds limit = 10s);
  // The first whole line of stdout that begins with `prefix`, without its
  // newline; "" when none has come within the limit.
  std::string wait_for_line(const std::string &prefix,
                            milliseconds limit = 10s);
  const std::string &out() const { return result_.out; }

  // Waits for its end and the end of its output; at the limit it is
  // killed (process 1 with its whole namespace) and the result says
  // timed_out.
  Result wait(milliseconds limit = 20s);

private:
  bool wait_until(const std::function<bool()> &done, milliseconds limit);
  void pump(int timeout_ms);
  bool reap(int options);
  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int in_fd_ = -1;
  std::chrono::steady_clock::time_point start_;
  Result result_;
};

inline Result run(const std::vector<std::string> &argv,
                  milliseconds limit = 20s) {
  return Process(argv).wait(limit);
}

inline Result run_as_pid1(const std::function<int()> &body,
                          milliseconds limit = 20s) {
  return Process(body, {.pid1 = true}).wait(limit);
}

// Runs `body` in a plain child, so that the children it makes and the
// waits it does cannot meet another test's, and a hang is cut off at
// `limit`; its gtest failures fail the current test at the caller's line.
void in_forked_child(
    const std::function<void()> &body, milliseconds limit = 20s,
    std::source_location where = std::source_location::current());

sigset_t current_mask();
bool same_mask(const sigset_t &a, const sigset_t &b);

// The library promises to leave the caller's mask as it found it; a test
// that leaks a change fails here rather than confusing the next one.
class KeepsSignalMask : public ::testing::Test {
protected:
  void SetUp() override { before_ = current_mask(); }
  void TearDown() override {
    EXPECT_TRUE(same_mask(before_, current_mask()))
        << "the signal mask was changed";
  }

private:
  sigset_t before_{};
};

// Writes all of `text` to stdout with write(2): safe in any child, unbuffered.
void say(const std::string &text);

// Whether `text` has `line` as one of its whole lines.
bool has_line(const std::string &text, const std::string &line);
std::vector<std::string> lines_of(const std::string &text);
// The words of `text`, as white space parts them.
std::vector<std::string> words(const std::string &text);
std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string> &then);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool on_path(const std::string &program);

} // namespace orva_test
