# SPDX-License-Identifier: MIT
# Shared by the package checks: failure reporting, time-bounded runs and the
# question whether this machine can make a PID namespace.

failures=0
fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

# expect_run WANT_CODE WANT_TEXT COMMAND...: runs COMMAND with a time bound
# and checks its exit code and that its output contains WANT_TEXT.
expect_run() {
  local want_code=$1 want_text=$2 out code=0
  shift 2
  out=$(timeout 30 "$@" 2>&1) || code=$?
  if [ "$code" -ne "$want_code" ]; then
    fail "$*: exit code $code, expected $want_code; output:"$'\n'"$out"
  elif [[ "$out" != *"$want_text"* ]]; then
    fail "$*: output lacks '$want_text':"$'\n'"$out"
  else
    echo "ok   $*"
  fi
}

# Process 1 of a new PID namespace needs root or user namespaces. Without
# them the process-1 runs are skipped, unless ORVA_REQUIRE_PID1 is set.
pid_namespace_available() {
  timeout 10 unshare --pid --fork true >/dev/null 2>&1
}

skipped_pid1=0
require_pid_namespace() {
  if pid_namespace_available; then
    return 0
  fi
  if [ -n "${ORVA_REQUIRE_PID1:-}" ]; then
    fail "cannot create a PID namespace (unshare --pid), and ORVA_REQUIRE_PID1 is set"
  else
    echo "skip the process-1 runs: cannot create a PID namespace here" >&2
    skipped_pid1=1
  fi
  return 1
}

# stop_as_pid1 PROGRAM ARG...: runs PROGRAM as process 1 of a new PID
# namespace, waits for its first line of output, sends SIGTERM to that
# process 1 from outside, and prints what it wrote; returns its exit code.
stop_as_pid1() {
  local log pid1 code=0
  log=$(mktemp)
  unshare --pid --fork "$@" >"$log" 2>&1 &
  local outer=$!
  for _ in $(seq 100); do
    [ -s "$log" ] && break
    sleep 0.1
  done
  pid1=$(pgrep -P "$outer" | head -n 1 || true)
  if [ -n "$pid1" ]; then
    kill -TERM "$pid1"
  fi
  # unshare waits for its child; bound the wait in case nothing stops it.
  for _ in $(seq 100); do
    kill -0 "$outer" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$outer" 2>/dev/null; then
    kill -KILL "$outer" "$pid1" 2>/dev/null || true
    echo "still running 10 s after SIGTERM" >>"$log"
  fi
  wait "$outer" || code=$?
  cat "$log"
  rm -f "$log"
  return "$code"
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failures" >&2
    exit 1
  fi
  if [ "$skipped_pid1" -ne 0 ]; then
    exit 77
  fi
  echo "all checks passed"
}
