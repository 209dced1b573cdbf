// SPDX-License-Identifier: MIT
// Process plumbing for the benchmark driver: namespaces, /proc readers,
// shared memory, statistics and system-call counting.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

[[nodiscard]] int64_t now_ns();

// Prints "orva-bench: what: error" and ends the driver; its namespaces die
// with it (their process 1 asked for SIGKILL on the driver's death).
[[noreturn]] void fail(const std::string &what);
void check(bool ok, const std::string &what);

struct Summary {
  double median = 0;
  double p99 = 0;
  size_t count = 0;
};
[[nodiscard]] Summary summarize(std::vector<double> values);

// Zero-filled memory that stays shared with every process forked after the
// call, so measurements can be written where the driver reads them.
[[nodiscard]] void *map_shared_bytes(size_t size);
template <class T> [[nodiscard]] T *map_shared() {
  return new (map_shared_bytes(sizeof(T))) T{};
}

// Runs `body` as process 1 of a new PID namespace and returns its pid as
// the driver sees it. The process starts with an empty signal mask, in a
// session of its own (so no terminal of ours can be handed to it), with
// stdin and stdout on /dev/null; stderr stays ours.
[[nodiscard]] pid_t spawn_pid1(const std::function<int()> &body);
// The same, but as an ordinary child in our own namespace.
[[nodiscard]] pid_t spawn_plain(const std::function<int()> &body);

// For a body: replaces the process, or ends it with 127.
[[noreturn]] void exec_or_die(const std::vector<std::string> &argv);

// Blocking wait for one child; returns its raw status.
int wait_for(pid_t pid);

// Waits up to `timeout_ms` for one byte on `fd`.
[[nodiscard]] bool read_byte(int fd, int timeout_ms);
void write_byte(int fd);

// What /proc tells about one process at one moment.
struct ProcSample {
  long voluntary = 0;    // context switches while blocked
  long nonvoluntary = 0; // context switches by preemption
  long rss_kib = 0;
  long hwm_kib = 0;
  long anon_kib = 0;   // the private part of rss_kib
  long cpu_ticks = 0;  // utime + stime, in clock ticks
  int64_t run_ns = -1; // time on a CPU, from schedstat; -1 if unavailable
};
[[nodiscard]] ProcSample sample_process(pid_t pid);

// Children of a single-threaded process, zombies included.
[[nodiscard]] std::vector<pid_t> children_of(pid_t pid);

[[nodiscard]] std::string self_exe();

// Counts the system calls of one running process from outside it: perf
// tracepoints where perf works (they do not slow the process down), else
// strace -c (which does, and so lets more work pile up per call).
class SyscallCounter {
public:
  SyscallCounter() = default;
  SyscallCounter(const SyscallCounter &) = delete;
  SyscallCounter &operator=(const SyscallCounter &) = delete;
  SyscallCounter(SyscallCounter &&) = delete;
  SyscallCounter &operator=(SyscallCounter &&) = delete;
  ~SyscallCounter();

  // `prefer` is "perf" (perf, else strace), "strace" or "none".
  [[nodiscard]] bool start(pid_t pid, const std::string &prefer = "perf");
  // Calls by name ("wait4", "rt_sigtimedwait", "kill") and "total".
  [[nodiscard]] std::map<std::string, long> stop();
  [[nodiscard]] const char *tool() const { return tool_; }

private:
  pid_t counter_ = -1;
  std::string output_;
  const char *tool_ = "none";
};

// Calls by name from `perf stat -x,` output and from `strace -c` output.
[[nodiscard]] std::map<std::string, long>
parse_perf_counts(const std::string &text);
[[nodiscard]] std::map<std::string, long>
parse_strace_counts(const std::string &text);

[[nodiscard]] std::string format_ns(double ns);
[[nodiscard]] std::string format_kib(double kib);

} // namespace bench
