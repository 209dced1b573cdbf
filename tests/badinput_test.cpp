// SPDX-License-Identifier: MIT
// Hostile input: stop timeouts that are no durations at all, and programs
// that orva-init cannot run.
#include "orva.h"
#include "pid1.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using orva_test::Outcome;
using orva_test::run_as_pid1;

const std::string kMiB(1 << 20, '9');

std::string invalid_line(const std::string &shown) {
  return "orva: invalid ORVA_STOP_TIMEOUT=" + shown + ", using default 30s\n";
}

struct Setting {
  const char *what;
  std::string value;
  std::string err; // "" when the value is accepted
  time_t seconds;
};

// Control characters are shown escaped so that the message stays one line
// and cannot drive a terminal; other bytes, valid UTF-8 or not, are kept.
const std::vector<Setting> kSettings = {
    {"newline", "5\n", invalid_line("5\\x0a"), 30},
    {"line break inside", "5\nforged", invalid_line("5\\x0aforged"), 30},
    {"escape sequence", "\x1b[2J5", invalid_line("\\x1b[2J5"), 30},
    {"carriage return", "1\r2", invalid_line("1\\x0d2"), 30},
    {"delete", "\x7f", invalid_line("\\x7f"), 30},
    {"control after unit", "5s\x01", invalid_line("5s\\x01"), 30},
    {"leading tab (white space before a number)", "\t5", "", 5},
    {"invalid UTF-8", "\xff\xfe", invalid_line("\xff\xfe"), 30},
    {"truncated UTF-8", "5\xc3", invalid_line("5\xc3"), 30},
    {"1 MiB number", kMiB, invalid_line(kMiB), 30},
    {"1 MiB of letters", std::string(1 << 20, 'x'),
     invalid_line(std::string(1 << 20, 'x')), 30},
    {"1 MiB of valid components",
     [] {
       std::string s;
       for (int i = 0; i < (1 << 19); ++i) {
         s += "1m";
       }
       return s;
     }(),
     "", time_t{60} << 19},
};

class BadSetting : public testing::Test {
protected:
  void TearDown() override { unsetenv("ORVA_STOP_TIMEOUT"); }
};

TEST_F(BadSetting, GivesOneLineAndTheDefault) {
  for (const Setting &s : kSettings) {
    SCOPED_TRACE(s.what);
    ASSERT_EQ(setenv("ORVA_STOP_TIMEOUT", s.value.c_str(), 1), 0);
    timespec out{-1, -1};
    testing::internal::CaptureStderr();
    const int result = orva_load_stop_timeout(&out);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.tv_sec, s.seconds);
    EXPECT_EQ(out.tv_nsec, 0);
    EXPECT_TRUE(err == s.err) << err.substr(0, 200);
  }
}

// The same as process 1: the line comes once and the supervision goes on.
TEST_F(BadSetting, DoesNotStopTheSupervisor) {
  ORVA_REQUIRE_PID_NAMESPACE();
  for (const Setting &s : kSettings) {
    SCOPED_TRACE(s.what);
    const std::string value = s.value;
    const Outcome o = run_as_pid1([value] {
      setenv("ORVA_STOP_TIMEOUT", value.c_str(), 1);
      return orva_run([](int, char **) { return 9; }, 0, nullptr);
    });
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code(), 9);
    EXPECT_TRUE(o.err == s.err) << o.err.substr(0, 200);
  }
}

class TempDir {
public:
  TempDir() {
    char name[] = "/tmp/orva-badinput-XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempDir() {
    for (const std::string &file : files_) {
      unlink(file.c_str());
    }
    rmdir(path_.c_str());
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }

  std::string file(const std::string &name, const std::string &text,
                   mode_t mode) {
    const std::string full = path_ + "/" + name;
    const int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd >= 0) {
      (void)!write(fd, text.data(), text.size());
      close(fd);
    }
    chmod(full.c_str(), mode);
    files_.push_back(full);
    return full;
  }

private:
  std::string path_;
  std::vector<std::string> files_;
};

// Runs orva-init with `args` in a PID namespace: as process 1 itself, or as
// a child of a plain process 1, so that both of its modes are covered.
Outcome launch(std::vector<std::string> args, bool as_pid1,
               const std::string &path_env = "") {
  args.insert(args.begin(), ORVA_INIT_PATH);
  return run_as_pid1([args, as_pid1, path_env]() mutable {
    if (!path_env.empty()) {
      setenv("PATH", path_env.c_str(), 1);
    }
    std::vector<char *> argv;
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t child = as_pid1 ? 0 : fork();
    if (child == 0) {
      execv(argv[0], argv.data());
      _exit(200);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  });
}

TEST(BadProgram, GivesItsMessageAndExitCode) {
  ORVA_REQUIRE_PID_NAMESPACE();
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string plain = dir.file("plain", "#!/bin/sh\nexit 0\n", 0644);
  const std::string denied = strerror(EACCES);
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string path_env;
    int code;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"empty name",
       {""},
       "",
       127,
       std::string("orva-init: : ") + strerror(ENOENT) + "\n"},
      {"empty name after --",
       {"--", ""},
       "",
       127,
       std::string("orva-init: : ") + strerror(ENOENT) + "\n"},
      {"directory",
       {dir.path()},
       "",
       126,
       "orva-init: " + dir.path() + ": " + denied + "\n"},
      {"file without execute permission",
       {plain, "arg"},
       "",
       126,
       "orva-init: " + plain + ": " + denied + "\n"},
      {"same, found through PATH",
       {"plain"},
       dir.path(),
       126,
       "orva-init: plain: " + denied + "\n"},
  };
  for (const Case &c : cases) {
    for (const bool as_pid1 : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (as_pid1 ? ", process 1" : ""));
      const Outcome o = launch(c.args, as_pid1, c.path_env);
      EXPECT_FALSE(o.timed_out);
      EXPECT_EQ(o.exit_code(), c.code);
      EXPECT_EQ(o.err, c.err);
    }
  }
}

} // namespace
