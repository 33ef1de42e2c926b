#!/usr/bin/env python3
"""What kelto_web adds to one tool run: the median wall time of RUNS API
requests against RUNS runs of the same tool command started directly, on a
fresh simulated bus with one lighting controller (1 ms reply latency). The
direct runs are started with posix_spawn, as kelto_web starts them.

  bench/web_overhead.py [--bin build/bin] [--runs 20]
  -> request                          direct ms   via kelto_web ms   overhead ms
     GET /api/lumabar/5/name              318.2              319.9          1.7
"""
import argparse
import http.client
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

# (API path, the same command for the tool)
REQUESTS = [
    ("/api/lumabar/version", ["kelto_lumabar", "version"]),
    ("/api/lumabar/5/serial", ["kelto_lumabar", "5", "serial"]),
    ("/api/lumabar/5/name", ["kelto_lumabar", "5", "name"]),
]


DEVNULL_OUTPUT = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
                  (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]


def timed(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", default=os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    bindir = os.path.abspath(args.bin)
    with tempfile.TemporaryDirectory(prefix="kelto-bench-") as tmp:
        env = dict(os.environ, KELTO_CAN_BUS="sim:" + os.path.join(tmp, "bus"))
        subprocess.run([os.path.join(bindir, "kelto_sim"), "add", "lumabar", "5", "name=Front"],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        web = subprocess.Popen([os.path.join(bindir, "kelto_web"), "--listen", "127.0.0.1:0"],
                               env=env, stdout=subprocess.PIPE)
        port = int(web.stdout.readline().decode().split("127.0.0.1:")[1].split("/")[0])
        try:
            print("%-30s %10s %17s %12s" % ("request", "direct ms", "via kelto_web ms",
                                             "overhead ms"))
            for path, command in REQUESTS:
                def direct():
                    # posix_spawn as kelto_web does, not subprocess (which costs ~2 ms more).
                    pid = os.posix_spawn(os.path.join(bindir, command[0]), command, env,
                                         file_actions=DEVNULL_OUTPUT)
                    _, status = os.waitpid(pid, 0)
                    if os.waitstatus_to_exitcode(status) != 0:
                        sys.exit("%s -> %d" % (command, status))

                def via_web():
                    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                    conn.request("GET", path)
                    resp = conn.getresponse()
                    resp.read()
                    conn.close()
                    if resp.status != 200:
                        sys.exit("%s -> HTTP %d" % (path, resp.status))

                d, w = timed(direct, args.runs), timed(via_web, args.runs)
                print("%-30s %10.1f %17.1f %12.1f" % ("GET " + path, d, w, w - d))
        finally:
            web.send_signal(signal.SIGTERM)
            web.wait()


if __name__ == "__main__":
    main()
