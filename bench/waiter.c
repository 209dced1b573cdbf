/* SPDX-License-Identifier: MIT */
/* The baseline for an idle supervisor: a process that starts one program
   and does nothing but wait, reaping whatever child ends, until it ends. */
#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: orva-bench-waiter PROGRAM [ARG...]\n");
    return 64;
  }
  const pid_t child = fork();
  if (child < 0) {
    perror("orva-bench-waiter: fork");
    return 111;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    perror("orva-bench-waiter: execvp");
    _exit(127);
  }
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, 0);
    if (ended == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (ended < 0 && errno != EINTR) {
      perror("orva-bench-waiter: waitpid");
      return 111;
    }
  }
}
