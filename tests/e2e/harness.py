"""Runs the real programs against a simulated CAN bus of their own.

Every case gets a fresh bus directory, so cases run side by side:

    with Bus() as bus:
        bus.add("lumabar", 5, name="Front")
        r = bus.run("kelto_lumabar", "5", "name")
        r.status, r.out, r.err      # 0, b'{"name":"Front"}\\n', b'status: 0\\n'
        bus.show("lumabar", 5)["name"]  # 'Front'
        bus.trace()                 # [Frame(t=..., id=0x08073805, data=b''), ...]

The programs are found in KELTO_BIN_DIR, the repository in KELTO_SOURCE_DIR
(both set by tests/e2e/CMakeLists.txt). Programs built for another machine
run under KELTO_RUNNER (an emulator command line, e.g.
"qemu-arm -L /usr/arm-linux-gnueabi"); KELTO_NM lists their symbols.

The same cases run on a Linux CAN interface when KELTO_E2E_CAN_BUS names
one ("socketcan:can0"): the tools use it, each Bus serves its devices on
KELTO_E2E_SERVE (another interface on the same wire, e.g. can1, or the same
vcan0) with `kelto_sim serve`, and the trace is what `candump -L` records on
the tools' interface. The cases then run one after another (one wire), and
each only when a test asks for it.
"""

import concurrent.futures
import errno
import json
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

BIN_DIR = os.environ.get("KELTO_BIN_DIR", "")
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KELTO_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import hex_image  # noqa: E402

LIB_DIR = os.path.join(os.path.dirname(BIN_DIR), "lib") if BIN_DIR else ""
RUNNER = shlex.split(os.environ.get("KELTO_RUNNER", ""))
NM = os.environ.get("KELTO_NM") or "nm"

# Presence entries (device ID 0) of the two device kinds.
LUMABAR_PRESENCE = 0x08072400
TORVEXC_PRESENCE = 0x02072400

# A run of a program: exit status, standard output and error as bytes, wall seconds.
Result = namedtuple("Result", "status out err seconds")

# One line of the bus trace: bus time in seconds, 29-bit identifier, payload.
Frame = namedtuple("Frame", "t id data")

TRACE_LINE = re.compile(r"^\((\d+)\.(\d{6})\) \S+ ([0-9A-F]{8})#((?:[0-9A-F]{2})*)$")

# The bus the tools use, and the interface the devices are served on; both
# empty for the simulated bus.
CAN_BUS = os.environ.get("KELTO_E2E_CAN_BUS", "")
SERVE_IFACE = os.environ.get("KELTO_E2E_SERVE", "")
# A frame no device takes: empty, it marks in candump's record where a case
# begins; with a count, it shows when serve and candump have taken every
# frame before it (Bus.sync).
MARK_ID = 0x1FFFFFFF
# How much shorter a pause between two frames may look in the trace: on a
# wire a frame's time is when its controller finished sending it, which lags
# the tool's call by a varying delay.
WIRE_JITTER = 0.005 if CAN_BUS else 0.0

# Longest any single run may take before the case is failed (seconds).
RUN_TIMEOUT = 30


def program(name):
    return os.path.join(BIN_DIR, name)


def command(exe, *args):
    """The argument vector that runs the program file exe with args."""
    return [*RUNNER, exe, *args]


def parse_trace(text):
    """candump log lines -> [Frame]; a line of another form raises ValueError."""
    frames = []
    for line in text.splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            raise ValueError("not a trace line: %r" % line)
        secs, usecs, ident, data = m.groups()
        frames.append(Frame(int(secs) + int(usecs) / 1e6, int(ident, 16), bytes.fromhex(data)))
    return frames


def key_args(keys):
    """{"name": b"a\\xff", "mute": 1} -> [b"name=a\\xff", b"mute=1"] for kelto_sim."""
    return [k.encode() + b"=" + (v if isinstance(v, bytes) else str(v).encode())
            for k, v in keys.items()]


