"""Firmware updates end to end, both tools: what they print, the bootloader
frames and pauses in the bus trace, and the flash that lands in the
simulated device compared with kelto_hexcheck's view of the image."""

import re
import unittest
import zlib

import harness
from harness import LUMABAR_PRESENCE, TORVEXC_PRESENCE, Scenarios

S = Scenarios()

# Per tool: device kind, high half of the bootloader identifiers, presence entry.
TOOLS = {
    "kelto_lumabar": ("lumabar", 0x1B07, LUMABAR_PRESENCE),
    "kelto_torvexc": ("torvexc", 0x1A07, TORVEXC_PRESENCE),
}
DATA, COMMAND, REPLY, ENTER = 0x0040, 0x0042, 0x0100, 0x0180
LOAD, UNLOCK, ERASE, WRITE, RUN_APP = 0x0B, 0x0A, 0x0E, 0x0D, 0x11

# Distinctive versions: the bootloader reply carries them in the order b, f, h.
VERSIONS = {"bootloader": "2.7", "firmware": "3.4", "hardware": "5.6"}
VERSION_LINE = b"\nb2.7 f3.4 h5.6"
ENTERED = b"\nEntered boot mode\n"
HEARD = b"status: 0\n"
REJECTED = b"somethings up\n"
REJECTED_STATUS = 26


def progress(n):
    return b"Total pages: %d\n" % n + b"".join(b"%d\n" % i for i in range(1, n + 1))


def command(address, code):
    return bytes([address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF, 0x40, code,
                  0, 0, 0])


def flash_crc(pages):
    return "%08x" % zlib.crc32(b"".join(pages.values()))


def update(tool, args, image_flags, piped=False, versions=VERSIONS, **keys):
    """Device 5 with keys, an image from gen_hex.py, the tool with args (IMG
    stands for the image's path). Everything a test looks at afterwards;
    piped: also when each line of standard output arrived."""
    kind = TOOLS[tool][0]

    def run(bus):
        image = harness.gen_hex(bus.path("image.hex"), *image_flags)
        bus.add(kind, 5, **versions, **keys)
        args_ = [image if a == "IMG" else a for a in args]
        r, lines = bus.run_timed_lines(tool, *args_) if piped else (bus.run(tool, *args_), None)
        return {"run": r, "lines": lines, "trace": bus.trace(), "device": bus.show(kind, 5),
                "check": harness.hexcheck(image), "pages": harness.hex_pages(image)}
    return run


SMALL = ["--pages", "3", "--unordered", "--seed", "7"]
for _tool in TOOLS:
    S.add(("by id", _tool), update(_tool, ["5", "firmware", "IMG"], SMALL))
    S.add(("no reply", _tool), update(_tool, ["5", "firmware", "IMG"], ["--pages", "2"],
                                      boot_reply=0))
S.add(("recovery", "kelto_lumabar", "firmware"),
      update("kelto_lumabar", ["firmware", "IMG"], SMALL, mode="bootloader"))
S.add(("recovery", "kelto_torvexc", "firmware"),
      update("kelto_torvexc", ["firmware", "IMG"], SMALL, mode="bootloader"))
S.add(("recovery", "kelto_torvexc", "FIRMWARE"),
      update("kelto_torvexc", ["FIRMWARE", "IMG"], ["--pages", "2", "--seed", "3"],
             mode="bootloader"))
# replies 300 ms late: the search needs many turns of the spinner (past its 12-turn cycle)
S.add(("recovery", "kelto_lumabar", "slow reply"),
      update("kelto_lumabar", ["firmware", "IMG"], ["--pages", "2"], mode="bootloader",
             latency_ms=300))
S.add("64 pages", update("kelto_lumabar", ["5", "firmware", "IMG"], ["--pages", "64"],
                         piped=True))
S.add("0 pages", update("kelto_lumabar", ["5", "firmware", "IMG"], ["--pages", "0"]))
S.add("wide versions", update("kelto_torvexc", ["5", "firmware", "IMG"], ["--pages", "0"],
                              versions={"bootloader": "10.255", "firmware": "255.255",
                                        "hardware": "0.0"}))
S.add("sparse", update("kelto_torvexc", ["5", "firmware", "IMG"],
                       ["--pages", "3", "--partial", "--base", "0x1f80", "--seed", "5"]))


def rejected(tool, form, fault):
    """An image the loader refuses, with the device in its application (form
    "id") or in its bootloader (recovery form)."""
    kind, _, presence = TOOLS[tool]

    def run(bus):
        path = bus.path("image.hex")
        if fault == "bad checksum":
            harness.gen_hex(path, "--pages", "2")
            with open(path) as f:
                lines = f.read().splitlines(True)
            last = int(lines[2][-3:-1], 16)
            lines[2] = lines[2][:-3] + "%02X\n" % ((last + 1) & 0xFF)
            with open(path, "w") as f:
                f.writelines(lines)
        keys = {"mode": "bootloader"} if form == "recovery" else {}
        bus.add(kind, 5, **keys)
        args = ["5", "firmware", path] if form == "id" else ["firmware", path]
        r = bus.run(tool, *args)
        return r, path, bus.sent(presence), bus.show(kind, 5)
    return run


