// SPDX-License-Identifier: MIT
// What a supervision changes in the calling process, held by one guard,
// Setup, for every role: every signal blocked, SIGCHLD's default action,
// the settings read, and what they ask of the kernel (to adopt orphans, to
// be told of the parent's death). Each is given back on every return path;
// the child of the fork restores what it inherits and forgets the rest
// before the program runs. Also the descriptors the supervisor keeps, and
// socket activation, which both sides of the fork take part in.
#pragma once

#include "line.h"
#include "settings.h"
#include "supervisor.h"

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

namespace orva_internal {

class Setup {
public:
  Setup() = default;
  Setup(const Setup &) = delete;
  Setup &operator=(const Setup &) = delete;
  Setup(Setup &&) = delete;
  Setup &operator=(Setup &&) = delete;
  ~Setup();

  // Blocks every signal that can be blocked, then reads what `role` reads
  // of the environment into `settings` and asks the kernel for what they
  // need. False, said on stderr, when the signals cannot be blocked.
  [[nodiscard]] bool start(Role role, Settings &settings);
  // Every signal that can be blocked: what the supervisor waits for.
  [[nodiscard]] const sigset_t &full() const { return full_; }
  // In the child of the fork, before the program runs; false when the
  // caller's mask cannot be put back.
  [[nodiscard]] bool restore_in_child();
  // In the supervisor once it is done; what the kernel was asked for goes
  // back with the guard.
  void restore();

private:
  void restore_signals();

  sigset_t full_{};
  sigset_t saved_mask_{};
  struct sigaction saved_child_action_ = {};
  int saved_subreaper_ = 0;
  int saved_death_signal_ = 0;
  bool mask_blocked_ = false;
  bool child_action_set_ = false;
  bool subreaper_set_ = false;
  bool death_signal_set_ = false;
};

constexpr unsigned kFirstPassed = 3; // after stdin, stdout and stderr

// Closes the descriptors from `first` to `last` that are open, without
// allocating.
void close_descriptors(unsigned first, unsigned last);

// Socket activation names in LISTEN_PID the process that is to take the
// listening sockets, LISTEN_FDS of them from descriptor 3 on. Named for
// the supervisor, they are meant for the program it runs.
struct Activation {
  bool ours = false;
  int descriptors = 0;
};

[[nodiscard]] Activation activation_for(pid_t supervisor);

// Points LISTEN_PID at the calling process for as long as this lives:
// the program checks it against its own pid. The text is kept here, since
// setenv would allocate, and the variable is put back as it was unless
// the program has replaced or removed it by then.
class ListenPidForSelf {
public:
  explicit ListenPidForSelf(bool wanted);
  ListenPidForSelf(const ListenPidForSelf &) = delete;
  ListenPidForSelf &operator=(const ListenPidForSelf &) = delete;
  ListenPidForSelf(ListenPidForSelf &&) = delete;
  ListenPidForSelf &operator=(ListenPidForSelf &&) = delete;
  ~ListenPidForSelf();

private:
  char *original_ = nullptr;
  // NOLINTNEXTLINE(*-avoid-c-arrays): no C++ library header here
  char text_[sizeof "LISTEN_PID=" + kDecimalSize] = {};
};

} // namespace orva_internal
