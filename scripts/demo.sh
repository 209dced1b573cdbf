#!/bin/sh
# Placeholder demonstration: orva-init as process 1 of a new PID namespace.
set -eu
: "${ORVA_INIT:?set ORVA_INIT to the orva-init binary}"
unshare --pid --fork "$ORVA_INIT" sh -c 'echo "pid $$: exiting with 3"; exit 3' || echo "exit code: $?"
