"""The simulated bus's files as hostile input, end to end: corrupt stored
frames, links and directories of another user, a stopped lock holder, a
file-size limit in the middle of an update, of a first use and of a trace
line, a huge trace, a state file truncated or replaced during an update, and
the trace's time order with two devices. Every run must end on its own with
a clear line, never with a signal, a hang or a success that lost data."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from bus_state import (FLASH_AT, RING_AT, SLOT_AT, frame_bytes, max_rss_kib,
                       pages_marked_without_data, poke, run_limited, state_path, trace_path)

LB = "kelto_lumabar"
S = harness.Scenarios()
CORRUPT = b"is corrupt"
NOBODY = 65534  # owner of the "other user's" files; no account is needed for chown


def killed_by_signal(r):
    return r.status < 0


# --- stored frames -----------------------------------------------------------

@S.case("long stored frame")
def _(bus):
    # A frame of 255 bytes (and one of 9) on device 5's presence identifier.
    bus.add("lumabar", 5)
    now = int(time.time() * 1e6)
    runs = []
    for length in (255, 9):
        poke(bus, RING_AT, frame_bytes(now, 0x08072405, length, b"\xAA" * 8))
        runs.append([bus.run(LB, "scan"), bus.run(LB, "5", "name")])
        bus.sim("clear")
        bus.add("lumabar", 5)
    return runs


@S.case("device added at INT64_MIN")
def _(bus):
    bus.add("lumabar", 5)
    poke(bus, SLOT_AT + 56, (-2**63).to_bytes(8, "little", signed=True))
    return bus.run(LB, "scan"), bus.run("kelto_sim", "list")


# --- links and other users' directories ---------------------------------------

def planted(bus, kind):
    """A bus directory set up by another user (uid 65534): world-writable,
    with bus.state and trace.log linking to files root owns. Runs kelto_sim
    clear and a scan as root; returns the runs and whether the targets kept
    their bytes, and whether a dangling link's target was created."""
    victims = tempfile.mkdtemp(prefix="kelto-victims-")
    try:
        state_victim = os.path.join(victims, "state")
        trace_victim = os.path.join(victims, "trace")
        dangling = os.path.join(victims, "created")
        for path in (state_victim, trace_victim):
            with open(path, "w") as f:
                f.write("root's data\n")
        d = os.path.join(bus.dir, "bus")
        os.mkdir(d)
        os.symlink(state_victim, os.path.join(d, "bus.state"))
        os.symlink(trace_victim if kind != "dangling" else dangling,
                   os.path.join(d, "trace.log"))
        if kind == "foreign":
            os.chmod(d, 0o777)
            os.chown(d, NOBODY, NOBODY)
        elif kind == "dangling":
            os.unlink(os.path.join(d, "bus.state"))
            os.symlink(dangling + ".state", os.path.join(d, "bus.state"))
        runs = [bus.run("kelto_sim", "clear"), bus.run(LB, "scan"), bus.run("kelto_sim", "trace")]
        kept = all(open(p).read() == "root's data\n" for p in (state_victim, trace_victim))
        created = [p for p in (dangling, dangling + ".state") if os.path.exists(p)]
        return runs, kept, created
    finally:
        shutil.rmtree(victims)


for _kind in ("foreign", "links", "dangling"):
    S.add(("planted", _kind), lambda bus, kind=_kind: planted(bus, kind))


@S.case("root's world-writable directory used by another user")
def _(bus):
    d = os.path.join(bus.dir, "shared")
    os.mkdir(d)
    os.chmod(d, 0o777)
    os.chmod(bus.dir, 0o755)
    env = dict(bus.env, KELTO_CAN_BUS="sim:" + d)
    argv = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
            *harness.command(harness.program("kelto_sim"), "list")]
    p = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=harness.RUN_TIMEOUT)
    return p.returncode, p.stdout, os.listdir(d)


# --- a stopped lock holder ----------------------------------------------------

HOLDER = """
import fcntl, os, signal, sys
fd = os.open(sys.argv[1], os.O_RDWR)
# the state's lock: byte 0 of the file (byte 1 is the trace's)
fcntl.lockf(fd, fcntl.LOCK_EX if sys.argv[2] == "ex" else fcntl.LOCK_SH, 1, 0)
print("locked", flush=True)
os.kill(os.getpid(), signal.SIGSTOP)
"""


def with_stopped_holder(bus, mode, runs):
    """Runs each argv of `runs` while a stopped process holds the state
    file's lock (mode "ex" or "sh"): [(Result, seconds)]."""
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, state_path(bus), mode],
                              stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"locked\n"
        out = []
        for argv in runs:
            start = time.monotonic()
            r = bus.run(*argv)
            out.append((r, time.monotonic() - start))
        return out
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()


for _mode in ("ex", "sh"):
    S.add(("stopped holder", _mode), lambda bus, mode=_mode: (
        bus.add("lumabar", 5),
        with_stopped_holder(bus, mode, [("kelto_sim", "list"), (LB, "5", "name"),
                                        (LB, "scan")]))[1])


# --- the file-size limit (a full file system fails the same writes) -------------

