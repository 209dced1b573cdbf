/* SPDX-License-Identifier: MIT */
/* A program that calls orva_run from its own main, as the container's
   entrypoint. Its real main acts as the first argument says:
     exit N        return N
     raise N       die of signal N
     trap-term     report SIGTERM in itself and in a second member of its
                   process group, then return 7
     ignore-term   ignore SIGTERM, with a second member doing the same
     sh SCRIPT     run SCRIPT with /bin/sh, in the supervised child
     serve         take the listening socket of socket activation, if
                   LISTEN_PID names this process: answer one connection,
                   then on SIGTERM close it and go on for a second
   "main-ready" (with pid, parent and group) and "member-ready" on stdout
   say when a signal may be sent. */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orva.h"

static volatile sig_atomic_t got_term;

static void on_term(int sig) {
  (void)sig;
  got_term = 1;
}

static void say_ready(void) {
  printf("main-ready %ld %ld %ld\n", (long)getpid(), (long)getppid(),
         (long)getpgrp());
  fflush(stdout);
}

static void say(const char *line) {
  fputs(line, stdout);
  fflush(stdout);
}

/* Two members of the group wait for SIGTERM: trapped, each reports it;
   ignored, nothing ends the wait but SIGKILL. SIGTERM stays blocked outside
   sigsuspend, so one that arrives before the wait begins is not lost. */
static int wait_for_term(int trap) {
  sigset_t term;
  sigset_t waiting;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &term, &waiting) != 0) {
    return 100;
  }
  sigdelset(&waiting, SIGTERM);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = trap ? on_term : SIG_IGN;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGTERM, &sa, NULL) != 0) {
    return 101;
  }
  const pid_t member = fork();
  if (member < 0) {
    return 102;
  }
  if (member == 0) {
    say("member-ready\n");
    while (!got_term) {
      sigsuspend(&waiting);
    }
    say("member caught TERM\n");
    _exit(0);
  }
  say_ready();
  while (!got_term) {
    sigsuspend(&waiting);
  }
  int status = 0;
  (void)waitpid(member, &status, 0);
  say("caught TERM\n");
  return 7;
}

/* A server stopping behind a load balancer: it stops taking connections
   at once and finishes what it has. */
static int serve(void) {
  const char *pid = getenv("LISTEN_PID");
  const char *fds = getenv("LISTEN_FDS");
  if (pid == NULL || atol(pid) != (long)getpid() || fds == NULL ||
      strcmp(fds, "1") != 0) {
    say("the sockets are not for me\n");
    return 3;
  }
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &term, NULL) != 0) {
    return 100;
  }
  say("serving\n");
  const int client = accept(3, NULL, NULL);
  if (client < 0 || write(client, "hello\n", 6) != 6) {
    return 101;
  }
  close(client);
  int sig = 0;
  (void)sigwait(&term, &sig);
  close(3);
  say("draining\n");
  sleep(1);
  return 0;
}

static int real_main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "exit") == 0) {
    return atoi(argv[2]);
  }
  if (argc == 3 && strcmp(argv[1], "raise") == 0) {
    const int sig = atoi(argv[2]);
    signal(sig, SIG_DFL);
    raise(sig);
    return 100;
  }
  if (argc == 2 && strcmp(argv[1], "trap-term") == 0) {
    return wait_for_term(1);
  }
  if (argc == 2 && strcmp(argv[1], "ignore-term") == 0) {
    return wait_for_term(0);
  }
  if (argc == 2 && strcmp(argv[1], "serve") == 0) {
    return serve();
  }
  if (argc == 3 && strcmp(argv[1], "sh") == 0) {
    execl("/bin/sh", "sh", "-c", argv[2], (char *)NULL);
    return 127;
  }
  fprintf(stderr, "usage: linked-program exit N | raise N | trap-term | "
                  "ignore-term | serve | sh SCRIPT\n");
  return 64;
}

int main(int argc, char **argv) { return orva_run(real_main, argc, argv); }
