// SPDX-License-Identifier: MIT
// The entry point, orva_run. Outside process 1 it is a plain call of
// submain, unless a subreaper is asked for; otherwise it forks once, with
// submain in the child and the supervision core in the parent. The
// launcher enters through run(), with its command line's settings, and
// through pause().
#include "orva.h"

#include "launch.h"
#include "line.h"
#include "settings.h"
#include "setup.h"
#include "supervisor.h"

#include <errno.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

namespace orva_internal {
namespace {

constexpr int kMissingMain = 64;

[[nodiscard]] Role role_for(Settings &settings);
[[nodiscard]] int supervise(int (*submain)(int, char **), int argc, char **argv,
                            Launch &launch, Role role);
[[nodiscard]] int run_program(Setup &setup, const Activation &activation,
                              int (*submain)(int, char **), int argc,
                              char **argv);
void hand_over(pid_t child, const Launch &launch, const Activation &activation,
               bool verbose);
// A line of the report is built in a frame of its own, which the stack of
// a supervision that reports nothing never reaches.
[[gnu::noinline]] void report_activation(pid_t child,
                                         const Activation &activation);
[[gnu::noinline]] void report_missing_main();

} // namespace
} // namespace orva_internal

int orva_run(int (*submain)(int, char **), int argc, char **argv) {
  orva_internal::Launch launch;
  orva_internal::default_settings(launch.settings);
  // Whatever the caller left in stdio buffers would otherwise be written
  // twice, once by each process.
  launch.before_fork = [] { (void)fflush(nullptr); };
  return orva_internal::run(submain, argc, argv, launch);
}

namespace orva_internal {

int run(int (*submain)(int, char **), int argc, char **argv, Launch &launch) {
  if (submain == nullptr) {
    report_missing_main();
    return kMissingMain;
  }
  const Role role = role_for(launch.settings);
  if (role == Role::Plain) {
    return submain(argc, argv);
  }
  return supervise(submain, argc, argv, launch, role);
}

int pause(Launch &launch) {
  Settings &settings = launch.settings;
  const Role role = role_for(settings);
  Setup setup;
  if (!setup.start(role, settings)) {
    return kSupervisorFailure;
  }
  if (launch.close_descriptors) {
    close_descriptors(kFirstPassed, ~0U);
  }
  return Supervisor(role, 0, settings, setup.full()).run();
}

namespace {

// Outside process 1 only the subreaper setting is read: it decides whether
// there is a supervision at all.
Role role_for(Settings &settings) {
  if (getpid() == 1) {
    return Role::ProcessOne;
  }
  load_settings(settings, bit(kSubreaperRow));
  return settings.subreaper ? Role::Subreaper : Role::Plain;
}

int supervise(int (*submain)(int, char **), int argc, char **argv,
              Launch &launch, Role role) {
  Settings &settings = launch.settings;
  Setup setup;
  if (!setup.start(role, settings)) {
    return kSupervisorFailure;
  }
  const Activation activation = activation_for(getpid());
  if (launch.before_fork != nullptr) {
    launch.before_fork();
  }
  const pid_t child = fork();
  if (child < 0) {
    report_error("fork");
    return kSupervisorFailure;
  }
  if (child == 0) {
    return run_program(setup, activation, submain, argc, argv);
  }
  hand_over(child, launch, activation, settings.verbose);
  const int exit_code = Supervisor(role, child, settings, setup.full()).run();
  if (exit_code < 0) {
    report_error("waitpid");
    return kSupervisorFailure;
  }
  setup.restore();
  return exit_code;
}

// The child's side of the fork: a process group of its own, the terminal,
// and the caller's mask and dispositions back before submain runs.
int run_program(Setup &setup, const Activation &activation,
                int (*submain)(int, char **), int argc, char **argv) {
  if (setpgid(0, 0) != 0) {
    report_error("child setpgid");
    _exit(kSupervisorFailure);
  }
  // Take the terminal before submain can touch it: a program that reads at
  // once from a background group would stop on SIGTTIN for good. SIGTTOU
  // is still blocked, so asking cannot stop us either.
  (void)orva_set_foreground_pgrp_for_stdio(getpid());
  if (!setup.restore_in_child()) {
    report_error("child sigprocmask");
    _exit(kSupervisorFailure);
  }
  const ListenPidForSelf listen_pid(activation.ours);
  return submain(argc, argv);
}

// The supervisor's side: the same process group, so that neither has to
// wait for the other, the terminal, and no copy of a descriptor that is
// the program's to close.
void hand_over(pid_t child, const Launch &launch, const Activation &activation,
               bool verbose) {
  // EACCES means the child has already exec'd, ESRCH that it is gone.
  if (setpgid(child, child) != 0 && errno != EACCES && errno != ESRCH) {
    report_error("parent setpgid");
  }
  if (orva_set_foreground_pgrp_for_stdio(child) != 0) {
    report_error("tcsetpgrp");
  }
  // A copy left here would keep a socket the program has closed accepting
  // connections, and a pipe from ever reaching its end. The launcher has
  // no use for any descriptor; a program that called orva_run may still
  // use its own once orva_run returns.
  if (launch.close_descriptors) {
    close_descriptors(kFirstPassed, ~0U);
  } else if (activation.descriptors > 0) {
    close_descriptors(kFirstPassed,
                      kFirstPassed +
                          static_cast<unsigned>(activation.descriptors) - 1);
  }
  if (verbose && activation.ours) {
    report_activation(child, activation);
  }
}

void report_activation(pid_t child, const Activation &activation) {
  Line()
      .text("LISTEN_PID passed on to program ")
      .number(child)
      .text(" with ")
      .number(activation.descriptors)
      .text(" descriptors")
      .emit();
}

void report_missing_main() { Line().text("submain must not be NULL").emit(); }

} // namespace
} // namespace orva_internal
