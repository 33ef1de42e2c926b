#!/usr/bin/env bash
# Unpacks the ARM build's dependencies from Debian's armel packages into
# DIR (the arm preset's KELTO_ARM_DEPS_ROOT), without installing them: zlib
# (static), GoogleTest and GoogleMock (static), nlohmann-json (headers).
# Adds the armel architecture to apt when it is missing (as root).
#   scripts/armel-deps.sh build-armel-deps
set -euo pipefail
root=${1:?usage: armel-deps.sh DIR}
packages=(zlib1g:armel zlib1g-dev:armel libgtest-dev:armel libgmock-dev:armel nlohmann-json3-dev)

stamp="$root/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "armel-deps.sh: needs root for apt-get" >&2; exit 1; }
  sudo=sudo
fi
apt() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
if ! dpkg --print-foreign-architectures | grep -qx armel; then
  $sudo dpkg --add-architecture armel
  apt update -qq
fi

debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
chmod 755 "$debs"
# A machine whose package lists predate the armel architecture: update once.
(cd "$debs" && apt download -qq "${packages[@]}" 2>/dev/null) ||
  { apt update -qq && (cd "$debs" && apt download -qq "${packages[@]}"); }

rm -rf "$root"
mkdir -p "$root"
for deb in "$debs"/*.deb; do
  dpkg -x "$deb" "$root"
done
echo "${packages[*]}" >"$stamp"
echo "armel build dependencies unpacked into $root: ${packages[*]}"
