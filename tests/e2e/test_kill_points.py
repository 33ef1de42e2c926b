"""SIGKILL at every change of the state file, deterministically: a program
run with KELTO_SIM_KILL_AT=N (builds with tests) kills itself just before
its Nth change of bus.state. For a first `kelto_sim add` on a fresh bus, a
firmware update, a rename and an ID change, every N is tried until the run
completes; after each kill every program still works on that bus, no page
is marked written without its data, and `kelto_sim clear` is never needed."""

import json
import os
import sys
import unittest

import harness
from bus_state import pages_marked_without_data

LB = "kelto_lumabar"
BATCH = 12  # kill points tried side by side (the runs mostly sleep)


def killed(bus, n, *argv):
    """Runs argv on the bus with the Nth kill point armed: True when it was killed."""
    env = dict(bus.env, KELTO_SIM_KILL_AT=str(n))
    r = bus.run_file(harness.program(argv[0]), *argv[1:], env=env)
    if r.status not in (0, -9):
        raise AssertionError("%s at kill point %d ended %d %r" % (argv, n, r.status, r.err))
    return r.status == -9


def usable(bus, problems):
    r = bus.run("kelto_sim", "list")
    if r.status != 0:
        problems.append("kelto_sim list: %r" % r.out)
        return None
    return json.loads(r.out)["devices"]


def first_add(bus, n):
    problems = []
    was_killed = killed(bus, n, "kelto_sim", "add", "lumabar", "5", "name=Kept")
    if usable(bus, problems) is not None:
        again = bus.run("kelto_sim", "add", "lumabar", "5", "name=Kept")
        if again.status != 0 and b"already exists" not in again.out:
            problems.append("add again: %r" % again.out)
        name = bus.run(LB, "5", "name")
        if name.out != b'{"name":"Kept"}\n':
            problems.append("name: %r" % name.out)
    return was_killed, problems


def update(bus, n):
    image = harness.gen_hex(bus.path("image.hex"), "--pages", "2", "--seed", "3")
    expected = harness.hexcheck(image)
    bus.add("lumabar", 5)
    problems = []
    was_killed = killed(bus, n, LB, "5", "firmware", image)
    if usable(bus, problems) is not None:
        bad = pages_marked_without_data(bus, harness.hex_pages(image))
        if bad:
            problems.append("pages marked written without their data: %s" % bad)
        # The way back a user has: the recovery form for a device left in its
        # bootloader, the update again otherwise.
        in_boot = bus.show("lumabar", 5)["mode"] == "bootloader"
        r = bus.run(LB, *(["firmware"] if in_boot else ["5", "firmware"]), image)
        flash = bus.show("lumabar", 5)["flash"]
        if r.status != 0 or flash["crc32"] != expected["crc32"]:
            problems.append("update after the kill: %d, flash %s" % (r.status, flash))
    return was_killed, problems


def rename(bus, n):
    bus.add("lumabar", 5, name="Old")
    problems = []
    was_killed = killed(bus, n, LB, "5", "name", "New")
    if usable(bus, problems) is not None:
        r = bus.run(LB, "5", "name")
        if r.out not in (b'{"name":"Old"}\n', b'{"name":"New"}\n'):
            problems.append("name: %r" % r.out)
    return was_killed, problems


def id_change(bus, n):
    bus.add("lumabar", 5)
    problems = []
    was_killed = killed(bus, n, LB, "5", "id", "9")
    devices = usable(bus, problems)
    if devices is not None:
        ids = [d["id"] for d in devices]
        scan = bus.run(LB, "scan")
        if ids not in ([5], [9]) or scan.out != b'{"scan":[%d]}\n' % ids[0]:
            problems.append("devices %s, scan %r" % (ids, scan.out))
    return was_killed, problems


SCENARIOS = {"first kelto_sim add": first_add, "update": update, "rename": rename,
             "ID change": id_change}


def sweep(scenario):
    """Every kill point of the scenario in turn, BATCH at a time, until the
    run completes: (kill points, {N: problems})."""
    fn = SCENARIOS[scenario]
    found = {}
    start = 1
    while True:
        def one(n):
            with harness.Bus() as bus:
                return fn(bus, n)

        points = list(range(start, start + BATCH))
        results = harness.parallel(one, points, workers=BATCH)
        for n, result in zip(points, results):
            if isinstance(result, Exception):
                found[n] = [repr(result)]
                continue
            was_killed, problems = result
            if problems:
                found[n] = problems
            if not was_killed:
                return n - 1, found
        start += BATCH
        if start > 400:
            return start, {0: ["no run completed within 400 kill points"]}


class KillPoints(unittest.TestCase):
    def test_every_kill_point_leaves_a_bus_every_program_can_use(self):
        for scenario in SCENARIOS:
            with self.subTest(scenario=scenario):
                points, problems = sweep(scenario)
                print("%s: %d kill points, %d with problems" % (scenario, points, len(problems)),
                      file=sys.stderr)
                self.assertGreater(points, 0, "no kill point was reached")
                self.assertEqual(problems, {})


def setUpModule():
    harness.check_bin_dir()


if __name__ == "__main__":
    unittest.main()
