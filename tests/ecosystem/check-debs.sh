#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Debian packages as users do, with `cmake --workflow --preset
# deb`, has lintian check them, checks their names, fields and contents,
# installs them with dpkg into a scratch root, runs hardening-check over
# what they installed, builds and runs the examples against the installed
# files, and removes the packages again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

source_dir=${1:?usage: check-debs.sh SOURCE_DIR WORK_DIR}
work=${2:?}

rm -rf "$work"
mkdir -p "$work"

echo "== the deb workflow"
(cd "$source_dir" && cmake --workflow --preset deb)
build=$source_dir/build/deb

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
debs=$build/packages
lib_deb=$debs/liborva0_${version}-1_${arch}.deb
init_deb=$debs/orva-init_${version}-1_${arch}.deb
dev_deb=$debs/liborva-dev_${version}-1_${arch}.deb
for deb in "$lib_deb" "$init_deb" "$dev_deb"; do
  [ -f "$deb" ] || { ls -l "$debs" >&2; echo "missing $deb" >&2; exit 1; }
done
count=$(find "$debs" -maxdepth 1 -name "*_${version}-*.deb" | wc -l)
[ "$count" -eq 3 ] || fail "expected 3 packages, found $count"

echo "== lintian"
command -v lintian >/dev/null ||
  { echo "lintian is missing (package lintian)" >&2; exit 1; }
# Root is fine for looking at packages; lintian says otherwise on stderr.
if lintian --fail-on error,warning --tag-display-limit 0 \
  "$lib_deb" "$init_deb" "$dev_deb" 2> >(grep -v 'root privileges' >&2); then
  echo "ok   lintian reports no error and no warning"
else
  fail "lintian reports the problems above"
fi

echo "== fields"
field() { dpkg-deb -f "$1" "$2"; }
expect_field() {
  local deb=$1 name=$2 pattern=$3 value
  value=$(field "$deb" "$name")
  if [[ "$value" =~ $pattern ]]; then
    echo "ok   $(basename "$deb") $name: $value"
  else
    fail "$(basename "$deb") $name is '$value', expected /$pattern/"
  fi
}
expect_field "$lib_deb" Package '^liborva0$'
expect_field "$lib_deb" Section '^libs$'
expect_field "$lib_deb" Depends '^libc6 \(>= [0-9.]+\)$'
expect_field "$init_deb" Package '^orva-init$'
# orva-init is the static launcher there: it needs nothing, not even libc6.
expect_field "$init_deb" Depends '^$'
expect_field "$dev_deb" Package '^liborva-dev$'
expect_field "$dev_deb" Section '^libdevel$'
expect_field "$dev_deb" Depends "^liborva0 \\(= ${version//./\\.}-1\\)$"
expect_field "$lib_deb" Multi-Arch '^same$'
expect_field "$dev_deb" Multi-Arch '^same$'
for deb in "$lib_deb" "$init_deb" "$dev_deb"; do
  expect_field "$deb" Version "^${version//./\\.}-1$"
  expect_field "$deb" Architecture "^$arch$"
  expect_field "$deb" Maintainer '.+ <.+>'
done

echo "== control files of the library package"
control=$work/control
dpkg-deb -e "$lib_deb" "$control"
[ "$(cat "$control/shlibs")" = "liborva 0 liborva0 (>= $version)" ] ||
  fail "shlibs is '$(cat "$control/shlibs")'"
[ "$(cat "$control/triggers")" = "activate-noawait ldconfig" ] ||
  fail "triggers is '$(cat "$control/triggers")'"
grep -q '^liborva\.so\.0 liborva0 ' "$control/symbols" || fail "liborva0 has no symbols file"
for script in preinst postinst prerm postrm; do
  [ ! -e "$control/$script" ] || fail "liborva0 has a $script script"
done

