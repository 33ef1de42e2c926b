#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the
# normal build, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails), the ARM cross build with
# its suite under qemu-arm, and a short run of each libFuzzer target (when
# clang and its fuzzer runtime are present).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh clang libclang-rt-14-dev
# The page's browser tests; without them those tests skip with one line.
scripts/install-deps.sh chromium chromium-driver python3-selenium ||
  echo "== chromium could not be installed: the browser tests will be skipped"
# The real-kernel CAN test (tests/realcan) boots Debian's kernel under qemu;
# without these it is skipped with one line.
scripts/install-deps.sh qemu-system-x86 cpio busybox-static can-utils iproute2 ||
  echo "real-kernel CAN test: qemu, cpio, busybox, can-utils or iproute2 could not be installed"
# The package tests: dpkg-shlibdeps and file for cpack's .deb, man for the pages.
scripts/install-deps.sh dpkg-dev file man-db

for preset in default asan; do
  echo "== $preset build"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# The controller's architecture: cross build, and every test under qemu-arm.
echo "== arm build (tests under qemu-arm)"
scripts/install-deps.sh g++-arm-linux-gnueabi binutils-arm-linux-gnueabi qemu-user
scripts/armel-deps.sh build-armel-deps
cmake --preset arm
cmake --build --preset arm
ctest --preset arm

fuzzer_lib=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
if [ -f "$fuzzer_lib" ]; then
  echo "== fuzz targets"
  cmake --preset fuzz
  cmake --build --preset fuzz
  ctest --preset fuzz
else
  echo "== fuzz targets skipped: no clang with libFuzzer"
fi
