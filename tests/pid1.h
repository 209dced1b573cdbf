// SPDX-License-Identifier: MIT
// Runs a piece of a test as process 1 of a new PID namespace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace orva_test {

// Why process-1 scenarios cannot run here, or "" when they can. Probed once.
const std::string &pid_namespace_unavailable_reason();

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

// Process-1 scenarios need a new PID namespace.
#define ORVA_REQUIRE_PID_NAMESPACE()                                           \
  ORVA_REQUIRE(::orva_test::pid_namespace_unavailable_reason(),                \
               "process-1 tests")

bool pid1_required();

// Whether ORVA_TEST_LAUNCHER=static asks for the tests to run over the
// static launcher (and, in containers, a root of static files alone).
bool static_launcher_wanted();

struct Outcome {
  int status = -1;        // raw wait status of process 1; -1 if it never ended
  bool timed_out = false; // the namespace was killed at the deadline
  std::string out;        // everything process 1 and its children wrote
  std::string err;

  // The exit code process 1 ended with, or 128 + n when signal n killed it.
  int exit_code() const;
};

// Process 1 of a fresh PID namespace running `body` and ending with its
// result (through _exit, so nothing of the test binary runs after it).
// stdout and stderr of the namespace are captured; stdin is /dev/null.
class Pid1 {
public:
  explicit Pid1(std::function<int()> body);
  ~Pid1();
  Pid1(const Pid1 &) = delete;
  Pid1 &operator=(const Pid1 &) = delete;

  // Process 1's pid as seen from the test, to look at it; signals go
  // through send(), which cannot reach another process that took the pid.
  pid_t pid() const { return pid_; }
  void send(int sig) const;

  // Waits for process 1 to end; after `limit` the namespace is killed and
  // the outcome says timed_out.
  Outcome wait(std::chrono::milliseconds limit = std::chrono::seconds(20));

  // Reads process 1's stdout until `text` has appeared (or the limit passes).
  // Lets a test wait for the child to be ready before it sends a signal.
  bool
  wait_for_output(const std::string &text,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));
  // What process 1 has written to stdout so far.
  const std::string &output() const { return outcome_.out; }

  // The same for stderr, where process 1 reports.
  bool
  wait_for_report(const std::string &text,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
  void pump(int timeout_ms);
  bool wait_for(const std::string &stream, const std::string &text,
                std::chrono::milliseconds limit);
  pid_t helper_ = -1;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int status_fd_ = -1;
  int pidfd_ = -1;
  Outcome outcome_;
};

// Convenience: run `body` as process 1 and wait for it.
Outcome run_as_pid1(std::function<int()> body,
                    std::chrono::milliseconds limit = std::chrono::seconds(20));

// Waits up to timeout_ms for output on a child's stdout and stderr pipes and
// appends what is ready to `out` and `err`. A pipe that reaches end-of-file
// is closed and its descriptor set to -1.
void read_pipes(int &out_fd, int &err_fd, std::string &out, std::string &err,
                int timeout_ms);

// Writes all of `text` to stdout with write(2): safe in any child, unbuffered.
void say(const std::string &text);

} // namespace orva_test
