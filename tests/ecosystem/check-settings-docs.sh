#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The settings' table is the launcher's --help: every variable and option
# it lists must be in the README's configuration table, every variable in
# orva(7) and orva-init(1), and every long option in orva-init(1).
set -euo pipefail

init=${1:?usage: check-settings-docs.sh ORVA_INIT SOURCE_DIR}
source_dir=${2:?usage: check-settings-docs.sh ORVA_INIT SOURCE_DIR}
help=$("$init" --help)
variables=$(grep -o 'ORVA_[A-Z_]*' <<<"$help" | sort -u)
options=$(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
[ -n "$variables" ] && [ -n "$options" ] || {
  echo "no variables or options in orva-init --help" >&2
  exit 1
}

# The README's table: the rows after "### Configuration" up to the next
# heading.
table=$(sed -n '/^### Configuration/,/^##/p' "$source_dir/README.md" | grep '^|')
# roff writes a hyphen in an option as \-.
roff() { sed 's/\\-/-/g' "$1"; }
command_page=$(roff "$source_dir/man/orva-init.1")
overview_page=$(roff "$source_dir/man/orva.7")

failures=0
lacks() {
  echo "FAIL $1 lacks $2" >&2
  failures=$((failures + 1))
}
for variable in $variables; do
  grep -q -- "\`$variable\`" <<<"$table" || lacks "README's configuration table" "$variable"
  grep -q -- "$variable" <<<"$command_page" || lacks "orva-init(1)" "$variable"
  grep -q -- "$variable" <<<"$overview_page" || lacks "orva(7)" "$variable"
done
for option in $options; do
  case "$option" in --help | --version | --pause) ;;
  *) grep -q -- "$option" <<<"$table" || lacks "README's configuration table" "$option" ;;
  esac
  grep -q -- "$option" <<<"$command_page" || lacks "orva-init(1)" "$option"
done
echo "$(wc -w <<<"$variables") variables and $(wc -w <<<"$options") options checked, $failures failures"
[ "$failures" -eq 0 ]
