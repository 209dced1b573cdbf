// SPDX-License-Identifier: MIT
// The entry point: what is set up before the fork, in the process that
// supervises and in the child that runs the program; the pause; and the
// exported reaping functions.
#include "orva.h"

#include "internal.h"
#include "supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

using orva_internal::exit_code_from_status;
using orva_internal::is_shorter;
using orva_internal::is_zero;
using orva_internal::Line;
using orva_internal::reap;
using orva_internal::Reaped;
using orva_internal::Settings;
using orva_internal::Supervisor;

using orva_internal::kSupervisorFailure;
constexpr int kMissingMain = 64;

[[nodiscard]] int fail_with(int error) {
  errno = error;
  return -1;
}

// Blocks a set of signals and puts the caller's mask back exactly once:
// explicitly, or when the guard goes out of scope on any return path.
class BlockedSignals {
public:
  BlockedSignals() = default;
  BlockedSignals(const BlockedSignals &) = delete;
  BlockedSignals &operator=(const BlockedSignals &) = delete;
  BlockedSignals(BlockedSignals &&) = delete;
  BlockedSignals &operator=(BlockedSignals &&) = delete;
  ~BlockedSignals() { (void)restore(); }

  [[nodiscard]] bool block(const sigset_t &set) {
    if (sigprocmask(SIG_BLOCK, &set, &saved_) != 0) {
      return false;
    }
    armed_ = true;
    return true;
  }

  // Keeps errno when it succeeds, so a message printed after it still
  // names the failure that led here.
  [[nodiscard]] bool restore() {
    if (!armed_) {
      return true;
    }
    armed_ = false;
    const int saved_errno = errno;
    if (sigprocmask(SIG_SETMASK, &saved_, nullptr) != 0) {
      return false;
    }
    errno = saved_errno;
    return true;
  }

private:
  sigset_t saved_{};
  bool armed_ = false;
};

// Blocks every signal that can be blocked, to be taken one at a time with
// sigtimedwait; `full` is that set. Says why on stderr when it cannot.
[[nodiscard]] bool block_every_signal(BlockedSignals &mask, sigset_t &full) {
  if (sigfillset(&full) != 0) {
    perror("orva: sigfillset");
    return false;
  }
  (void)sigdelset(&full, SIGKILL);
  (void)sigdelset(&full, SIGSTOP);
  if (!mask.block(full)) {
    perror("orva: sigprocmask");
    return false;
  }
  return true;
}

// An ignored SIGCHLD survives exec and makes the kernel reap children on
// its own without raising SIGCHLD: the supervisor would wait for ever and
// lose the exit code. While it supervises, SIGCHLD has its default action;
// the caller's comes back on every return path, and in the child before
// submain.
class DefaultChildSignal {
  // An unsigned constant on some targets, against an int field.
  static constexpr int kNoChildWait = SA_NOCLDWAIT;

public:
  DefaultChildSignal() {
    if (sigaction(SIGCHLD, nullptr, &saved_) != 0 ||
        (saved_.sa_handler != SIG_IGN &&
         (saved_.sa_flags & kNoChildWait) == 0)) {
      return;
    }
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    armed_ = sigaction(SIGCHLD, &standard, nullptr) == 0;
  }
  DefaultChildSignal(const DefaultChildSignal &) = delete;
  DefaultChildSignal &operator=(const DefaultChildSignal &) = delete;
  DefaultChildSignal(DefaultChildSignal &&) = delete;
  DefaultChildSignal &operator=(DefaultChildSignal &&) = delete;
  ~DefaultChildSignal() { restore(); }

  void restore() {
    if (armed_) {
      armed_ = false;
      (void)sigaction(SIGCHLD, &saved_, nullptr);
    }
  }

private:
  struct sigaction saved_ = {};
  bool armed_ = false;
};

// Where the supervisor stands: process 1, a subreaper outside it, or (for
// the pause alone) neither.
enum class Role : unsigned char { ProcessOne, Subreaper, Plain };

