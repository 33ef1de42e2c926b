"""The tools on CAN interfaces that cannot carry their exchange, in the
real-kernel guest (guest.sh): a missing interface, one that is down, one that
is not CAN, and a wire on which no other node acknowledges. Each run ends
with the tool's own result for a silent bus and one line saying why, never
a hang."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import tool_error  # noqa: E402

NOT_HEARD = b"status: -44087\n"  # the stand-in's "message not found"
FAILED = b"status: -44089\n"  # its "not initialized": the bus cannot be used

MISSING = (b"kelto: socketcan: no network interface \"can9\"; plug in the adapter and check "
           b"'ip link show', or for a virtual bus: 'ip link add dev can9 type vcan'\n")
DOWN = b"kelto: socketcan: CAN interface vcan1 is down; bring it up with 'ip link set vcan1 up'\n"
DOWN_CAN = (b"kelto: socketcan: CAN interface can1 is down; bring it up with "
            b"'ip link set can1 up type can bitrate 1000000'\n")
NOT_CAN = (b"kelto: socketcan: \"lo\" is not a CAN interface; name one that 'ip link show type "
           b"can' or 'ip link show type vcan' lists\n")

# bus, tool, args -> status, standard error
CASES = [
    ("socketcan:can9", "kelto_lumabar", ["scan"], 12, MISSING),
    ("socketcan:can9", "kelto_torvexc", ["5", "name"], 10, MISSING + FAILED),
    ("socketcan:vcan1", "kelto_lumabar", ["5", "name"], 10, DOWN + FAILED),
    ("socketcan:vcan1", "kelto_torvexc", ["scan"], 12, DOWN),
    ("socketcan:can1", "kelto_lumabar", ["scan"], 12, DOWN_CAN),
    ("socketcan:lo", "kelto_lumabar", ["5", "serial"], 10, NOT_CAN + FAILED),
    # can1 is down: can0 is alone on the wire
    ("socketcan:can0", "kelto_lumabar", ["scan"], 12, b""),
    ("socketcan:can0", "kelto_lumabar", ["5", "name"], 10, NOT_HEARD),
    ("socketcan:can0", "kelto_torvexc", ["5", "brake", "1"], 10, NOT_HEARD),
]


def ip(*args):
    subprocess.run(["ip", "link", *args], check=True)


class Interfaces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ip("add", "dev", "vcan1", "type", "vcan")  # left down
        ip("set", "can1", "down")

    @classmethod
    def tearDownClass(cls):
        ip("set", "can1", "up")
        ip("del", "vcan1")

    def test_each_unusable_bus_gives_the_silent_bus_result_and_says_why(self):
        with harness.Bus() as bus:
            for can_bus, tool, args, status, err in CASES:
                with self.subTest(bus=can_bus, tool=tool, args=args):
                    env = dict(bus.env, KELTO_CAN_BUS=can_bus)
                    r = bus.run_file(harness.program(tool), *args, env=env)
                    self.assertEqual((r.status, r.out, r.err),
                                     (status, tool_error(tool, status), err))


if __name__ == "__main__":
    harness.check_bin_dir()
    unittest.main()
