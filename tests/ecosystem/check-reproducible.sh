#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the static launchers and their image a second time, from a copy of
# the source tree in another directory, later and with fresh file times and
# another umask, and checks that every launcher, the image's archive and
# SHA256SUMS come out byte for byte as in DIST_DIR, and the image's index
# with the same digest.
# The copy has no git checkout, so it is told the commit the first build
# found, as a build from a source archive would be.
# Usage: check-reproducible.sh SOURCE_DIR DIST_DIR SCRATCH 'ARCH...' EPOCH COMMIT
set -euo pipefail
source_dir=$1 dist_dir=$2 scratch=$3 arches=${4// /;} epoch=$5 commit=$6

rm -rf "$scratch"
copy=$scratch/another-checkout/orva
mkdir -p "$copy"
tar -C "$source_dir" --exclude=./.git --exclude='./build*' --exclude=./dist \
  --exclude='./_*' -cf - . | tar -C "$copy" -xf - --touch
cmake -S "$copy" -B "$scratch/elsewhere/b" -G Ninja -DORVA_BUILD_TESTS=OFF \
  "-DORVA_STATIC_ARCH=$arches" -DORVA_SOURCE_DATE_EPOCH="$epoch" \
  -DORVA_COMMIT="$commit" \
  -DORVA_DIST_DIR="$scratch/dist" >"$scratch/configure.log" 2>&1 ||
  { cat "$scratch/configure.log" >&2; exit 1; }
(umask 077 && cmake --build "$scratch/elsewhere/b" --target dist) \
  >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; exit 1; }

failures=0
for file in "$dist_dir"/SHA256SUMS "$dist_dir"/orva-init-static-* \
  "$dist_dir"/orva-init-oci.tar "$dist_dir"/oci/index.json; do
  name=${file#"$dist_dir"/}
  if cmp "$file" "$scratch/dist/$name"; then
    echo "same $name"
  else
    echo "FAIL $name differs between the two builds" >&2
    failures=$((failures + 1))
  fi
done
if ! diff <(cd "$dist_dir" && ls) <(cd "$scratch/dist" && ls); then
  echo "FAIL the two builds made different files" >&2
  failures=$((failures + 1))
fi
(cd "$dist_dir" && sha256sum -c --quiet SHA256SUMS) || failures=$((failures + 1))
cat "$dist_dir/SHA256SUMS"
for dir in "$dist_dir" "$scratch/dist"; do
  echo "image index $(grep -o 'sha256:[0-9a-f]*' "$dir/oci/index.json") in $dir"
done
[ "$failures" -eq 0 ]
