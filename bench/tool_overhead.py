#!/usr/bin/env python3
"""Per-command overhead of the tools: wall time beyond the waits they must make.

Runs each command RUNS times on a fresh simulated bus (devices with a 1 ms
reply latency) and prints, per command, the median and 90th percentile of
(wall time - mandated waits) in milliseconds. The mandated waits are the
presence windows (200 ms lighting, 1000 ms motor), the 100 ms pause before a
name read, the 10 ms before each receive attempt (one attempt when the device
answers within 1 ms), and the 200 ms pause after an ID change.

  bench/tool_overhead.py [--bin build-bench/bin] [--runs 30]
  -> command                      waits ms   median ms   p90 ms
     kelto_lumabar scan                 200       0.91      1.20
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

LUMABAR = 200
TORVEXC = 1000
POLL = 10
NAME_PAUSE = 100
ID_PAUSE = 200

# (program, arguments, mandated waits in ms)
COMMANDS = [
    ("kelto_lumabar", ["scan"], LUMABAR),
    ("kelto_lumabar", ["5", "name"], LUMABAR + NAME_PAUSE + POLL),
    ("kelto_lumabar", ["5", "name", "Front"], LUMABAR + NAME_PAUSE + POLL),
    ("kelto_lumabar", ["5", "versions"], LUMABAR + POLL),
    ("kelto_lumabar", ["5", "serial"], LUMABAR + POLL),
    ("kelto_lumabar", ["5", "blink", "3"], LUMABAR),
    ("kelto_lumabar", ["5", "showrgb", "255", "0", "0"], LUMABAR),
    ("kelto_lumabar", ["5", "id", "5"], LUMABAR + LUMABAR),
    ("kelto_lumabar", ["version"], 0),
    ("kelto_lumabar", ["60", "serial"], 0),
    ("kelto_torvexc", ["scan"], TORVEXC),
    ("kelto_torvexc", ["5", "brake"], TORVEXC + POLL),
    ("kelto_torvexc", ["5", "brake", "1"], TORVEXC + POLL),
    ("kelto_torvexc", ["5", "versions"], TORVEXC + POLL),
    ("kelto_torvexc", ["5", "name"], TORVEXC + NAME_PAUSE + POLL),
]


def run(binary, args, env, devnull):
    """Wall time of one run in ms, spawned directly (no shell, no Python wrapper)."""
    actions = [(os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)]
    start = time.perf_counter()
    pid = os.posix_spawn(binary, [binary] + args, env, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = (time.perf_counter() - start) * 1000.0
    if os.waitstatus_to_exitcode(status) not in (0, 99, 23, 14):
        sys.exit(f"{binary} {' '.join(args)} failed with {os.waitstatus_to_exitcode(status)}")
    return elapsed


def report(label, waits, samples):
    over = sorted(t - waits for t in samples)
    p90 = over[min(len(over) - 1, int(0.9 * len(over)))]
    print(f"{label:32} {waits:9d} {statistics.median(over):10.2f} {p90:8.2f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
    parser.add_argument("--runs", type=int, default=30)
    opts = parser.parse_args()
    bindir = os.path.abspath(opts.bin)

    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, KELTO_CAN_BUS=f"sim:{tmp}/bus")
        for kind in ("lumabar", "torvexc"):
            subprocess.run([os.path.join(bindir, "kelto_sim"), "add", kind, "5"], env=env,
                           stdout=subprocess.DEVNULL, check=True)
        devnull = os.open(os.devnull, os.O_WRONLY)
        print(f"{'command':32} {'waits ms':>9} {'median ms':>10} {'p90 ms':>8}")
        # What starting any program costs on this machine, for reference.
        report("/bin/true (process start)", 0,
               [run("/bin/true", [], env, devnull) for _ in range(opts.runs)])
        for program, args, waits in COMMANDS:
            samples = [run(os.path.join(bindir, program), args, env, devnull)
                       for _ in range(opts.runs)]
            report(f"{program} {' '.join(args)}", waits, samples)


if __name__ == "__main__":
    main()
