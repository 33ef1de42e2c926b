"""Concurrency and the bus state: 20 runs of both tools at once on one bus
lose no update; one firmware update per bootloader kind at a time; a
truncated or scribbled-over state is reported clearly by every program that
opens it and `kelto_sim clear` recovers it; the state is private to its
owner."""

import os
import random
import signal
import stat
import subprocess
import unittest
import zlib

import harness
from harness import Scenarios, progress_out, tool_error

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


# --- one firmware update per bootloader kind -----------------------------------

UPDATE_RUNNING = 32
ENTER_LOW, DATA_LOW = 0x0180, 0x0040
# Two images of different sizes, so that the trace tells whose pages went out;
# long enough (over 2 s) that two runs started together overlap on a loaded
# machine under the sanitizers.
IMAGES = {"a": ["--pages", "16", "--seed", "11"], "b": ["--pages", "17", "--seed", "12"]}


def images(bus):
    """Image name -> (path, pages)."""
    out = {}
    for name, flags in IMAGES.items():
        path = harness.gen_hex(bus.path(name + ".hex"), *flags)
        out[name] = (path, harness.hex_pages(path))
    return out


def flash_of(pages):
    return {"pages": len(pages), "crc32": "%08x" % zlib.crc32(b"".join(pages.values()))}


def two_updates(form):
    """Two lighting-controller updates of one bus started together, image a
    and image b: by ID (devices 3 and 10 in their applications) or by the
    recovery form (device 5 in its bootloader, answering 2 s late, so that
    the first search holds the lock until the second run has surely
    started)."""
    def run(bus):
        imgs = images(bus)
        if form == "id":
            bus.add("lumabar", 3)
            bus.add("lumabar", 10)
            args = {"a": ["3", "firmware"], "b": ["10", "firmware"]}
        else:
            bus.add("lumabar", 5, mode="bootloader", latency_ms=2000)
            args = {"a": ["firmware"], "b": ["firmware"]}
        started = {n: bus.start(LB, *args[n], imgs[n][0]) for n in imgs}
        results = {n: bus.finish(p) for n, p in started.items()}
        devices = [3, 10] if form == "id" else [5]
        shown = {i: bus.show("lumabar", i) for i in devices}
        return results, {n: pages for n, (_, pages) in imgs.items()}, shown, bus.trace()
    return run


S.add(("two updates", "id"), two_updates("id"))
S.add(("two updates", "recovery"), two_updates("recovery"))


@S.case("killed holder")
def _(bus):
    """An update by ID killed after its first page; a recovery update of the
    device it left in its bootloader then takes the lock and finishes."""
    (path, pages), = [images(bus)["b"]]
    bus.add("lumabar", 5)
    p, _ = holder = bus.start(LB, "5", "firmware", path)
    seen = [p.stdout.readline() for _ in range(2)]  # "Total pages: 17", "1"
    p.send_signal(signal.SIGKILL)
    killed = bus.finish(holder)
    stuck = bus.show("lumabar", 5)
    after = bus.run(LB, "firmware", path)
    return seen, killed, stuck, after, pages, bus.show("lumabar", 5)


@S.case("both kinds")
def _(bus):
    (path_a, pages_a), (path_b, pages_b) = images(bus).values()
    bus.add("lumabar", 3)
    bus.add("torvexc", 5)
    started = [bus.start(LB, "3", "firmware", path_a), bus.start(TC, "5", "firmware", path_b)]
    results = [bus.finish(s) for s in started]
    shown = [bus.show("lumabar", 3), bus.show("torvexc", 5)]
    return results, [pages_a, pages_b], shown, bus.trace()


class OneUpdatePerKind(unittest.TestCase):
    def test_second_update_of_a_kind_sends_nothing_and_ends_with_32(self):
        for form in ("id", "recovery"):
            with self.subTest(form=form):
                results, pages, shown, trace = S[("two updates", form)]
                statuses = sorted(r.status for r in results.values())
                self.assertEqual(statuses, [0, UPDATE_RUNNING], results)
                winner = next(n for n, r in results.items() if r.status == 0)
                loser = next(n for n, r in results.items() if r.status != 0)
                self.assertEqual(results[winner].out, progress_out(len(pages[winner])))
                self.assertEqual(results[loser].out, tool_error(LB, UPDATE_RUNNING))
                self.assertEqual(results[loser].err, HEARD if form == "id" else b"")
                # only the winner's frames: its data, one entry frame when by ID
                data = [f for f in trace if f.id == 0x1B070000 | DATA_LOW]
                self.assertEqual(len(data), 8 * len(pages[winner]))
                entries = [f.id for f in trace if f.id & ~0x3F == 0x1B070000 | ENTER_LOW]
                if form == "id":
                    device = {"a": 3, "b": 10}[winner]
                    self.assertEqual(entries, [0x1B070000 | ENTER_LOW | device])
                    untouched = {3: 10, 10: 3}[device]
                    self.assertEqual(shown[untouched]["flash"], flash_of({}))
                    self.assertEqual(shown[untouched]["mode"], "app")
                else:
                    device = 5
                    self.assertEqual(set(entries), {0x1B070000 | ENTER_LOW})
                self.assertEqual(shown[device]["flash"], flash_of(pages[winner]))
                self.assertEqual(shown[device]["mode"], "app")

    def test_a_killed_holder_frees_the_lock(self):
        seen, killed, stuck, after, pages, device = S["killed holder"]
        self.assertEqual(seen, [b"Total pages: 17\n", b"1\n"])
        self.assertEqual(killed.status, -signal.SIGKILL)
        self.assertEqual(stuck["mode"], "bootloader")
        self.assertEqual((after.status, after.out), (0, progress_out(17)))
        self.assertEqual(device["flash"], flash_of(pages))
        self.assertEqual(device["mode"], "app")

    def test_updates_of_the_two_kinds_run_at_once(self):
        results, pages, shown, trace = S["both kinds"]
        for r, p, dev in zip(results, pages, shown):
            self.assertEqual((r.status, r.out), (0, progress_out(len(p))))
            self.assertEqual(dev["flash"], flash_of(p))
        # the two updates' bootloader frames overlap in time
        spans = [[f.t for f in trace if f.id >> 16 == high] for high in (0x1B07, 0x1A07)]
        self.assertLess(max(s[0] for s in spans), min(s[-1] for s in spans))


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
