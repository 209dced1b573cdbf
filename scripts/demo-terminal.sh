#!/bin/sh
# SPDX-License-Identifier: MIT
# Shows the terminal hand-off: orva-init as process 1 of a new PID namespace
# on a terminal, with its program's process group in the foreground.
#
# The namespace gets a pseudo-terminal of its own from script(1), so the
# terminal this is started from never changes hands: the hand-off is not
# undone when the program ends, and a shell that shares that terminal
# would be left in the background.
set -eu
: "${ORVA_INIT:?set ORVA_INIT to the orva-init binary}"

if [ "${1-}" = --on-pty ]; then
  # A fresh /proc, so that ps shows the namespace's own pids; process 1
  # leads a session with the terminal as its controlling terminal, as in
  # an interactive container (taking the terminal from script's session
  # needs root).
  if [ "$(id -u)" -eq 0 ]; then
    set -- unshare --pid --fork --mount-proc setsid --ctty
  else
    set -- unshare --pid --fork --mount-proc --map-root-user
  fi
  # shellcheck disable=SC2016 # expanded by the program, not here
  exec "$@" "$ORVA_INIT" sh -c '
    ps -o pid,pgid,tpgid,stat,comm
    pgid=$(ps -o pgid= -p $$)
    tpgid=$(ps -o tpgid= -p $$)
    echo "the program: pid $$, process group $((pgid)); terminal foreground group: $((tpgid))"
    [ "$((pgid))" -eq "$((tpgid))" ]'
fi

echo "== orva-init as process 1 on a terminal =="
# shellcheck disable=SC2016 # expanded by the shell that script(1) starts
if SHELL=/bin/sh ORVA_DEMO_SELF=$0 \
  script -qec 'sh "$ORVA_DEMO_SELF" --on-pty' /dev/null; then
  echo "the program's group owns the terminal"
else
  status=$?
  echo "exit code: $status (the program's group did not get the terminal)"
  exit 1
fi
