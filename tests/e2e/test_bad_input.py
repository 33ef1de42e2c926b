"""Bad input, end to end on both tools: every refusal of the command lines,
long numerals, signs and prefixes, empty arguments, odd bytes in names and
firmware files that are not images. Each row states the exit status, the
standard output byte for byte and the frames the tool put on the bus (none
where it refuses); a run that ends by a signal or overruns the harness's
timeout fails its row."""

import os
import random
import shutil
import stat
import tempfile
import unittest
from collections import namedtuple

import harness
from harness import KIND, PRESENCE, REJECTED_OUT, REJECTED_STATUS, Scenarios, progress_out

LB, TC = "kelto_lumabar", "kelto_torvexc"
TOOLS = (LB, TC)
S = Scenarios()

# Files the firmware rows name, made once in setUpModule; "{files}" in an
# argument stands for this directory.
FILES = tempfile.mkdtemp(prefix="kelto-bad-input-")

# Identifiers with device ID 5 of the frames the rows look at.
NAME = {LB: 0x08073805, TC: 0x02073805}
SERIAL = {LB: 0x08074405, TC: 0x02074405}
BLINK = {LB: 0x08074005, TC: 0x02074005}
SHOWREGISTER = 0x08070045
BRAKE = 0x02071CC5

LIGHTING = {"showrgb": 3, "writeregister": 5, "showregister": 1, "cycle": 2, "fade": 2}
FIELDS = ["inverted", "potentiometer", "brake", "limit_enabled", "limit_forward",
          "limit_reverse", "fault_voltage", "fault_time"]

# One row: the tool, its arguments (str or bytes), the exit status, standard
# output (None: the error document of the status), the frames other than
# presence frames in the trace as (identifier, payload) (None: not looked
# at), keys of lighting/motor controller 5 (None: no device on the bus),
# and an image whose pages device 5's flash must hold afterwards.
Row = namedtuple("Row", "tool args status out sent keys image")


def row(tool, args, status, out=None, sent=(), keys=(), image=None):
    return Row(tool, tuple(args), status, out, None if sent is None else list(sent),
               None if keys is None else dict(keys), image)


def expand(arg):
    return arg.replace("{files}", FILES) if isinstance(arg, str) else arg


def run_row(r):
    def run(bus):
        kind = KIND[r.tool]
        if r.keys is not None:
            bus.add(kind, 5, **r.keys)
        result = bus.run(r.tool, *[expand(a) for a in r.args])
        sent = [(f.id, f.data) for f in bus.sent(PRESENCE[r.tool])]
        flash = bus.show(kind, 5)["flash"] if r.image else None
        return result, sent, flash
    return run


def query(ident, reply):
    """An empty request on `ident` and the device's reply."""
    return [(ident, b""), (ident, reply)]


def written(ident, payload):
    """A write on `ident`, then the read-back request and its reply."""
    return [(ident, payload)] + query(ident, payload)


# --- every refusal of the two command lines -----------------------------------

REFUSALS = [
    row(LB, [], 20), row(TC, [], 20),
    row(LB, ["nope"], 21), row(TC, ["nope"], 21), row(TC, ["reset"], 21),
    row(LB, ["reset"], 22), row(LB, ["abc", "serial"], 22), row(TC, ["abc", "brake"], 22),
    row(LB, ["0", "serial"], 23), row(TC, ["60", "brake"], 23),
    row(LB, ["5", "id", "0"], 23), row(TC, ["5", "id", "60"], 23),
    row(LB, ["9", "serial"], 10), row(TC, ["9", "brake"], 10),
    row(LB, ["scan"], 12, keys=None), row(TC, ["scan"], 12, keys=None),
    row(LB, ["5", "id", "5"], 14), row(TC, ["5", "id", "5"], 14),
    row(TC, ["5", "brake", "1", "2"], 24),
    row(LB, ["5", "showrgb", "x", "0", "0"], 25), row(TC, ["5", "brake", "x"], 25),
    row(LB, ["5", "serial", "3"], 27), row(TC, ["5", "versions", "3"], 27),
    row(LB, ["5", "blink"], 28), row(TC, ["5", "firmware"], 28),
    row(LB, ["firmware", "a", "b"], 29), row(TC, ["5", "firmware", "a", "b"], 29),
    row(LB, ["5", "foo"], 30), row(TC, ["5", "Brake"], 30),
    row(LB, ["5", "name", "abcd", "efgh"], 31), row(TC, ["5", "name", "123456789"], 31),
    row(LB, ["firmware", "{files}/missing.hex"], REJECTED_STATUS, REJECTED_OUT),
    row(TC, ["5", "firmware", "{files}/missing.hex"], REJECTED_STATUS, REJECTED_OUT),
]

