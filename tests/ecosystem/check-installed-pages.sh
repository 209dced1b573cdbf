#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the installed manual pages the way a reader reaches them: every
# function the header exports, the launcher and the overview open with man
# (through their links where they share a page) and format without
# warnings, and every orva page that a page refers to exists.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

prefix=${1:?usage: check-installed-pages.sh PREFIX HEADER}
header=${2:?}
mandir=$prefix/share/man
export LC_ALL=C.UTF-8 MANWIDTH=80

mapfile -t functions < <(grep -oE '^ORVA_EXPORT [^(]*\b(orva_[a-z_]+)\(' "$header" |
  grep -oE 'orva_[a-z_]+\($' | tr -d '(')
[ ${#functions[@]} -eq 8 ] || fail "expected 8 exported functions in $header, found ${#functions[@]}"

check_page() {
  local section=$1 name=$2 out
  if ! man -M "$mandir" -w "$section" "$name" >/dev/null 2>&1; then
    fail "no page for $name($section) under $mandir"
    return
  fi
  out=$(man --warnings=w -M "$mandir" "$section" "$name" 2>&1 >/dev/null) ||
    fail "man $section $name exited $?"
  [ -z "$out" ] || fail "man $section $name: $out"
  # A link must show the page that documents the name.
  man -M "$mandir" "$section" "$name" 2>/dev/null | grep -q "$name" ||
    fail "the page shown for $name($section) does not mention it"
}

for function in "${functions[@]}"; do
  check_page 3 "$function"
done
check_page 1 orva-init
check_page 7 orva

# Cross-references such as ".BR orva_run (3)" in any installed page.
refs=$(for page in "$mandir"/man?/orva*; do zcat "$page"; done |
  sed -n 's/^\.BR \(orva[a-z_\\-]*\) (\([1-8]\)).*/\1 \2/p' | sed 's/\\-/-/g' | sort -u)
[ -n "$refs" ] || fail "no cross-references found"
while read -r name section; do
  man -M "$mandir" -w "$section" "$name" >/dev/null 2>&1 ||
    fail "a page refers to $name($section), which is not installed"
done <<<"$refs"

echo "checked ${#functions[@]} functions and $(wc -l <<<"$refs") cross-references"
finish
