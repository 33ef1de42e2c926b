"""kelto_web's JSON API on a simulated bus: results of real tool runs, and the
requests it refuses (4xx with a message, no tool started, server still serving)."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_harness import Bus, WebServer, image  # noqa: E402
from harness import hexcheck, program, project_version  # noqa: E402


class Results(unittest.TestCase):
    """Each request runs the tool once and returns what it printed."""

    @classmethod
    def setUpClass(cls):
        cls.bus = Bus()
        cls.bus.add("lumabar", 3, name="Front", serial="LB000003")
        cls.bus.add("lumabar", 12)
        cls.bus.add("torvexc", 5, name="Arm", brake=1)
        cls.web = WebServer(cls.bus)

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        cls.bus.__exit__()

    def ok(self, status, doc):
        self.assertEqual(status, 200, doc)
        self.assertTrue(doc["ok"], doc)
        self.assertNotIn("error", doc)
        return doc

    def test_scan_and_reads_return_the_tools_documents(self):
        doc = self.ok(*self.web.get("/api/lumabar/scan"))
        self.assertEqual(doc["result"], {"scan": [3, 12]})
        self.assertEqual((doc["tool"], doc["args"], doc["exit_status"]),
                         ("kelto_lumabar", ["scan"], 0))
        self.assertEqual(doc["status_text"], "success")
        self.assertEqual(doc["stdout"], '{"scan":[3,12]}\n')
        doc = self.ok(*self.web.get("/api/lumabar/3/name"))
        self.assertEqual(doc["result"], {"name": "Front"})
        self.assertEqual(doc["stderr"], "status: 0\n")
        self.assertEqual(self.ok(*self.web.get("/api/lumabar/3/serial"))["result"],
                         {"serial": "LB000003"})
        self.assertEqual(set(self.ok(*self.web.get("/api/lumabar/3/versions"))["result"]),
                         {"bootloader", "firmware", "hardware"})
        self.assertEqual(self.ok(*self.web.get("/api/torvexc/5/brake"))["result"], {"brake": 1})

    def test_writes_read_back(self):
        doc = self.ok(*self.web.post("/api/lumabar/12/name", {"value": "Left Bar"}))
        self.assertEqual(doc["args"], ["12", "name", "Left Bar"])
        self.assertEqual(doc["result"], {"name": "Left Bar"})
        self.assertEqual(self.bus.show("lumabar", 12)["name"], "Left Bar")
        doc = self.ok(*self.web.post("/api/torvexc/5/fault_time", {"value": 200}))
        self.assertEqual(doc["result"], {"fault_time": 200})
        self.assertEqual(self.bus.show("torvexc", 5)["fault_time"], 200)

    def test_lighting_command_is_a_success_with_99(self):
        doc = self.ok(*self.web.post("/api/lumabar/3/light",
                                     {"command": "showrgb", "values": [255, 64, 0]}))
        self.assertEqual((doc["exit_status"], doc["status_text"], doc["result"]),
                         (99, "lighting command sent", None))
        self.assertEqual(self.bus.show("lumabar", 3)["led"]["rgb"], [255, 64, 0])
        self.ok(*self.web.post("/api/lumabar/3/light", {"command": "reset"}))

    def test_blink_and_info(self):
        doc = self.ok(*self.web.post("/api/lumabar/3/blink", {"seconds": 5}))
        self.assertEqual(doc["result"], {"blink": 5})
        status, doc = self.web.get("/api/info")
        self.assertEqual(status, 200)
        self.assertEqual(doc["library_version"], project_version())
        self.assertEqual(doc["bus"], "KELTO_CAN_BUS=" + self.bus.env["KELTO_CAN_BUS"])

    def test_tool_failure_carries_its_message_and_plain_words(self):
        status, doc = self.web.get("/api/lumabar/40/name")
        self.assertEqual(status, 502)
        self.assertFalse(doc["ok"])
        self.assertEqual((doc["exit_status"], doc["error"], doc["status_text"]),
                         (10, "ID not found on network", "the device is not on the bus"))


class IdChange(unittest.TestCase):
    def test_id_change_returns_the_scan_and_is_refused_onto_a_taken_id(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("lumabar", 3)
            bus.add("lumabar", 7)
            status, doc = web.post("/api/lumabar/3/id", {"new_id": 20})
            self.assertEqual((status, doc["result"]), (200, {"scan": [7, 20]}), doc)
            status, doc = web.post("/api/lumabar/20/id", {"new_id": 7})
            self.assertEqual((status, doc["exit_status"]), (502, 14), doc)
            self.assertEqual(doc["error"], "New ID already found on network")


class Firmware(unittest.TestCase):
    def test_update_by_id_reports_progress_and_writes_the_image(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("torvexc", 5)
            data = image(bus, "img.hex", "--pages", "8", "--seed", "4")
            status, check = web.upload("/api/hexcheck", "img.hex", data)
            self.assertEqual(status, 200, check)
            self.assertEqual(check["result"], hexcheck(bus.path("img.hex")))
            status, job = web.upload("/api/torvexc/5/firmware", "img.hex", data)
            self.assertEqual(status, 202, job)
            self.assertEqual((job["state"], job["device"], job["file"]), ("running", 5, "img.hex"))
            self.assertEqual(job["check"], check["result"])
            done, seen = web.wait_job(job["id"])
            self.assertEqual(done["run"]["exit_status"], 0, done)
            self.assertTrue(done["run"]["ok"])
            self.assertEqual((done["pages"], done["page"]), (8, 8))
            self.assertEqual(seen, sorted(seen))
            self.assertTrue(any(0 < p < 8 for p in seen), seen)  # progress seen on the way
            self.assertEqual(bus.show("torvexc", 5)["flash"]["crc32"], check["result"]["crc32"])
            self.assertEqual(web.get("/api/jobs/999")[0], 404)

    def test_recovery_updates_a_device_in_its_bootloader(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("lumabar", 9, mode="bootloader")
            data = image(bus, "img.hex", "--pages", "2")
            status, job = web.upload("/api/lumabar/firmware", "img.hex", data)
            self.assertEqual(status, 202, job)
            self.assertIsNone(job["device"])
            done, _ = web.wait_job(job["id"])
            self.assertEqual((done["run"]["args"][0], done["run"]["exit_status"]), ("firmware", 0))
            self.assertEqual(bus.show("lumabar", 9)["flash"]["crc32"],
                             hexcheck(bus.path("img.hex"))["crc32"])


def multipart_bytes(size):
    return b":" + b"0" * (size - 1)


class BadRequests(unittest.TestCase):
    """Each refused with its 4xx and a message before any tool runs."""

    CASES = [
        # method, path, body, status, words in the message
        ("POST", "/api/lumabar/3/name", b"{not json", 400, "not valid JSON"),
        ("POST", "/api/lumabar/3/name", b"", 400, "not valid JSON"),
        ("POST", "/api/lumabar/3/name", b"[1]", 400, "JSON object"),
        ("GET", "/api/lumabar/0/name", None, 400, "1 to 59"),
        ("GET", "/api/lumabar/60/name", None, 400, "1 to 59"),
        ("GET", "/api/torvexc/261/brake", None, 400, "1 to 59"),
        ("GET", "/api/lumabar/05x/name", None, 400, "1 to 59"),
        ("GET", "/api/lumabar/-3/name", None, 400, "1 to 59"),
        ("POST", "/api/lumabar/3/name", {"value": "123456789"}, 400, "at most 8 bytes"),
        ("POST", "/api/lumabar/3/name", {"value": "\u00e9\u00e9\u00e9\u00e9\u00e9"}, 400,
         "at most 8 bytes"),
        ("POST", "/api/lumabar/3/name", {"value": "a\nb"}, 400, "control"),
        ("POST", "/api/lumabar/3/name", {"value": 5}, 400, "string"),
        ("POST", "/api/lumabar/3/name", {}, 400, "\"value\""),
        ("POST", "/api/torvexc/5/brake", {"value": 256}, 400, "0 to 255"),
        ("POST", "/api/torvexc/5/brake", {"value": -1}, 400, "0 to 255"),
        ("POST", "/api/torvexc/5/brake", {"value": "1"}, 400, "integer"),
        ("POST", "/api/torvexc/5/brake", {"value": 1.5}, 400, "integer"),
        ("POST", "/api/torvexc/5/brake", {"value": True}, 400, "integer"),
        ("POST", "/api/torvexc/5/brake", {"value": 18446744073709551615}, 400, "integer"),
        ("POST", "/api/torvexc/5/id", {"new_id": 60}, 400, "1 to 59"),
        ("POST", "/api/torvexc/5/id", {"new_id": 5}, 400, "already has ID"),
        ("POST", "/api/lumabar/3/blink", {"seconds": 300}, 400, "0 to 255"),
        ("POST", "/api/lumabar/3/light", {"command": "showrgb", "values": [1, 2]}, 400, "3"),
        ("POST", "/api/lumabar/3/light", {"command": "rm -rf", "values": []}, 400, "showrgb"),
        ("POST", "/api/torvexc/5/light", {"command": "reset"}, 400, "cannot be written"),
        ("POST", "/api/lumabar/3/brake", {"value": 1}, 400, "cannot be written"),
        ("POST", "/api/lumabar/3/serial", {"value": 1}, 400, "cannot be written"),
        ("GET", "/api/lumabar/3/brake", None, 400, "cannot be read"),
        ("GET", "/api/lumabar/3/blink", None, 400, "cannot be read"),
        ("POST", "/api/lumabar/scan", {}, 400, "GET"),
        ("GET", "/api/lumabar/format", None, 400, "unknown bus request"),
        ("GET", "/api/sparkmax/scan", None, 404, "unknown device kind"),
        ("GET", "/api/nothing", None, 404, "no such"),
    ]

    def test_bad_requests_start_no_tool(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("lumabar", 3)
            bus.add("torvexc", 5)
            bus.clear_trace()
            for method, path, body, want, words in self.CASES:
                with self.subTest(method=method, path=path, body=body):
                    if isinstance(body, dict):
                        status, doc = web.post(path, body) if method == "POST" else (None, None)
                    else:
                        status, doc = web.request(method, path, body)
                    self.assertEqual(status, want, doc)
                    self.assertIn(words, doc["error"])
            self.assertEqual(bus.trace(), [])  # no tool ran
            self.assertEqual(web.get("/api/lumabar/scan")[0], 200)  # still serving

    def test_bad_uploads(self):
        with Bus() as bus, WebServer(bus) as web:
            bus.add("lumabar", 3)
            bus.clear_trace()
            good = image(bus, "img.hex", "--pages", "2")
            bad = good.replace(b":10000000", b":10000001", 1)  # checksum no longer matches
            cases = [
                ("/api/lumabar/3/firmware", "../img.hex", good, 400, "plain name"),
                ("/api/lumabar/3/firmware", "/etc/img.hex", good, 400, "plain name"),
                ("/api/hexcheck", "a\\b.hex", good, 400, "plain name"),
                ("/api/hexcheck", "", good, 400, "plain name"),
                ("/api/lumabar/3/firmware", "img.hex", bad, 400, "Error in hex file #1"),
                ("/api/hexcheck", "img.hex", bad, 400, "Error in hex file #1"),
                ("/api/lumabar/3/firmware", "big.hex", multipart_bytes(256 * 1024 + 1), 413,
                 "larger than"),
                ("/api/lumabar/61/firmware", "img.hex", good, 400, "1 to 59"),
            ]
            for path, name, data, want, words in cases:
                with self.subTest(path=path, name=name, size=len(data)):
                    status, doc = web.upload(path, name, data)
                    self.assertEqual(status, want, doc)
                    self.assertIn(words, doc["error"])
            status, doc = web.upload("/api/hexcheck", "img.hex", good, field="image")
            self.assertEqual(status, 400)
            self.assertIn('"file"', doc["error"])
            # 100 MB: refused from its length.
            status, doc = web.request("POST", "/api/lumabar/3/firmware", b"\0" * (100 << 20),
                                      {"Content-Type": "multipart/form-data; boundary=x"})
            self.assertEqual(status, 413)
            self.assertIn("larger than", doc["error"])
            self.assertEqual(bus.trace(), [])
            self.assertEqual(web.get("/api/lumabar/3/name")[0], 200)


class Listening(unittest.TestCase):
    def test_other_than_loopback_warns_once(self):
        # 192.0.2.1 (TEST-NET-1) is no address of this machine: the warning
        # comes before the bind, which then fails, so nothing listens.
        p = subprocess.run([program("kelto_web"), "--listen", "192.0.2.1:0"], capture_output=True,
                           timeout=10)
        self.assertEqual(p.returncode, 1)
        lines = p.stderr.decode().splitlines()
        self.assertEqual(lines, ["kelto_web: warning: listening on 192.0.2.1, reachable from other "
                                 "machines; there is no authentication",
                                 "kelto_web: cannot listen on 192.0.2.1:0"])

    def test_bad_options_are_refused(self):
        for opts in (["--listen", "127.0.0.1"], ["--listen", "127.0.0.1:99999"],
                     ["--margin-ms", "x"], ["--bogus"], ["--tools"]):
            with self.subTest(opts=opts):
                p = subprocess.run([program("kelto_web"), *opts], capture_output=True, timeout=10)
                self.assertEqual(p.returncode, 2)
                self.assertIn(b"usage: kelto_web", p.stderr)


if __name__ == "__main__":
    unittest.main()
