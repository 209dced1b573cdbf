// SPDX-License-Identifier: MIT
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char **environ;

namespace bench {
namespace {

constexpr size_t kCloneStack = size_t{1} << 20;

std::string read_file(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return "";
  }
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

long status_field(const std::string &status, const char *name) {
  const std::string key = std::string("\n") + name + ":";
  const size_t at = status.find(key);
  if (at == std::string::npos) {
    return -1;
  }
  return strtol(status.c_str() + at + key.size(), nullptr, 10);
}

// A process 1 must not outlive the driver: a namespace left behind would
// keep its orphans and skew the next run.
void prepare_child(bool own_session) {
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (own_session) {
    (void)setsid();
  }
  const int devnull = open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    (void)dup2(devnull, STDIN_FILENO);
    (void)dup2(devnull, STDOUT_FILENO);
    close(devnull);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

int pid1_trampoline(void *arg) {
  prepare_child(true);
  _exit((*static_cast<const std::function<int()> *>(arg))());
}

pid_t spawn_tool(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  pid_t pid = -1;
  const int error =
      posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

bool on_path(const char *program) {
  const char *path = getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (access((dir + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

bool tracer_attached(pid_t pid) {
  return status_field(read_file("/proc/" + std::to_string(pid) + "/status"),
                      "TracerPid") > 0;
}

} // namespace

std::map<std::string, long> parse_perf_counts(const std::string &text) {
  std::map<std::string, long> calls;
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::vector<std::string> fields;
    std::stringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, ',')) {
      fields.push_back(cell);
    }
    // "<not counted>" and "<not supported>" say nothing about the calls.
    if (fields.size() < 3 || fields[0].empty() ||
        isdigit(static_cast<unsigned char>(fields[0][0])) == 0) {
      continue;
    }
    std::string event = fields[2];
    const size_t colon = event.find(':');
    if (colon != std::string::npos) {
      event = event.substr(colon + 1);
    }
    if (event == "sys_enter") {
      event = "total";
    } else if (event.rfind("sys_enter_", 0) == 0) {
      event = event.substr(10);
    }
    calls[event] = strtol(fields[0].c_str(), nullptr, 10);
  }
  return calls;
}

// Rows are "% time, seconds, usecs/call, calls, [errors], name". The
// total row is summed here instead: not every strace fills its usecs/call.
std::map<std::string, long> parse_strace_counts(const std::string &text) {
  std::map<std::string, long> calls;
  long total = 0;
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> words;
    std::stringstream cells(line);
    std::string word;
    while (cells >> word) {
      words.push_back(word);
    }
    if (words.size() < 5 || words.back() == "total" ||
        isdigit(static_cast<unsigned char>(words[0][0])) == 0) {
      continue;
    }
    const long count = strtol(words[3].c_str(), nullptr, 10);
    calls[words.back()] = count;
    total += count;
  }
  if (!calls.empty()) {
    calls["total"] = total;
  }
  return calls;
}

int64_t now_ns() {
  timespec ts{};
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void fail(const std::string &what) {
  const int error = errno;
  fprintf(stderr, "orva-bench: %s%s%s\n", what.c_str(), error != 0 ? ": " : "",
          error != 0 ? strerror(error) : "");
  exit(1);
}

void check(bool ok, const std::string &what) {
  if (!ok) {
    fail(what);
  }
}

Summary summarize(std::vector<double> values) {
  Summary summary;
  summary.count = values.size();
  if (values.empty()) {
    return summary;
  }
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  summary.median =
      n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  // Nearest rank: with fewer than 100 samples this is the largest.
  const auto rank =
      static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
  summary.p99 = values[std::max<size_t>(rank, 1) - 1];
  return summary;
}

void *map_shared_bytes(size_t size) {
  void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  check(memory != MAP_FAILED, "mmap");
  return memory;
}

pid_t spawn_pid1(const std::function<int()> &body) {
  void *stack = mmap(nullptr, kCloneStack, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  check(stack != MAP_FAILED, "mmap");
  (void)fflush(nullptr);
  // Without CLONE_VM the child runs on its own copy of the stack, so ours
  // can go at once.
  const pid_t pid =
      clone(pid1_trampoline, static_cast<char *>(stack) + kCloneStack,
            CLONE_NEWPID | SIGCHLD, const_cast<std::function<int()> *>(&body));
  const int error = errno;
  (void)munmap(stack, kCloneStack);
  errno = error;
  check(pid > 0, "clone(CLONE_NEWPID) (run as root)");
  return pid;
}

pid_t spawn_plain(const std::function<int()> &body) {
  (void)fflush(nullptr);
  const pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    prepare_child(true);
    _exit(body());
  }
  return pid;
}

void exec_or_die(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  execvp(args[0], args.data());
  fprintf(stderr, "orva-bench: %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    check(errno == EINTR, "waitpid");
  }
  return status;
}

bool read_byte(int fd, int timeout_ms) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, timeout_ms) != 1) {
    return false;
  }
  char byte = 0;
  return read(fd, &byte, 1) == 1;
}

void write_byte(int fd) {
  const char byte = 'x';
  (void)!write(fd, &byte, 1);
}

ProcSample sample_process(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  ProcSample sample;
  const std::string status = read_file(dir + "/status");
  sample.voluntary = status_field(status, "voluntary_ctxt_switches");
  sample.nonvoluntary = status_field(status, "nonvoluntary_ctxt_switches");
  sample.rss_kib = status_field(status, "VmRSS");
  sample.hwm_kib = status_field(status, "VmHWM");
  sample.anon_kib = status_field(status, "RssAnon");

  // The command name may hold blanks; the fields proper start after ')'.
  const std::string stat = read_file(dir + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren != std::string::npos) {
    std::stringstream fields(stat.substr(paren + 1));
    std::string field;
    long ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
      if (index == 14 || index == 15) { // utime, stime
        ticks += strtol(field.c_str(), nullptr, 10);
      }
    }
    sample.cpu_ticks = ticks;
  }
  const std::string schedstat = read_file(dir + "/schedstat");
  if (!schedstat.empty()) {
    sample.run_ns = strtoll(schedstat.c_str(), nullptr, 10);
  }
  return sample;
}

