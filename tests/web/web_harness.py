"""Runs kelto_web on a simulated bus of its own and talks to it over loopback.

    with Bus() as bus, WebServer(bus) as web:
        status, doc = web.get("/api/lumabar/scan")      # 200, {"ok": true, ...}
        status, doc = web.post("/api/torvexc/5/brake", {"value": 1})
        status, doc = web.upload("/api/hexcheck", "image.hex", data)

The server listens on 127.0.0.1 on a free port, so cases run side by side.
"""

import http.client
import json
import os
import signal
import subprocess
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

from harness import Bus, gen_hex, program  # noqa: E402  (re-exported for the test files)

# Longest any request may take before the case is failed (seconds).
REQUEST_TIMEOUT = 60


def image(bus, name, *flags):
    """The bytes of an image made by gen_hex.py with `flags`, saved as bus.path(name)."""
    with open(gen_hex(bus.path(name), *flags), "rb") as f:
        return f.read()


class WebServer:
    """kelto_web on `bus`, with extra command-line options."""

    def __init__(self, bus, *options, tmpdir=None):
        env = dict(bus.env)
        if tmpdir:
            env["TMPDIR"] = tmpdir
        self.proc = subprocess.Popen([program("kelto_web"), "--listen", "127.0.0.1:0", *options],
                                     env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if "serving http://127.0.0.1:" not in line:
            self.proc.kill()
            raise AssertionError("kelto_web did not start: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(line.split("127.0.0.1:")[1].split("/")[0])
        self.url = "http://127.0.0.1:%d" % self.port

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        """SIGTERM, then the exit status (killed after 30 s)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode

    def request(self, method, path, body=None, headers=None):
        """(HTTP status, JSON document or raw bytes when not JSON)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=REQUEST_TIMEOUT)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
        finally:
            conn.close()
        try:
            return resp.status, json.loads(data)
        except ValueError:
            return resp.status, data

    def get(self, path):
        return self.request("GET", path)

    def post(self, path, doc):
        body = doc if isinstance(doc, (bytes, str)) else json.dumps(doc)
        return self.request("POST", path, body, {"Content-Type": "application/json"})

    def upload(self, path, filename, data, field="file"):
        boundary = uuid.uuid4().hex
        body = (b"--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                b"Content-Type: application/octet-stream\r\n\r\n" % (
                    boundary.encode(), field.encode(), filename.encode())
                + data + b"\r\n--%s--\r\n" % boundary.encode())
        return self.request("POST", path, body,
                            {"Content-Type": "multipart/form-data; boundary=" + boundary})

    def wait_job(self, job_id, timeout=60):
        """Polls an update until done: (final document, [page seen at each poll])."""
        seen = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status, doc = self.get("/api/jobs/%d" % job_id)
            if status != 200:
                raise AssertionError("job %d -> %d %r" % (job_id, status, doc))
            seen.append(doc["page"])
            if doc["state"] == "done":
                return doc, seen
            time.sleep(0.05)
        raise AssertionError("job %d not done after %d s" % (job_id, timeout))
