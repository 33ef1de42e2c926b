#!/usr/bin/env python3
"""kelto_hexcheck on images from gen_hex.py, against the independent model
of the loader in tests/support/hex_image.py, plus its exit statuses.

usage: hexcheck_cli_test.py KELTO_HEXCHECK GEN_HEX_PY
"""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import hex_image  # noqa: E402


def warnings(document):
    """The warning lines kelto_hexcheck writes on standard error for `document`."""
    dropped, after_eof = document["dropped_records"], document["lines_after_eof"]
    err = ""
    if dropped:
        err += ("kelto_hexcheck: %d data record%s dropped: only records of exactly 16 bytes are"
                " flashed\n" % (dropped, "" if dropped == 1 else "s"))
    if after_eof:
        err += ("kelto_hexcheck: %d line%s after the end-of-file record: read like any other, and"
                " 16-byte records among them are flashed\n" % (after_eof, "" if after_eof == 1 else "s"))
    return err


def write_wide(path):
    """An image of 32-byte data records only: it flashes nothing."""
    with open(path, "w") as f:
        for address in range(0, 256, 32):
            body = bytes([32, address >> 8, address & 0xFF, 0]) + bytes(range(address, address + 32))
            f.write(":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF))
        f.write(":00000001FF\n")
    return path


def run(hexcheck, path):
    return subprocess.run([hexcheck] + ([path] if path else []), capture_output=True, text=True)


def main():
    hexcheck, gen = sys.argv[1], sys.argv[2]
    failures = 0
    passed = 0
    variants = [
        ["--pages", "0"],
        ["--pages", "1"],
        ["--pages", "37", "--seed", "3"],
        ["--pages", "20", "--unordered", "--seed", "4"],
        ["--pages", "9", "--partial"],
        ["--pages", "5", "--short-last", "--start-address", "--ext-address", "--base", "0x8000"],
        ["--pages", "6", "--after-eof", "--crlf", "--lower"],
        ["--size-bytes", "200000", "--ext-address"],  # wraps the 16-bit address space
    ]
    with tempfile.TemporaryDirectory() as work:
        for n, args in enumerate(variants):
            path = os.path.join(work, "v%d.hex" % n)
            subprocess.run([sys.executable, gen, "-o", path] + args, check=True)
            again = subprocess.run([sys.executable, gen] + args, check=True, capture_output=True).stdout
            result = run(hexcheck, path)
            want = hex_image.summary(path)
            want_err = warnings(want)
            ok = (result.returncode == 0 and result.stderr == want_err
                  and result.stdout == json.dumps(want, separators=(",", ":")) + "\n"
                  and again == open(path, "rb").read())
            print(("ok  " if ok else "FAIL") + " gen_hex.py " + " ".join(args) + " -> " + result.stdout.strip())
            passed += ok
            failures += not ok

        wide = write_wide(os.path.join(work, "wide.hex"))
        result = run(hexcheck, wide)
        want = hex_image.summary(wide)
        want_err = warnings(want)
        ok = (result.returncode == 0 and want["pages"] == 0 and want["dropped_records"] == 8
              and result.stderr == want_err and json.loads(result.stdout) == want)
        print(("ok  " if ok else "FAIL") + " 32-byte records -> " + result.stdout.strip())
        passed += ok
        failures += not ok

        bad = os.path.join(work, "bad.hex")
        with open(bad, "w") as f:
            f.write(":00000001FF\n:00000001FF\n:00000001FE\n")
        blank = os.path.join(work, "blank.hex")
        with open(blank, "w") as f:
            f.write(":00000001FF\n\n")
        expectations = [
            (bad, 1, "Error in hex file #3\n"),
            (blank, 1, "Incorrect file format of firmware file: %s"
                       "Error in firmware file. File processing cancelled.\n" % blank),
            (os.path.join(work, "none.hex"),
             1, "Can not open the firmware hexfile: %s\n" % os.path.join(work, "none.hex")),
            (None, 2, "usage: kelto_hexcheck FILE\n"),
        ]
        for path, status, err in expectations:
            result = run(hexcheck, path)
            ok = result.returncode == status and result.stdout == "" and result.stderr == err
            print(("ok  " if ok else "FAIL") + " %s -> exit %d" % (path, result.returncode))
            passed += ok
            failures += not ok
    print("%d passed, %d failed" % (passed, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