// The steps before the fork that supervision and the pause share, with
// every signal blocked: the settings, and what some of them ask of the
// kernel. Outside process 1 the subreaper setting has been read already:
// it decides the role.
void take_settings(Settings &settings, Role role) {
  unsigned rows = 0U; // outside supervision, the command line's alone
  if (role == Role::ProcessOne) {
    rows = ~0U;
  } else if (role == Role::Subreaper) {
    rows = ~orva_internal::bit(orva_internal::kSubreaperRow);
  }
  orva_internal::load_settings(settings, rows);
  // kill(-1) outside process 1 reaches every process this user may
  // signal on the machine.
  if (role != Role::ProcessOne && settings.stop_all) {
    Line().text("ORVA_STOP_SCOPE=all needs process 1, using group").emit();
    settings.stop_all = false;
  }
  if (!is_zero(settings.stop_delay) &&
      !is_shorter(settings.stop_delay, settings.stop_timeout)) {
    Line()
        .text("stop delay of ")
        .seconds(settings.stop_delay)
        .text(" is not shorter than the stop timeout of ")
        .seconds(settings.stop_timeout)
        .text(", which wins")
        .emit();
  }
}

// What a supervision asks of the kernel for this process (to adopt the
// orphans below it, to be told of its parent's death), given back as it
// was on every return path. A forked child inherits neither: it forgets.
class ProcessAttributes {
public:
  ProcessAttributes(const Settings &settings, Role role) {
    // What was there before is given back; where it cannot be read
    // (emulators may not say), it is taken to be unset.
    if (role == Role::Subreaper) {
      if (prctl(PR_GET_CHILD_SUBREAPER, &subreaper_) != 0) {
        subreaper_ = 0;
      }
      if (prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) {
        set_subreaper_ = true;
      } else {
        perror("orva: prctl(PR_SET_CHILD_SUBREAPER)");
      }
    }
    const int sig = settings.parent_death_signal;
    if (sig == 0) {
      return;
    }
    if (prctl(PR_GET_PDEATHSIG, &death_signal_) != 0) {
      death_signal_ = 0;
    }
    // The parent may have gone before we asked: then nobody would send
    // the signal, so it is raised here, pending like any other.
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, sig) != 0) {
      perror("orva: prctl(PR_SET_PDEATHSIG)");
      return;
    }
    set_death_signal_ = true;
    if (getppid() != parent) {
      (void)kill(getpid(), sig);
    }
  }
  ProcessAttributes(const ProcessAttributes &) = delete;
  ProcessAttributes &operator=(const ProcessAttributes &) = delete;
  ProcessAttributes(ProcessAttributes &&) = delete;
  ProcessAttributes &operator=(ProcessAttributes &&) = delete;
  ~ProcessAttributes() {
    if (set_subreaper_) {
      (void)prctl(PR_SET_CHILD_SUBREAPER, subreaper_);
    }
    if (set_death_signal_) {
      (void)prctl(PR_SET_PDEATHSIG, death_signal_);
    }
  }
  void forget() { set_subreaper_ = set_death_signal_ = false; }

private:
  int subreaper_ = 0;
  int death_signal_ = 0;
  bool set_subreaper_ = false;
  bool set_death_signal_ = false;
};

// Socket activation names in LISTEN_PID the process that is to take the
// listening sockets, LISTEN_FDS of them from descriptor 3 on. Named for
// the supervisor, they are meant for the program it runs.
struct Activation {
  bool ours = false;
  int descriptors = 0;
};

constexpr int kFirstPassed = 3; // after stdin, stdout and stderr

// A plain decimal number, as LISTEN_PID and LISTEN_FDS are written; -1
// for anything else, or for one beyond any pid or descriptor count.
[[nodiscard]] int decimal(const char *text) {
  constexpr int kMax = 1 << 30;
  if (text == nullptr || *text == '\0') {
    return -1;
  }
  int value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9' || value > (kMax - 9) / 10) {
      return -1;
    }
    value = (value * 10) + (*text - '0');
  }
  return value;
}

[[nodiscard]] Activation activation_for(pid_t supervisor) {
  if (decimal(getenv("LISTEN_PID")) != supervisor) {
    return {};
  }
  const int count = decimal(getenv("LISTEN_FDS"));
  return {.ours = true, .descriptors = count > 0 ? count : 0};
}