# --- numerals of 10, 20 and 400 digits ----------------------------------------

N10, N20, N400 = "9" * 10, "9" * 20, "9" * 400  # all above 2147483647
FITS10 = "1234567890"  # 10 digits within the signed 32-bit range; low byte 0xD2
LONG = (N10, N20, N400)
PADDED = ("0" * 9 + "5", "0" * 19 + "5", "0" * 399 + "5")  # 5 with leading zeros


def numeral_rows():
    rows = []
    for tool in TOOLS:
        serial = b"%s00000%d" % (b"LB" if tool == LB else b"TC", 5)
        for n in LONG:
            rows.append(row(tool, [n, "serial"], 23))  # the whole value counts
            rows.append(row(tool, ["5", "id", n], 23))
            # seconds: atoi saturates at 2147483647, whose low byte is 255
            rows.append(row(tool, ["5", "blink", n], 0, b'{"blink":255}\n',
                            [(BLINK[tool], b"\xff")]))
        for n in PADDED:
            rows.append(row(tool, [n, "serial"], 0, b'{"serial":"%s"}\n' % serial,
                            query(SERIAL[tool], serial)))
        rows.append(row(tool, ["5", "blink", FITS10], 0, b'{"blink":210}\n',
                        [(BLINK[tool], b"\xd2")]))
    for n in LONG:  # values beyond the signed 32-bit range are refused, nothing sent
        rows.append(row(LB, ["5", "showregister", n], 25))
        rows.append(row(TC, ["5", "brake", n], 25))
    for n in (FITS10, "0" * 19 + "7", "0" * 399 + "7"):
        value = 0xD2 if n == FITS10 else 7
        rows.append(row(LB, ["5", "showregister", n], 99, b"", [(SHOWREGISTER, bytes([value]))]))
        rows.append(row(TC, ["5", "brake", n], 0, b'{"brake":%d}\n' % value,
                        written(BRAKE, bytes([value]))))
    return rows


NUMERALS = numeral_rows()

# --- sign, base prefix and blanks in every numeric position -------------------

FORMS = ["+5", "-5", "0x5", " 5", "5 "]


def numeric_positions(tool, form):
    """Argument lists with `form` in each numeric position of `tool`."""
    lists = [[form, "serial"], ["5", "id", form], ["5", "blink", form]]
    if tool == LB:
        for word, count in LIGHTING.items():
            for k in range(count):
                lists.append(["5", word] + [form if i == k else "1" for i in range(count)])
    else:
        lists += [["5", field, form] for field in FIELDS]
    return lists


FORM_ROWS = [row(tool, args, 22 if args[0] == form else 25)
             for tool in TOOLS for form in FORMS for args in numeric_positions(tool, form)]

# --- empty arguments in every position ----------------------------------------

ZERO_NAME = b"\0" * 8


def empty_rows():
    rows = []
    for tool in TOOLS:
        fw = "firmware" if tool == LB else "FIRMWARE"
        rows += [
            row(tool, [""], 21),
            row(tool, ["", ""], 30),
            row(tool, ["", "serial"], 23),  # no digit reads as 0
            row(tool, ["5", ""], 30),
            row(tool, ["scan", ""], 30),
            row(tool, [fw, ""], REJECTED_STATUS, REJECTED_OUT),
            row(tool, ["5", "firmware", ""], REJECTED_STATUS, REJECTED_OUT),
            row(tool, ["5", "name", ""], 0, b'{"name":""}\n', written(NAME[tool], ZERO_NAME)),
            row(tool, ["5", "name", "", ""], 0, b'{"name":" "}\n',
                written(NAME[tool], b" " + b"\0" * 7)),
            row(tool, ["5", "id", ""], 23),
            row(tool, ["5", "blink", ""], 0, b'{"blink":0}\n', [(BLINK[tool], b"\0")]),
            row(tool, ["5", "serial", ""], 27),
            row(tool, ["5", "versions", ""], 27),
        ]
    rows += [row(LB, ["version", ""], 30), row(LB, ["5", "reset", ""], 28),
             row(LB, ["5", "flash", ""], 99, b""), row(LB, ["5", "ping", ""], 99, b""),
             # the argument after the new ID is not used: the device moves
             row(LB, ["5", "id", "7", ""], 0, b'{"scan":[7]}\n', None)]
    for word, count in LIGHTING.items():
        for k in range(count):
            rows.append(row(LB, ["5", word] + ["" if i == k else "1" for i in range(count)], 25))
    rows += [row(TC, ["5", field, ""], 25) for field in FIELDS]
    rows += [row(TC, ["version", ""], 30), row(TC, ["5", "brake", "", ""], 24)]
    return rows


