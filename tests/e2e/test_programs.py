"""The programs as installed files: the version query through the driver
library (found next to the program, or missing), and the link functions the
platform libraries expect in the programs' dynamic symbol tables."""

import os
import shutil
import subprocess
import unittest

import harness
from harness import Scenarios

TOOLS = ["kelto_lumabar", "kelto_torvexc"]
LINK_FUNCTIONS = ["NumericArrayResize", "RTSetCleanupProc", "EDVR_CreateReference"]
S = Scenarios()


def version_doc(text):
    return b'{"version":"%s"}\n' % text.encode()


for _tool in TOOLS:
    for _word in (["version", "VERSION", "Version"] if _tool == "kelto_torvexc" else ["version"]):
        S.add(("version", _tool, _word), lambda bus, t=_tool, w=_word: bus.run(t, w))


def without_driver(tool):
    """The tool copied into DIR/bin with only the CAN library in DIR/lib: the
    driver library cannot be found by its bare name."""
    def run(bus):
        bin_dir, lib_dir = bus.path("tree/bin"), bus.path("tree/lib")
        os.makedirs(bin_dir)
        os.makedirs(lib_dir)
        exe = shutil.copy(harness.program(tool), bin_dir)
        shutil.copy(os.path.join(harness.LIB_DIR, "libFRC_NetworkCommunication.so"), lib_dir)
        env = {k: v for k, v in bus.env.items() if k != "LD_LIBRARY_PATH"}
        return bus.run_file(exe, "version", env=env), os.listdir(lib_dir)
    return run


for _tool in TOOLS:
    S.add(("no driver", _tool), without_driver(_tool))

# "version" is a form of its own only alone.
S.add("lumabar VERSION", lambda bus: bus.run("kelto_lumabar", "VERSION"))


class Version(unittest.TestCase):
    def test_version_prints_the_driver_librarys_text(self):
        expected = version_doc(harness.project_version())
        for key in [k for k in S.cases if k[0] == "version"]:
            with self.subTest(tool=key[1], word=key[2]):
                r = S[key]
                self.assertEqual((r.status, r.out, r.err), (0, expected, b""))

    def test_version_without_the_driver_library_is_minus_one(self):
        for tool in TOOLS:
            with self.subTest(tool=tool):
                r, libs = S[("no driver", tool)]
                self.assertEqual(libs, ["libFRC_NetworkCommunication.so"])
                self.assertEqual((r.status, r.out), (0, version_doc("-1")))

    def test_lighting_tool_words_are_case_sensitive(self):
        r = S["lumabar VERSION"]
        self.assertEqual(r.status, 21)


def bad_bus(tool, *args, value="bogus"):
    def run(bus):
        env = dict(bus.env, KELTO_CAN_BUS=value)
        return bus.run_file(harness.program(tool), *args, env=env)
    return run


BAD_BUS = [("kelto_lumabar", ["scan"], 12, harness.tool_error("kelto_lumabar", 12)),
           ("kelto_torvexc", ["5", "brake"], 10, harness.tool_error("kelto_torvexc", 10))]
for _tool, _args, _, _ in BAD_BUS:
    S.add(("bad bus", _tool), bad_bus(_tool, *_args))

# CAN interfaces that cannot be used, on any machine: KELTO_CAN_BUS -> the one line.
BAD_INTERFACES = [
    ("socketcan:", b'kelto: KELTO_CAN_BUS="socketcan:" names no bus; use sim:PATH or '
                   b'socketcan:IFACE, or leave it unset for the embedded simulated bus'),
    ("socketcan:" + "c" * 16, b'kelto: socketcan: "' + b"c" * 16 + b'": the interface name is '
                             b"longer than 15 bytes; use KELTO_CAN_BUS=socketcan:IFACE, for "
                             b"example socketcan:can0"),
    ("socketcan:can/0", b'kelto: socketcan: "can/0": an interface name holds no \'/\', \':\', '
                        b"blank or control character; use KELTO_CAN_BUS=socketcan:IFACE, for "
                        b"example socketcan:can0"),
    ("socketcan:can 0", b'kelto: socketcan: "can 0": an interface name holds no \'/\', \':\', '
                        b"blank or control character; use KELTO_CAN_BUS=socketcan:IFACE, for "
                        b"example socketcan:can0"),
    ("socketcan:lo", b'kelto: socketcan: "lo" is not a CAN interface; name one that \'ip link '
                     b"show type can' or 'ip link show type vcan' lists"),
    ("socketcan:nosuch0", b'kelto: socketcan: no network interface "nosuch0"; plug in the '
                          b"adapter and check 'ip link show', or for a virtual bus: 'ip link add "
                          b"dev nosuch0 type vcan'"),
]
for _value, _ in BAD_INTERFACES:
    S.add(("bad interface", _value), bad_bus("kelto_lumabar", "5", "name", value=_value))


class BusSelection(unittest.TestCase):
    def test_unknown_bus_fails_every_call_and_names_the_value_once(self):
        for tool, args, status, out in BAD_BUS:
            with self.subTest(tool=tool):
                r = S[("bad bus", tool)]
                self.assertEqual((r.status, r.out), (status, out))
                named = [line for line in r.err.splitlines() if b'"bogus"' in line]
                self.assertEqual(len(named), 1, r.err)

    def test_unusable_can_interface_gives_one_line_and_the_silent_bus_result(self):
        for value, line in BAD_INTERFACES:
            with self.subTest(value=value):
                r = S[("bad interface", value)]
                self.assertEqual((r.status, r.out, r.err),
                                 (10, b'{"error":"ID not found on network"}\n',
                                  line + b"\nstatus: -44089\n"))


class LinkFunctions(unittest.TestCase):
    def test_exported_unmangled_from_both_tools(self):
        for tool in TOOLS:
            with self.subTest(tool=tool):
                out = subprocess.run([harness.NM, "-D", "--defined-only", harness.program(tool)],
                                     check=True, stdout=subprocess.PIPE, text=True).stdout
                symbols = {line.split()[-1]: line.split()[-2] for line in out.splitlines()
                           if len(line.split()) == 3}
                for name in LINK_FUNCTIONS:
                    self.assertEqual(symbols.get(name), "T", name)


def setUpModule():
    harness.check_bin_dir()
    S.run_all()


if __name__ == "__main__":
    unittest.main()
