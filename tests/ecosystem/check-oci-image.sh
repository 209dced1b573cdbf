#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The multi-platform image the dist target wrote, as users meet it: its
# index names every platform built; each platform's image runs /orva-init,
# its one layer holding that platform's launcher; the archive goes into a
# private containers-storage as a list; a Containerfile takes /orva-init
# from there with COPY --from, built for this machine's platform and
# another, and once more straight from the archive; the build for this
# machine runs under runc with orva-init as process 1. Nothing is pulled
# from a network.
# Usage: check-oci-image.sh DIST_DIR VERSION COMMIT 'ARCH=PLATFORM...'
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

dist=${1:?usage: check-oci-image.sh DIST_DIR VERSION COMMIT 'ARCH=PLATFORM...'}
version=${2:?} commit=${3:?} targets=${4:?}
archive=$dist/orva-init-oci.tar

for tool in skopeo buildah umoci runc jq file; do
  command -v "$tool" >/dev/null ||
    { echo "$tool is missing (scripts/dev test installs it)" >&2; exit 1; }
done
# Storage, runtime state and their sockets in a short path of their own,
# however deep the build tree is.
work=$(mktemp -d /tmp/orva-oci.XXXXXX)
runc=(runc --root "$work/runc")
id=orva-oci-$$
trap '"${runc[@]}" delete --force "$id" 2>/dev/null; rm -rf "$work"' EXIT
export TMPDIR=$work
policy=$work/policy.json
echo '{"default": [{"type": "insecureAcceptAnything"}]}' >"$policy"

# os/architecture[/variant] of an index entry's platform, or of a config.
def='def platform: "\(.os)/\(.architecture)" +
  (if .variant then "/\(.variant)" else "" end);'
blob() { echo "$dist/oci/blobs/${1/://}"; }
# The platforms an index lists, one a line, sorted.
listed() { jq -r "$def .manifests[].platform | platform" | sort; }
want=$(for t in $targets; do echo "${t#*=}"; done | sort)

echo "== the index"
skopeo inspect --raw "oci:$dist/oci:$version" >"$work/index.json"
echo "index sha256:$(sha256sum <"$work/index.json" | cut -d' ' -f1)"
got=$(listed <"$work/index.json")
if [ "$got" != "$want" ]; then
  fail "the index lists"$'\n'"$got"$'\n'"instead of"$'\n'"$want"
elif ! jq -e '.mediaType == "application/vnd.oci.image.index.v1+json"' \
  "$work/index.json" >/dev/null; then
  fail "not an image index: $(head -c 200 "$work/index.json")"
else
  echo "ok   an image index of ${got//$'\n'/ }"
fi
skopeo inspect --raw "oci-archive:$archive" | cmp - "$work/index.json" ||
  fail "the archive's index is not the layout's"

echo "== each platform's image"
# check_image ARCH PLATFORM: the image of PLATFORM in the index.
check_image() {
  local arch=$1 platform=$2 manifest config layer listing
  manifest=$(jq -r --arg p "$platform" \
    "$def .manifests[] | select(.platform | platform == \$p) | .digest" \
    "$work/index.json")
  [ -n "$manifest" ] || return 0 # reported above
  manifest=$(blob "$manifest")
  config=$(blob "$(jq -r .config.digest "$manifest")")
  layer=$(jq -r '.layers | if length == 1 then .[0].digest else "" end' \
    "$manifest")
  [ -n "$layer" ] || { fail "$platform: not one layer"; return; }
  listing=$(tar -tvzf "$(blob "$layer")")
  if [[ "$listing" != "-rwxr-xr-x 0/0 "*" orva-init" ]]; then
    fail "$platform: the layer holds"$'\n'"$listing"
  elif ! tar -xzOf "$(blob "$layer")" orva-init |
    cmp - "$dist/orva-init-static-$arch"; then
    fail "$platform: /orva-init is not orva-init-static-$arch"
  elif ! jq -e --arg p "$platform" --arg v "$version" --arg c "$commit" \
    "$def"' platform == $p and .config.Entrypoint == ["/orva-init", "--"]
      and (.config.Labels["org.opencontainers.image.source"] | length > 0)
      and (.config.Labels | del(.["org.opencontainers.image.source"])) == {
        "org.opencontainers.image.licenses": "MIT",
        "org.opencontainers.image.revision": $c,
        "org.opencontainers.image.version": $v}' "$config" >/dev/null; then
    fail "$platform: config $(jq -c . "$config")"
  else
    echo "ok   $platform: /orva-init is orva-init-static-$arch, 0755, root's"
  fi
}
for t in $targets; do
  check_image "${t%%=*}" "${t#*=}"
