#!/bin/sh
# SPDX-License-Identifier: MIT
# A start script as many images have: a daemon put in the background in a
# session of its own, then the main program in the foreground. On SIGTERM
# the daemon takes SAVE_SECONDS (default 0.5) to write its state to
# STATE_FILE (default /tmp/daemon.state).
state=${STATE_FILE:-/tmp/daemon.state}
setsid sh -c '
  trap "echo daemon: saving; sleep $2; echo saved >\"$1\"; echo daemon: saved; exit 0" TERM
  echo daemon: ready
  sleep 3600 & wait $!
' daemon "$state" "${SAVE_SECONDS:-0.5}" &
trap 'echo main: stopping; exit 0' TERM
echo main: ready
sleep 3600 &
wait $!
