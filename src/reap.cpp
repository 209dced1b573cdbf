// SPDX-License-Identifier: MIT
// Reaping: orva_wait_for_managed_child and orva_drain_zombies_nonblock, and
// reap(), which both they and the supervisor use. Every wait is for any
// child, so that the orphans handed to process 1 are reaped on the way.
#include "orva.h"

#include "line.h"
#include "supervisor.h"

#include <errno.h>
#include <sys/types.h>
#include <sys/wait.h>

int orva_wait_for_managed_child(pid_t pid, int *exit_code, int nonblock) {
  using orva_internal::Reaped;
  if (exit_code == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int status = 0;
  switch (orva_internal::reap(pid, status, nonblock != 0, false)) {
  case Reaped::Found:
    *exit_code = orva_internal::exit_code_from_status(status);
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

namespace orva_internal {
namespace {

// In a frame of its own: reap() is on the path of every wait.
[[gnu::noinline]] void report_orphan(pid_t pid, int status) {
  Line().text("reaped orphan ").number(pid).text(", ").status(status).emit();
}

} // namespace

Reaped reap(pid_t pid, int &status, bool nonblock, bool report) {
  const int options = nonblock ? WNOHANG : 0;
  for (;;) {
    int raw = 0;
    const pid_t reaped = waitpid(-1, &raw, options);
    if (reaped == 0) {
      return Reaped::Nothing;
    }
    if (reaped < 0 && errno == EINTR) {
      continue;
    }
    if (reaped < 0) {
      return errno == ECHILD ? Reaped::NoChildLeft : Reaped::Failed;
    }
    if (pid < 0 || reaped == pid) {
      status = raw;
      return Reaped::Found;
    }
    if (report) {
      report_orphan(reaped, raw);
    }
  }
}

int exit_code_from_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 1;
}

} // namespace orva_internal
