/* SPDX-License-Identifier: MIT */
/* The floor for a launcher as process 1: the least such a process must do,
   fork, exec, wait and the same 50 ms pause, linked statically with musl
   and nothing else. A launcher's cost beyond this one is its own. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    return 64;
  }
  const pid_t child = fork();
  if (child < 0) {
    return 111;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(errno == ENOENT ? 127 : 126);
  }
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(-1, &status, 0);
    if (ended == child) {
      break;
    }
    if (ended < 0 && errno != EINTR) {
      return 111;
    }
  }
  const struct timespec pause = {.tv_sec = 0, .tv_nsec = 50000000};
  (void)nanosleep(&pause, NULL);
  int other = 0;
  while (waitpid(-1, &other, WNOHANG) > 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
