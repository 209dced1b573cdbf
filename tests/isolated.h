// SPDX-License-Identifier: MIT
// Helpers for tests that run as plain processes: a forked child per
// scenario, a check on the signal mask, and a capture of descriptor 2.
#pragma once

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <source_location>
#include <string>

namespace orva_test {

inline bool same_mask(const sigset_t &a, const sigset_t &b) {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&a, sig) != sigismember(&b, sig)) {
      return false;
    }
  }
  return true;
}

inline sigset_t current_mask() {
  sigset_t mask;
  sigemptyset(&mask);
  (void)sigprocmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

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

// Runs `body` in a forked child so that the children it makes and the
// waits it does cannot meet another test's, and a hang is cut off at
// `limit`. gtest failures inside are printed by the child and come back
// as its exit status.
inline ::testing::AssertionResult
run_in_forked_child(const std::function<void()> &body,
                    std::chrono::milliseconds limit) {
  (void)fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    return ::testing::AssertionFailure() << "fork: " << strerror(errno);
  }
  if (pid == 0) {
    body();
    (void)fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      break;
    }
    if (done < 0 && errno != EINTR) {
      return ::testing::AssertionFailure() << "waitpid: " << strerror(errno);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      (void)kill(pid, SIGKILL);
      (void)waitpid(pid, &status, 0);
      return ::testing::AssertionFailure()
             << "timed out after " << limit.count() << " ms";
    }
    const timespec tick{0, 5'000'000};
    (void)nanosleep(&tick, nullptr);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return ::testing::AssertionSuccess();
  }
  if (WIFSIGNALED(status)) {
    return ::testing::AssertionFailure()
           << "the test child died of signal " << WTERMSIG(status);
  }
  return ::testing::AssertionFailure() << "failures in the test child";
}

// The same, failing the current test at the caller's line.
inline void
in_forked_child(const std::function<void()> &body,
                std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::source_location where = std::source_location::current()) {
  const ::testing::AssertionResult result = run_in_forked_child(body, limit);
  if (!result) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << result.message();
  }
}

// Collects what is written to descriptor 2 while it lives.
class StderrCapture {
public:
  StderrCapture() {
    (void)fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(STDERR_FILENO);
    if (file_ != nullptr && saved_ >= 0) {
      (void)dup2(fileno(file_), STDERR_FILENO);
    }
  }
  ~StderrCapture() { stop(); }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;
  StderrCapture(StderrCapture &&) = delete;
  StderrCapture &operator=(StderrCapture &&) = delete;

  // Restores descriptor 2 and returns everything written to it.
  std::string stop() {
    if (saved_ >= 0) {
      (void)fflush(stderr);
      (void)dup2(saved_, STDERR_FILENO);
      (void)close(saved_);
      saved_ = -1;
    }
    if (file_ != nullptr) {
      rewind(file_);
      char buf[512];
      size_t n = 0;
      while ((n = fread(buf, 1, sizeof buf, file_)) > 0) {
        text_.append(buf, n);
      }
      (void)fclose(file_);
      file_ = nullptr;
    }
    return text_;
  }

private:
  FILE *file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

} // namespace orva_test
