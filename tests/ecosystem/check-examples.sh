#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds both examples against an installed orva, the C one through
# pkg-config and the C++ one through find_package, and runs them: as plain
# programs, and as process 1 of a new PID namespace, stopped with SIGTERM.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

prefix=${1:?usage: check-examples.sh PREFIX EXAMPLES_DIR WORK_DIR}
examples=${2:?}
work=${3:?}

pc=$(find "$prefix" -name orva.pc -print -quit)
[ -n "$pc" ] || { echo "no orva.pc under $prefix" >&2; exit 1; }
libdir=$(dirname "$(dirname "$pc")")

rm -rf "$work"
mkdir -p "$work"
cp -R "$examples/c" "$work/c"

echo "== C example through pkg-config"
if PKG_CONFIG_PATH="$libdir/pkgconfig" make -C "$work/c" \
  CFLAGS="-O2 -Wall -Wextra -Werror -std=c11 -pedantic"; then
  export LD_LIBRARY_PATH="$libdir"
  expect_run 0 "worker: done" "$work/c/worker" 0
  expect_run 64 "usage:" "$work/c/worker" soon
  unset LD_LIBRARY_PATH
else
  fail "the C example does not build against $prefix"
fi

echo "== C++ example through find_package"
if cmake -S "$examples/cpp" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" &&
  cmake --build "$work/cpp"; then
  expect_run 3 "batch: stopped, exit code 3" "$work/cpp/batch" true 'exit 3' false
  expect_run 0 "all 2 succeeded" "$work/cpp/batch" true 'test 1 -eq 1'
else
  fail "the C++ example does not build against $prefix"
fi

echo "== as process 1"
if require_pid_namespace && [ -x "$work/c/worker" ] && [ -x "$work/cpp/batch" ]; then
  # SIGTERM reaches process 1 and is forwarded to the worker, which stops
  # cleanly: exit code 0, not 143.
  code=0
  out=$(LD_LIBRARY_PATH="$libdir" stop_as_pid1 "$work/c/worker") || code=$?
  if [ "$code" -ne 0 ] || [[ "$out" != *"stopping on signal 15"* ]]; then
    fail "worker as process 1: exit code $code:"$'\n'"$out"
  else
    echo "ok   worker as process 1 stops on a forwarded SIGTERM"
  fi
  # A command's exit code becomes process 1's; the background sleep it
  # leaves behind is reaped, so nothing in the namespace is a zombie.
  expect_run 5 "zombies: 0" unshare --pid --fork --mount-proc "$work/cpp/batch" \
    '(sleep 0.2 &)' 'sleep 0.6; echo "zombies: $(ps -e -o stat= | grep -c Z)"; exit 5'
fi

finish