class Bus:
    """A fresh simulated bus in its own temporary directory."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kelto-e2e-")
        self.sim_env = dict(os.environ, KELTO_CAN_BUS="sim:" + os.path.join(self.dir, "bus"))
        self.env = dict(os.environ, KELTO_CAN_BUS=CAN_BUS) if CAN_BUS else self.sim_env
        self.served = None  # on a CAN interface: (kelto_sim serve, candump, record's path)
        self.trace_from = 0  # record lines before it belong to an earlier part of the case
        self.syncs = 0

    def __enter__(self):
        if CAN_BUS:
            self.served = serve_on_interface(self)
        return self

    def __exit__(self, *exc):
        if self.served:
            for p in self.served[:2]:
                p.send_signal(signal.SIGINT)
            for p in self.served[:2]:
                try:
                    p.communicate(timeout=RUN_TIMEOUT)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.communicate()
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_file(self, exe, *args, env=None):
        for attempt in range(50):
            start = time.monotonic()
            try:
                p = subprocess.run(command(exe, *args), env=env or self.env,
                                   stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=RUN_TIMEOUT)
                return Result(p.returncode, p.stdout, p.stderr, time.monotonic() - start)
            except OSError as e:
                # A program copied just now: a child forked by another case's
                # thread may still hold the copy's write descriptor until its exec.
                if e.errno != errno.ETXTBSY or attempt == 49:
                    raise
                time.sleep(0.02)

    def run_timed_lines(self, name, *args):
        """Runs bin/NAME reading standard output through a pipe as it comes:
        (Result, [(seconds since start, line)]) for every output line."""
        start = time.monotonic()
        p = subprocess.Popen(command(program(name), *args), env=self.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        lines = []
        try:
            for line in iter(p.stdout.readline, b""):
                lines.append((time.monotonic() - start, line))
            err = p.stderr.read()
            p.wait(timeout=RUN_TIMEOUT)
        finally:
            if p.poll() is None:
                p.kill()
            p.stdout.close()
            p.stderr.close()
        out = b"".join(line for _, line in lines)
        return Result(p.returncode, out, err, time.monotonic() - start), lines

    def start(self, name, *args):
        """Starts bin/NAME on this bus without waiting: (Popen, start time);
        finish() collects it."""
        p = subprocess.Popen(command(program(name), *args), env=self.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        return p, time.monotonic()

    def on_bus(self, started):
        """Waits until a program begun with start() holds this bus's state
        file open, which it does from its first CAN call on (a program under
        an emulator may take a while to get there); the monotonic time then."""
        p, _ = started
        state = os.path.join(self.dir, "bus", "bus.state")
        deadline = time.monotonic() + RUN_TIMEOUT
        while time.monotonic() < deadline and p.poll() is None:
            fd_dir = "/proc/%d/fd" % p.pid
            try:
                if any(os.readlink(os.path.join(fd_dir, fd)) == state
                       for fd in os.listdir(fd_dir)):
                    return time.monotonic()
            except OSError:
                pass  # a descriptor closed, or the program ended, meanwhile
            time.sleep(0.005)
        raise AssertionError("the program never opened %s" % state)

    @staticmethod
    def finish(started):
        """Result of a program begun with start(); killed after RUN_TIMEOUT."""
        p, start = started
        try:
            out, err = p.communicate(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            raise
        return Result(p.returncode, out, err, time.monotonic() - start)

    def run(self, name, *args):
        """Runs bin/NAME with args (str or bytes) on this bus."""
        return self.run_file(program(name), *args)

    def sim(self, *args):
        """kelto_sim with args; its JSON on success, AssertionError otherwise."""
        self.sync()
        r = self.run_file(program("kelto_sim"), *args, env=self.sim_env)
        if r.status != 0:
            raise AssertionError("kelto_sim %s -> %d %r %r" % (args, r.status, r.out, r.err))
        return json.loads(r.out)

    def add(self, kind, ident, **keys):
        return self.sim("add", kind, str(ident), *key_args(keys))

    def set(self, kind, ident, **keys):
        return self.sim("set", kind, str(ident), *key_args(keys))

    def show(self, kind, ident):
        return self.sim("show", kind, str(ident))

    def has(self, kind, ident):
        self.sync()
        return self.run_file(program("kelto_sim"), "show", kind, str(ident),
                             env=self.sim_env).status == 0

    def trace(self):
        if self.served:
            return parse_trace("".join(self.record()[self.trace_from:]))
        r = self.run_file(program("kelto_sim"), "trace", env=self.sim_env)
        if r.status != 0:
            raise AssertionError("kelto_sim trace -> %d %r" % (r.status, r.err))
        return parse_trace(r.out.decode("ascii"))

    def clear_trace(self):
        if self.served:
            self.trace_from = len(self.record())
            return
        self.sim("trace", "--clear")

    def record(self):
        """candump's lines since the case's start, without the marks."""
        self.sync()
        with open(self.served[2]) as f:
            lines = f.readlines()
        mark = " %08X#" % MARK_ID
        start = max(i for i, line in enumerate(lines) if line.rstrip().endswith(mark))
        return [line for line in lines[start + 1:] if mark not in line and line.endswith("\n")]

    def sync(self):
        """On a CAN interface: returns once kelto_sim serve and candump have
        taken every frame that reached the wire before the call."""
        if not self.served:
            return
        self.syncs += 1
        text = " %08X#%08X\n" % (MARK_ID, self.syncs)
        send_mark(interface_of(CAN_BUS), struct.pack(">I", self.syncs))
        files = [self.served[2], os.path.join(self.dir, "bus", "trace.log")]
        deadline = time.monotonic() + RUN_TIMEOUT
        while time.monotonic() < deadline:
            seen = 0
            for name in files:
                with open(name) as f:
                    seen += text in f.read()
            if seen == len(files):
                return
            time.sleep(0.005)
        raise AssertionError("the wire did not settle: mark %d not in %s" % (self.syncs, files))

    def sent(self, presence=None):
        """The trace without the presence frames of `presence` (entry, device ID 0)."""
        frames = self.trace()
        if presence is None:
            return frames
        return [f for f in frames if f.id & ~0x3F != presence]


def interface_of(bus):
    """"socketcan:can0" -> "can0"."""
    return bus.split(":", 1)[1]


def send_mark(iface, data=b""):
    """Puts MARK_ID with `data` on the interface (a raw CAN socket of Python's own)."""
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
        s.bind((iface,))
        s.send(struct.pack("=IB3x8s", MARK_ID | socket.CAN_EFF_FLAG, len(data), data))


def serve_on_interface(bus):
    """Starts `kelto_sim serve` for the bus's devices and candump on the tools'
    interface; returns once both listen (candump has recorded a mark)."""
    with open(bus.path("serve.err"), "w") as err:
        serve = subprocess.Popen([program("kelto_sim"), "serve", SERVE_IFACE], env=bus.sim_env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
    first = serve.stdout.readline()
    if json.loads(first or b"{}") != {"serving": SERVE_IFACE}:
        serve.kill()
        serve.communicate()
        with open(bus.path("serve.err")) as err:
            raise AssertionError("kelto_sim serve %s -> %r %r" % (SERVE_IFACE, first, err.read()))
    path = bus.path("candump.log")
    out = open(path, "w")
    dump = subprocess.Popen(["stdbuf", "-oL", "candump", "-L", interface_of(CAN_BUS)],
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    out.close()
    deadline = time.monotonic() + RUN_TIMEOUT
    while time.monotonic() < deadline:
        send_mark(interface_of(CAN_BUS))
        for _ in range(10):
            time.sleep(0.02)
            with open(path) as f:
                if " %08X#\n" % MARK_ID in f.read():
                    return serve, dump, path
    for p in (serve, dump):
        p.kill()
        p.communicate()
    raise AssertionError("candump recorded nothing on %s" % CAN_BUS)


def gen_hex(path, *flags):
    """Writes an image made by scripts/gen_hex.py with the given flags to path."""
    subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "scripts", "gen_hex.py"), *flags,
                    "-o", path], check=True)
    return path


