// SPDX-License-Identifier: MIT
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace orva_test {
namespace {

using Clock = std::chrono::steady_clock;

long long ms_until(Clock::time_point deadline) {
  return std::chrono::duration_cast<milliseconds>(deadline - Clock::now())
      .count();
}

bool write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// One write(2), as the id maps of a user namespace take nothing else.
bool write_once(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) ==
                                 static_cast<ssize_t>(text.size());
  if (fd >= 0) {
    close(fd);
  }
  return ok;
}

// A child in a new PID namespace, and in a new user namespace mapping our
// own ids when `user`: those are written from here before the child goes
// on. No C library call forks into new namespaces, so this is clone(2)
// itself, which copies the process as fork does and goes on on the same
// stack; the fork handlers it skips have nothing to do in a test that
// runs no threads. -1 and `why` on failure.
pid_t clone_pid1(bool user, std::string &why) {
  int sync[2];
  if (pipe2(sync, O_CLOEXEC) != 0) {
    why = std::string("pipe2: ") + strerror(errno);
    return -1;
  }
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  const long pid =
      syscall(SYS_clone, CLONE_NEWPID | (user ? CLONE_NEWUSER : 0) | SIGCHLD,
              nullptr, nullptr, nullptr, nullptr);
  if (pid == 0) {
    close(sync[1]);
    char byte = 0;
    while (read(sync[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(sync[0]);
    return 0;
  }
  const int error = errno;
  close(sync[0]);
  if (pid > 0 && user) {
    const std::string proc = "/proc/" + std::to_string(pid);
    (void)write_once(proc + "/setgroups", "deny");
    if (!write_once(proc + "/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !write_once(proc + "/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
      why = "cannot map ids in a new user namespace";
      (void)kill(static_cast<pid_t>(pid), SIGKILL); // not reaped: still ours
      (void)waitpid(static_cast<pid_t>(pid), nullptr, 0);
      close(sync[1]);
      return -1;
    }
  }
  close(sync[1]);
  if (pid < 0) {
    why = strerror(error);
  }
  return static_cast<pid_t>(pid);
}

// Whether process 1 needs a user namespace of its own, or why no way works.
struct Way {
  bool user = false;
  std::string why;
};

const Way &pid1_way() {
  static const Way way = [] {
    std::string root_why;
    std::string user_why;
    for (const bool user : {false, true}) {
      const pid_t pid = clone_pid1(user, user ? user_why : root_why);
      if (pid == 0) {
        _exit(0);
      }
      if (pid > 0) {
        (void)waitpid(pid, nullptr, 0);
        return Way{user, ""};
      }
    }
    return Way{false, "clone(CLONE_NEWPID): " + root_why +
                          "; clone(CLONE_NEWUSER|CLONE_NEWPID): " + user_why};
  }();
  return way;
}

void put(int fd, int target) {
  if (fd >= 0 && fd != target) {
    (void)dup2(fd, target);
  }
}

// The child's side of the start, before its body runs.
void set_up_child(const Start &how, const int (&in)[2], const int (&out)[2],
                  const int (&err)[2]) {
  if (how.death_signal != 0) {
    (void)prctl(PR_SET_PDEATHSIG, how.death_signal);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    (void)signal(sig, SIG_DFL);
  }
  if (!how.inherit) {
    put(how.input ? in[0] : open("/dev/null", O_RDONLY | O_CLOEXEC),
        STDIN_FILENO);
  }
  put(how.out_file.empty()
          ? out[1]
          : open(how.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                 0644),
      STDOUT_FILENO);
  put(how.err_too ? STDOUT_FILENO : err[1], STDERR_FILENO);
  for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    if (fd > STDERR_FILENO) {
      close(fd);
    }
  }
  if (how.fd3 == 3 ? fcntl(3, F_SETFD, 0) < 0
                   : how.fd3 >= 0 && dup2(how.fd3, 3) < 0) {
    _exit(126);
  }
  // Under one number alone: a copy under another would outlive its close.
  if (how.fd3 > 3) {
    close(how.fd3);
  }
  if (how.clean_env) {
    (void)clearenv();
  }
  for (const std::string &setting : how.env) {
    const size_t eq = setting.find('=');
    (void)setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(),
                 1);
  }
}

int code_of(int status) {
  return WIFEXITED(status)     ? WEXITSTATUS(status)
         : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                               : -1;
}

} // namespace

bool pid1_required() {
  const char *value = getenv("ORVA_REQUIRE_PID1");
  return value != nullptr && *value != '\0' && strcmp(value, "0") != 0;
}

bool static_launcher_wanted() {
  const char *which = getenv("ORVA_TEST_LAUNCHER");
  return which != nullptr && strcmp(which, "static") == 0;
}

const std::string &pid_namespace_unavailable_reason() { return pid1_way().why; }

Process::Process(const std::function<int()> &body, const Start &how)
    : start_(Clock::now()) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  const bool capture = !how.inherit;
  if ((how.input && pipe2(in, O_CLOEXEC) != 0) ||
      (capture && how.out_file.empty() && pipe2(out, O_CLOEXEC) != 0) ||
      (capture && !how.err_too && pipe2(err, O_CLOEXEC) != 0)) {
    perror("pipe2");
    abort();
  }
  (void)fflush(nullptr);
  std::string why;
  pid_ = how.pid1 ? clone_pid1(pid1_way().user, why) : fork();
  if (pid_ < 0) {
    fprintf(stderr, "cannot start a process: %s\n",
            how.pid1 ? why.c_str() : strerror(errno));
    abort();
  }
  if (pid_ == 0) {
    set_up_child(how, in, out, err);
    const int code = body();
    (void)fflush(nullptr);
    _exit(code);
  }
  for (const int fd : {in[0], out[1], err[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  in_fd_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  // The system call: Debian 12's <sys/pidfd.h> declares it for C alone.
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd_ < 0) {
    perror("pidfd_open");
    abort();
  }
}

Process::Process(const std::vector<std::string> &argv, const Start &how)
    : Process(
          [argv]() -> int {
            std::vector<char *> args;
            for (const std::string &arg : argv) {
              args.push_back(const_cast<char *>(arg.c_str()));
            }
            args.push_back(nullptr);
            execvp(args[0], args.data());
            dprintf(STDERR_FILENO, "exec %s: %s\n", args[0], strerror(errno));
            return 127;
          },
          how) {}

Process::~Process() {
  if (!reaped_) {
    send(SIGKILL);
    (void)reap(0);
  }
  for (const int fd : {pidfd_, out_fd_, err_fd_, in_fd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void Process::send(int sig) const {
  (void)syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0);
}

bool Process::write(const std::string &text) {
  // A child that has gone shows as a failed write, not as the test's end.
  (void)signal(SIGPIPE, SIG_IGN);
  return in_fd_ >= 0 && write_all(in_fd_, text);
}

bool Process::running() { return !reap(WNOHANG); }

bool Process::reap(int options) {
  int status = 0;
  pid_t got = 0;
  while (!reaped_ && (got = waitpid(pid_, &status, options)) < 0 &&
         errno == EINTR) {
  }
  if (!reaped_ && got != 0) {
    reaped_ = true;
    result_.exit_code = got == pid_ ? code_of(status) : -1;
    result_.elapsed =
        std::chrono::duration_cast<milliseconds>(Clock::now() - start_);
  }
  return reaped_;
}

// Waits up to timeout_ms for output or the end, and takes what is ready.
// A pipe that reaches end-of-file is closed and its descriptor set to -1.
void Process::pump(int timeout_ms) {
  pollfd fds[3] = {{out_fd_, POLLIN, 0},
                   {err_fd_, POLLIN, 0},
                   {reaped_ ? -1 : pidfd_, POLLIN, 0}};
  if (poll(fds, 3, timeout_ms) <= 0) {
    return;
  }
  std::string *sinks[2] = {&result_.out, &result_.err};
  int *owners[2] = {&out_fd_, &err_fd_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) {
      continue;
    }
    char buf[4096];
    const ssize_t n = read(fds[i].fd, buf, sizeof buf);
    if (n > 0) {
      sinks[i]->append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(*owners[i]);
      *owners[i] = -1;
    }
  }
  if (fds[2].revents != 0) {
    (void)reap(WNOHANG);
  }
}

bool Process::wait_until(const std::function<bool()> &done,
                         milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    const long long left = ms_until(deadline);
    if (left <= 0 || (out_fd_ < 0 && err_fd_ < 0)) {
      return false;
    }
    pump(static_cast<int>(left));
  }
  return true;
}

bool Process::wait_for(const std::string &text, milliseconds limit) {
  return wait_until([&] { return result_.out.find(text) != std::string::npos; },
                    limit);
}

bool Process::wait_for_report(const std::string &text, milliseconds limit) {
  return wait_until([&] { return result_.err.find(text) != std::string::npos; },
                    limit);
}

std::string Process::wait_for_line(const std::string &prefix,
                                   milliseconds limit) {
  std::string line;
  (void)wait_until(
      [&] {
        const std::string &out = result_.out;
        for (size_t at = 0, end = 0;
             (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
          if (out.compare(at, prefix.size(), prefix) == 0) {
            line = out.substr(at, end - at);
            return true;
          }
        }
        return false;
      },
      limit);
  return line;
}

Result Process::wait(milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!reap(WNOHANG) || out_fd_ >= 0 || err_fd_ >= 0) {
    const long long left = ms_until(deadline);
    if (left <= 0) {
      result_.timed_out = true;
      send(SIGKILL);
      (void)reap(0);
      break;
    }
    pump(static_cast<int>(left));
  }
  // What was written before the end, without waiting for ever on a
  // descendant that escaped the kill.
  for (int round = 0; round < 50 && (out_fd_ >= 0 || err_fd_ >= 0); ++round) {
    pump(100);
  }
  return result_;
}

void in_forked_child(const std::function<void()> &body, milliseconds limit,
                     std::source_location where) {
  // No parent-death signal: a test in it may look for none.
  Process child(
      [&body] {
        body();
        return ::testing::Test::HasFailure() ? 1 : 0;
      },
      {.death_signal = 0});
  const Result r = child.wait(limit);
  if (r.timed_out || r.exit_code != 0) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << (r.timed_out
                ? "timed out after " + std::to_string(limit.count()) + " ms"
                : "the test child ended with " + std::to_string(r.exit_code))
        << ":\n"
        << r.out << r.err;
  }
}

sigset_t current_mask() {
  sigset_t mask;
  sigemptyset(&mask);
  (void)sigprocmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

bool same_mask(const sigset_t &a, const sigset_t &b) {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&a, sig) != sigismember(&b, sig)) {
      return false;
    }
  }
  return true;
}

void say(const std::string &text) { (void)write_all(STDOUT_FILENO, text); }

bool has_line(const std::string &text, const std::string &line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) {
    out.push_back(word);
  }
  return out;
}

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string> &then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::trunc) << text;
}

bool on_path(const std::string &program) {
  const char *path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/sbin:/usr/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

} // namespace orva_test
