#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages the build and tests need and
# that are missing. Extra package names may be given as arguments.
#   scripts/install-deps.sh                 -> build + test packages
#   scripts/install-deps.sh libbenchmark-dev hyperfine
set -euo pipefail

packages=(cmake make g++ binutils python3 nlohmann-json3-dev libgtest-dev libgmock-dev zlib1g-dev "$@")
packages+=(pkg-config libcpp-httplib-dev)  # kelto_web

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install as root: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "installing: ${missing[*]}" >&2
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