echo "== contents"
# The copyright file, changelog and lintian overrides are lintian's to check.
contents() {
  dpkg-deb -c "$1" | awk '{ print $6 }' | grep -v '/$' | sed 's|^\./||' |
    grep -Ev '^usr/share/(doc|lintian)/' | sort
}
lib_files=$(contents "$lib_deb")
init_files=$(contents "$init_deb")
dev_files=$(contents "$dev_deb")
expect_files() {
  local what=$1 files=$2 pattern
  shift 2
  for pattern in "$@"; do
    grep -Eq "^$pattern\$" <<<"$files" || fail "$what lacks /$pattern/"
  done
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expect_files liborva0 "$lib_files" "usr/lib/$multiarch/liborva\\.so\\.0" \
  "usr/lib/$multiarch/liborva\\.so\\.${version//./\\.}"
[ "$(wc -l <<<"$lib_files")" -eq 2 ] || fail "liborva0 holds more than the library:"$'\n'"$lib_files"
expect_files orva-init "$init_files" usr/bin/orva-init usr/bin/orva-init-static \
  usr/share/man/man1/orva-init\\.1\\.gz usr/share/man/man1/orva-init-static\\.1\\.gz
[ "$(wc -l <<<"$init_files")" -eq 4 ] || fail "orva-init holds more than expected:"$'\n'"$init_files"
expect_files liborva-dev "$dev_files" usr/include/orva\\.h 'usr/lib/([^/]+/)?liborva\.so' \
  'usr/lib/([^/]+/)?pkgconfig/orva\.pc' 'usr/lib/([^/]+/)?cmake/orva/orvaConfig\.cmake' \
  'usr/lib/([^/]+/)?cmake/orva/orvaConfigVersion\.cmake' 'usr/lib/([^/]+/)?cmake/orva/orvaTargets\.cmake' \
  usr/share/man/man7/orva\\.7\\.gz usr/share/man/man3/orva_run\\.3\\.gz \
  "usr/lib/$multiarch/liborva\\.a"
! grep -q 'liborva\.so\.0' <<<"$dev_files" || fail "liborva-dev holds the shared object itself"

# A root with an empty dpkg database, except libc6, which this machine has
# and which the packages depend on. The packages have no maintainer
# scripts, so nothing needs to run inside the root.
new_root() {
  local root=$1
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  dpkg-query -s libc6 >"$root/var/lib/dpkg/status"
  # One empty file list per installed architecture of libc6.
  dpkg-query -W -f '${binary:Package}\n' libc6 | while read -r pkg; do
    : >"$root/var/lib/dpkg/info/$pkg.list"
  done
}
# Minimal images often tell dpkg to skip manual pages; these are checked.
in_root() {
  dpkg --root="$1" --log=/dev/null --path-include='/usr/share/man/*' "${@:2}"
}

echo "== dependencies are enforced"
new_root "$work/lonely"
if in_root "$work/lonely" -i "$dev_deb" >"$work/lonely.log" 2>&1; then
  fail "liborva-dev installed without liborva0"
else
  grep -q 'liborva0' "$work/lonely.log" || fail "unexpected failure:"$'\n'"$(cat "$work/lonely.log")"
fi

echo "== install into a scratch root"
root=$work/root
new_root "$root"
in_root "$root" -i "$lib_deb" "$init_deb" "$dev_deb"
for pkg in liborva0 orva-init liborva-dev; do
  status=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Status}' "$pkg")
  [ "$status" = "install ok installed" ] || fail "$pkg is '$status'"
done

libdir=$root/usr/lib/$multiarch
# orva-init is the static launcher, under its name too: it runs without
# liborva0 in reach, or anything else.
[ "$(readlink "$root/usr/bin/orva-init")" = orva-init-static ] ||
  fail "/usr/bin/orva-init is not a link to orva-init-static"
expect_run 0 "orva-init version $version - git." "$root/usr/bin/orva-init" --version
expect_run 0 "Usage: orva-init" "$root/usr/bin/orva-init" --help
# The static one needs nothing from the root at all.
expect_run 0 "orva-init version $version - git." env -i "$root/usr/bin/orva-init-static" --version
mandir=$root/usr/share/man
for page in "1 orva-init" "1 orva-init-static" "7 orva" "3 orva_run" \
  "3 orva_drain_zombies_nonblock"; do
  # shellcheck disable=SC2086
  man -M "$mandir" -w $page >/dev/null 2>&1 || fail "man cannot find $page in the package"
done

echo "== hardening and RUNPATH of the installed files"
"$here/check-hardening.sh" "$root/usr" || fail "hardening-check, above"
# The loader finds the library in its own search path; a RUNPATH would only
# make it look in more places.
while IFS= read -r -d '' file; do
  if readelf -d "$file" 2>/dev/null | grep -Eq '\((RUNPATH|RPATH)\)'; then
    fail "${file#"$root"} has a RUNPATH: $(readelf -d "$file" | grep -E 'R(UN)?PATH')"
  fi
done < <(find "$root/usr" -type f -print0)

echo "== the C example against the installed files"
cp -R "$source_dir/examples/c" "$work/example"
if PKG_CONFIG_PATH="$libdir/pkgconfig" make -C "$work/example" \
  CFLAGS="-O2 -Wall -Wextra -Werror"; then
  # The header comes from the scratch root, not from a copy elsewhere.
  read -r include _ <<<"$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags-only-I orva)"
  include=$(readlink -f "${include#-I}")
  [ "$include" = "$(readlink -f "$root/usr/include")" ] ||
    fail "pkg-config points to $include, not into the scratch root"
  LD_LIBRARY_PATH=$libdir expect_run 0 "worker: done" "$work/example/worker" 0
else
  fail "the C example does not build against the installed package"
fi

echo "== the C++ example against the installed files"
if cmake -S "$source_dir/examples/cpp" -B "$work/example-cpp" \
  -DCMAKE_PREFIX_PATH="$root/usr" &&
  cmake --build "$work/example-cpp"; then
  expect_run 4 "exit code 4" "$work/example-cpp/batch" 'exit 4'
else
  fail "the C++ example does not build against the installed package"
fi

echo "== removal"
in_root "$root" --purge liborva-dev orva-init liborva0
left=$(find "$root" -path "$root/var" -prune -o -type f -print -o -type l -print)
[ -z "$left" ] || fail "files left after purge:"$'\n'"$left"

finish
