#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Debian's hardening-check over every ELF file under a directory of
# installed files; any further arguments are passed on to it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

dir=${1:?usage: check-hardening.sh DIR [HARDENING_CHECK_OPTION...]}
shift
command -v hardening-check >/dev/null ||
  { echo "hardening-check is missing (package devscripts)" >&2; exit 1; }

# An option that CTest's generator expression left out arrives empty.
options=()
for option in "$@"; do
  [ -z "$option" ] || options+=("$option")
done
# The linker marks a file as built for control-flow enforcement only when
# every object in it is marked. Where the C library's start files are not
# (Debian 12 among others), nothing linked here can carry the mark, however
# it was compiled.
if ! readelf -n "$(${CC:-cc} -print-file-name=Scrt1.o)" 2>/dev/null |
  grep -q 'IBT'; then
  options+=(--nocfprotection)
fi

# Branch protection (BTI and pointer authentication) exists on AArch64
# alone; hardening-check versions that know it ask it of every file.
branch_option=""
# (Its --help exits with 1.)
help=$(hardening-check --help 2>&1 || true)
if [[ "$help" == *--nobranchprotection* ]]; then
  branch_option=--nobranchprotection
fi

# The relocated read-only data (RELRO) must be read-only at run time too:
# the dynamic loader seals it, the static launcher's start-up code does
# not, so the launcher seals it itself. Checked in a running launcher of
# this machine's architecture: the page the segment begins on is r--p.
relro_sealed() {
  local file=$1 relro pid base start end perms offset path page found=""
  relro=$(readelf -lW "$file" | awk '$1 == "GNU_RELRO" { print $3 }')
  [ -n "$relro" ] || return 1
  "$file" -s sleep 3 >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 50); do
    grep -q "$(realpath "$file")" "/proc/$pid/maps" 2>/dev/null && break
    sleep 0.02
  done
  base=""
  while read -r range perms offset _ _ path; do
    [ "$path" = "$(realpath "$file")" ] || continue
    start=$((16#${range%-*})) end=$((16#${range#*-}))
    [ -n "$base" ] || { [ "$offset" = 00000000 ] && base=$start; }
    [ -n "$base" ] || continue
    page=$(((base + relro) & ~4095))
    if [ "$page" -ge "$start" ] && [ "$page" -lt "$end" ]; then
      found=$perms
    fi
  done <"/proc/$pid/maps"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  [ "$found" = r--p ]
}

checked=0
while IFS= read -r -d '' file; do
  [ "$(od -An -tx1 -N4 "$file" | tr -d ' ')" = 7f454c46 ] || continue
  file_options=("${options[@]}")
  if [ -n "$branch_option" ] &&
    ! readelf -h "$file" | grep 'Machine: *AArch64' >/dev/null; then
    file_options+=("$branch_option")
  fi
  # No function of the launcher has a local array or takes the address of
  # a local, so -fstack-protector-strong gives it no canary, and
  # hardening-check, which looks for the canary's failure call, would call
  # it unprotected.
  [ "$(basename "$file")" != orva-init ] || file_options+=(--nostackprotector)
  # The static launcher is shipped stripped, and a static file has no
  # dynamic symbols either, so no symbol is left in which hardening-check
  # could find the canary's failure call; the library's code in it has
  # canaries all the same.
  [ "$(basename "$file")" != orva-init-static ] ||
    file_options+=(--nostackprotector)
  if hardening-check "${file_options[@]}" "$file"; then
    echo "ok   hardening of ${file#"$dir"/}"
  else
    fail "hardening-check ${file_options[*]} $file"
  fi
  case "$(basename "$file")" in
  orva-init | orva-init-static)
    if ! "$file" --version >/dev/null 2>&1; then
      echo "--   RELRO of ${file#"$dir"/} not run: not for this machine"
    elif relro_sealed "$file"; then
      echo "ok   RELRO of ${file#"$dir"/} read-only at run time"
    else
      fail "RELRO of $file is writable at run time"
    fi
    ;;
  esac
  checked=$((checked + 1))
done < <(find "$dir" -type f -print0 | sort -z)
[ "$checked" -gt 0 ] || fail "no ELF file under $dir"

finish