EMPTY = empty_rows()

# --- bytes in names: taken as bytes, up to 8; invalid UTF-8 prints U+FFFD -----

FFFD = "\ufffd".encode()
NAMES = [  # (words, stored payload, printed value) or (words, None, None) for 31
    ([b"\xff\xfe"], b"\xff\xfe", FFFD * 2),
    ([b"\xc3("], b"\xc3(", FFFD + b"("),
    ([b"\xe2\x82"], b"\xe2\x82", FFFD),  # a cut-off sequence is one replacement
    ([b"\xed\xa0\x80"], b"\xed\xa0\x80", FFFD * 3),  # an encoded surrogate
    ([b"abcdefg\xc3"], b"abcdefg\xc3", b"abcdefg" + FFFD),
    ([b"\xff" * 8], b"\xff" * 8, FFFD * 8),
    ([b"\xff", b"\x01"], b"\xff \x01", FFFD + b" \\u0001"),
    ([b"\x01\x02\t\n\r\x1b\x7f"], b"\x01\x02\t\n\r\x1b\x7f",
     b"\\u0001\\u0002\\t\\n\\r\\u001b\x7f"),
    ([b'a"b\\c'], b'a"b\\c', b'a\\"b\\\\c'),
    ([b"\xc3\xa4" * 4], b"\xc3\xa4" * 4, b"\xc3\xa4" * 4),  # 8 bytes, 4 characters
    ([b"\xc3\xa4" * 4 + b"x"], None, None),  # 9 bytes
    ([b"\xff" * 9], None, None),
    ([b"\x01" * 4, b"\x02" * 4], None, None),  # 9 bytes with the joining space
]


def name_rows():
    rows = []
    for tool in TOOLS:
        for words, stored, printed in NAMES:
            args = [b"5", b"name"] + words
            if stored is None:
                rows.append(row(tool, args, 31))
            else:
                payload = stored + b"\0" * (8 - len(stored))
                rows.append(row(tool, args, 0, b'{"name":"%s"}\n' % printed,
                                written(NAME[tool], payload)))
        # a device that already holds bytes that are not UTF-8
        rows.append(row(tool, ["5", "name"], 0, b'{"name":"%sabc"}\n' % FFFD,
                        query(NAME[tool], b"\x80abc" + b"\0" * 4), keys={"name": b"\x80abc"}))
    return rows


NAME_ROWS = name_rows()

# --- files given as firmware --------------------------------------------------

TEN_MB = 10 * 1024 * 1024
# root reads a file of mode 000: decided once the file exists (setUpModule)
UNREADABLE = os.path.join(FILES, "unreadable.hex")
LOCKED_DIR = os.path.join(FILES, "locked")


def make_files():
    """The firmware files of the rows below, in FILES."""
    with open(os.path.join(FILES, "long-colon.hex"), "wb") as f:
        f.write(b":" + b"F" * (TEN_MB - 1))  # byte count FF: line shorter than its count
    with open(os.path.join(FILES, "long-zeros.hex"), "wb") as f:
        f.write(b"0" * TEN_MB)  # no ':'
    with open(os.path.join(FILES, "binary.hex"), "wb") as f:
        f.write(bytes(random.Random(5).randrange(256) for _ in range(65536)))
    with open(os.path.join(FILES, "binary-colon.hex"), "wb") as f:
        f.write(b":" + bytes(range(256)) * 16)
    os.mkdir(os.path.join(FILES, "dir.hex"))
    os.mkfifo(os.path.join(FILES, "fifo.hex"))  # no writer: opening it must not block
    harness.gen_hex(os.path.join(FILES, "with space.hex"), "--pages", "1", "--seed", "4")
    harness.gen_hex(UNREADABLE, "--pages", "1", "--seed", "6")
    os.chmod(UNREADABLE, 0)
    os.mkdir(LOCKED_DIR)
    harness.gen_hex(os.path.join(LOCKED_DIR, "image.hex"), "--pages", "1")
    os.chmod(LOCKED_DIR, 0)


def firmware_rows():
    rows = []
    rejected = ["missing.hex", "dir.hex", "fifo.hex", "long-colon.hex", "long-zeros.hex",
                "binary.hex", "binary-colon.hex"]
    for tool in TOOLS:
        for name in rejected:
            path = "{files}/" + name
            rows.append(row(tool, ["5", "firmware", path], REJECTED_STATUS, REJECTED_OUT))
            # the recovery form never starts its search for a rejected file
            rows.append(row(tool, ["firmware", path], REJECTED_STATUS, REJECTED_OUT))
        spaced = "{files}/with space.hex"
        rows.append(row(tool, ["5", "firmware", spaced], 0, progress_out(1), None,
                        image=spaced))
        rows.append(row(tool, ["firmware", spaced], 0, progress_out(1), None,
                        keys={"mode": "bootloader"}, image=spaced))
        rows.append(row(tool, ["5", "firmware", "{files}/with", "space.hex"], 29))
        rows.append(row(tool, ["firmware", "{files}/with", "space.hex"], 29))
    return rows