def hexcheck(path):
    r = subprocess.run(command(program("kelto_hexcheck"), path), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
    if r.returncode != 0:
        raise AssertionError("kelto_hexcheck %s -> %d %r" % (path, r.returncode, r.stderr))
    return json.loads(r.stdout)


def project_version():
    """The VERSION of the project() call in the top CMakeLists.txt, e.g. "0.1.0"."""
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+\s+VERSION\s+([0-9.]+)", f.read()).group(1)


def hex_pages(path):
    """Page address -> 64 bytes the device holds after an update with the image
    at path (tests/support/hex_image.py), ascending."""
    return hex_image.pages(path)


def parallel(fn, cases, workers=24):
    """[fn(case) for case in cases], run side by side (each case on its own bus).
    An exception in one case is returned in its place, not raised."""
    def guarded(case):
        try:
            return fn(case)
        except Exception as e:  # reported by the test that reads this slot
            return e

    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(guarded, cases))


def error_doc(message):
    return (json.dumps({"error": message}, separators=(",", ":")) + "\n").encode()


def check_bin_dir():
    if not BIN_DIR or not os.path.isfile(program("kelto_sim")):
        sys.exit("set KELTO_BIN_DIR to the directory holding kelto_sim (got %r)" % BIN_DIR)


class Scenarios:
    """Named cases, each a function of a fresh Bus, all run side by side once;
    the tests then read what each returned.

        S = Scenarios()
        S.add("scan", lambda bus: (bus.add("lumabar", 3), bus.run("kelto_lumabar", "scan"))[1])
        S.run_all()            # in setUpModule
        S["scan"].status       # re-raises what the case raised

    A case added with alone=True times the programs against each other: it
    is left out of run_all and runs by itself when a test first asks for it,
    so that the side-by-side load of the other cases does not decide it.
    """

    def __init__(self):
        self.cases = {}
        self.alone = set()
        self.results = {}

    def add(self, name, fn, alone=False):
        if name in self.cases:
            raise KeyError("two scenarios named %r" % name)
        self.cases[name] = fn
        if alone:
            self.alone.add(name)

    def case(self, name, alone=False):
        def register(fn):
            self.add(name, fn, alone)
            return fn
        return register

    def run_all(self):
        if CAN_BUS:
            return  # one wire: each case runs when a test first asks for it
        items = [(n, fn) for n, fn in self.cases.items() if n not in self.alone]
        self.results = dict(zip((n for n, _ in items), parallel(self._one, items)))

    @staticmethod
    def _one(item):
        with Bus() as bus:
            return item[1](bus)

    def __getitem__(self, name):
        if name not in self.results:
            self.results[name] = parallel(self._one, [(name, self.cases[name])], workers=1)[0]
        result = self.results[name]
        if isinstance(result, Exception):
            raise result
        return result