// Points LISTEN_PID at the calling process for as long as this lives:
// the program checks it against its own pid. The text is kept here, since
// setenv would allocate, and the variable is put back as it was unless
// the program has replaced or removed it by then.
class ListenPidForSelf {
public:
  explicit ListenPidForSelf(bool wanted) {
    constexpr size_t kName = sizeof "LISTEN_PID=" - 1;
    for (char **entry = environ; wanted && *entry != nullptr; ++entry) {
      if (strncmp(*entry, "LISTEN_PID=", kName) == 0) {
        // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
        char digits[orva_internal::kDecimalSize];
        const char *pid = orva_internal::decimal(getpid(), digits);
        memcpy(&text_[0], "LISTEN_PID=", kName);
        memcpy(&text_[kName], pid, strlen(pid) + 1);
        original_ = *entry;
        *entry = &text_[0];
        return;
      }
    }
  }
  ListenPidForSelf(const ListenPidForSelf &) = delete;
  ListenPidForSelf &operator=(const ListenPidForSelf &) = delete;
  ListenPidForSelf(ListenPidForSelf &&) = delete;
  ListenPidForSelf &operator=(ListenPidForSelf &&) = delete;
  ~ListenPidForSelf() {
    for (char **entry = environ; original_ != nullptr && *entry != nullptr;
         ++entry) {
      if (*entry == &text_[0]) {
        *entry = original_;
        return;
      }
    }
  }

private:
  char *original_ = nullptr;
  // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
  char text_[sizeof "LISTEN_PID=" + orva_internal::kDecimalSize] = {};
};

// Closes the descriptors from `first` to `last` that are open, without
// allocating: in one call where the kernel has close_range, else as
// /proc lists them, else one by one up to the process's limit.
void close_descriptors(unsigned first, unsigned last) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, last, 0U) == 0) {
    return;
  }
#endif
  const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    orva_internal::each_numbered_entry(dir, [&](unsigned long fd) {
      if (fd >= first && fd <= last && fd != static_cast<unsigned long>(dir)) {
        (void)close(static_cast<int>(fd));
      }
      return true;
    });
    (void)close(dir);
    return;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return;
  }
  for (unsigned fd = first; fd <= last && fd < limit.rlim_cur; ++fd) {
    (void)close(static_cast<int>(fd));
  }
}

int orva_supervise(int (*submain)(int, char **), int argc, char **argv,
                   const orva_internal::Launch &launch, Settings settings,
                   Role role) {
  // Signals must be blocked before the fork, or one sent in between would
  // meet process 1's default disposition and be lost.
  sigset_t full;
  BlockedSignals mask;
  if (!block_every_signal(mask, full)) {
    return kSupervisorFailure;
  }

  DefaultChildSignal child_signal;

  take_settings(settings, role);
  ProcessAttributes attributes(settings, role);
  const Activation activation = activation_for(getpid());

  // Whatever the caller left in stdio buffers would otherwise be written
  // twice, once by each process.
  (void)fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    perror("orva: fork");
    return kSupervisorFailure;
  }

  if (child == 0) {
    if (setpgid(0, 0) != 0) {
      perror("orva: child setpgid");
      _exit(kSupervisorFailure);
    }
    // Take the terminal before submain can touch it: a program that reads
    // at once from a background group would stop on SIGTTIN for good.
    // SIGTTOU is still blocked, so asking cannot stop us either.
    (void)orva_set_foreground_pgrp_for_stdio(getpid());
    attributes.forget();
    child_signal.restore();
    if (!mask.restore()) {
      perror("orva: child sigprocmask");
      _exit(kSupervisorFailure);
    }
    const ListenPidForSelf listen_pid(activation.ours);
    return submain(argc, argv);
  }

  // Both sides set the group so that neither has to wait for the other;
  // EACCES means the child has already exec'd, ESRCH that it is gone.
  if (setpgid(child, child) != 0 && errno != EACCES && errno != ESRCH) {
    perror("orva: parent setpgid");
  }
  if (orva_set_foreground_pgrp_for_stdio(child) != 0) {
    perror("orva: tcsetpgrp");
  }
  // A copy left here would keep a socket the program has closed accepting
  // connections, and a pipe from ever reaching its end. The launcher has
  // no use for any descriptor; a program that called orva_run may still
  // use its own once orva_run returns.
  if (launch.close_descriptors) {
    close_descriptors(kFirstPassed, ~0U);
  } else if (activation.descriptors > 0) {
    close_descriptors(
        kFirstPassed,
        static_cast<unsigned>(kFirstPassed + activation.descriptors - 1));
  }
  if (settings.verbose && activation.ours) {
    Line()
        .text("LISTEN_PID passed on to program ")
        .number(child)
        .text(" with ")
        .number(activation.descriptors)
        .text(" descriptors")
        .emit();
  }

  const int exit_code =
      Supervisor(child, settings, full, role == Role::Subreaper).run();
  if (exit_code < 0) {
    perror("orva: waitpid");
    return kSupervisorFailure;
  }
  child_signal.restore();
  (void)mask.restore();
  return exit_code;
}

