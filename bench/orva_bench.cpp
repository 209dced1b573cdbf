// SPDX-License-Identifier: MIT
// Measures what the supervisor costs, each figure against a baseline taken
// in the same run on the same machine, and prints markdown tables.
//
// Every figure is about whole processes (a namespace's process 1, its
// child, orphans), so this is a plain driver rather than an in-process
// micro-benchmark loop. It needs root for CLONE_NEWPID.
#include "harness.h"
#include "orva.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using bench::check;
using bench::format_kib;
using bench::format_ns;
using bench::now_ns;
using bench::summarize;
using bench::Summary;

constexpr double kExitPauseNs = 50e6;
constexpr long kBatch = 1000;
constexpr long kMaxBatches = 128;

struct Options {
  bool quick = false;
  std::string only; // comma-separated figure names; empty for all
  std::string counter = "perf";
  std::string output;
  std::string orva_init = ORVA_BENCH_INIT;
  std::string waiter = ORVA_BENCH_WAITER;
  std::string exit_program = ORVA_BENCH_EXIT;
  std::string library = ORVA_BENCH_LIBRARY;
  std::string floor_library = ORVA_BENCH_FLOOR;
  // The floor of the start-up and memory figures: a static process 1 that
  // only forks, execs, waits and pauses; empty where musl was missing.
  std::string floor_init = ORVA_BENCH_FLOOR_INIT;
  // The static launchers, where this build made them: one for this machine,
  // measured in full, and one for another architecture, only weighed.
  std::string static_init = ORVA_BENCH_STATIC_INIT;
  std::string cross_init = ORVA_BENCH_CROSS_INIT;
  std::string cross_arch = ORVA_BENCH_CROSS_ARCH;
  std::string cross_strip = ORVA_BENCH_CROSS_STRIP;
  // Their size budgets in bytes, from the one table in the build.
  long static_budget = ORVA_BENCH_STATIC_BUDGET;
  long cross_budget = ORVA_BENCH_CROSS_BUDGET;
  // orva-init as it was built before it carried the library: loading
  // liborva.so.0, for the side-by-side comparison.
  std::string shared_init = ORVA_BENCH_SHARED_INIT;
};