FIRMWARE = firmware_rows()

# Loader messages on standard error of the rejected files, by file name.
LOADER_ERROR = {
    "missing.hex": b"Can not open the firmware hexfile: %s\n",
    "dir.hex": b"Can not open the firmware hexfile: %s\n",
    "fifo.hex": b"Can not open the firmware hexfile: %s\n",
    "long-colon.hex": b"Error in hex file #1\n",
    "long-zeros.hex": b"Incorrect file format of firmware file: %s"
                      b"Error in firmware file. File processing cancelled.\n",
    "binary-colon.hex": b"Error in hex file #1\n",
}


def unreadable_rows(root_reads):
    """The file of mode 000, by ID: root reads it and the update runs; anyone
    else gets it refused."""
    if root_reads:
        return [row(tool, ["5", "firmware", UNREADABLE], 0, progress_out(1), None,
                    image=UNREADABLE) for tool in TOOLS]
    return [row(tool, ["5", "firmware", UNREADABLE], REJECTED_STATUS, REJECTED_OUT)
            for tool in TOOLS]


TABLES = {"refusals": REFUSALS, "numerals": NUMERALS, "forms": FORM_ROWS, "empty": EMPTY,
          "names": NAME_ROWS, "firmware": FIRMWARE}


def register(table, rows):
    for i, r in enumerate(rows):
        S.add((table, i), run_row(r))


for _table, _rows in TABLES.items():
    register(_table, _rows)


class BadInput(unittest.TestCase):
    def check_table(self, table):
        for i, r in enumerate(TABLES[table]):
            with self.subTest(tool=r.tool, args=r.args):
                result, sent, flash = S[(table, i)]
                out = harness.tool_error(r.tool, r.status) if r.out is None else r.out
                self.assertGreaterEqual(result.status, 0, "ended by a signal")
                self.assertEqual((result.status, result.out), (r.status, out), result.err)
                if r.sent is not None:
                    self.assertEqual(sent, r.sent)
                if r.image:
                    image = harness.hexcheck(expand(r.image))
                    self.assertEqual((flash["pages"], flash["crc32"]),
                                     (image["pages"], image["crc32"]))

    def test_refusals_of_both_command_lines(self):
        self.check_table("refusals")

    def test_numerals_of_10_20_and_400_digits(self):
        self.check_table("numerals")

    def test_sign_prefix_and_blanks_in_every_numeric_position(self):
        self.check_table("forms")

    def test_empty_argument_in_every_position(self):
        self.check_table("empty")

    def test_name_bytes_are_stored_as_given_and_printed_as_utf8(self):
        self.check_table("names")

    def test_files_that_are_no_image(self):
        self.check_table("firmware")

    def test_loader_names_what_is_wrong_with_the_file(self):
        for i, r in enumerate(FIRMWARE):
            name = os.path.basename(r.args[-1])
            if r.status != REJECTED_STATUS or name not in LOADER_ERROR:
                continue
            with self.subTest(tool=r.tool, args=r.args):
                result = S[("firmware", i)][0]
                message = LOADER_ERROR[name].replace(b"%s", expand(r.args[-1]).encode())
                self.assertTrue(result.err.endswith(message), result.err[-300:])

    def test_unreadable_file(self):
        self.check_table("unreadable")

    def test_file_in_a_directory_without_search_permission(self):
        if os.access(os.path.join(LOCKED_DIR, "image.hex"), os.R_OK):
            self.skipTest("this user passes directories without search permission (root): the "
                          "file opens, so the row would not show a refusal")
        self.check_table("locked")


def setUpModule():
    harness.check_bin_dir()
    make_files()
    TABLES["unreadable"] = unreadable_rows(os.access(UNREADABLE, os.R_OK))
    register("unreadable", TABLES["unreadable"])
    locked = os.path.join(LOCKED_DIR, "image.hex")
    TABLES["locked"] = [] if os.access(locked, os.R_OK) else [
        row(tool, ["5", "firmware", locked], REJECTED_STATUS, REJECTED_OUT) for tool in TOOLS]
    register("locked", TABLES["locked"])
    S.run_all()


def tearDownModule():
    for path in (LOCKED_DIR, UNREADABLE):
        if os.path.exists(path):
            os.chmod(path, stat.S_IRWXU)
    shutil.rmtree(FILES, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
