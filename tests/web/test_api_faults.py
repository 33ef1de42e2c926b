"""kelto_web under concurrent requests and misbehaving tools: one run per
device (409), one update on the bus (409), tools stopped at their time limit,
crashing or printing garbage, and uploads removed whatever happens."""

import concurrent.futures
import os
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_harness import Bus, WebServer, image, program  # noqa: E402


def at_once(calls):
    """Runs the zero-argument callables side by side; their results in order."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(calls)) as pool:
        return [f.result() for f in [pool.submit(c) for c in calls]]


class OneRunPerDevice(unittest.TestCase):
    def test_same_device_conflicts_other_devices_do_not(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("torvexc", 5)
            bus.add("torvexc", 6)
            results = at_once([lambda: web.get("/api/torvexc/5/brake"),
                               lambda: (time.sleep(0.2), web.get("/api/torvexc/5/name"))[1],
                               lambda: (time.sleep(0.2), web.get("/api/torvexc/6/brake"))[1]])
            (s1, d1), (s2, d2), (s3, d3) = results
            self.assertEqual((s1, s3), (200, 200), (d1, d3))
            self.assertEqual(s2, 409, d2)
            self.assertIn("torvexc 5 is busy", d2["error"])
            # Released after the run: the same read goes through now.
            self.assertEqual(web.get("/api/torvexc/5/name")[0], 200)

    def test_bounded_burst_of_mixed_requests(self):
        with Bus() as bus, WebServer(bus) as web:
            for i in (1, 2, 3, 4):
                bus.add("lumabar", i, name="L%d" % i)
            paths = ["/api/lumabar/%d/name" % (1 + n % 4) for n in range(24)] + \
                    ["/api/lumabar/scan"] * 6
            results = at_once([lambda p=p: web.get(p) for p in paths])
            for (status, doc), path in zip(results, paths):
                self.assertIn(status, (200, 409), (path, doc))
                if status == 200 and path.endswith("name"):
                    self.assertEqual(doc["result"]["name"], "L" + path.split("/")[3])
            self.assertTrue(all(s == 200 for s, _ in results[24:]))  # scans address no device
            self.assertGreaterEqual(sum(s == 200 for s, _ in results[:24]), 4)
            self.assertEqual(web.get("/api/lumabar/4/name")[1]["result"], {"name": "L4"})


class OneUpdateOnTheBus(unittest.TestCase):
    def test_second_update_and_reads_of_the_updating_device_conflict(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("lumabar", 3)
            bus.add("lumabar", 4)
            data = image(bus, "img.hex", "--pages", "12")
            status, job = web.upload("/api/lumabar/3/firmware", "img.hex", data)
            self.assertEqual(status, 202, job)
            status, doc = web.upload("/api/lumabar/4/firmware", "img.hex", data)
            self.assertEqual(status, 409, doc)
            self.assertIn("firmware update is already running", doc["error"])
            status, doc = web.upload("/api/torvexc/firmware", "img.hex", data)
            self.assertEqual(status, 409, doc)
            status, doc = web.get("/api/lumabar/3/name")
            self.assertEqual(status, 409, doc)
            self.assertEqual(web.get("/api/lumabar/4/name")[0], 200)
            done, _ = web.wait_job(job["id"])
            self.assertTrue(done["run"]["ok"], done)
            status, job = web.upload("/api/lumabar/4/firmware", "img.hex", data)
            self.assertEqual(status, 202, job)
            self.assertTrue(web.wait_job(job["id"])[0]["run"]["ok"])


class TimeLimits(unittest.TestCase):
    def test_recovery_without_a_device_is_stopped_and_frees_the_bus(self):
        with Bus() as bus, WebServer(bus, "--recovery-search-s", "1", "--margin-ms", "300") as web:
            data = image(bus, "img.hex", "--pages", "1")
            status, job = web.upload("/api/lumabar/firmware", "img.hex", data)
            self.assertEqual(status, 202, job)
            self.assertEqual(job["limit_ms"], 1000 + 200 + 70 + 1000 + 300)
            done, _ = web.wait_job(job["id"], timeout=30)
            run = done["run"]
            self.assertTrue(run["timed_out"], run)
            self.assertFalse(run["ok"])
            self.assertEqual(run["status_text"], "stopped at its time limit")
            self.assertIn("did not finish within 2570 ms", run["error"])
            self.assertGreaterEqual(run["ms"], 2570)
            bus.add("lumabar", 3)
            status, job = web.upload("/api/lumabar/3/firmware", "img.hex", data)
            self.assertEqual(status, 202, job)
            self.assertTrue(web.wait_job(job["id"])[0]["run"]["ok"])


# A stand-in for kelto_lumabar whose behaviour is picked by the device ID.
FAKE_TOOL = r"""#!/bin/sh
case "$1" in
  scan) printf '{"scan":[1,2,3,4,5,6]}\n' ;;
  1) kill -SEGV $$ ;;
  2) printf '\377\376 not json \200\n'; printf 'stack trace \377\n' >&2 ;;
  3) exec sleep 60 ;;
  4) exec >&- 2>&-; exec sleep 60 ;;
  5) printf '{"error":"Another update holds the bus"}\n'; exit 42 ;;
  6) printf 'x%.0s' $(seq 1 400000); exit 0 ;;
