#!/usr/bin/env bash
# End-to-end run of the kelto_sim program against a fresh simulated bus:
# the output and exit status of every subcommand, errors included.
# Usage: kelto_sim_cli_test.sh PATH/TO/kelto_sim
set -u
SIM=$1
BUS=$(mktemp -d)
trap 'rm -rf "$BUS"' EXIT
export KELTO_CAN_BUS="sim:$BUS/bus"
failures=0

# expect STATUS PATTERN ARGS...: runs kelto_sim ARGS, checks the exit status
# and that standard output matches the extended regular expression PATTERN.
expect() {
    local want=$1 pattern=$2
    shift 2
    local out rc
    out=$("$SIM" "$@" 2>/dev/null)
    rc=$?
    if [[ $rc -ne $want ]] || ! grep -Eq -- "$pattern" <<<"$out"; then
        echo "FAIL: kelto_sim $* -> status $rc (want $want), output: $out"
        failures=$((failures + 1))
    fi
}

expect 2 '^\{"error":"missing command' 
expect 0 '^usage: kelto_sim' --help
expect 2 '^\{"error":"unknown command \\"frob\\"' frob
expect 2 '^\{"error":"wrong number of arguments for show' show lumabar
expect 2 '^\{"error":"unknown kind \\"lamp\\"' show lamp 5
expect 2 '^\{"error":"bad device ID \\"64\\"' add lumabar 64
expect 2 '^\{"error":"expected KEY=VALUE' add lumabar 5 name

expect 0 '^\{"devices":\[\]\}$' list
expect 0 '"id":5,"kind":"lumabar".*"mode":"app".*"serial":"LB000005"' add lumabar 5 name=Front
expect 0 '"brake":3.*"kind":"torvexc".*"serial":"TC000009"' add torvexc 9 brake=3 firmware=2.7
expect 1 '^\{"error":"lumabar with ID 5 already exists"\}$' add lumabar 5
expect 1 '^\{"error":"unknown key \\"colour\\""' set lumabar 5 colour=red
expect 1 '^\{"error":"key brake applies to torvexc only"\}$' set lumabar 5 brake=1
expect 1 '^\{"error":"bad value \\"256\\" for status' set lumabar 5 status=256
expect 1 '^\{"error":"bad value \\"1.256\\" for firmware' set torvexc 9 firmware=1.256
expect 1 '^\{"error":"bad value \\"NineBytes\\" for name' set torvexc 9 name=NineBytes
# A refused pair refuses the whole command: the valid one before it is not applied.
expect 1 'error' set lumabar 5 status=9 mute=2
expect 0 '"mute":0,.*"status":0' show lumabar 5
expect 0 '"mode":"bootloader".*"status":200' set lumabar 5 mode=bootloader status=200
expect 0 '"flash":\{"crc32":"00000000","pages":0\}' show torvexc 9
expect 0 '"led":\{"cycle":\[0,0\],"fade":\[0,0\],"mode":"off","register":0,"registers":\[\[0,0,0,0\]' show lumabar 5
expect 1 '^\{"error":"no torvexc with ID 5"\}$' show torvexc 5
expect 0 '^\{"devices":\[\{.*"kind":"lumabar".*\},\{.*"kind":"torvexc".*\}\]\}$' list
expect 0 '^\{"removed":\{"id":9,"kind":"torvexc"\}\}$' remove torvexc 9
expect 1 '^\{"error":"no torvexc with ID 9"\}$' remove torvexc 9

printf '(1700000000.000100) sim 08073805#\n' >"$BUS/bus/trace.log"
expect 0 '^\(1700000000\.000100\) sim 08073805#$' trace
expect 0 '^\{"trace":"cleared"\}$' trace --clear
expect 0 '^$' trace
expect 2 'unknown trace option' trace --wipe

# serve checks its interface before it serves anything (no CAN here: the
# real-kernel test in tests/realcan serves on live interfaces).
expect 2 'wrong number of arguments for serve' serve
expect 2 'wrong number of arguments for serve' serve vcan0 can0
expect 1 '^\{"error":"socketcan: \\"lo\\" is not a CAN interface' serve lo
expect 1 '^\{"error":"socketcan: no network interface \\"nosuch0\\"' serve nosuch0
expect 1 '^\{"error":"socketcan: \\"a/b\\": an interface name holds no' serve a/b
expect 1 '^\{"error":"socketcan: \\"\\": the interface name is empty' serve ''

# A corrupt state is reported, and clear recovers it.
printf 'garbage' | dd of="$BUS/bus/bus.state" conv=notrunc status=none
expect 1 '^\{"error":"simulated bus state .* is corrupt' list
expect 0 '^\{"cleared":true\}$' clear
expect 0 '^\{"devices":\[\]\}$' list

KELTO_CAN_BUS=foo expect 1 '^\{"error":"kelto: KELTO_CAN_BUS=\\"foo\\" names no bus' list

if [[ $failures -ne 0 ]]; then
    echo "$failures failed"
    exit 1
fi
echo "kelto_sim CLI: all checks passed"
