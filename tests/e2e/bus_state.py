"""The simulated bus's state file as the hostile-state and kill-point tests
read and damage it, and runs of the programs under resource limits.

The offsets are those of sim/bus_format.h (its static_asserts pin them):

    header 64 bytes: magic[8] version u32 deviceBytes u32 generation u64
                     slotCount u32 ringNext u32
    ring   at 64:    256 frames of 24 bytes: timeUs i64, id u32, len u8, data[8]
    slots  at 8192:  128 devices of 360 bytes; flash bit map of 128 bytes at 232
    flash  at 65536: 64 KiB per slot, 64-byte pages
"""

import os
import struct
import subprocess
import sys
import time

import harness

SLOT_COUNT_AT = 24
RING_AT = 64
FRAME_BYTES = 24
SLOT_AT = 8192
DEVICE_BYTES = 360
WRITTEN_AT = 232
FLASH_AT = 65536
FLASH_BYTES = 65536
PAGE_BYTES = 64


def state_path(bus):
    return os.path.join(bus.dir, "bus", "bus.state")


def trace_path(bus):
    return os.path.join(bus.dir, "bus", "trace.log")


def poke(bus, offset, data):
    """Writes bytes into the state file at offset."""
    with open(state_path(bus), "r+b") as f:
        f.seek(offset)
        f.write(data)


def frame_bytes(time_us, ident, length, data=b""):
    return struct.pack("<qIB8s3x", time_us, ident, length, data)


def written_pages(bus, slot=0):
    """{page address: 64 bytes} of the pages marked written in `slot`."""
    with open(state_path(bus), "rb") as f:
        f.seek(SLOT_AT + slot * DEVICE_BYTES + WRITTEN_AT)
        bits = f.read(128)
        pages = {}
        for page in range(1024):
            if bits[page // 8] >> (page % 8) & 1:
                f.seek(FLASH_AT + slot * FLASH_BYTES + page * PAGE_BYTES)
                pages[page * PAGE_BYTES] = f.read(PAGE_BYTES)
    return pages


def pages_marked_without_data(bus, image_pages, slot=0):
    """Addresses of pages marked written whose bytes are not the image's."""
    return [a for a, data in written_pages(bus, slot).items() if image_pages.get(a) != data]


def run_limited(bus, fsize, name, *args):
    """Runs bin/NAME on the bus with the file-size limit set to `fsize` bytes
    (util-linux prlimit, so no Python code runs in the forked child; under
    KELTO_RUNNER the emulator runs with the limit)."""
    argv = ["prlimit", "--fsize=%d" % fsize, *harness.command(harness.program(name), *args)]
    start = time.monotonic()
    p = subprocess.run(argv, env=bus.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=harness.RUN_TIMEOUT)
    return harness.Result(p.returncode, p.stdout, p.stderr, time.monotonic() - start)


def max_rss_kib(argv, env):
    """Peak resident size (KiB) of one run of argv, its output thrown away."""
    code = ("import resource, subprocess, sys\n"
            "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)\n"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", code, *argv], env=env, check=True,
                         stdout=subprocess.PIPE, timeout=harness.RUN_TIMEOUT).stdout
    return int(out)
