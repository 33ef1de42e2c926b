#!/usr/bin/env python3
"""Wall time of a scan and of a 64-page firmware update on a CAN interface,
against the waits they must make.

The devices are served with `kelto_sim serve SERVE` on the same wire; the
tool uses KELTO_CAN_BUS=CAN. Mandated waits: the presence windows (200 ms
lighting, 1000 ms motor) and, for the update by ID, the 200 ms presence
check plus 20 + 200 + 64 x 70 + 1000 ms of pauses (5900 ms). Prints the
median excess in ms and percent, and checks the flash CRC-32 the device
reports against kelto_hexcheck's. /bin/true shows what starting any program costs.

  bench/realcan_bench.py --can socketcan:can0 --serve can1 [--bin build/bin] [--runs 1]
"""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile

from firmware_update import timed  # (wall ms, CPU ms) of one run; a failed run ends it

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "bin"))
    parser.add_argument("--can", required=True, help="the tools' bus, e.g. socketcan:can0")
    parser.add_argument("--serve", required=True, help="interface to serve the devices on")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--pages", type=int, default=64)
    opts = parser.parse_args()
    bindir = os.path.abspath(opts.bin)
    sim = os.path.join(bindir, "kelto_sim")

    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "image.hex")
        subprocess.run([sys.executable, os.path.join(HERE, "..", "scripts", "gen_hex.py"),
                        "--pages", str(opts.pages), "-o", image], check=True)
        expected = json.loads(subprocess.check_output([os.path.join(bindir, "kelto_hexcheck"),
                                                       image]))
        sim_env = dict(os.environ, KELTO_CAN_BUS=f"sim:{tmp}/bus")
        env = dict(os.environ, KELTO_CAN_BUS=opts.can)
        for kind in ("lumabar", "torvexc"):
            subprocess.run([sim, "add", kind, "5"], env=sim_env, stdout=subprocess.DEVNULL,
                           check=True)
        serve = subprocess.Popen([sim, "serve", opts.serve], env=sim_env,
                                 stdout=subprocess.PIPE)
        try:
            if not serve.stdout.readline():
                sys.exit(f"kelto_sim serve {opts.serve} did not start")
            forms = [
                ("/bin/true", ["/bin/true"], 0),  # what starting any program costs here
                ("lumabar scan", [os.path.join(bindir, "kelto_lumabar"), "scan"], 200),
                ("torvexc scan", [os.path.join(bindir, "kelto_torvexc"), "scan"], 1000),
                (f"{opts.pages}-page update",
                 [os.path.join(bindir, "kelto_lumabar"), "5", "firmware", image],
                 200 + 20 + 200 + opts.pages * 70 + 1000),
            ]
            print(f"on {opts.can}, devices served on {opts.serve}")
            print(f"{'command':16} {'mandated ms':>12} {'median ms':>10} {'excess ms':>10} "
                  f"{'excess %':>9}")
            for name, argv, mandated in forms:
                median = statistics.median(timed(argv, env)[0] for _ in range(opts.runs))
                excess = median - mandated
                share = f"{100 * excess / mandated:8.2f}%" if mandated else f"{'':9}"
                print(f"{name:16} {mandated:12d} {median:10.1f} {excess:10.1f} {share}")
        finally:
            serve.send_signal(signal.SIGINT)
            serve.wait()
        shown = json.loads(subprocess.check_output([sim, "show", "lumabar", "5"], env=sim_env))
        if shown["flash"]["crc32"] != expected["crc32"] or shown["mode"] != "app":
            sys.exit(f"the device holds {shown['flash']} in mode {shown['mode']}, "
                     f"the image is {expected}")


if __name__ == "__main__":
    main()