void nap_ns(int64_t ns) {
  const timespec span{static_cast<time_t>(ns / 1'000'000'000),
                      static_cast<long>(ns % 1'000'000'000)};
  (void)nanosleep(&span, nullptr);
}

int64_t thread_cpu_ns() {
  timespec ts{};
  (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  explicit Pipe(int flags = O_CLOEXEC) {
    int fds[2];
    check(pipe2(fds, flags) == 0, "pipe2");
    read_end = fds[0];
    write_end = fds[1];
  }
  Pipe(const Pipe &) = delete;
  Pipe &operator=(const Pipe &) = delete;
  Pipe(Pipe &&) = delete;
  Pipe &operator=(Pipe &&) = delete;
  ~Pipe() {
    for (const int fd : {read_end, write_end}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
  void close_write() {
    close(write_end);
    write_end = -1;
  }
};

std::string exit_text(int status) {
  if (WIFEXITED(status)) {
    return "exit " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return std::string("signal ") + strsignal(WTERMSIG(status));
  }
  return "status " + std::to_string(status);
}

void expect_exit(int status, int code, const std::string &what) {
  if (!WIFEXITED(status) || WEXITSTATUS(status) != code) {
    errno = 0;
    bench::fail(what + " ended with " + exit_text(status) + ", expected exit " +
                std::to_string(code));
  }
}

// ---------------------------------------------------------------------------
// 1. Start-up and exit.

// What each round of the start-up figure runs, in turn.
enum Variant : unsigned char {
  kSupervised, // orva-init true, as process 1
  kShared,     // the same, loading liborva.so.0
  kStatic,     // orva-init-static true, as process 1
  kFloor,      // the floor: fork, exec true, wait and the pause
  kBare,       // true, as process 1
  kLauncher,   // orva-init true, not process 1
  kBarePlain,  // true, not process 1
  kCalled,     // a main that calls orva_run, as process 1
  kUncalled,   // the same main returning at once, as process 1
  kVariants
};

struct StartupResult {
  // Wall time, and the CPU of the whole run (process 1 and what it ran);
  // no samples for a variant this build did not make.
  std::array<Summary, kVariants> wall;
  std::array<Summary, kVariants> cpu;
};

// CPU time of every process the calling one has waited for, so far.
int64_t children_cpu_ns() {
  rusage usage{};
  (void)getrusage(RUSAGE_CHILDREN, &usage);
  auto ns = [](const timeval &tv) {
    return int64_t{tv.tv_sec} * 1'000'000'000 + int64_t{tv.tv_usec} * 1'000;
  };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

double run_to_end(bool as_pid1, const std::vector<std::string> &argv) {
  const int64_t start = now_ns();
  auto body = [&argv]() -> int { bench::exec_or_die(argv); };
  const pid_t pid =
      as_pid1 ? bench::spawn_pid1(body) : bench::spawn_plain(body);
  const int status = bench::wait_for(pid);
  const int64_t end = now_ns();
  expect_exit(status, 0, argv[0]);
  return static_cast<double>(end - start);
}

StartupResult measure_startup(const Options &options) {
  const int warm_up = 3;
  const int reps = options.quick ? 8 : 60;
  struct Run {
    bool as_pid1;
    std::vector<std::string> argv; // empty for one not built
  };
  auto with_true = [](const std::string &path) {
    return path.empty() ? std::vector<std::string>{}
                        : std::vector<std::string>{path, "true"};
  };
  const std::array<Run, kVariants> runs{{
      {true, with_true(options.orva_init)},
      {true, with_true(options.shared_init)},
      {true, with_true(options.static_init)},
      {true, with_true(options.floor_init)},
      {true, {"true"}},
      {false, with_true(options.orva_init)},
      {false, {"true"}},
      {true, {options.exit_program}},
      {true, {options.exit_program, "--direct"}},
  }};
  std::array<std::vector<double>, kVariants> wall;
  std::array<std::vector<double>, kVariants> cpu;
  // Interleaved, so a burst of load from elsewhere hits every variant
  // alike. Each run comes right after the same short one, in an order
  // shuffled every round: a run that follows the 50 ms pause, with the
  // CPUs idle, took a few hundred microseconds more, in CPU too, than the
  // same run after a short one.
  const std::vector<std::string> settle{"true"};
  std::array<size_t, kVariants> order{};
  std::iota(order.begin(), order.end(), size_t{0});
  std::minstd_rand shuffler(kVariants); // the same order in every run
  for (int i = 0; i < warm_up + reps; ++i) {
    std::shuffle(order.begin(), order.end(), shuffler);
    for (const size_t v : order) {
      const Run &run = runs[v];
      if (run.argv.empty()) {
        continue;
      }
      (void)run_to_end(true, settle);
      const int64_t cpu_before = children_cpu_ns();
      const double took = run_to_end(run.as_pid1, run.argv);
      const auto used = static_cast<double>(children_cpu_ns() - cpu_before);
      if (i >= warm_up) {
        wall[v].push_back(took);
        cpu[v].push_back(used);
      }
    }
  }
  StartupResult result;
  for (size_t v = 0; v < kVariants; ++v) {
    result.wall[v] = summarize(wall[v]);
    result.cpu[v] = summarize(cpu[v]);
  }
  return result;
}

// ---------------------------------------------------------------------------
// 2. Forwarding latency.

struct ForwardSlot {
  std::atomic<int64_t> handled_at{0};
  std::atomic<int> handled_on{-1}; // the CPU the handler ran on
};

// Set before the receiver is started; submain cannot capture.
ForwardSlot *forward_slot = nullptr;
int forward_ack = -1;

void on_forwarded(int /*sig*/) {
  forward_slot->handled_on.store(sched_getcpu(), std::memory_order_relaxed);
  forward_slot->handled_at.store(now_ns(), std::memory_order_release);
  bench::write_byte(forward_ack);
}

int forward_receiver(int /*argc*/, char ** /*argv*/) {
  struct sigaction action = {};
  action.sa_handler = on_forwarded;
  sigemptyset(&action.sa_mask);
  (void)sigaction(SIGUSR1, &action, nullptr);
  bench::write_byte(forward_ack);
  for (;;) {
    (void)pause();
  }
}

// The least any relay can do, with no library: take each signal with
// sigwaitinfo and pass it on to the child's group. Shows what two hops
// cost on this machine.
int plain_relay() {
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  (void)sigprocmask(SIG_BLOCK, &all, &saved);
  const pid_t child = fork();
  if (child == 0) {
    (void)setpgid(0, 0);
    (void)sigprocmask(SIG_SETMASK, &saved, nullptr);
    return forward_receiver(0, nullptr);
  }
  (void)setpgid(child, child);
  for (;;) {
    const int sig = sigwaitinfo(&all, nullptr);
    if (sig == SIGCHLD) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        return 0;
      }
    } else if (sig > 0) {
      (void)kill(-child, sig);
    }
  }
}

enum class Route { kSupervised, kDirect, kRelay };

struct Receiver {
  pid_t pid = -1;
  ForwardSlot *slot = nullptr;
  Pipe ack;
  std::vector<double> latencies;
  // The same, split by whether the handler ran on the sender's CPU: a
  // wake-up that has to rouse another CPU costs far more, on some
  // machines, than the rest of the delivery.
  std::vector<double> on_sender_cpu;
  std::vector<double> on_other_cpu;
};

void start_receiver(Receiver &receiver, Route route) {
  receiver.slot = bench::map_shared<ForwardSlot>();
  forward_slot = receiver.slot;
  forward_ack = receiver.ack.write_end;
  switch (route) {
  case Route::kSupervised:
    receiver.pid = bench::spawn_pid1(
        [] { return orva_run(forward_receiver, 0, nullptr); });
    break;
  case Route::kDirect:
    receiver.pid =
        bench::spawn_plain([] { return forward_receiver(0, nullptr); });
    break;
  case Route::kRelay:
    receiver.pid = bench::spawn_pid1(plain_relay);
    break;
  }
  receiver.ack.close_write();
  check(bench::read_byte(receiver.ack.read_end, 5000),
        "the signal receiver did not start");
}

double send_and_time(Receiver &receiver) {
  const int from = sched_getcpu();
  const int64_t sent = now_ns();
  check(kill(receiver.pid, SIGUSR1) == 0, "kill");
  check(bench::read_byte(receiver.ack.read_end, 5000),
        "SIGUSR1 never reached the handler");
  const auto latency = static_cast<double>(
      receiver.slot->handled_at.load(std::memory_order_acquire) - sent);
  (receiver.slot->handled_on.load(std::memory_order_relaxed) == from
       ? receiver.on_sender_cpu
       : receiver.on_other_cpu)
      .push_back(latency);
  return latency;
}

struct Placement {
  double share_on_sender_cpu = 0;
  Summary on_sender_cpu;
  Summary on_other_cpu;
};

Placement placement(const Receiver &receiver) {
  const size_t same = receiver.on_sender_cpu.size();
  const size_t total = same + receiver.on_other_cpu.size();
  return {total == 0 ? 0
                     : static_cast<double>(same) / static_cast<double>(total),
          summarize(receiver.on_sender_cpu), summarize(receiver.on_other_cpu)};
}

struct ForwardResult {
  Summary supervised;
  Summary direct;
  Summary relay;
  Placement supervised_placement;
  Placement direct_placement;
  std::map<std::string, long> calls;
  long counted_signals = 0;
  const char *tool = "none";
};

// On one CPU every wake-up is a plain switch; on several, a wake-up may
// have to rouse an idle CPU first, which is what a real machine pays.
ForwardResult measure_forwarding(const Options &options, bool one_cpu) {
  cpu_set_t saved_cpus;
  CPU_ZERO(&saved_cpus);
  if (one_cpu) {
    check(sched_getaffinity(0, sizeof saved_cpus, &saved_cpus) == 0,
          "sched_getaffinity");
    cpu_set_t here;
    CPU_ZERO(&here);
    CPU_SET(static_cast<size_t>(std::max(sched_getcpu(), 0)), &here);
    check(sched_setaffinity(0, sizeof here, &here) == 0, "sched_setaffinity");
  }
  const int rounds = options.quick ? 500 : 3000;
  Receiver receivers[3];
  start_receiver(receivers[0], Route::kSupervised);
  start_receiver(receivers[1], Route::kDirect);
  start_receiver(receivers[2], Route::kRelay);
  Receiver &supervised = receivers[0];

  for (int i = 0; i < rounds; ++i) {
    // Take turns at going first, and let everything fall asleep in
    // between: the figure is for a signal that meets an idle supervisor.
    for (int k = 0; k < 3; ++k) {
      Receiver &receiver = receivers[(i + k) % 3];
      receiver.latencies.push_back(send_and_time(receiver));
      nap_ns(100'000);
    }
  }

  ForwardResult result;
  result.supervised = summarize(receivers[0].latencies);
  result.direct = summarize(receivers[1].latencies);
  result.relay = summarize(receivers[2].latencies);
  result.supervised_placement = placement(receivers[0]);
  result.direct_placement = placement(receivers[1]);
  bench::SyscallCounter counter;
  if (!one_cpu && counter.start(supervised.pid, options.counter)) {
    result.counted_signals = options.quick ? 100 : 500;
    for (long i = 0; i < result.counted_signals; ++i) {
      (void)send_and_time(supervised);
      nap_ns(100'000);
    }
    result.calls = counter.stop();
    result.tool = counter.tool();
  }

  // The receiver dies of the forwarded SIGTERM; process 1 reports it.
  check(kill(supervised.pid, SIGTERM) == 0, "kill");
  expect_exit(bench::wait_for(supervised.pid), 128 + SIGTERM,
              "supervised receiver");
  for (const pid_t other : {receivers[1].pid, receivers[2].pid}) {
    (void)kill(other, SIGKILL);
    (void)bench::wait_for(other);
  }
  if (one_cpu) {
    check(sched_setaffinity(0, sizeof saved_cpus, &saved_cpus) == 0,
          "sched_setaffinity");
  }
  return result;
}

// ---------------------------------------------------------------------------
// 3 and 5. Idle cost and footprint.

struct IdleResult {
  bench::ProcSample supervised_before, supervised_after;
  bench::ProcSample plain_before, plain_after;
  std::optional<bench::ProcSample> static_after; // orva-init-static
  std::optional<bench::ProcSample> floor_after;  // the floor process 1
  bench::ProcSample shared_after; // orva-init loading liborva.so.0
  double seconds = 0;
};

IdleResult measure_idle(const Options &options) {
  const std::vector<std::string> sleeper{"sleep", "600"};
  std::vector<std::string> supervised_argv{options.orva_init};
  std::vector<std::string> plain_argv{options.waiter};
  supervised_argv.insert(supervised_argv.end(), sleeper.begin(), sleeper.end());
  plain_argv.insert(plain_argv.end(), sleeper.begin(), sleeper.end());

  std::vector<std::string> static_argv{options.static_init};
  static_argv.insert(static_argv.end(), sleeper.begin(), sleeper.end());
  std::vector<std::string> shared_argv{options.shared_init};
  shared_argv.insert(shared_argv.end(), sleeper.begin(), sleeper.end());
  std::vector<std::string> floor_argv{options.floor_init};
  floor_argv.insert(floor_argv.end(), sleeper.begin(), sleeper.end());

  const pid_t supervised =
      bench::spawn_pid1([&]() -> int { bench::exec_or_die(supervised_argv); });
  const pid_t plain =
      bench::spawn_pid1([&]() -> int { bench::exec_or_die(plain_argv); });
  const pid_t static_supervised =
      options.static_init.empty() ? -1 : bench::spawn_pid1([&]() -> int {
        bench::exec_or_die(static_argv);
      });
  const pid_t shared_supervised =
      bench::spawn_pid1([&]() -> int { bench::exec_or_die(shared_argv); });
  const pid_t floor =
      options.floor_init.empty()
          ? -1
          : bench::spawn_pid1([&]() -> int { bench::exec_or_die(floor_argv); });
  // Past start-up: each has a sleeping child and sits in its wait.
  nap_ns(500'000'000);
  check(bench::children_of(supervised).size() == 1 &&
            bench::children_of(plain).size() == 1 &&
            bench::children_of(shared_supervised).size() == 1 &&
            (static_supervised < 0 ||
             bench::children_of(static_supervised).size() == 1) &&
            (floor < 0 || bench::children_of(floor).size() == 1),
        "the sleeping children did not start");

  IdleResult result;
  result.seconds = options.quick ? 2 : 10;
  result.supervised_before = bench::sample_process(supervised);
  result.plain_before = bench::sample_process(plain);
  nap_ns(static_cast<int64_t>(result.seconds * 1e9));
  result.supervised_after = bench::sample_process(supervised);
  result.plain_after = bench::sample_process(plain);
  if (static_supervised > 0) {
    result.static_after = bench::sample_process(static_supervised);
  }
  result.shared_after = bench::sample_process(shared_supervised);
  if (floor > 0) {
    result.floor_after = bench::sample_process(floor);
  }

  // SIGKILL to process 1 from outside takes its whole namespace along.
  for (const pid_t pid :
       {supervised, plain, static_supervised, shared_supervised, floor}) {
    if (pid > 0) {
      (void)kill(pid, SIGKILL);
      (void)bench::wait_for(pid);
    }
  }
  return result;
}

struct SizeResult {
  long library = 0;
  long library_stripped = 0;
  long floor_stripped = 0;
  long launcher_stripped = 0; // orva-init, the library linked in
  long static_stripped = -1;  // orva-init-static, -1 when not built
  long cross_stripped = -1;   // the same for the other architecture
  std::string native_arch;
  std::string cross_arch;
  long static_budget = 0;
  long cross_budget = 0;
};

std::string machine_name() {
  utsname name{};
  (void)uname(&name);
  return name.machine;
}

long file_size(const std::string &path) {
  struct stat info = {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

long stripped_size(const std::string &path,
                   const std::string &strip_tool = "strip") {
  if (path.empty()) {
    return -1;
  }
  char copy[] = "/tmp/orva-bench-strip.XXXXXX";
  const int fd = mkstemp(copy);
  check(fd >= 0, "mkstemp");
  close(fd);
  const pid_t strip = bench::spawn_plain([&]() -> int {
    bench::exec_or_die({strip_tool, "--strip-all", "-o", copy, path});
  });
  const int status = bench::wait_for(strip);
  const long size =
      WIFEXITED(status) && WEXITSTATUS(status) == 0 ? file_size(copy) : -1;
  (void)unlink(copy);
  return size;
}

SizeResult measure_size(const Options &options) {
  return {file_size(options.library),
          stripped_size(options.library),
          stripped_size(options.floor_library),
          stripped_size(options.orva_init),
          stripped_size(options.static_init),
          stripped_size(options.cross_init, options.cross_strip),
          machine_name(),
          options.cross_arch,
          options.static_budget,
          options.cross_budget};
}

// ---------------------------------------------------------------------------
// 4. Reaping at scale.

struct ReapShared {
  std::atomic<int64_t> started_at{0};
  std::atomic<int64_t> released_at{0};
  std::atomic<long> created{0};
  std::atomic<long> fork_failures{0};
  std::atomic<long> reaped{0};
  std::atomic<int64_t> wait_cpu_ns{0};
  std::atomic<uint32_t> gates[kMaxBatches];
};

// Set before process 1 or the baseline parent starts; seen through fork.
ReapShared *reap = nullptr;
long reap_count = 0;
int64_t reap_budget_ns = 0;
int reap_go = -1;
int reap_done = -1;
int reap_finish = -1;

uint32_t *futex_word(std::atomic<uint32_t> &gate) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return reinterpret_cast<uint32_t *>(&gate);
}

// The children wait here so that they are alive when their parent leaves
// them to process 1, and all exit together once the gate opens. They give
// up after a minute, so a driver that died cannot leave them for good.
[[noreturn]] void wait_at_gate(std::atomic<uint32_t> &gate) {
  const timespec patience{60, 0};
  while (gate.load(std::memory_order_acquire) == 0) {
    if (syscall(SYS_futex, futex_word(gate), FUTEX_WAIT, 0, &patience, nullptr,
                0) != 0 &&
        errno == ETIMEDOUT) {
      break;
    }
  }
  _exit(0);
}

void open_gate(std::atomic<uint32_t> &gate) {
  gate.store(1, std::memory_order_release);
  (void)syscall(SYS_futex, futex_word(gate), FUTEX_WAKE, INT_MAX, nullptr,
                nullptr, 0);
}

long fork_waiting_children(std::atomic<uint32_t> &gate, long count) {
  long made = 0;
  for (; made < count; ++made) {
    const pid_t child = fork();
    if (child == 0) {
      wait_at_gate(gate);
    }
    if (child < 0) {
      reap->fork_failures.fetch_add(1);
      break;
    }
  }
  reap->created.fetch_add(made);
  return made;
}

// The managed child of the supervisor: makes orphans in batches. Each
// batch is forked by a short-lived parent that exits at once, so its
// children pass to process 1 while still alive; then the gate lets them go.
int make_orphans(int /*argc*/, char ** /*argv*/) {
  if (!bench::read_byte(reap_go, 60'000)) {
    return 1;
  }
  const int64_t start = now_ns();
  reap->started_at.store(start);
  long made = 0;
  for (long batch = 0; made < reap_count && batch < kMaxBatches; ++batch) {
    if (now_ns() - start > reap_budget_ns) {
      break;
    }
    const long count = std::min(kBatch, reap_count - made);
    const pid_t parent = fork();
    if (parent == 0) {
      (void)fork_waiting_children(reap->gates[batch], count);
      _exit(0);
    }
    if (parent < 0) {
      reap->fork_failures.fetch_add(1);
      break;
    }
    (void)bench::wait_for(parent);
    open_gate(reap->gates[batch]);
    made += count;
  }
  reap->released_at.store(now_ns());
  bench::write_byte(reap_done);
  (void)bench::read_byte(reap_finish, 120'000);
  return 0;
}

// The baseline: a parent that forks the same batches and waits for them
// itself.
int fork_and_wait() {
  const int64_t start = now_ns();
  reap->started_at.store(start);
  int64_t wait_cpu = 0;
  long made = 0;
  for (long batch = 0; made < reap_count && batch < kMaxBatches; ++batch) {
    if (now_ns() - start > reap_budget_ns) {
      break;
    }
    const long count = std::min(kBatch, reap_count - made);
    const long forked = fork_waiting_children(reap->gates[batch], count);
    open_gate(reap->gates[batch]);
    const int64_t before = thread_cpu_ns();
    for (long i = 0; i < forked; ++i) {
      int status = 0;
      if (waitpid(-1, &status, 0) > 0) {
        reap->reaped.fetch_add(1);
      }
    }
    wait_cpu += thread_cpu_ns() - before;
    made += count;
  }
  reap->wait_cpu_ns.store(wait_cpu);
  reap->released_at.store(now_ns());
  return 0;
}

struct ReapRun {
  long created = 0;
  double elapsed_ns = 0;
  double cpu_ns = 0; // supervisor's run time, or the parent's wait loops
  long left = 0;     // zombies or orphans not reaped by the end
  long voluntary = 0;
  std::map<std::string, long> calls;
  const char *tool = "none";
};

void reset_reap_state(long count, int64_t budget_ns) {
  reap->started_at = 0;
  reap->released_at = 0;
  reap->created = 0;
  reap->fork_failures = 0;
  reap->reaped = 0;
  reap->wait_cpu_ns = 0;
  for (auto &gate : reap->gates) {
    gate = 0;
  }
  reap_count = count;
  reap_budget_ns = budget_ns;
}

// `counter` names the counting tool, or is empty for a run that counts
// nothing.
ReapRun run_orphans(long count, int64_t budget_ns, const std::string &counter) {
  reset_reap_state(count, budget_ns);
  Pipe go;
  Pipe done;
  Pipe finish;
  reap_go = go.read_end;
  reap_done = done.write_end;
  reap_finish = finish.read_end;
  const pid_t init =
      bench::spawn_pid1([] { return orva_run(make_orphans, 0, nullptr); });
  const int64_t give_up = now_ns() + 5'000'000'000;
  while (bench::children_of(init).size() != 1 && now_ns() < give_up) {
    nap_ns(1'000'000);
  }
  check(bench::children_of(init).size() == 1, "the managed child is missing");

  ReapRun run;
  bench::SyscallCounter calls;
  const bool counting = !counter.empty() && calls.start(init, counter);
  const bench::ProcSample before = bench::sample_process(init);
  bench::write_byte(go.write_end);
  check(bench::read_byte(done.read_end,
                         static_cast<int>(budget_ns / 1'000'000) + 60'000),
        "the orphans were not made in time");

  // Only the managed child may be left; the list includes zombies. It is
  // read only after the last batch is released, when it is short.
  const int64_t deadline = now_ns() + 20'000'000'000;
  std::vector<pid_t> children = bench::children_of(init);
  while (children.size() > 1 && now_ns() < deadline) {
    nap_ns(200'000);
    children = bench::children_of(init);
  }
  const int64_t end = now_ns();
  const bench::ProcSample after = bench::sample_process(init);
  if (counting) {
    run.calls = calls.stop();
    run.tool = calls.tool();
  }
  bench::write_byte(finish.write_end);
  expect_exit(bench::wait_for(init), 0, "the supervisor of the orphans");

  run.created = reap->created.load();
  run.elapsed_ns = static_cast<double>(end - reap->started_at.load());
  run.cpu_ns = static_cast<double>(after.run_ns - before.run_ns);
  run.left = static_cast<long>(children.size()) - 1;
  run.voluntary = after.voluntary - before.voluntary;
  return run;
}

ReapRun run_direct(long count, int64_t budget_ns) {
  reset_reap_state(count, budget_ns);
  const pid_t parent = bench::spawn_plain(fork_and_wait);
  expect_exit(bench::wait_for(parent), 0, "the baseline parent");
  ReapRun run;
  run.created = reap->created.load();
  run.elapsed_ns =
      static_cast<double>(reap->released_at.load() - reap->started_at.load());
  run.cpu_ns = static_cast<double>(reap->wait_cpu_ns.load());
  run.left = run.created - reap->reaped.load();
  return run;
}

struct ReapRow {
  long n = 0;
  long created = 0;
  int reps = 0;
  Summary orphans_time;
  Summary orphans_cpu;
  Summary direct_time;
  Summary direct_cpu;
  long left = 0;
  long direct_left = 0;
  double calls_per_orphan = -1;
  double wait4_per_orphan = -1;
  double sigtimedwait_per_orphan = -1;
  const char *tool = "none";
};

std::vector<ReapRow> measure_reaping(const Options &options) {
  reap = bench::map_shared<ReapShared>();
  struct Plan {
    long n;
    int reps;
  };
  const std::vector<Plan> plans =
      options.quick ? std::vector<Plan>{{1000, 2}, {10000, 1}}
                    : std::vector<Plan>{{1000, 7}, {10000, 3}, {100000, 1}};
  // Keeps the whole run within its three minutes on a slow or busy
  // machine; a run cut short reports how many orphans it made.
  const int64_t budget = options.quick ? 10'000'000'000 : 25'000'000'000;
  std::vector<ReapRow> rows;
  for (const Plan &plan : plans) {
    ReapRow row;
    row.n = plan.n;
    row.reps = plan.reps;
    std::vector<double> orphan_time, orphan_cpu, direct_time, direct_cpu;
    for (int rep = 0; rep < plan.reps; ++rep) {
      // The first run of each size also counts the supervisor's calls.
      const ReapRun orphans =
          run_orphans(plan.n, budget, rep == 0 ? options.counter : "");
      const ReapRun direct = run_direct(plan.n, budget);
      const auto n = static_cast<double>(std::max(orphans.created, 1L));
      const auto m = static_cast<double>(std::max(direct.created, 1L));
      orphan_time.push_back(orphans.elapsed_ns / n);
      orphan_cpu.push_back(orphans.cpu_ns / n);
      direct_time.push_back(direct.elapsed_ns / m);
      direct_cpu.push_back(direct.cpu_ns / m);
      row.created = orphans.created;
      row.left = std::max(row.left, orphans.left);
      row.direct_left = std::max(row.direct_left, direct.left);
      if (!orphans.calls.empty()) {
        auto per = [&](const char *name) {
          const auto it = orphans.calls.find(name);
          return it == orphans.calls.end()
                     ? 0.0
                     : static_cast<double>(it->second) / n;
        };
        row.calls_per_orphan = per("total");
        row.wait4_per_orphan = per("wait4");
        row.sigtimedwait_per_orphan = per("rt_sigtimedwait");
        row.tool = orphans.tool;
      }
    }
    row.orphans_time = summarize(orphan_time);
    row.orphans_cpu = summarize(orphan_cpu);
    row.direct_time = summarize(direct_time);
    row.direct_cpu = summarize(direct_cpu);
    rows.push_back(row);
  }
  return rows;
}

// ---------------------------------------------------------------------------
// 6. Escalation precision.

struct EscalationResult {
  Summary to_kill; // SIGTERM sent until the managed child is dead
  Summary to_exit; // SIGTERM sent until process 1 has ended
};

EscalationResult measure_escalation(const Options &options) {
  const int reps = options.quick ? 3 : 12;
  const std::string self = bench::self_exe();
  std::vector<double> to_kill;
  std::vector<double> to_exit;
  for (int i = 0; i < reps; ++i) {
    // The write end must survive two execs: orva-init's and the child's.
    Pipe ready(0);
    (void)fcntl(ready.read_end, F_SETFD, FD_CLOEXEC);
    const std::vector<std::string> argv{options.orva_init, self,
                                        "--ignore-term",
                                        std::to_string(ready.write_end)};
    const pid_t init = bench::spawn_pid1([&]() -> int {
      (void)setenv("ORVA_STOP_TIMEOUT", "1", 1);
      bench::exec_or_die(argv);
    });
    ready.close_write();
    check(bench::read_byte(ready.read_end, 5000),
          "the child that ignores SIGTERM did not start");
    const std::vector<pid_t> children = bench::children_of(init);
    check(children.size() == 1, "the managed child is missing");
    const int child = static_cast<int>(syscall(SYS_pidfd_open, children[0], 0));
    check(child >= 0, "pidfd_open");

    const int64_t sent = now_ns();
    check(kill(init, SIGTERM) == 0, "kill");
    pollfd dead{child, POLLIN, 0};
    check(poll(&dead, 1, 10'000) == 1, "SIGKILL never came");
    const int64_t killed = now_ns();
    const int status = bench::wait_for(init);
    const int64_t ended = now_ns();
    close(child);
    expect_exit(status, 128 + SIGKILL, "the supervisor of the stubborn child");
    to_kill.push_back(static_cast<double>(killed - sent));
    to_exit.push_back(static_cast<double>(ended - sent));
  }
  return {summarize(to_kill), summarize(to_exit)};
}

// The ignored disposition survives exec, and sleep is cheap to tear down,
// so what is timed is the escalation rather than a large process's exit.
[[noreturn]] void ignore_term(const char *fd_text) {
  (void)signal(SIGTERM, SIG_IGN);
  const int fd = static_cast<int>(strtol(fd_text, nullptr, 10));
  bench::write_byte(fd);
  close(fd);
  bench::exec_or_die({"sleep", "600"});
}

// ---------------------------------------------------------------------------
// The report.

std::string fixed(double value, int decimals = 2) {
  char text[64];
  (void)snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string median_p99(const Summary &s) {
  return format_ns(s.median) + " / " + format_ns(s.p99);
}

const char *verdict(bool met) { return met ? "**met**" : "**not met**"; }

std::string describe_calls(const std::map<std::string, long> &calls,
                           double per) {
  std::string text;
  for (const char *name : {"rt_sigtimedwait", "kill", "wait4"}) {
    const auto it = calls.find(name);
    if (it != calls.end()) {
      text += std::string(text.empty() ? "" : ", ") + name + " " +
              fixed(static_cast<double>(it->second) / per);
    }
  }
  return text;
}

std::string machine_line() {
  utsname name{};
  (void)uname(&name);
  const time_t now = time(nullptr);
  tm utc{};
  (void)gmtime_r(&now, &utc);
  char date[32];
  (void)strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
  return std::string("Run ") + date + " on Linux " + name.release + ", " +
         std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs.";
}

// A launcher's start-up against the floor, as process 1 running `true`:
// what either takes beyond the pause and beyond `true` alone, in time and
// in CPU, and the one as a multiple of the other.
struct BeyondFloor {
  double time = 0;
  double cpu = 0;
  double time_ratio = 0; // 0 without a floor
  double cpu_ratio = 0;
};

BeyondFloor beyond_floor(const StartupResult &startup, Variant v) {
  auto time = [&](Variant w) {
    return startup.wall[w].median - kExitPauseNs - startup.wall[kBare].median;
  };
  auto cpu = [&](Variant w) {
    return startup.cpu[w].median - startup.cpu[kBare].median;
  };
  BeyondFloor result{time(v), cpu(v)};
  if (startup.wall[kFloor].count > 0) {
    result.time_ratio = result.time / time(kFloor);
    result.cpu_ratio = result.cpu / cpu(kFloor);
  }
  return result;
}

std::string against_floor(const BeyondFloor &b) {
  if (b.time_ratio == 0) {
    return "beyond the baseline: " + format_ns(b.time) + ", CPU " +
           format_ns(b.cpu) + " (no floor: musl-gcc missing)";
  }
  return "beyond the baseline: " + format_ns(b.time) + " = **" +
         fixed(b.time_ratio) + "x** the floor; CPU " + format_ns(b.cpu) +
         " = **" + fixed(b.cpu_ratio) + "x** the floor";
}

std::string floor_target(const BeyondFloor &b, double most) {
  return "at most " + fixed(most, 1) + "x the floor, time and CPU: " +
         (b.time_ratio == 0
              ? std::string("not measured")
              : verdict(b.time_ratio <= most && b.cpu_ratio <= most));
}

std::string startup_rows(const StartupResult &startup) {
  const auto &wall = startup.wall;
  const auto &cpu = startup.cpu;
  std::string out;
  const double beyond_pause = wall[kSupervised].median - kExitPauseNs;
  const BeyondFloor dynamic = beyond_floor(startup, kSupervised);
  out += "| 1. Start-up and exit as process 1, median / p99 | `orva-init "
         "true`: " +
         median_p99(wall[kSupervised]) +
         " | `true`: " + median_p99(wall[kBare]) +
         " | less the 50 ms pause: " + format_ns(beyond_pause) + "; " +
         against_floor(dynamic) + " | " + floor_target(dynamic, 1.8) + " |\n";
  const double library_overhead =
      wall[kCalled].median - kExitPauseNs - wall[kUncalled].median;
  out +=
      "| 1a. A main that calls `orva_run` itself, as process 1 | " +
      median_p99(wall[kCalled]) +
      " | the same main returning at once: " + median_p99(wall[kUncalled]) +
      " | beyond the pause and the baseline: " + format_ns(library_overhead) +
      " | |\n";
  out += "| 1b. `orva-init true` outside process 1 (the launcher's exec) | " +
         median_p99(wall[kLauncher]) + " | " + median_p99(wall[kBarePlain]) +
         " | " + format_ns(wall[kLauncher].median - wall[kBarePlain].median) +
         " | |\n";
  if (wall[kStatic].count > 0) {
    const BeyondFloor static_beyond = beyond_floor(startup, kStatic);
    out += "| 1c. `orva-init-static true` as process 1, median / p99 | " +
           median_p99(wall[kStatic]) +
           " | `orva-init true`, same run: " + median_p99(wall[kSupervised]) +
           " | less the 50 ms pause: " +
           format_ns(wall[kStatic].median - kExitPauseNs) + " vs " +
           format_ns(beyond_pause) + "; " + against_floor(static_beyond) +
           " | " + floor_target(static_beyond, 1.1) + " |\n";
  }
  const double shared_beyond = wall[kShared].median - kExitPauseNs;
  const double archive_cpu = cpu[kSupervised].median - cpu[kBare].median;
  const double shared_cpu = cpu[kShared].median - cpu[kBare].median;
  out += "| 1d. `orva-init true` as process 1 with the library linked in, "
         "median / p99; CPU of the run beyond `true` alone | " +
         median_p99(wall[kSupervised]) + "; CPU " + format_ns(archive_cpu) +
         " | loading `liborva.so.0` instead, same run: " +
         median_p99(wall[kShared]) + "; CPU " + format_ns(shared_cpu) +
         " | less the 50 ms pause: " + format_ns(beyond_pause) + " vs " +
         format_ns(shared_beyond) + "; CPU " +
         fixed(100 * (1 - archive_cpu / shared_cpu), 0) + "% less | |\n";
  if (wall[kFloor].count > 0) {
    out += "| 1e. The floor: a static process 1 (musl) that forks, execs "
           "`true`, waits and pauses 50 ms, median / p99; CPU of the run | " +
           median_p99(wall[kFloor]) + "; CPU " + format_ns(cpu[kFloor].median) +
           " | `true`: " + median_p99(wall[kBare]) + "; CPU " +
           format_ns(cpu[kBare].median) +
           " | beyond the pause and the baseline: " +
           format_ns(wall[kFloor].median - kExitPauseNs - wall[kBare].median) +
           "; CPU beyond `true`: " +
           format_ns(cpu[kFloor].median - cpu[kBare].median) + " | |\n";
  }
  return out;
}

std::string forwarding_rows(const ForwardResult &forward,
                            const ForwardResult &one_cpu) {
  std::string out;
  const double ratio = forward.supervised.median / forward.direct.median;
  out += "| 2. Forwarding latency of SIGUSR1 to the handler, median / p99 | "
         "through process 1: " +
         median_p99(forward.supervised) +
         " | straight to the process: " + median_p99(forward.direct) + " | " +
         fixed(ratio) + "x" +
         " at the median | within 3x: " + verdict(ratio <= 3) + " |\n";
  out += "| 2a. Two hops without the library: a plain relay as process 1, "
         "median / p99 | | " +
         median_p99(forward.relay) + " | orva " +
         fixed(forward.supervised.median / forward.relay.median) +
         "x the plain relay | |\n";
  out += "| 2b. Forwarding with every process on one CPU, median / p99 | " +
         median_p99(one_cpu.supervised) +
         " | straight: " + median_p99(one_cpu.direct) +
         "; plain relay: " + median_p99(one_cpu.relay) + " | " +
         fixed(one_cpu.supervised.median / one_cpu.direct.median) +
         "x straight, " +
         fixed(one_cpu.supervised.median / one_cpu.relay.median) +
         "x the plain relay | |\n";
  auto where = [](const Placement &p) {
    return fixed(100 * p.share_on_sender_cpu, 0) +
           "% on the sender's CPU: " + format_ns(p.on_sender_cpu.median) +
           "; " + fixed(100 - 100 * p.share_on_sender_cpu, 0) +
           "% on another: " + format_ns(p.on_other_cpu.median);
  };
  const Placement &sp = forward.supervised_placement;
  const Placement &dp = forward.direct_placement;
  std::string like_for_like;
  if (sp.on_sender_cpu.count > 0 && dp.on_sender_cpu.count > 0) {
    like_for_like = fixed(sp.on_sender_cpu.median / dp.on_sender_cpu.median) +
                    "x on the sender's CPU";
  }
  if (sp.on_other_cpu.count > 0 && dp.on_other_cpu.count > 0) {
    like_for_like += (like_for_like.empty() ? "" : ", ") +
                     fixed(sp.on_other_cpu.median / dp.on_other_cpu.median) +
                     "x on another";
  }
  out += "| 2c. Where the handler ran, medians | " + where(sp) + " | " +
         where(dp) + " | " + like_for_like + " | |\n";
  if (forward.counted_signals > 0) {
    const auto per = static_cast<double>(forward.counted_signals);
    const auto total = forward.calls.find("total");
    out += "| 2d. System calls of process 1 per forwarded signal (" +
           std::string(forward.tool) + ") | " +
           fixed(total == forward.calls.end()
                     ? 0.0
                     : static_cast<double>(total->second) / per) +
           " (" + describe_calls(forward.calls, per) + ") | | | |\n";
  }
  return out;
}

std::string idle_row(const IdleResult &idle) {
  std::string out;
  auto switches = [](const bench::ProcSample &a, const bench::ProcSample &b) {
    return std::to_string(b.voluntary - a.voluntary) + " + " +
           std::to_string(b.nonvoluntary - a.nonvoluntary);
  };
  auto cpu = [](const bench::ProcSample &a, const bench::ProcSample &b) {
    return format_ns(static_cast<double>(b.run_ns - a.run_ns)) + " (" +
           std::to_string(b.cpu_ticks - a.cpu_ticks) + " ticks)";
  };
  const long wakeups =
      idle.supervised_after.voluntary - idle.supervised_before.voluntary +
      idle.supervised_after.nonvoluntary - idle.supervised_before.nonvoluntary;
  out += "| 3. Idle process 1 over " + fixed(idle.seconds, 0) +
         " s: context switches (voluntary + involuntary), CPU | " +
         switches(idle.supervised_before, idle.supervised_after) + ", " +
         cpu(idle.supervised_before, idle.supervised_after) +
         " | a plain process that only waits: " +
         switches(idle.plain_before, idle.plain_after) + ", " +
         cpu(idle.plain_before, idle.plain_after) + " | " +
         std::to_string(wakeups) +
         " wake-ups | zero wake-ups: " + verdict(wakeups == 0) + " |\n";
  return out;
}

std::string reaping_row(const std::vector<ReapRow> &reaping) {
  std::string out;
  double worst_calls = 0;
  long left = 0;
  for (const ReapRow &row : reaping) {
    worst_calls = std::max(worst_calls, row.calls_per_orphan);
    left = std::max(left, row.left);
  }
  const double growth =
      reaping.back().orphans_time.median / reaping.front().orphans_time.median;
  const bool counted = worst_calls > 0;
  out += "| 4. Reaping orphans (table below): system calls per orphan, "
         "worst N | " +
         (counted ? fixed(worst_calls) : std::string("not counted")) +
         " | a parent's own `waitpid`: 1 per child | zombies left: " +
         std::to_string(left) +
         "; time per orphan at N = " + std::to_string(reaping.back().n) +
         " vs " + std::to_string(reaping.front().n) + ": " + fixed(growth) +
         "x" +
         " | at most 3 per orphan: " + verdict(counted && worst_calls <= 3) +
         "; linear (within 2x per orphan), none left: " +
         verdict(growth <= 2 && left == 0) + " |\n";
  return out;
}

std::string size_row(const SizeResult &size) {
  std::string out;
  out +=
      "| 5. `liborva.so.0` stripped (as built) | " +
      format_kib(static_cast<double>(size.library_stripped) / 1024) + " (" +
      format_kib(static_cast<double>(size.library) / 1024) +
      ") | an empty library linked alike: " +
      format_kib(static_cast<double>(size.floor_stripped) / 1024) + " | +" +
      format_kib(
          static_cast<double>(size.library_stripped - size.floor_stripped) /
          1024) +
      " | under 32 KiB: " +
      verdict(size.library_stripped > 0 && size.library_stripped < 32 * 1024) +
      " |\n";
  auto kib = [](long bytes) {
    return format_kib(static_cast<double>(bytes) / 1024);
  };
  auto static_row = [&](const char *figure, const std::string &arch, long bytes,
                        long budget, const std::string &baseline) {
    return std::string("| ") + figure + " `orva-init-static` stripped, " +
           arch + " | " + kib(bytes) + " | " + baseline + " | | under " +
           kib(budget) + ": " + verdict(bytes < budget) + " |\n";
  };
  if (size.static_stripped >= 0) {
    out += static_row(
        "5b.", size.native_arch, size.static_stripped, size.static_budget,
        "`orva-init`, the library linked in: " + kib(size.launcher_stripped) +
            ", plus the C library");
  }
  if (size.cross_stripped >= 0) {
    out += static_row("5c.", size.cross_arch, size.cross_stripped,
                      size.cross_budget, "");
  }
  return out;
}

std::string memory_row(const IdleResult &idle) {
  // Most of VmRSS is libc's pages, shared with every other process that
  // uses them; RssAnon is what this process alone holds.
  auto kib = [](long value) { return format_kib(static_cast<double>(value)); };
  auto memory = [&](const bench::ProcSample &s) {
    return kib(s.rss_kib) + " / " + kib(s.hwm_kib) + " (" + kib(s.anon_kib) +
           ")";
  };
  const bench::ProcSample &sup = idle.supervised_after;
  const bench::ProcSample &plain = idle.plain_after;
  // The floor's pages are its own alone: nothing of it is shared.
  const std::string floor =
      idle.floor_after ? "; the floor: " + memory(*idle.floor_after) : "";
  std::string out =
      "| 5a. Resident memory of idle process 1, VmRSS / VmHWM (RssAnon) | " +
      memory(sup) + " | a plain process that only waits: " + memory(plain) +
      floor + " | +" + kib(sup.rss_kib - plain.rss_kib) + " / +" +
      kib(sup.hwm_kib - plain.hwm_kib) + " (+" +
      kib(sup.anon_kib - plain.anon_kib) + ") beyond the plain process | |\n";
  if (idle.static_after) {
    const bench::ProcSample &st = *idle.static_after;
    std::string beyond;
    if (idle.floor_after) {
      beyond = "+" + kib(st.rss_kib - idle.floor_after->rss_kib) + " (+" +
               kib(st.anon_kib - idle.floor_after->anon_kib) +
               ") beyond the floor";
    }
    out += "| 5d. Resident memory of `orva-init-static` as idle process 1, "
           "VmRSS / VmHWM (RssAnon) | " +
           memory(st) + " | `orva-init`: " + memory(sup) + floor + " | " +
           beyond + " | VmRSS under 64 KiB: " + verdict(st.rss_kib < 64) +
           " |\n";
  }
  const bench::ProcSample &shared = idle.shared_after;
  out += "| 5e. Resident memory of idle `orva-init` with the library linked "
         "in, VmRSS / VmHWM (RssAnon) | " +
         memory(sup) + " | loading `liborva.so.0` instead: " + memory(shared) +
         " | " + kib(sup.rss_kib - shared.rss_kib) + " / " +
         kib(sup.hwm_kib - shared.hwm_kib) + " (" +
         kib(sup.anon_kib - shared.anon_kib) + ") | |\n";
  return out;
}

std::string escalation_row(const EscalationResult &escalation) {
  std::string out;
  out += "| 6. Escalation with `ORVA_STOP_TIMEOUT=1`: SIGTERM until the "
         "SIGKILL has ended the child, median / p99 | " +
         median_p99(escalation.to_kill) +
         " | the stop timeout: 1 s | late by " +
         format_ns(escalation.to_kill.median - 1e9) + " / " +
         format_ns(escalation.to_kill.p99 - 1e9) + "; process 1 ended after " +
         median_p99(escalation.to_exit) + " | |\n";
  return out;
}

std::string reaping_table(const std::vector<ReapRow> &reaping) {
  std::string out;
  out += "\nReaping N orphans (medians over the runs, per orphan unless "
         "stated):\n\n";
  out += "| N | runs | orva: all reaped | per orphan | supervisor CPU | "
         "supervisor calls (wait4, rt_sigtimedwait) | zombies left | "
         "baseline: fork and wait directly | per child | parent's wait CPU |\n";
  out += "|---|---|---|---|---|---|---|---|---|---|\n";
  for (const ReapRow &row : reaping) {
    const auto n = static_cast<double>(row.created);
    std::string calls = "not counted";
    if (row.calls_per_orphan >= 0) {
      calls = fixed(row.calls_per_orphan) + " (" + fixed(row.wait4_per_orphan) +
              ", " + fixed(row.sigtimedwait_per_orphan) + "; " + row.tool + ")";
    }
    out += "| " + std::to_string(row.created) +
           (row.created < row.n ? " (time bound)" : "") + " | " +
           std::to_string(row.reps) + " | " +
           format_ns(row.orphans_time.median * n) + " | " +
           format_ns(row.orphans_time.median) + " | " +
           format_ns(row.orphans_cpu.median) + " | " + calls + " | " +
           std::to_string(row.left) + " | " +
           format_ns(row.direct_time.median * n) + " | " +
           format_ns(row.direct_time.median) + " | " +
           format_ns(row.direct_cpu.median) + " |\n";
  }
  return out;
}

struct Results {
  std::optional<StartupResult> startup;
  std::optional<ForwardResult> forward;
  std::optional<ForwardResult> forward_one_cpu;
  std::optional<IdleResult> idle;
  std::optional<std::vector<ReapRow>> reaping;
  std::optional<SizeResult> size;
  std::optional<EscalationResult> escalation;
};

std::string report(const Results &results) {
  std::string out = machine_line() + "\n\n";
  out += "| Figure | orva | Baseline | Result | Target |\n";
  out += "|---|---|---|---|---|\n";
  if (results.startup) {
    out += startup_rows(*results.startup);
  }
  if (results.forward && results.forward_one_cpu) {
    out += forwarding_rows(*results.forward, *results.forward_one_cpu);
  }
  if (results.idle) {
    out += idle_row(*results.idle);
  }
  if (results.reaping) {
    out += reaping_row(*results.reaping);
  }
  if (results.size) {
    out += size_row(*results.size);
  }
  if (results.idle) {
    out += memory_row(*results.idle);
  }
  if (results.escalation) {
    out += escalation_row(*results.escalation);
  }
  if (results.reaping) {
    out += reaping_table(*results.reaping);
  }
  return out;
}

void usage() {
  fprintf(stderr, "usage: orva-bench [--quick] [--only FIGURE,...] "
                  "[--orva-init PATH] [--static-init PATH] "
                  "[--counter perf|strace|none] "
                  "[--output FILE]\n"
                  "figures: startup forwarding idle size reaping escalation\n");
  exit(64);
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--ignore-term") == 0) {
    ignore_term(argv[2]);
  }
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--orva-init" && i + 1 < argc) {
      options.orva_init = argv[++i];
    } else if (arg == "--static-init" && i + 1 < argc) {
      options.static_init = argv[++i];
    } else if (arg == "--counter" && i + 1 < argc) {
      options.counter = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      options.only = argv[++i];
    } else if (arg == "--output" && i + 1 < argc) {
      options.output = argv[++i];
    } else {
      usage();
    }
  }
  if (geteuid() != 0) {
    fprintf(stderr, "orva-bench: needs root for PID namespaces\n");
    return 77;
  }
  // Other work on the machine then disturbs the figures less; every
  // process measured inherits the priority, baselines included.
  (void)setpriority(PRIO_PROCESS, 0, -20);
  // A stuck scenario ends the whole run; process 1 of each namespace goes
  // with the driver.
  (void)alarm(options.quick ? 90 : 175);

  const int64_t start = now_ns();
  auto step = [&](const char *name) {
    fprintf(stderr, "orva-bench: %-11s (%.0f s so far)\n", name,
            static_cast<double>(now_ns() - start) / 1e9);
  };
  auto wanted = [&](const char *name) {
    return options.only.empty() ||
           ("," + options.only + ",").find(std::string(",") + name + ",") !=
               std::string::npos;
  };
  Results results;
  if (wanted("startup")) {
    step("start-up");
    results.startup = measure_startup(options);
  }
  if (wanted("forwarding")) {
    step("forwarding");
    results.forward = measure_forwarding(options, false);
    results.forward_one_cpu = measure_forwarding(options, true);
  }
  if (wanted("idle")) {
    step("idle");
    results.idle = measure_idle(options);
  }
  if (wanted("size")) {
    step("size");
    results.size = measure_size(options);
  }
  if (wanted("reaping")) {
    step("reaping");
    results.reaping = measure_reaping(options);
  }
  if (wanted("escalation")) {
    step("escalation");
    results.escalation = measure_escalation(options);
  }
  step("done");

  const std::string table = report(results);
  fputs(table.c_str(), stdout);
  if (!options.output.empty()) {
    FILE *file = fopen(options.output.c_str(), "w");
    check(file != nullptr, options.output);
    (void)fputs(table.c_str(), file);
    (void)fclose(file);
  }
  return 0;
}
