// SPDX-License-Identifier: MIT
#include "pid1.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace orva_test {
namespace {

bool write_file(const char *path, const std::string &text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool ok =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// Enters a new PID namespace: directly as root, else inside a new user
// namespace that maps our own ids. Returns "" or why it failed.
std::string enter_pid_namespace() {
  if (unshare(CLONE_NEWPID) == 0) {
    return "";
  }
  const int root_errno = errno;
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) {
    return std::string("unshare(CLONE_NEWPID): ") + strerror(root_errno) +
           "; unshare(CLONE_NEWUSER|CLONE_NEWPID): " + strerror(errno);
  }
  (void)write_file("/proc/self/setgroups", "deny");
  if (!write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
      !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
    return "cannot map ids in a new user namespace";
  }
  return "";
}

void write_all(int fd, const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
}

bool read_all(int fd, void *data, size_t size) {
  char *p = static_cast<char *>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Sends process 1's pid, and a pidfd for it, which the test signals it
// through: only the helper reaps it, so the pid alone may name another
// process by the time the test uses it.
bool send_pid_and_pidfd(int socket, pid_t pid, int pidfd) {
  iovec data{&pid, sizeof pid};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof pidfd)] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr *header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof pidfd);
  memcpy(CMSG_DATA(header), &pidfd, sizeof pidfd);
  return sendmsg(socket, &message, MSG_NOSIGNAL) ==
         static_cast<ssize_t>(sizeof pid);
}

bool receive_pid_and_pidfd(int socket, pid_t &pid, int &pidfd) {
  iovec data{&pid, sizeof pid};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof pidfd)] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC)) < 0 &&
         errno == EINTR) {
  }
  const cmsghdr *header = CMSG_FIRSTHDR(&message);
  if (n != static_cast<ssize_t>(sizeof pid) || header == nullptr ||
      header->cmsg_type != SCM_RIGHTS) {
    return false;
  }
  memcpy(&pidfd, CMSG_DATA(header), sizeof pidfd);
  return true;
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

const std::string &pid_namespace_unavailable_reason() {
  static const std::string reason = [] {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      return std::string("pipe: ") + strerror(errno);
    }
    const pid_t probe = fork();
    if (probe == 0) {
      close(fds[0]);
      const std::string why = enter_pid_namespace();
      write_all(fds[1], why.data(), why.size());
      _exit(0);
    }
    close(fds[1]);
    std::string why;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
      why.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    (void)waitpid(probe, &status, 0);
    return why;
  }();
  return reason;
}

int Outcome::exit_code() const {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

Pid1::Pid1(std::function<int()> body) {
  int out[2];
  int err[2];
  int status[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, status) != 0) {
    perror("pipe2, socketpair");
    abort();
  }
  fflush(nullptr);
  helper_ = fork();
  if (helper_ < 0) {
    perror("fork");
    abort();
  }
  if (helper_ == 0) {
    // The helper only relays: process 1's pid, then its wait status.
    close(out[0]);
    close(err[0]);
    close(status[0]);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string why = enter_pid_namespace();
    if (!why.empty()) {
      write_all(err[1], why.data(), why.size());
      _exit(1);
    }
    const pid_t init = fork();
    if (init == 0) {
      // A test process may have left signals blocked or ignored; process 1
      // starts like a container's entrypoint, with neither.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL);
      }
      const int devnull = open("/dev/null", O_RDONLY);
      dup2(devnull, STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      close(devnull);
      _exit(body());
    }
    // The system call: Debian 12's <sys/pidfd.h> declares it for C alone.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, init, 0));
    if (pidfd < 0 || !send_pid_and_pidfd(status[1], init, pidfd)) {
      const std::string why = std::string("pidfd: ") + strerror(errno) + "\n";
      write_all(err[1], why.data(), why.size());
      (void)kill(init, SIGKILL); // not reaped yet: the pid is still its own
    }
    close(out[1]);
    close(err[1]);
    int raw = -1;
    while (waitpid(init, &raw, 0) < 0 && errno == EINTR) {
    }
    write_all(status[1], &raw, sizeof raw);
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  close(status[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  status_fd_ = status[0];
  if (!receive_pid_and_pidfd(status_fd_, pid_, pidfd_)) {
    pid_ = -1;
  }
}

Pid1::~Pid1() {
  if (helper_ > 0) {
    send(SIGKILL);
    kill(helper_, SIGKILL);
    int ignored;
    while (waitpid(helper_, &ignored, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {out_fd_, err_fd_, status_fd_, pidfd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void Pid1::send(int sig) const {
  if (pidfd_ >= 0) {
    (void)syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0);
  }
}

void read_pipes(int &out_fd, int &err_fd, std::string &out, std::string &err,
                int timeout_ms) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) <= 0) {
    return;
  }
  std::string *sinks[2] = {&out, &err};
  int *owners[2] = {&out_fd, &err_fd};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0 || fds[i].fd < 0) {
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
}

void Pid1::pump(int timeout_ms) {
  read_pipes(out_fd_, err_fd_, outcome_.out, outcome_.err, timeout_ms);
}

bool Pid1::wait_for_output(const std::string &text,
                           std::chrono::milliseconds limit) {
  return wait_for(outcome_.out, text, limit);
}

bool Pid1::wait_for_report(const std::string &text,
                           std::chrono::milliseconds limit) {
  return wait_for(outcome_.err, text, limit);
}

bool Pid1::wait_for(const std::string &stream, const std::string &text,
                    std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (stream.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (out_fd_ < 0 && err_fd_ < 0)) {
      return false;
    }
    pump(static_cast<int>(left.count()));
  }
  return true;
}

Outcome Pid1::wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // The pipes close when every process in the namespace is gone, which
  // happens at the latest when process 1 ends.
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome_.timed_out = true;
      send(SIGKILL);
      break;
    }
    pump(static_cast<int>(left.count()));
  }
  int raw = -1;
  if (read_all(status_fd_, &raw, sizeof raw)) {
    outcome_.status = raw;
  }
  int ignored;
  while (waitpid(helper_, &ignored, 0) < 0 && errno == EINTR) {
  }
  helper_ = -1;
  // Collect what was written before the end, without waiting for ever on
  // a descendant that escaped the kill.
  for (int round = 0; round < 50 && (out_fd_ >= 0 || err_fd_ >= 0); ++round) {
    pump(100);
  }
  return outcome_;
}

Outcome run_as_pid1(std::function<int()> body,
                    std::chrono::milliseconds limit) {
  Pid1 init(std::move(body));
  return init.wait(limit);
}

void say(const std::string &text) {
  write_all(STDOUT_FILENO, text.data(), text.size());
}

} // namespace orva_test