@S.case("update past the file-size limit")
def _(bus):
    # The limit lets the first of three pages of slot 0 in and stops the others.
    image = harness.gen_hex(bus.path("image.hex"), "--pages", "3", "--seed", "4")
    bus.add("lumabar", 5)
    r = run_limited(bus, FLASH_AT + 64, LB, "5", "firmware", image)
    return r, bus.show("lumabar", 5), pages_marked_without_data(bus, harness.hex_pages(image))


@S.case("update on a full file system")
def _(bus):
    # A small tmpfs (root, and a system that allows the mount; None
    # otherwise): the bus is made, the rest of the space filled, then a
    # three-page update runs, then the same update with the space freed.
    fs = bus.path("fs")
    os.mkdir(fs)
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", fs],
                                           stderr=subprocess.DEVNULL).returncode != 0:
        return None
    try:
        env = dict(bus.env, KELTO_CAN_BUS="sim:" + os.path.join(fs, "bus"))
        image = harness.gen_hex(bus.path("image.hex"), "--pages", "3", "--seed", "6")
        added = bus.run_file(harness.program("kelto_sim"), "add", "lumabar", "5", env=env)
        filler = os.path.join(fs, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while os.write(fd, bytes(4096)) > 0:
                pass
        except OSError:
            pass
        os.close(fd)
        full = bus.run_file(harness.program(LB), "5", "firmware", image, env=env)
        shown = bus.run_file(harness.program("kelto_sim"), "show", "lumabar", "5", env=env)
        os.unlink(filler)
        again = bus.run_file(harness.program(LB), "5", "firmware", image, env=env)
        after = bus.run_file(harness.program("kelto_sim"), "show", "lumabar", "5", env=env)
        return added, full, shown, again, after, harness.hexcheck(image)
    finally:
        subprocess.run(["umount", fs])


@S.case("first use past the file-size limit")
def _(bus):
    first = run_limited(bus, 4096, "kelto_sim", "add", "lumabar", "5")
    return first, bus.run("kelto_sim", "add", "lumabar", "5"), bus.run(LB, "scan")


@S.case("blank state file")
def _(bus):
    os.mkdir(bus.path("bus"), 0o700)
    with open(state_path(bus), "wb") as f:
        f.write(bytes(64))
    before = bus.run(LB, "scan")
    bus.add("lumabar", 5)
    return before, bus.run(LB, "scan")


@S.case("trace line past the file-size limit")
def _(bus):
    bus.add("lumabar", 5)
    bus.run(LB, "scan")
    size = os.path.getsize(trace_path(bus))
    r = run_limited(bus, size + 20, LB, "scan")  # the first line is cut short
    after = bus.run(LB, "scan")
    with open(trace_path(bus)) as f:
        text = f.read()
    return r, after, text


@S.case("huge trace")
def _(bus):
    bus.add("lumabar", 5)
    with open(trace_path(bus), "ab") as f:  # 256 MiB, sparse, then one line
        f.truncate(256 << 20)
        f.seek(0, os.SEEK_END)
        f.write(b"\n(1700000000.000000) sim 08072405#00\n")
    argv = harness.command(harness.program("kelto_sim"), "trace")
    return max_rss_kib(argv, bus.env), bus.run(LB, "scan")


# --- the state file changed from outside during an update ----------------------

def changed_during_update(bus, how):
    image = harness.gen_hex(bus.path("image.hex"), "--pages", "20", "--seed", "8")
    bus.add("lumabar", 5)
    copy = bus.path("copy")
    shutil.copy(state_path(bus), copy)
    started = bus.start(LB, "5", "firmware", image)
    time.sleep(0.8)  # presence window 200 ms, then pages every 70 ms
    if how == "truncate":
        os.truncate(state_path(bus), 100)
    else:
        os.rename(copy, state_path(bus))
    return bus.finish(started)


for _how in ("truncate", "rename"):
    S.add(("changed during update", _how), lambda bus, how=_how: changed_during_update(bus, how))


# --- trace order ------------------------------------------------------------

@S.case("trace order")
def _(bus):
    # Two devices whose presence phases differ by 23 ms, and scans and
    # queries from two processes at once for about three seconds.
    bus.add("lumabar", 5)
    time.sleep(0.023)
    bus.add("lumabar", 9)
    bus.clear_trace()
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        a = bus.start(LB, "scan")
        b = bus.start(LB, "9", "name")
        bus.finish(a)
        bus.finish(b)
    return bus.trace()


class StoredFrames(unittest.TestCase):
    def test_frame_longer_than_8_bytes_is_a_corrupt_bus_not_a_crash(self):
        for runs in S["long stored frame"]:
            for r in runs:
                self.assertFalse(killed_by_signal(r), r)
                self.assertNotEqual(r.status, 0)
                self.assertEqual(r.err.count(CORRUPT), 1, r.err)

    def test_device_time_out_of_range_is_a_corrupt_bus(self):
        for r in S["device added at INT64_MIN"]:
            self.assertFalse(killed_by_signal(r), r)
            self.assertIn(CORRUPT, r.err + r.out)


@unittest.skipUnless(os.geteuid() == 0, "needs root to stand in for another user")
class ForeignFiles(unittest.TestCase):
    def test_directory_of_another_user_is_refused_and_nothing_is_written(self):
        runs, kept, _ = S[("planted", "foreign")]
        for r in runs:
            self.assertNotEqual(r.status, 0)
            self.assertIn(b"belongs to another user", r.out + r.err)
        self.assertTrue(kept, "a target of the planted links changed")

    def test_links_in_the_bus_directory_are_not_followed(self):
        for kind in ("links", "dangling"):
            with self.subTest(kind=kind):
                runs, kept, created = S[("planted", kind)]
                for r in runs:
                    self.assertNotEqual(r.status, 0)
                    self.assertIn(b"symbolic link", r.out + r.err)
                self.assertTrue(kept)
                self.assertEqual(created, [])

    def test_directory_others_may_write_to_is_refused(self):
        status, out, files = S["root's world-writable directory used by another user"]
        self.assertEqual(status, 1)
        self.assertIn(b"writable by other users", out)
        self.assertEqual(files, [])


class StoppedLockHolder(unittest.TestCase):
    def test_exclusive_holder_ends_every_program_after_the_bounded_wait(self):
        for r, seconds in S[("stopped holder", "ex")]:
            self.assertNotEqual(r.status, 0)
            self.assertIn(b"stayed locked by another process", r.out + r.err)
            self.assertLess(seconds, 12)

    def test_shared_holder_keeps_readers_going(self):
        (listed, t1), (named, _), (scanned, t3) = S[("stopped holder", "sh")]
        self.assertEqual(listed.status, 0)
        self.assertEqual(scanned.out, b'{"scan":[5]}\n')
        self.assertLess(max(t1, t3), 4)
        # the query must store the device's answer: bounded too
        self.assertIn(b"stayed locked by another process", named.err)


class FileSizeLimit(unittest.TestCase):
    def test_update_drops_the_pages_it_could_not_store_and_says_so(self):
        r, shown, bad = S["update past the file-size limit"]
        self.assertFalse(killed_by_signal(r), r)
        self.assertIn(b"cannot write flash", r.err)
        self.assertEqual(shown["flash"]["pages"], 1)
        self.assertEqual(bad, [], "pages marked written without their data")

    def test_full_file_system_drops_pages_and_a_later_update_succeeds(self):
        result = S["update on a full file system"]
        if result is None:
            self.skipTest("needs root and a tmpfs mount")
        added, full, shown, again, after, image = result
        self.assertEqual(added.status, 0, added)
        self.assertFalse(killed_by_signal(full), full)
        self.assertIn(b"No space left on device", full.err)
        self.assertEqual(json.loads(shown.out)["flash"]["pages"], 0)
        self.assertEqual(again.status, 0)
        self.assertEqual(json.loads(after.out)["flash"]["crc32"], image["crc32"])

    def test_interrupted_first_use_leaves_no_corrupt_bus(self):
        first, again, scan = S["first use past the file-size limit"]
        self.assertFalse(killed_by_signal(first), first)
        self.assertEqual(first.status, 1)
        self.assertIn(b"File too large", first.out)
        self.assertEqual(again.status, 0, again)
        self.assertEqual(scan.out, b'{"scan":[5]}\n')

    def test_blank_state_file_is_a_new_bus(self):
        before, after = S["blank state file"]
        self.assertNotIn(CORRUPT, before.err)
        self.assertEqual(after.out, b'{"scan":[5]}\n')

    def test_trace_line_cut_short_is_taken_back_with_one_warning(self):
        r, after, text = S["trace line past the file-size limit"]
        self.assertFalse(killed_by_signal(r), r)
        self.assertEqual(r.out, b'{"scan":[5]}\n')
        self.assertEqual(r.err.count(b"cannot write the bus trace"), 1, r.err)
        self.assertEqual(after.status, 0)
        harness.parse_trace(text)  # every line whole

    def test_trace_is_streamed(self):
        rss_kib, scan = S["huge trace"]
        self.assertLess(rss_kib, 64 * 1024, "kelto_sim trace held the trace in memory")
        self.assertEqual(scan.out, b'{"scan":[5]}\n')


class ChangedDuringUpdate(unittest.TestCase):
    def test_truncated_or_replaced_state_ends_with_the_corrupt_bus_error(self):
        for how in ("truncate", "rename"):
            with self.subTest(how=how):
                r = S[("changed during update", how)]
                self.assertFalse(killed_by_signal(r), r)
                self.assertIn(CORRUPT, r.err)


class TraceOrder(unittest.TestCase):
    def test_two_devices_interleaved_are_traced_in_time_order(self):
        frames = S["trace order"]
        ids = {f.id for f in frames}
        self.assertTrue({0x08072405, 0x08072409} <= ids, ids)
        times = [f.t for f in frames]
        backwards = [i for i in range(1, len(times)) if times[i] < times[i - 1]]
        self.assertEqual(backwards, [], "lines going back in time")


def setUpModule():
    harness.check_bin_dir()
    S.run_all()


if __name__ == "__main__":
    unittest.main()
