"""Concurrency and the bus state: 20 runs of both tools at once on one bus
lose no update; a truncated or scribbled-over state is reported clearly by
every program that opens it and `kelto_sim clear` recovers it; the state is
private to its owner."""

import os
import random
import stat
import subprocess
import unittest

import harness
from harness import Scenarios, tool_error

LB, TC = "kelto_lumabar", "kelto_torvexc"
S = Scenarios()

HEARD = b"status: 0\n"
NOT_INITIALISED = b"status: -44089\n"  # every CAN call fails on an unusable bus
SETTINGS = ["inverted", "potentiometer", "brake", "limit_enabled", "limit_forward",
            "limit_reverse", "fault_voltage", "fault_time"]

# --- 20 runs at once ----------------------------------------------------------

RENAMES = {ident: "Bar %02d" % ident for ident in range(1, 11)}  # lighting controllers
WRITES = {ident: (SETTINGS[ident % 8], 100 + ident) for ident in range(1, 11)}  # motor


@S.case("twenty at once")
def _(bus):
    for ident in RENAMES:
        bus.add("lumabar", ident, name="old")
    for ident in WRITES:
        bus.add("torvexc", ident)
    started = [bus.start(LB, str(i), "name", *name.split(" ")) for i, name in RENAMES.items()]
    started += [bus.start(TC, str(i), field, str(value)) for i, (field, value) in WRITES.items()]
    results = [bus.finish(s) for s in started]
    shown = {("lumabar", i): bus.show("lumabar", i) for i in RENAMES}
    shown.update({("torvexc", i): bus.show("torvexc", i) for i in WRITES})
    return results, shown


class TwentyRuns(unittest.TestCase):
    def test_every_run_succeeds_and_no_update_is_lost(self):
        results, shown = S["twenty at once"]
        expected = [b'{"name":"%s"}\n' % n.encode() for n in RENAMES.values()]
        expected += [b'{"%s":%d}\n' % (f.encode(), v) for f, v in WRITES.values()]
        self.assertEqual(len(results), 20)
        for r, out in zip(results, expected):
            with self.subTest(out=out):
                self.assertEqual((r.status, r.out, r.err), (0, out, HEARD))
        lost = [i for i, n in RENAMES.items() if shown[("lumabar", i)]["name"] != n]
        lost += [i for i, (f, v) in WRITES.items() if shown[("torvexc", i)][f] != v]
        self.assertEqual(lost, [], "updates lost")


# --- damaged state ------------------------------------------------------------

SLOT_OFFSET, DEVICE_BYTES = 8192, 360  # first device record in bus.state


def damage(path, how):
    rng = random.Random(how)
    if how == "truncated":
        os.truncate(path, 100)
        return
    offset, size = (0, 64) if how == "header" else (SLOT_OFFSET, DEVICE_BYTES)
    junk = bytearray(rng.randrange(256) for _ in range(size))
    # not the magic's 'K' nor a used flag of 0 or 1; or a used slot of junk
    junk[0] = 1 if how == "device fields" else junk[0] | 0x80
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(junk)


# What every program prints on a damaged bus: (program, args, status, stdout)
# with stdout None for kelto_sim's {"error":...} (any text, non-zero status).
OPENERS = [
    (LB, ["scan"], 12, tool_error(LB, 12)),
    (TC, ["scan"], 12, tool_error(TC, 12)),
    (LB, ["5", "serial"], 10, tool_error(LB, 10)),
    (TC, ["5", "brake"], 10, tool_error(TC, 10)),
    ("kelto_sim", ["list"], None, None),
    ("kelto_sim", ["show", "lumabar", "5"], None, None),
    ("kelto_sim", ["add", "lumabar", "7"], None, None),
]
DAMAGES = ["truncated", "header", "device record", "device fields"]


def damaged(how):
    def run(bus):
        bus.add("lumabar", 5)
        bus.add("torvexc", 5)
        damage(os.path.join(bus.dir, "bus", "bus.state"), how)
        runs = [bus.run(name, *args) for name, args, _, _ in OPENERS]
        cleared = bus.run("kelto_sim", "clear")
        bus.add("torvexc", 5, brake=9)
        return runs, cleared, bus.run(TC, "5", "brake")
    return run


for _how in DAMAGES:
    S.add(("damaged", _how), damaged(_how))


class DamagedState(unittest.TestCase):
    def test_every_program_reports_the_damage_and_clear_recovers(self):
        for how in DAMAGES:
            runs, cleared, after = S[("damaged", how)]
            for (name, args, status, out), r in zip(OPENERS, runs):
                with self.subTest(damage=how, program=name, args=args):
                    self.assertGreaterEqual(r.status, 0, "ended by a signal")
                    if name == "kelto_sim":
                        self.assertNotEqual(r.status, 0)
                        error = harness.json.loads(r.out)["error"]
                        self.assertIn("corrupt", error)
                        continue
                    self.assertEqual((r.status, r.out), (status, out))
                    lines = r.err.splitlines(True)
                    self.assertTrue(lines[0].startswith(b"kelto: ") and b"corrupt" in lines[0],
                                    r.err)
                    status_lines = [NOT_INITIALISED] if args != ["scan"] else []
                    self.assertEqual(lines[1:], status_lines)
            with self.subTest(damage=how, step="clear"):
                self.assertEqual((cleared.status, cleared.out), (0, b'{"cleared":true}\n'))
                self.assertEqual((after.status, after.out, after.err),
                                 (0, b'{"brake":9}\n', HEARD))


# --- file modes ---------------------------------------------------------------

@S.case("modes")
def _(bus):
    # umask 0: the modes come from the programs, not from the caller's mask
    bus_dir = bus.path("a/b/bus")
    env = dict(bus.env, KELTO_CAN_BUS="sim:" + bus_dir)
    for args in (["kelto_sim", "add", "lumabar", "5"], [LB, "5", "blink", "1"]):
        subprocess.run(harness.command(harness.program(args[0]), *args[1:]), env=env,
                       check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       preexec_fn=lambda: os.umask(0), timeout=harness.RUN_TIMEOUT)
    paths = {"a": bus.path("a"), "b": bus.path("a/b"), "bus": bus_dir,
             "bus.state": os.path.join(bus_dir, "bus.state"),
             "trace.log": os.path.join(bus_dir, "trace.log")}
    return {name: stat.S_IMODE(os.stat(p).st_mode) for name, p in paths.items()}


class FileModes(unittest.TestCase):
    def test_state_and_trace_are_0600_and_the_directories_0700(self):
        self.assertEqual(S["modes"], {"a": 0o700, "b": 0o700, "bus": 0o700,
                                      "bus.state": 0o600, "trace.log": 0o600})


def setUpModule():
    harness.check_bin_dir()
    S.run_all()


if __name__ == "__main__":
    unittest.main()
