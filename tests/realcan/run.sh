#!/usr/bin/env bash
# The tools on a real Linux kernel with real CAN drivers: boots Debian's
# kernel (linux-image-amd64's current flavour, unpacked, never installed)
# under qemu-system-x86_64 with software emulation, two emulated Kvaser PCI
# cards (SJA1000 controllers can0 and can1 on one virtual CAN bus) and vcan0,
# and runs guest.sh in it once. The guest sees the host's file system read
# only over 9p, so it runs the programs and python3 of this machine.
#
#   tests/realcan/run.sh BUILD_DIR [GUEST_ARGS...]   exit: the guest's status; 77 skipped
#
# The kernel is kept in BUILD_DIR/realcan between runs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_dir=$(cd "${1:?usage: run.sh BUILD_DIR [GUEST_ARGS...]}" && pwd)
shift
work="$build_dir/realcan"
mkdir -p "$work"

skip() {
    echo "real-kernel CAN test skipped: $*"
    exit 77
}

for tool in qemu-system-x86_64 cpio busybox candump ip; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh qemu-system-x86 cpio busybox-static can-utils iproute2)"
done

# The kernel package that linux-image-amd64 depends on today.
kernel_pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
             awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
[ -n "$kernel_pkg" ] || skip "apt-cache knows no linux-image-amd64 (run apt-get update)"
root="$work/$kernel_pkg"
if [ ! -d "$root/boot" ]; then
    rm -rf "$work/download" "$root.tmp"
    mkdir -p "$work/download"
    (cd "$work/download" && apt-get download "$kernel_pkg" >/dev/null 2>&1) ||
        skip "cannot download $kernel_pkg"
    dpkg-deb -x "$work"/download/*.deb "$root.tmp"
    mv "$root.tmp" "$root"
    rm -rf "$work/download"
fi
vmlinuz=$(ls "$root"/boot/vmlinuz-*)
modules=$(ls -d "$root"/lib/modules/*)/kernel

# The initramfs: busybox, the modules in load order, init and its settings.
initrd="$work/initrd"
rm -rf "$initrd"
mkdir -p "$initrd"/{bin,lib/modules,host,proc,sys,dev}
cp "$(command -v busybox)" "$initrd/bin/busybox"
order=""
for m in drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_modern_dev \
         drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci net/9p/9pnet \
         net/9p/9pnet_virtio fs/netfs/netfs fs/fscache/fscache fs/9p/9p net/can/can \
         net/can/can-raw drivers/net/can/dev/can-dev drivers/net/can/sja1000/sja1000 \
         drivers/net/can/sja1000/kvaser_pci drivers/net/can/vcan; do
    if [ -f "$modules/$m.ko" ]; then
        cp "$modules/$m.ko" "$initrd/lib/modules/"
    else  # a kernel whose modules are compressed
        xz -dc "$modules/$m.ko.xz" >"$initrd/lib/modules/$(basename "$m").ko"
    fi
    order="$order $(basename "$m")"
done
cp "$here/init.sh" "$initrd/init"
chmod +x "$initrd/init"
{
    printf 'MODULES="%s"\n' "$order"
    printf 'SOURCE_DIR=%q\nBUILD_DIR=%q\n' "$source_dir" "$build_dir"
    printf 'GUEST_ARGS=%q\n' "$*"
} >"$initrd/settings"
(cd "$initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.img"

# One virtual CPU: a controller's interrupt is then taken by the CPU that
# ran the tool's send, so a frame's time stamp follows the send even when
# the host is loaded (with two, the other one's thread may wait for the host
# for milliseconds, and a 10 ms pause looked like 2 ms on the wire); and
# program starts are ten times faster than with two.
log="$work/console.log"
echo "booting $kernel_pkg under qemu (TCG); console in $log"
set +e
timeout ${KELTO_REALCAN_TIMEOUT:-900} qemu-system-x86_64 -accel tcg -smp 1 -m 1024 -nodefaults \
    -display none -no-reboot -serial stdio \
    -kernel "$vmlinuz" -initrd "$work/initrd.img" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -object can-bus,id=canbus0 \
    -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0 \
    </dev/null | tee "$log" | tr -d '\r'
qemu_status=${PIPESTATUS[0]}
set -e
status=$(tr -d '\r' <"$log" | sed -n 's/^KELTO-GUEST-STATUS: \([0-9]*\)$/\1/p' | tail -1)
if [ -z "$status" ]; then
    echo "the guest ended without a status (qemu status $qemu_status)"
    exit 1
fi
exit "$status"
