#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Formats every manual page in a directory as a reader would see it and
# fails on any warning, on a title that does not match the file name, and
# on rendered lines that run past the terminal width.
set -euo pipefail

dir=${1:?usage: check-man-pages.sh MAN_SOURCE_DIR}
export LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING=

shopt -s nullglob
pages=("$dir"/*.[1-8])
if [ ${#pages[@]} -eq 0 ]; then
  echo "no manual pages in $dir" >&2
  exit 1
fi

failures=0
fail() {
  echo "FAIL $1" >&2
  failures=$((failures + 1))
}

for page in "${pages[@]}"; do
  name=$(basename "$page")
  section=${name##*.}
  title=${name%.*}

  out=$(groff -t -ww -man -z "$page" 2>&1) || fail "$name: groff exited $?"
  [ -z "$out" ] || fail "$name: groff: $out"

  out=$(man --warnings=w -l "$page" 2>&1 >/dev/null) || fail "$name: man exited $?"
  [ -z "$out" ] || fail "$name: man: $out"

  # .TH NAME SECTION ...: the title is the file name in upper case, with
  # the roff escape for a hyphen.
  th=$(sed -n 's/^\.TH \([^ ]*\) \([^ ]*\) .*/\1 \2/p' "$page" | head -n 1)
  want="$(printf '%s' "$title" | tr '[:lower:]' '[:upper:]' | sed 's/-/\\-/g') $section"
  [ "$th" = "$want" ] || fail "$name: .TH says '$th', expected '$want'"

  wide=$(man -l "$page" 2>/dev/null |
    perl -CS -ne 'chomp; print "$.: $_\n" if length > 80')
  [ -z "$wide" ] || fail "$name: lines wider than 80 columns:
$wide"

  grep -q '^\.SH NAME' "$page" || fail "$name: no NAME section"
  grep -q '^\.SH SEE ALSO' "$page" || fail "$name: no SEE ALSO section"
done

echo "${#pages[@]} pages checked, $failures failures"
[ "$failures" -eq 0 ]
