#!/usr/bin/env bash
# One simulated bus used by the programs of two builds, the build machine's
# and the controller's (ARM, under its emulator): the bus state file must
# mean the same to both (record layout, widths, alignment), so each sees and
# changes what the other wrote, flash pages included.
#   shared_bus_test.sh NATIVE_BIN_DIR FOREIGN_BIN_DIR "EMULATOR ARGS" SOURCE_DIR
# Exits 77 (skipped) when NATIVE_BIN_DIR holds no kelto_sim.
set -euo pipefail
native=$1 foreign=$2 emulator=$3 source_dir=$4
if [ ! -x "$native/kelto_sim" ]; then
  echo "no native build in $native: nothing to compare with"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KELTO_CAN_BUS="sim:$work/bus"
failures=0

# expect WANT BUILD PROGRAM ARGS...: standard output of one run.
expect() {
  local want=$1 build=$2 got
  shift 2
  if [ "$build" = native ]; then
    got=$("$native/$1" "${@:2}" 2>/dev/null) || true
  else
    got=$($emulator "$foreign/$1" "${@:2}" 2>/dev/null) || true
  fi
  if [ "$got" = "$want" ]; then
    echo "ok: $build $* -> $got"
  else
    echo "FAIL: $build $*: $got, expected $want" >&2
    failures=$((failures + 1))
  fi
}
field() { sed -n "s/.*\"$1\":\\([^,}]*\\).*/\\1/p"; }

"$native/kelto_sim" add torvexc 5 brake=7 name=Native >/dev/null
$emulator "$foreign/kelto_sim" add lumabar 3 name=Arm >/dev/null
expect '{"brake":7}' foreign kelto_torvexc 5 brake
expect '{"name":"Native"}' foreign kelto_torvexc 5 name
expect '{"name":"Arm"}' native kelto_lumabar 3 name
expect '{"brake":3}' foreign kelto_torvexc 5 brake 3
expect '{"brake":3}' native kelto_torvexc 5 brake
expect '{"scan":[3]}' native kelto_lumabar scan

python3 "$source_dir/scripts/gen_hex.py" --pages 3 -o "$work/image.hex"
$emulator "$foreign/kelto_lumabar" 3 firmware "$work/image.hex" >/dev/null 2>&1
image_crc=$("$native/kelto_hexcheck" "$work/image.hex" | field crc32)
flash=$("$native/kelto_sim" show lumabar 3 | sed -n 's/.*"flash":\({[^}]*}\).*/\1/p')
if [ "$flash" = "{\"crc32\":$image_crc,\"pages\":3}" ]; then
  echo "ok: a flash written from the foreign build reads back natively: $flash"
else
  echo "FAIL: flash after the foreign update: $flash, image $image_crc" >&2
  failures=$((failures + 1))
fi
if [ "$("$native/kelto_sim" trace)" = "$($emulator "$foreign/kelto_sim" trace)" ]; then
  echo "ok: both builds read the same trace"
else
  echo "FAIL: the builds read different traces" >&2
  failures=$((failures + 1))
fi

[ $failures -eq 0 ] || { echo "shared bus: $failures checks failed" >&2; exit 1; }
echo "shared bus: all checks passed"