// Outside process 1 only the subreaper setting is read: it decides
// whether there is a supervision at all.
[[nodiscard]] bool wants_subreaper(Settings &settings) {
  orva_internal::load_settings(
      settings, orva_internal::bit(orva_internal::kSubreaperRow));
  return settings.subreaper;
}

} // namespace

namespace orva_internal {

int run(int (*submain)(int, char **), int argc, char **argv,
        const Launch &launch) {
  if (submain == nullptr) {
    (void)fputs("orva: submain must not be NULL\n", stderr);
    return kMissingMain;
  }
  if (getpid() == 1) {
    return orva_supervise(submain, argc, argv, launch, launch.settings,
                          Role::ProcessOne);
  }
  Settings settings = launch.settings;
  if (wants_subreaper(settings)) {
    return orva_supervise(submain, argc, argv, launch, settings,
                          Role::Subreaper);
  }
  return submain(argc, argv);
}

int pause_until_stopped(const Launch &launch) {
  Settings settings = launch.settings;
  Role role = Role::ProcessOne;
  if (getpid() != 1) {
    role = wants_subreaper(settings) ? Role::Subreaper : Role::Plain;
  }
  sigset_t full;
  BlockedSignals mask;
  if (!block_every_signal(mask, full)) {
    return kSupervisorFailure;
  }
  const DefaultChildSignal child_signal;
  take_settings(settings, role);
  const ProcessAttributes attributes(settings, role);
  if (launch.close_descriptors) {
    close_descriptors(kFirstPassed, ~0U);
  }
  if (settings.verbose) {
    Line line;
    with_settings(line.text("pausing until a stop signal"), settings).emit();
  }
  siginfo_t info;
  for (;;) {
    drain(settings.verbose);
    const int sig = sigtimedwait(&full, &info, nullptr);
    if (sig < 0) {
      if (errno != EINTR) {
        perror("orva: sigtimedwait");
      }
      continue;
    }
    if (sig == SIGCHLD) {
      continue;
    }
    const bool ends =
        is_stop_signal(settings, sig) && !is_dropped(settings, sig);
    if (settings.verbose) {
      Line().text(ends ? "pause ended by " : "ignored ").signal(sig).emit();
    }
    if (ends) {
      drain(settings.verbose);
      if (role == Role::Subreaper) {
        orva_internal::end_what_is_left(settings.verbose);
      }
      return 0;
    }
  }
}

} // namespace orva_internal

int orva_run(int (*submain)(int, char **), int argc, char **argv) {
  orva_internal::Launch launch;
  orva_internal::default_settings(launch.settings);
  return orva_internal::run(submain, argc, argv, launch);
}

int orva_wait_for_managed_child(pid_t pid, int *exit_code, int nonblock) {
  if (exit_code == nullptr) {
    return fail_with(EINVAL);
  }
  int status = 0;
  switch (reap(pid, status, nonblock != 0, false)) {
  case Reaped::Found:
    *exit_code = exit_code_from_status(status);
    return 1;
  case Reaped::NoChildLeft:
    // No child left: the managed one has ended, however it went.
    *exit_code = 0;
    return pid < 0 ? 0 : 1;
  case Reaped::Nothing:
    return 0;
  case Reaped::Failed:
    break;
  }
  return -1;
}

void orva_drain_zombies_nonblock() {
  int exit_code = 0;
  while (orva_wait_for_managed_child(-1, &exit_code, 1) == 1) {
  }
}
