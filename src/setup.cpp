// SPDX-License-Identifier: MIT
// Setup, the guard of a supervision: start() in the order its steps are
// taken, then what gives them back; close_descriptors; socket activation.
#include "setup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "clock.h"
#include "line.h"
#include "processes.h"
#include "settings.h"
#include "supervisor.h"

namespace orva_internal {
namespace {

void read_settings(Role role, Settings &settings);
// Lines of the report in frames of their own, off the path of a start that
// reports nothing.
[[gnu::noinline]] void report_scope_refused();
[[gnu::noinline]] void report_long_delay(const Settings &settings);
[[nodiscard]] int plain_decimal(const char *text);

// An unsigned constant on some targets, against an int field.
constexpr int kNoChildWait = SA_NOCLDWAIT;

} // namespace

Setup::~Setup() {
  if (subreaper_set_) {
    (void)prctl(PR_SET_CHILD_SUBREAPER, saved_subreaper_);
  }
  if (death_signal_set_) {
    (void)prctl(PR_SET_PDEATHSIG, saved_death_signal_);
  }
  restore_signals();
}

bool Setup::start(Role role, Settings &settings) {
  // Signals must be blocked before the fork, or one sent in between would
  // meet process 1's default disposition and be lost.
  if (sigfillset(&full_) != 0) {
    report_error("sigfillset");
    return false;
  }
  (void)sigdelset(&full_, SIGKILL);
  (void)sigdelset(&full_, SIGSTOP);
  if (sigprocmask(SIG_BLOCK, &full_, &saved_mask_) != 0) {
    report_error("sigprocmask");
    return false;
  }
  mask_blocked_ = true;
  // An ignored SIGCHLD survives exec and makes the kernel reap children on
  // its own without raising SIGCHLD: the supervisor would wait for ever and
  // lose the exit code. While it supervises, SIGCHLD has its default action.
  if (sigaction(SIGCHLD, nullptr, &saved_child_action_) == 0 &&
      (saved_child_action_.sa_handler == SIG_IGN ||
       (saved_child_action_.sa_flags & kNoChildWait) != 0)) {
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    child_action_set_ = sigaction(SIGCHLD, &standard, nullptr) == 0;
  }
  read_settings(role, settings);
  // What was there before is given back; where it cannot be read
  // (emulators may not say), it is taken to be unset.
  if (role == Role::Subreaper) {
    if (prctl(PR_GET_CHILD_SUBREAPER, &saved_subreaper_) != 0) {
      saved_subreaper_ = 0;
    }
    subreaper_set_ = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    if (!subreaper_set_) {
      report_error("prctl(PR_SET_CHILD_SUBREAPER)");
    }
  }
  const int sig = settings.parent_death_signal;
  if (sig != 0) {
    if (prctl(PR_GET_PDEATHSIG, &saved_death_signal_) != 0) {
      saved_death_signal_ = 0;
    }
    // The parent may have gone before we asked: then nobody would send
    // the signal, so it is raised here, pending like any other.
    const pid_t parent = getppid();
    death_signal_set_ = prctl(PR_SET_PDEATHSIG, sig) == 0;
    if (!death_signal_set_) {
      report_error("prctl(PR_SET_PDEATHSIG)");
    } else if (getppid() != parent) {
      (void)kill(getpid(), sig);
    }
  }
  return true;
}

// A forked child inherits neither the subreaper attribute nor the
// parent-death signal, so those it forgets.
bool Setup::restore_in_child() {
  subreaper_set_ = false;
  death_signal_set_ = false;
  if (child_action_set_) {
    child_action_set_ = false;
    (void)sigaction(SIGCHLD, &saved_child_action_, nullptr);
  }
  mask_blocked_ = false;
  return sigprocmask(SIG_SETMASK, &saved_mask_, nullptr) == 0;
}

void Setup::restore() { restore_signals(); }

// Keeps errno, so that a message printed after it still names the failure
// that led here.
void Setup::restore_signals() {
  const int saved_errno = errno;
  if (child_action_set_) {
    child_action_set_ = false;
    (void)sigaction(SIGCHLD, &saved_child_action_, nullptr);
  }
  if (mask_blocked_) {
    mask_blocked_ = false;
    (void)sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
  }
  errno = saved_errno;
}

// In one call where the kernel has close_range, else as /proc lists them,
// else one by one up to the process's limit.
void close_descriptors(unsigned first, unsigned last) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, last, 0U) == 0) {
    return;
  }
#endif
  const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    each_numbered_entry(dir, [&](unsigned long fd) {
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

Activation activation_for(pid_t supervisor) {
  if (plain_decimal(getenv("LISTEN_PID")) != supervisor) {
    return {};
  }
  const int count = plain_decimal(getenv("LISTEN_FDS"));
  return {.ours = true, .descriptors = count > 0 ? count : 0};
}

ListenPidForSelf::ListenPidForSelf(bool wanted) {
  constexpr size_t kName = sizeof "LISTEN_PID=" - 1;
  for (char **entry = environ; wanted && *entry != nullptr; ++entry) {
    if (strncmp(*entry, "LISTEN_PID=", kName) == 0) {
      // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
      char digits[kDecimalSize];
      const char *pid = decimal(getpid(), digits);
      memcpy(&text_[0], "LISTEN_PID=", kName);
      memcpy(&text_[kName], pid, strlen(pid) + 1);
      original_ = *entry;
      *entry = &text_[0];
      return;
    }
  }
}

ListenPidForSelf::~ListenPidForSelf() {
  for (char **entry = environ; original_ != nullptr && *entry != nullptr;
       ++entry) {
    if (*entry == &text_[0]) {
      *entry = original_;
      return;
    }
  }
}

namespace {

// Process 1 reads every setting; a subreaper all but the subreaper setting,
// read already to decide its role; a plain pause none but the command
// line's.
void read_settings(Role role, Settings &settings) {
  unsigned rows = 0U;
  if (role == Role::ProcessOne) {
    rows = ~0U;
  } else if (role == Role::Subreaper) {
    rows = ~bit(kSubreaperRow);
  }
  load_settings(settings, rows);
  // kill(-1) outside process 1 reaches every process this user may
  // signal on the machine.
  if (role != Role::ProcessOne && settings.stop_all) {
    report_scope_refused();
    settings.stop_all = false;
  }
  if (!is_zero(settings.stop_delay) &&
      !is_shorter(settings.stop_delay, settings.stop_timeout)) {
    report_long_delay(settings);
  }
}

void report_scope_refused() {
  Line().text("ORVA_STOP_SCOPE=all needs process 1, using group").emit();
}

void report_long_delay(const Settings &settings) {
  Line()
      .text("stop delay of ")
      .seconds(settings.stop_delay)
      .text(" is not shorter than the stop timeout of ")
      .seconds(settings.stop_timeout)
      .text(", which wins")
      .emit();
}

// A plain decimal number, as LISTEN_PID and LISTEN_FDS are written; -1
// for anything else, or for one beyond any pid or descriptor count.
int plain_decimal(const char *text) {
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

} // namespace
} // namespace orva_internal
