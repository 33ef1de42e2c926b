#!/bin/busybox sh
# /init of the test guest: loads the modules, mounts the host's file system
# read only and runs guest.sh in it; prints the status and powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
. /settings
for m in $MODULES; do
    insmod /lib/modules/$m.ko || echo "insmod $m failed"
done
status=1
if mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot /host; then
    mount -t proc proc /host/proc
    mount -t sysfs sys /host/sys
    mount -t devtmpfs dev /host/dev
    # The guest writes only to a /tmp and /run of its own. A tree of the test
    # under the host's /tmp (a clone there) stays visible through a bind.
    mkdir -p /hosttmp
    mount -o bind /host/tmp /hosttmp
    mount -t tmpfs tmp /host/tmp
    for d in "$SOURCE_DIR" "$BUILD_DIR"; do
        case "$d" in
            /tmp/*) mkdir -p "/host$d" && mount -o bind "/hosttmp${d#/tmp}" "/host$d" ;;
        esac
    done
    mount -t tmpfs run /host/run
    chroot /host /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp \
        /bin/bash "$SOURCE_DIR/tests/realcan/guest.sh" "$SOURCE_DIR" "$BUILD_DIR" $GUEST_ARGS
    status=$?
else
    echo "cannot mount the host's file system over 9p"
fi
echo "KELTO-GUEST-STATUS: $status"
poweroff -f
