// SPDX-License-Identifier: MIT
// Handing the terminal behind the standard streams to the program's group.
#include "orva.h"

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

int orva_is_terminal_fd(int fd) { return fd >= 0 && isatty(fd) == 1 ? 1 : 0; }

int orva_set_foreground_pgrp_for_stdio(pid_t pgrp) {
  int error = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // ENOTTY: not our controlling terminal; EPERM: not our session. Both
    // mean there is nothing here for us to hand over.
    if (orva_is_terminal_fd(fd) == 1 && tcsetpgrp(fd, pgrp) != 0 &&
        errno != ENOTTY && errno != EPERM) {
      error = errno;
    }
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}