esac
"""


class MisbehavingTools(unittest.TestCase):
    def test_crash_garbage_hang_and_unknown_status(self):
        with Bus() as bus:
            tools = bus.path("tools")
            os.mkdir(tools)
            fake = os.path.join(tools, "kelto_lumabar")
            with open(fake, "w") as f:
                f.write(FAKE_TOOL)
            os.chmod(fake, stat.S_IRWXU)
            with WebServer(bus, "--tools", tools, "--margin-ms", "300") as web:
                results = at_once([lambda i=i: web.get("/api/lumabar/%d/name" % i)
                                   for i in range(1, 7)])
                (s1, crash), (s2, garbage), (s3, hang), (s4, closed), (s5, new), (s6, big) = results
                self.assertEqual((s1, crash["signal"], crash["exit_status"]), (502, 11, None))
                self.assertIn("signal 11", crash["error"])
                self.assertEqual((s2, garbage["exit_status"], garbage["result"]), (502, 0, None))
                self.assertIn("printed no JSON", garbage["error"])
                self.assertIn("\ufffd", garbage["stdout"])  # bad bytes replaced, not dropped
                for status, doc in ((s3, hang), (s4, closed)):
                    self.assertEqual(status, 504, doc)
                    self.assertTrue(doc["timed_out"])
                    self.assertIn("did not finish within 1600 ms", doc["error"])
                self.assertEqual((s5, new["exit_status"]), (502, 42))
                self.assertEqual(new["error"], "Another update holds the bus")
                self.assertEqual(new["status_text"], "the tool ended with status 42")
                self.assertEqual(s6, 502)
                self.assertLessEqual(len(big["stdout"]), 1 << 20)
                self.assertEqual(web.get("/api/lumabar/scan")[0], 200)
                status, doc = web.get("/api/info")  # no kelto_lumabar version: no JSON, still 200
                self.assertEqual((status, doc["library_version"]), (200, None))
                status, doc = web.upload("/api/hexcheck", "a.hex", b":00000001FF\n")
                self.assertEqual(status, 502)  # no kelto_hexcheck in the tools directory
                self.assertIn("No such file", doc["error"])


class Uploads(unittest.TestCase):
    def test_upload_files_are_removed_even_when_stopped_mid_update(self):
        with Bus() as bus, tempfile.TemporaryDirectory() as tmp:
            bus.add("lumabar", 3)
            data = image(bus, "img.hex", "--pages", "30")
            web = WebServer(bus, tmpdir=tmp)
            try:
                private = [d for d in os.listdir(tmp) if d.startswith("kelto-web-")]
                self.assertEqual(len(private), 1)
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(tmp, private[0])).st_mode),
                                 0o700)
                status, doc = web.upload("/api/hexcheck", "img.hex", data)
                self.assertEqual(status, 200)
                self.assertEqual(os.listdir(os.path.join(tmp, private[0])), [])
                status, job = web.upload("/api/lumabar/3/firmware", "img.hex", data)
                self.assertEqual(status, 202)
                files = os.listdir(os.path.join(tmp, private[0]))
                self.assertEqual(len(files), 1)
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(tmp, private[0], files[0]))
                                              .st_mode), 0o600)
                time.sleep(0.5)
            finally:
                self.assertEqual(web.stop(), 0)
            self.assertEqual(os.listdir(tmp), [])
            self.assertEqual(subprocess.run(["pgrep", "-f", tmp], capture_output=True)
                             .returncode, 1)  # the update's tool was stopped with the server


if __name__ == "__main__":
    unittest.main()