std::vector<pid_t> children_of(pid_t pid) {
  const std::string id = std::to_string(pid);
  std::stringstream list(
      read_file("/proc/" + id + "/task/" + id + "/children"));
  std::vector<pid_t> children;
  long child = 0;
  while (list >> child) {
    children.push_back(static_cast<pid_t>(child));
  }
  return children;
}

std::string self_exe() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  check(n > 0, "readlink /proc/self/exe");
  return std::string(path, static_cast<size_t>(n));
}

SyscallCounter::~SyscallCounter() {
  if (counter_ > 0) {
    (void)kill(counter_, SIGKILL);
    (void)wait_for(counter_);
  }
  if (!output_.empty()) {
    (void)unlink(output_.c_str());
  }
}

bool SyscallCounter::start(pid_t pid, const std::string &prefer) {
  char name[] = "/tmp/orva-bench-count.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) {
    return false;
  }
  close(fd);
  output_ = name;
  const std::string target = std::to_string(pid);
  if (prefer != "strace" && prefer != "none" && on_path("perf")) {
    counter_ = spawn_tool({"perf", "stat", "-x,", "-o", output_, "-e",
                           "raw_syscalls:sys_enter,syscalls:sys_enter_wait4,"
                           "syscalls:sys_enter_rt_sigtimedwait,"
                           "syscalls:sys_enter_kill",
                           "-p", target});
    // perf gives no sign once its counters are attached; a perf that
    // cannot count at all has exited by then.
    const timespec settle{0, 500'000'000};
    (void)nanosleep(&settle, nullptr);
    int status = 0;
    if (counter_ > 0 && waitpid(counter_, &status, WNOHANG) == 0) {
      tool_ = "perf";
      return true;
    }
    counter_ = -1;
  }
  if (prefer != "none" && on_path("strace")) {
    counter_ = spawn_tool({"strace", "-c", "-q", "-o", output_, "-p", target});
    const int64_t give_up = now_ns() + 5'000'000'000;
    while (counter_ > 0 && !tracer_attached(pid) && now_ns() < give_up) {
      const timespec nap{0, 1'000'000};
      (void)nanosleep(&nap, nullptr);
    }
    if (counter_ > 0 && tracer_attached(pid)) {
      tool_ = "strace";
      return true;
    }
  }
  tool_ = "none";
  return false;
}

std::map<std::string, long> SyscallCounter::stop() {
  if (counter_ <= 0) {
    return {};
  }
  (void)kill(counter_, SIGINT);
  (void)wait_for(counter_);
  counter_ = -1;
  const std::string text = read_file(output_);
  return std::string(tool_) == "perf" ? parse_perf_counts(text)
                                      : parse_strace_counts(text);
}

std::string format_ns(double ns) {
  const char *sign = ns < 0 ? "-" : "";
  const double size = std::fabs(ns);
  char text[64];
  if (size < 1e3) {
    (void)snprintf(text, sizeof text, "%s%.0f ns", sign, size);
  } else if (size < 1e6) {
    (void)snprintf(text, sizeof text, "%s%.1f µs", sign, size / 1e3);
  } else if (size < 1e9) {
    (void)snprintf(text, sizeof text, "%s%.2f ms", sign, size / 1e6);
  } else {
    (void)snprintf(text, sizeof text, "%s%.4f s", sign, size / 1e9);
  }
  return text;
}

std::string format_kib(double kib) {
  char text[64];
  (void)snprintf(text, sizeof text, "%.1f KiB", kib);
  return text;
}

} // namespace bench