REJECTIONS = [(t, form, fault) for t in TOOLS for form in ("id", "recovery")
              for fault in ("missing file", "bad checksum")]
for _case in REJECTIONS:
    S.add(("rejected",) + _case, rejected(*_case))


class UpdateTrace:
    """Checks of one update's trace against the image's pages."""

    def check_frames(self, trace, high, pages, recovery):
        """Entry frame(s), reply, the pages in ascending address, run-app,
        with the pauses; returns the boot frames after the reply."""
        boot = [f for f in trace if f.id >> 16 == high]
        before = [f for f in trace if f.id >> 16 != high]
        # (frames after run-app are the restarted application's, on a wire)
        self.assertFalse(any(boot[0].t < f.t < boot[-1].t for f in before),
                         "a non-boot frame during the update")
        enter_id = (high << 16) | ENTER | (0 if recovery else 5)
        n_enter = 0
        while boot[n_enter].id == enter_id:
            self.assertEqual(len(boot[n_enter].data), 8)
            self.assertEqual(sum(boot[n_enter].data) % 256, 0x46, boot[n_enter].data.hex())
            n_enter += 1
        self.assertEqual(n_enter if not recovery else min(n_enter, 1), 1)
        reply = boot[n_enter]
        self.assertEqual(reply.id, (high << 16) | REPLY)
        self.assertEqual(reply.data[:6], bytes([2, 7, 3, 4, 5, 6]))
        rest = boot[n_enter + 1:]
        if harness.CAN_BUS:  # a wire also carries the answers to later entry frames, untaken
            rest = [f for f in rest if f.id != reply.id]
        expected = []
        for address, page in pages.items():
            expected.append(((high << 16) | COMMAND, command(address, LOAD)))
            expected += [((high << 16) | DATA, page[i:i + 8]) for i in range(0, 64, 8)]
            expected += [((high << 16) | COMMAND, command(address, code))
                         for code in (UNLOCK, ERASE, WRITE)]
        last = expected[-1][1] if expected else boot[n_enter - 1].data
        run_app = last[:4] + bytes([RUN_APP]) + last[5:]
        expected.append(((high << 16) | COMMAND, run_app))
        self.assertEqual([(f.id, bytes(f.data).hex()) for f in rest],
                         [(i, bytes(d).hex()) for i, d in expected])
        self.check_pauses(reply, rest)
        return rest

    def check_pauses(self, reply, rest):
        """At least 10 ms after each pair of data frames and after unlock,
        erase and write; at least 200 ms before the first page and 1 s
        before run-app. (Upper bounds would fail on a loaded machine; the
        exact pauses are checked on virtual time in the unit tests.)"""
        t = [f.t for f in rest]
        slack = harness.WIRE_JITTER
        first_gap = t[0] - reply.t
        self.assertGreaterEqual(first_gap, 0.200 - slack)
        for page in range(0, len(t) - 1, 12):
            for i in (2, 4, 6, 8, 9, 10):
                self.assertGreaterEqual(t[page + i + 1] - t[page + i], 0.010 - slack,
                                        "page %d frame %d" % (page // 12, i))
            if page + 12 < len(t) - 1:
                self.assertGreaterEqual(t[page + 12] - t[page + 11], 0.010 - slack)
        if len(t) > 1:
            final_gap = t[-1] - t[-2]
            self.assertGreaterEqual(final_gap, 1.010 - slack)


class ByDeviceId(unittest.TestCase, UpdateTrace):
    def check_update(self, result, tool, err_head, recovery=False):
        r, dev, check, pages = result["run"], result["device"], result["check"], result["pages"]
        n = len(pages)
        self.assertEqual((r.status, r.out), (0, progress(n)))
        if err_head is not None:
            self.assertEqual(r.err, err_head + VERSION_LINE + ENTERED)
        self.assertEqual(dev["mode"], "app")
        self.assertEqual(check["pages"], n)
        self.assertEqual(check["crc32"], flash_crc(pages))
        self.assertEqual(dev["flash"], {"pages": n, "crc32": check["crc32"]})
        self.check_frames(result["trace"], TOOLS[tool][1], pages, recovery)

    def test_update_by_id(self):
        for tool in TOOLS:
            with self.subTest(tool=tool):
                self.check_update(S[("by id", tool)], tool, HEARD)

    def test_64_page_update(self):
        result = S["64 pages"]
        self.check_update(result, "kelto_lumabar", HEARD)
        # 20 ms entry pause, 200 ms, 70 ms a page, 1000 ms; and the 200 ms presence check
        self.assertGreaterEqual(result["run"].seconds, 0.2 + 0.02 + 0.2 + 64 * 0.07 + 1.0)

    def test_progress_lines_reach_a_pipe_as_the_pages_go_out(self):
        result = S["64 pages"]
        times = [t for t, _ in result["lines"]]
        self.assertEqual(len(times), 65)
        end = result["run"].seconds
        # the page count before the 200 ms pause, the last page before the 1 s pause
        self.assertGreaterEqual(times[1] - times[0], 0.2)
        self.assertGreaterEqual(end - times[-1], 0.9)
        # one line per page, about 70 ms apart: the 64 lines span most of 4.48 s
        self.assertGreaterEqual(times[-1] - times[1], 63 * 0.07 * 0.9)

    def test_version_line_prints_every_digit(self):
        r = S["wide versions"]["run"]
        self.assertEqual((r.status, r.out, r.err),
                         (0, b"Total pages: 0\n", HEARD + b"\nb10.255 f255.255 h0.0" + ENTERED))

    def test_image_with_no_pages_still_enters_and_leaves_the_bootloader(self):
        result = S["0 pages"]
        r, trace = result["run"], result["trace"]
        self.assertEqual((r.status, r.out, r.err), (0, b"Total pages: 0\n",
                                                    HEARD + VERSION_LINE + ENTERED))
        boot = [f for f in trace if f.id >> 16 == 0x1B07]
        self.assertEqual([f.id for f in boot], [0x1B070185, 0x1B070100, 0x1B070042])
        entry, run_app = boot[0].data, boot[2].data
        self.assertEqual(run_app, entry[:4] + bytes([RUN_APP]) + entry[5:])
        self.assertGreaterEqual(boot[2].t - boot[0].t, 1.220)
        self.assertEqual(result["device"]["mode"], "app")

    def test_partial_pages_send_ff_for_missing_slots(self):
        result = S["sparse"]
        self.assertIn(b"\xff" * 16, b"".join(result["pages"].values()))
        self.check_update(result, "kelto_torvexc", HEARD)

    def test_silent_bootloader_update_runs_to_its_end(self):
        for tool in TOOLS:
            with self.subTest(tool=tool):
                result = S[("no reply", tool)]
                r, pages = result["run"], result["pages"]
                self.assertEqual((r.status, r.out, r.err),
                                 (0, progress(len(pages)), HEARD + ENTERED))
                self.assertEqual(result["device"]["flash"]["crc32"], flash_crc(pages))
                self.assertEqual(result["device"]["mode"], "app")
                high = TOOLS[tool][1]
                boot = [f for f in result["trace"] if f.id >> 16 == high]
                self.assertEqual(boot[0].id, (high << 16) | ENTER | 5)
                self.assertNotIn((high << 16) | REPLY, [f.id for f in boot])
                self.assertEqual(len(boot), 1 + 12 * len(pages) + 1)


class EntryPayload(unittest.TestCase):
    def test_unseeded_generator_gives_every_run_the_same_first_entry_payload(self):
        firsts = set()
        for key in [("by id", t) for t in TOOLS] + [k for k in S.cases if k[0] == "recovery"]:
            high = TOOLS[key[1]][1]
            entries = [f.data for f in S[key]["trace"] if f.id & ~0x3F == (high << 16) | ENTER]
            firsts.add(bytes(entries[0]))
        self.assertEqual(len(firsts), 1, [e.hex() for e in firsts])


SPINNER = re.compile(rb"^(\r[|/\-\\])+" + re.escape(VERSION_LINE + ENTERED) + rb"$")


class Recovery(unittest.TestCase, UpdateTrace):
    def test_recovery_form_finds_the_device_in_its_bootloader(self):
        for key in [k for k in S.cases if k[0] == "recovery"]:
            tool = key[1]
            with self.subTest(tool=tool, case=key[2]):
                result = S[key]
                r, pages, dev = result["run"], result["pages"], result["device"]
                self.assertEqual((r.status, r.out), (0, progress(len(pages))))
                self.assertTrue(r.err.startswith(b"\r|"), r.err)
                self.assertRegex(r.err, SPINNER)
                turns = r.err[:-len(VERSION_LINE + ENTERED)].split(b"\r")[1:]
                self.assertEqual(turns, [b"|/-\\"[(i % 12) // 3:][:1] for i in range(len(turns))])
                if key[2] == "slow reply":
                    self.assertGreaterEqual(len(turns), 2)
                self.assertEqual(dev["mode"], "app")
                self.assertEqual(dev["flash"], {"pages": len(pages), "crc32": flash_crc(pages)})
                self.assertEqual(result["check"]["crc32"], flash_crc(pages))
                self.check_frames(result["trace"], TOOLS[tool][1], pages, recovery=True)


class RejectedImage(unittest.TestCase):
    def test_rejected_image_sends_nothing_and_ends_with_26(self):
        for tool, form, fault in REJECTIONS:
            with self.subTest(tool=tool, form=form, fault=fault):
                r, path, sent, dev = S[("rejected", tool, form, fault)]
                message = (b"Can not open the firmware hexfile: %s\n" % path.encode()
                           if fault == "missing file" else b"Error in hex file #3\n")
                head = HEARD if form == "id" else b""
                self.assertEqual((r.status, r.out, r.err),
                                 (REJECTED_STATUS, REJECTED, head + message))
                self.assertEqual(sent, [])
                self.assertEqual(dev["flash"]["pages"], 0)
                self.assertEqual(dev["mode"], "app" if form == "id" else "bootloader")


def setUpModule():
    harness.check_bin_dir()
    S.run_all()


if __name__ == "__main__":
    unittest.main()
