#!/usr/bin/env bash
# Runs in the test guest (init.sh, as root, the host's tree read only):
# brings up can0 and can1 (emulated SJA1000 controllers on one wire) at
# 1 Mbit/s and vcan0, then runs each step and prints its verdict. Exit
# status: the number of failed steps.
#
#   guest.sh SOURCE_DIR BUILD_DIR [STEP...]   (no STEP: all of them)
set -u
source_dir=$1
build_dir=$2
shift 2
export KELTO_BIN_DIR=$build_dir/bin KELTO_SOURCE_DIR=$source_dir
e2e=$source_dir/tests/e2e
here=$source_dir/tests/realcan
cd /tmp

ip link set can0 type can bitrate 1000000 && ip link set can0 up &&
    ip link set can1 type can bitrate 1000000 && ip link set can1 up &&
    ip link add dev vcan0 type vcan && ip link set vcan0 up || {
    echo "cannot bring up the CAN interfaces"
    exit 1
}

# The existing end-to-end cases of both tools that run on a CAN interface.
LUMABAR_CASES=(-k test_lists_devices_in_ascending_order -k test_name_read_and_write
               -k Identity.test_serial -k Identity.test_versions -k test_blink_sends
               -k test_id_change_5_to_12 -k test_each_command_sends_one_frame
               -k test_reset_sends)
TORVEXC_CASES=(-k test_scan_in_any_letter_case -k test_every_setting_is_written_then_read_back)
FIRMWARE_CASES=(-k test_update_by_id -k test_recovery_form_finds)

e2e_on() {  # BUS SERVE_IFACE FILE CASES...
    KELTO_E2E_CAN_BUS=$1 KELTO_E2E_SERVE=$2 python3 -B "$e2e/$3" "${@:4}"
}

step_backend_vcan() {
    KELTO_LIVE_CAN=vcan0 KELTO_LIVE_PEER=vcan0 "$build_dir/bin/socketcan_live_test"
}
step_backend_can() {
    KELTO_LIVE_CAN=can0 KELTO_LIVE_PEER=can1 "$build_dir/bin/socketcan_live_test"
}
step_interfaces() { python3 -B "$here/test_interfaces.py" -v; }
step_serve() {
    KELTO_E2E_CAN_BUS=socketcan:vcan0 KELTO_E2E_SERVE=vcan0 python3 -B "$here/test_serve.py" -v
}
step_lumabar_can() { e2e_on socketcan:can0 can1 test_lumabar.py "${LUMABAR_CASES[@]}"; }
step_torvexc_can() { e2e_on socketcan:can0 can1 test_torvexc.py "${TORVEXC_CASES[@]}"; }
step_firmware_can() { e2e_on socketcan:can0 can1 test_firmware.py "${FIRMWARE_CASES[@]}"; }
step_lumabar_vcan() { e2e_on socketcan:vcan0 vcan0 test_lumabar.py "${LUMABAR_CASES[@]}"; }
step_torvexc_vcan() { e2e_on socketcan:vcan0 vcan0 test_torvexc.py "${TORVEXC_CASES[@]}"; }
step_firmware_vcan() { e2e_on socketcan:vcan0 vcan0 test_firmware.py "${FIRMWARE_CASES[@]}"; }
step_bench() {
    python3 -B "$source_dir/bench/realcan_bench.py" --bin "$build_dir/bin" \
        --can socketcan:can0 --serve can1
}

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(backend_vcan backend_can interfaces serve lumabar_can torvexc_can firmware_can
                                   lumabar_vcan torvexc_vcan firmware_vcan bench)
passed=0
failed=0
for s in "${steps[@]}"; do
    echo "== $s"
    start=$(date +%s)
    if "step_$s"; then
        passed=$((passed + 1))
        echo "-- $s: ok ($(($(date +%s) - start)) s)"
    else
        failed=$((failed + 1))
        echo "-- $s: FAILED ($(($(date +%s) - start)) s)"
    fi
done
echo "real-kernel steps: $passed passed, $failed failed"
exit $failed
