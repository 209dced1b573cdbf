#!/bin/sh
# SPDX-License-Identifier: MIT
# Shows orva-init at work as process 1 of a new PID namespace: a script
# leaves an orphan that process 1 reaps, then a SIGTERM sent to process 1
# from outside reaches the script, and its end comes back as the exit code.
# Exits 0 when everything behaved as described, 1 otherwise.
set -u

: "${ORVA_INIT:?set ORVA_INIT to the orva-init binary}"
here=$(cd "$(dirname "$0")" && pwd)

say() { printf 'demo: %s\n' "$*"; }
failed=0
fail() {
  printf 'orva: demo: %s\n' "$*" >&2
  failed=1
}

# Root makes the namespace directly; anyone else needs a user namespace.
ns="--pid --fork --kill-child --mount-proc"
[ "$(id -u)" -eq 0 ] || ns="--user --map-root-user $ns"
# shellcheck disable=SC2086 # $ns holds several options
if ! unshare $ns true 2>/dev/null; then
  fail "cannot create a PID namespace: run as root or enable unprivileged user namespaces"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orva-demo.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
mkfifo "$work/out"

# Process 2 of the namespace. It prints facts the outer script checks.
# shellcheck disable=SC2016 # expanded by the inner shell, not this one
script='
echo "script: I am pid $$; orva-init is pid 1 and supervises me"
# The command substitution starts a sleeper and exits at once, so the
# sleeper loses its parent and the kernel hands it to process 1.
orphan=$(sleep 1 >/dev/null 2>&1 & echo $!)
echo "script: left orphan $orphan behind; its parent is now pid $(ps -o ppid= -p "$orphan" | tr -d " ")"
ps -o pid,ppid,stat,comm -p "$orphan"
sleep 2
if ps -p "$orphan" >/dev/null; then
  echo "script: orphan $orphan is still there"
else
  echo "script: orphan $orphan has exited and been reaped"
fi
echo "script: processes in the namespace now:"
ps -eo pid,ppid,stat,comm
echo "script: zombies (STAT Z) left: $(ps -eo stat= | grep -c "^Z")"
trap "echo \"script: received SIGTERM, forwarded by pid 1 to my process group; dying of it\"; trap - TERM; kill -TERM \$\$" TERM
echo "script: ready, waiting for SIGTERM"
sleep 30 &
wait $! 2>/dev/null
echo "script: the wait ended without SIGTERM"
exit 1
'

say "starting orva-init as process 1 of a new PID namespace:"
say "  unshare $ns orva-init sh -c SCRIPT"
say "lines marked | come from inside the namespace"
# Output goes through a pipe and stdin is /dev/null, so orva-init has no
# terminal to hand over; scripts/demo-terminal.sh shows that part.
while IFS= read -r line; do
  printf '  | %s\n' "$line"
  printf '%s\n' "$line" >>"$work/log"
done <"$work/out" &
reader=$!
# shellcheck disable=SC2086
unshare $ns "$ORVA_INIT" sh -c "$script" <"/dev/null" >"$work/out" 2>&1 &
outer=$!

# Waits up to $2 tenths of a second for a line matching $1 in the log.
await() {
  n=0
  while [ "$n" -lt "$2" ]; do
    grep -q "$1" "$work/log" 2>/dev/null && return 0
    n=$((n + 1))
    sleep 0.1
  done
  return 1
}

if await "ready, waiting for SIGTERM" 80; then
  pid1=$(ps -o pid= --ppid "$outer" | tr -d ' ')
  say "sending SIGTERM to process 1 of the namespace (pid $pid1 out here)"
  kill -TERM "$pid1"
else
  fail "the script did not get ready in 8 s"
fi

n=0
while kill -0 "$outer" 2>/dev/null && [ "$n" -lt 50 ]; do
  n=$((n + 1))
  sleep 0.1
done
if kill -0 "$outer" 2>/dev/null; then
  fail "process 1 did not end within 5 s of SIGTERM; killing the namespace"
  kill -KILL "$outer"
fi
wait "$outer"
code=$?
wait "$reader"

say "orva-init, process 1, exited with $code"
grep -q "its parent is now pid 1\$" "$work/log" ||
  fail "the orphan was not handed to process 1"
grep -q "has exited and been reaped" "$work/log" ||
  fail "the orphan was not reaped"
grep -q "zombies (STAT Z) left: 0" "$work/log" || fail "zombies were left behind"
grep -q "received SIGTERM" "$work/log" ||
  fail "the script did not receive the SIGTERM sent to process 1"
if [ "$code" -eq 143 ]; then
  say "143 = 128 + 15: the script died of SIGTERM and process 1 passed that on"
else
  fail "expected exit code 143 (128 + SIGTERM), got $code"
fi

if [ "$failed" -eq 0 ]; then
  say "the orphan was reaped, SIGTERM was forwarded and the exit code came back"
fi

if [ -f "$here/demo-terminal.sh" ] && [ -t 0 ]; then
  sh "$here/demo-terminal.sh" || failed=1
fi
exit "$failed"
