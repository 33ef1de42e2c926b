#!/usr/bin/env bash
# Installs what is missing, builds the programs and shows their main job on
# the embedded simulated bus: virtual devices, a scan, name, versions and
# serial, a lighting command, blink, an ID change, a motor setting and a
# firmware update, then the devices' state and the bus trace.
# scripts/demo.sh --web serves the configuration page on that bus instead.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kelto_lumabar kelto_torvexc kelto_sim kelto_hexcheck corvaneDriver >/dev/null

bin=$PWD/build/bin
bus=$PWD/build/demo-bus
export KELTO_CAN_BUS="sim:$bus"
export PATH="$bin:$PATH"

# --web: kelto_web on the demo bus with two devices of each kind, until Ctrl-C.
if [ "${1:-}" = "--web" ]; then
  cmake --build --preset default --target kelto_web >/dev/null
  url="http://127.0.0.1:${KELTO_WEB_PORT:-5809}/"
  kelto_sim clear >/dev/null
  kelto_sim add lumabar 3 name=Front serial=LB000003 >/dev/null
  kelto_sim add lumabar 12 name=Rear firmware=2.3 bootloader=1.4 >/dev/null
  kelto_sim add torvexc 5 name=Arm brake=1 >/dev/null
  kelto_sim add torvexc 7 name=Intake inverted=1 >/dev/null
  python3 scripts/gen_hex.py --pages 16 -o build/demo-image.hex
  echo "# open $url (an image to flash: build/demo-image.hex); Ctrl-C stops"
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && command -v xdg-open >/dev/null; then
    (sleep 1 && xdg-open "$url" >/dev/null 2>&1 &)
  fi
  exec kelto_web --listen "127.0.0.1:${KELTO_WEB_PORT:-5809}"
fi

# Prints a command, runs it, and shows its exit status when it is not 0.
run() {
  echo "\$ $*"
  local rc=0
  "$@" || rc=$?
  [ "$rc" -eq 0 ] || echo "(exit status $rc)"
}

echo "# simulated bus: KELTO_CAN_BUS=$KELTO_CAN_BUS"
kelto_sim clear >/dev/null
run kelto_sim add lumabar 3 name=Front >/dev/null
run kelto_sim add lumabar 12 firmware=2.3 bootloader=1.4 >/dev/null
run kelto_sim add torvexc 5 name=Arm >/dev/null
echo
run kelto_lumabar scan
run kelto_lumabar 3 name
run kelto_lumabar 3 name Left Bar
run kelto_lumabar 12 versions
run kelto_lumabar 12 serial
run kelto_lumabar 3 showrgb 255 64 0
run kelto_lumabar 3 blink 5
run kelto_lumabar 12 id 20
run kelto_lumabar 60 serial
run kelto_torvexc SCAN
run kelto_torvexc 5 brake 1
run kelto_lumabar version
echo
python3 scripts/gen_hex.py --pages 4 -o build/demo-image.hex
run kelto_hexcheck build/demo-image.hex
run kelto_lumabar 3 firmware build/demo-image.hex
echo
echo "# what the devices hold now"
for d in "lumabar 3" "lumabar 20" "torvexc 5"; do
  kelto_sim show $d | python3 -c 'import json, sys
d = json.load(sys.stdin)
keep = ("kind", "id", "name", "serial", "firmware", "blink", "mode", "flash", "brake")
print({k: d[k] for k in keep if k in d} | ({"led": {k: d["led"][k] for k in ("mode", "rgb")}} if "led" in d else {}))'
done
echo
echo "# the last frames on the bus (kelto_sim trace)"
kelto_sim trace | tail -n 8
