#!/usr/bin/env bash
# Package check: makes the package with cpack, unpacks it into a scratch
# root (dpkg -x for a .deb, tar for a .tar.gz), and checks
#   - the layout: bin/, lib/, share/doc/kelto/, a manual page in
#     share/man/man1/ for every program, each rendered by `man -l` cleanly;
#   - the unpacked tools run from another directory on a simulated bus,
#     finding their own libraries (the CAN stand-in, the driver library);
#   - for a .deb, its metadata (dpkg-deb -I): name, architecture, and
#     dependencies derived from the programs (libc6 with a version).
# Usage (tests/package/CMakeLists.txt passes these):
#   package_test.sh --generator DEB|TGZ --config CPackConfig.cmake --work DIR
#     --source DIR --arch ARCH [--emulator "CMD ARGS"]
set -euo pipefail

generator="" config="" work="" source_dir="" arch="" emulator=""
while [ $# -gt 0 ]; do
  case "$1" in
    --generator) generator=$2 ;;
    --config) config=$2 ;;
    --work) work=$2 ;;
    --source) source_dir=$2 ;;
    --arch) arch=$2 ;;
    --emulator) emulator=$2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift 2
done
programs=(kelto_lumabar kelto_torvexc kelto_sim kelto_hexcheck)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work/root" "$work/elsewhere"
cpack -G "$generator" --config "$config" -B "$work/out" >"$work/cpack.log"
package=$(find "$work/out" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.tar.gz' \))
echo "== $package ($(du -k "$package" | cut -f1) KiB)"

if [ "$generator" = DEB ]; then
  dpkg-deb -I "$package" | tee "$work/info.txt"
  field() { sed -n "s/^ $1: //p" "$work/info.txt"; }
  [ "$(field Package)" = kelto ] || fail "Package: $(field Package)"
  [ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), not $arch"
  # Nothing in the build lists dependencies by hand: these come from dpkg-shlibdeps.
  if grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field Depends)"; then
    pass "dependencies derived: $(field Depends)"
  else
    fail "Depends without a derived libc6 version: $(field Depends)"
  fi
  outside=$(dpkg-deb -c "$package" | awk '{print $NF}' | grep -Ev '^\./(usr/.*)?$' || true)
  [ -z "$outside" ] || fail "files outside /usr: $outside"
  dpkg -x "$package" "$work/root"
  prefix="$work/root/usr"
else
  tar -xzf "$package" -C "$work/root"
  prefix="$work/root/$(basename "$package" .tar.gz)"
fi

echo "== layout"
(cd "$prefix" && find . -type f | sort | sed 's/^/  /')
for program in "${programs[@]}"; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program missing"
done
for lib in libFRC_NetworkCommunication.so libcorvaneDriver.so; do
  [ -f "$prefix/lib/$lib" ] || fail "lib/$lib missing"
done
[ -f "$prefix/share/doc/kelto/README.md" ] || fail "share/doc/kelto/README.md missing"
for program in "$prefix"/bin/*; do
  page="$prefix/share/man/man1/$(basename "$program").1"
  if [ ! -f "$page" ]; then
    fail "no manual page for $(basename "$program")"
    continue
  fi
  rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.err")
  if [ -s "$work/man.err" ] || ! grep -q '^EXIT STATUS' <<<"$rendered"; then
    cat "$work/man.err" >&2
    fail "man -l $(basename "$page") does not render cleanly"
  fi
done
pass "layout and manual pages"

echo "== the unpacked tools on a simulated bus, run from another directory"
run() {
  (cd "$work/elsewhere" && KELTO_CAN_BUS="sim:$work/bus" $emulator "$prefix/bin/$1" "${@:2}")
}
expect() {
  local want=$1 got
  shift
  got=$(run "$@" 2>"$work/run.err") || true
  if [ "$got" = "$want" ]; then
    pass "$* -> $got"
  else
    cat "$work/run.err" >&2
    fail "$*: $got, expected $want"
  fi
}
run kelto_sim add lumabar 3 name=Front >/dev/null
run kelto_sim add torvexc 5 brake=1 >/dev/null
version=$(sed -n 's/^project(kelto VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
expect '{"name":"Front"}' kelto_lumabar 3 name
expect '{"brake":1}' kelto_torvexc 5 brake
expect '{"scan":[3]}' kelto_lumabar scan
expect "{\"version\":\"$version\"}" kelto_torvexc version
python3 "$source_dir/scripts/gen_hex.py" --pages 2 >"$work/elsewhere/image.hex"
expect '{"crc32":"0ac2adea","dropped_records":0,"first_page":0,"first_page_address":0,"last_page":64,"last_page_address":64,"lines_after_eof":0,"pages":2}' kelto_hexcheck image.hex

if [ $failures -gt 0 ]; then
  echo "package: $failures checks failed" >&2
  exit 1
fi
echo "package: all checks passed"