done

# Container storage and runc need root here; without it the rest is
# skipped, unless ORVA_REQUIRE_PID1 is set.
if [ "$(id -u)" -ne 0 ]; then
  if [ -n "${ORVA_REQUIRE_PID1:-}" ]; then
    fail "not root: cannot build or run images, and ORVA_REQUIRE_PID1 is set"
  else
    echo "skip the image builds: they need root" >&2
    skipped_pid1=1
  fi
  finish
fi

echo "== into containers-storage as a list"
storage="containers-storage:[vfs@$work/s+$work/r]"
buildah=(buildah --root "$work/s" --runroot "$work/r" --storage-driver vfs)
list=localhost/orva-init:$version
# skopeo copy --all will not write a list into containers-storage ("does
# not support copying multiple images as a group"), so each platform goes
# in on its own and buildah lists them, as podman manifest would.
"${buildah[@]}" manifest create "$list" >/dev/null
for t in $targets; do
  IFS=/ read -r os arch variant <<<"${t#*=}"
  skopeo --policy "$policy" copy -q --override-os "$os" \
    --override-arch "$arch" ${variant:+--override-variant "$variant"} \
    "oci-archive:$archive" "$storage$list-${t%%=*}"
  "${buildah[@]}" manifest add "$list" "$storage$list-${t%%=*}" >/dev/null
done
got=$(skopeo inspect --raw "$storage$list" | listed)
if [ "$got" = "$want" ]; then
  echo "ok   $list lists ${got//$'\n'/ }"
else
  fail "$list lists"$'\n'"$got"$'\n'"instead of"$'\n'"$want"
fi

echo "== COPY --from, for two platforms and from the archive"
context=$work/context
mkdir "$context"
# This machine's busybox stands in for the program in every build: only
# the build for this machine runs.
cp "$(command -v busybox)" "$context/busybox"
# The program ends with 7 only as the child of a process 1 that is not
# itself: orva-init supervising it.
cat >"$context/Containerfile" <<'EOF'
ARG ORVA_IMAGE
FROM scratch
ARG ORVA_IMAGE
COPY --from=${ORVA_IMAGE} /orva-init /orva-init
COPY busybox /bin/busybox
ENTRYPOINT ["/orva-init", "--"]
CMD ["/bin/busybox", "sh", "-c", "[ $$ -ne 1 ] && [ $PPID -eq 1 ] && exit 7"]
EOF
native=$(uname -m)
for build in "linux/arm64 aarch64 $list" "linux/amd64 x86_64 $list" \
  "linux/arm/v7 armv7l oci-archive:$archive"; do
  read -r platform arch from <<<"$build"
  [[ " $targets " == *" $arch=$platform "* ]] || continue
  case $arch in
  x86_64) machine="x86-64" ;;
  aarch64) machine="ARM aarch64" ;;
  armv7l) machine="ARM, EABI5" ;;
  esac
  image=localhost/orva-from-image:$arch
  bundle=$work/bundle-$arch
  if ! "${buildah[@]}" bud -q --pull=never --format oci \
    --signature-policy "$policy" --platform "$platform" \
    --build-arg "ORVA_IMAGE=$from" -t "$image" "$context" >/dev/null; then
    fail "$platform: buildah bud from $from failed"
  elif ! skopeo --policy "$policy" copy -q "$storage$image" \
    "oci:$work/layout:$arch" ||
    ! umoci unpack --image "$work/layout:$arch" "$bundle" >/dev/null; then
    fail "$platform: cannot unpack $image"
  elif ! cmp "$bundle/rootfs/orva-init" "$dist/orva-init-static-$arch" ||
    [[ "$(file -b "$bundle/rootfs/orva-init")" != *", $machine"* ]]; then
    fail "$platform: /orva-init is $(file -b "$bundle/rootfs/orva-init")"
  else
    echo "ok   $platform from $from: /orva-init for $machine"
  fi
done

echo "== the image for this machine, under runc"
bundle=$work/bundle-$native
if [ -d "$bundle" ]; then
  # No terminal to hand over, and no limits, which not every machine can set.
  jq '.process.terminal = false | del(.linux.resources)' \
    "$bundle/config.json" >"$work/config.json"
  mv "$work/config.json" "$bundle/config.json"
  code=0
  out=$(timeout 60 "${runc[@]}" run --bundle "$bundle" "$id" 2>&1) ||
    code=$?
  if [ "$code" -eq 7 ]; then
    echo "ok   orva-init as process 1 returns the program's exit code 7"
  else
    fail "runc run: exit code $code, expected 7: $out"
  fi
else
  fail "no image was built for this machine ($native)"
fi

finish