# --- per-tool facts shared by the hardening files -----------------------------

# Error texts of each tool by status code (the refusals print {"error": text}).
_SHARED_TEXTS = {
    10: "ID not found on network",
    12: "No devices found",
    14: "New ID already found on network",
    20: "This executable requires arguments",
    22: "First argument must be a valid ID",
    23: "IDs must be greater than zero and less than sixty (0 < id < 60).",
    24: "Too many arguments",
    27: "This field does not allow a set value.",
    28: "This field requires a value.",
    29: "Firmware path must not contain spaces.",
    30: "Unrecognized command",
    31: "New name longer than eight characters",
}
MESSAGES = {
    "kelto_lumabar": {**_SHARED_TEXTS,
        13: "No response from Lumabar",
        32: "Another Lumabar firmware update is running on this bus",
        21: 'First argument must be "scan", "reset", or an ID followed by a field and possibly'
            ' a new value',
        25: "Further argument must be positive numerals"},
    "kelto_torvexc": {**_SHARED_TEXTS,
        13: "No response from TorvexC",
        32: "Another TorvexC firmware update is running on this bus",
        21: 'First argument must be "scan" or an ID followed by a field and possibly a new value',
        25: 'Third argument must be blank for "get" or a positive numeral for "set"'},
}

# Tool -> simulated device kind and presence entry.
KIND = {"kelto_lumabar": "lumabar", "kelto_torvexc": "torvexc"}
PRESENCE = {"kelto_lumabar": LUMABAR_PRESENCE, "kelto_torvexc": TORVEXC_PRESENCE}

# What the firmware command prints for a rejected file, and its status.
REJECTED_OUT = b"somethings up\n"
REJECTED_STATUS = 26


def tool_error(tool, status):
    """The error document `tool` prints for `status`."""
    return error_doc(MESSAGES[tool][status])


def progress_out(pages):
    """Standard output of an update of `pages` pages."""
    return b"Total pages: %d\n" % pages + b"".join(b"%d\n" % i for i in range(1, pages + 1))
