"""kelto_lumabar end to end on the simulated bus: the bytes it prints, its
exit status, the "status: " lines, the frames it puts on the bus and what the
simulated lighting controller makes of them."""

import unittest

import harness
from harness import LUMABAR_PRESENCE, Scenarios, error_doc

TOOL = "kelto_lumabar"
S = Scenarios()

MSG = harness.MESSAGES[TOOL]

HEARD = b"status: 0\n"
NOT_HEARD = b"status: -44087\n"  # the stand-in's "message not found"

# Refused command lines with device 5 on the bus: args -> (status, the
# "status: " lines). Standard output is the error document of the status and
# no frame but device 5's presence frames is on the bus.
REFUSALS = [
    ([], 20, b""),
    (["firmware"], 21, b""),
    (["5"], 21, b""),
    (["SCAN"], 21, b""),
    (["reset"], 22, b""),  # a lone reset: no device named
    (["scan", "1"], 30, b""),
    (["version", "x"], 30, b""),
    (["FIRMWARE", "a.hex"], 30, b""),
    (["abc", "serial"], 22, b""),
    (["abc", "foo"], 30, b""),
    (["5", "Serial"], 30, b""),
    (["0", "serial"], 23, b""),
    (["60", "serial"], 23, b""),
    (["256", "serial"], 23, b""),
    (["261", "serial"], 23, b""),  # low 8 bits would be 5
    (["", "serial"], 23, b""),
    (["261", "showrgb", "1", "2", "3"], 23, b""),
    (["9", "serial"], 10, NOT_HEARD),
    (["9", "firmware", "a.hex"], 10, NOT_HEARD),
    (["5", "serial", "3"], 27, HEARD),
    (["5", "serial", "x"], 25, HEARD),
    (["5", "versions", "1"], 27, HEARD),
    (["5", "firmware"], 28, HEARD),
    (["5", "firmware", "a", "b"], 29, HEARD),
    (["firmware", "a", "b"], 29, b""),
    (["5", "id"], 28, HEARD),
    (["5", "id", "0"], 23, HEARD),
    (["5", "id", "60"], 23, HEARD),
    (["5", "id", "261"], 23, HEARD),
    (["5", "id", ""], 23, HEARD),
    (["5", "id", "5"], 14, HEARD + HEARD),
    (["5", "id", "7", "x"], 25, HEARD),
    (["5", "blink"], 28, HEARD),
    (["5", "blink", "3", "4"], 28, HEARD),
    (["5", "blink", "-1"], 25, HEARD),
    (["5", "reset", "1"], 28, HEARD),
    (["5", "showrgb", "1", "2"], 28, HEARD),
    (["5", "showrgb", "1", "2", "3", "4"], 28, HEARD),
    (["5", "writeregister", "1", "2", "3", "4"], 28, HEARD),
    (["5", "showregister"], 28, HEARD),
    (["5", "cycle", "1"], 28, HEARD),
    (["5", "fade", "1", "2", "3"], 28, HEARD),
    (["5", "showrgb", "", "0", "0"], 25, HEARD),
    (["5", "showrgb", "0", "0", "2147483648"], 25, HEARD),
    (["5", "showregister", "99999999999"], 25, HEARD),
    (["5", "writeregister", "1", "2", "3", "4", ""], 25, HEARD),
    (["5", "cycle", "1", "2147483648"], 25, HEARD),
    (["5", "fade", "", "1"], 25, HEARD),
    (["5", "showrgb", "+1", "0", "0"], 25, HEARD),
]


def refusal(args):
    def run(bus):
        bus.add("lumabar", 5)
        return bus.run(TOOL, *args), bus.sent(LUMABAR_PRESENCE)
    return run


for _args, _status, _err in REFUSALS:
    S.add(("refuse",) + tuple(_args), refusal(_args))


class Refusals(unittest.TestCase):
    def test_each_refusal_prints_its_error_and_sends_nothing(self):
        for args, status, err in REFUSALS:
            with self.subTest(args=args):
                r, sent = S[("refuse",) + tuple(args)]
                self.assertEqual((r.status, r.out, r.err), (status, error_doc(MSG[status]), err))
                self.assertEqual(sent, [])


# --- scan -------------------------------------------------------------------

def run_with(devices, *args, **keys):
    """A case: lighting controllers `devices` (with keys) on the bus, then the tool."""
    def run(bus):
        for d in devices:
            bus.add("lumabar", d, **keys)
        return bus.run(TOOL, *args)
    return run


S.add("scan 3 12", lambda bus: (run_with([12, 3], "scan")(bus), bus.trace()))
S.add("scan none", run_with([], "scan"))
S.add("scan edges", run_with([63, 0, 5, 60, 61, 62], "scan"))


@S.case("scan early frame only")
def _(bus):
    # Presence frames stop before the scan starts: none arrives in its window.
    bus.add("lumabar", 7, period_ms=60000)
    return bus.run(TOOL, "scan")


class Scan(unittest.TestCase):
    def test_lists_devices_in_ascending_order_after_one_window(self):
        r, trace = S["scan 3 12"]
        self.assertEqual((r.status, r.out, r.err), (0, b'{"scan":[3,12]}\n', b""))
        # listening only: the trace holds the presence frames handed over, nothing sent
        self.assertEqual({f.id for f in trace}, {0x08072403, 0x0807240C})
        # at least one window; its exact length is checked on virtual time in the unit tests
        self.assertGreaterEqual(r.seconds, 0.2)

    def test_no_device_is_error_12(self):
        r = S["scan none"]
        self.assertEqual((r.status, r.out), (12, error_doc(MSG[12])))

    def test_ids_outside_the_command_line_range_are_listed(self):
        r = S["scan edges"]
        self.assertEqual((r.status, r.out), (0, b'{"scan":[0,5,60,61,62,63]}\n'))

    def test_frame_sent_before_the_window_is_not_counted(self):
        r = S["scan early frame only"]
        self.assertEqual((r.status, r.out), (12, error_doc(MSG[12])))


# --- name, serial, versions -------------------------------------------------

def query(args, **keys):
    """Device 5 with keys, the tool with args; the run, the trace without
    presence frames and the device afterwards."""
    def run(bus):
        bus.add("lumabar", 5, **keys)
        r = bus.run(TOOL, "5", *args)
        return r, bus.sent(LUMABAR_PRESENCE), bus.show("lumabar", 5)
    return run


NAME_ID = 0x08073805

# args after "5 name", name held before -> status, stdout, payload of the write frame.
NAMES = [
    ([], "Front", 0, b'{"name":"Front"}\n', None),
    ([], "", 0, b'{"name":""}\n', None),
    ([], "ABCDEFGH", 0, b'{"name":"ABCDEFGH"}\n', None),
    (["ab", "cd"], "", 0, b'{"name":"ab cd"}\n', b"ab cd\0\0\0"),
    (["a", "", "b"], "", 0, b'{"name":"a  b"}\n', b"a  b\0\0\0\0"),
    (["Front Left"], "", 31, error_doc(MSG[31]), None),  # 10 bytes in one argument
    (["12345678"], "", 0, b'{"name":"12345678"}\n', b"12345678"),
    (["abcd", "efgh"], "old", 31, error_doc(MSG[31]), None),
    ([""], "old", 0, b'{"name":""}\n', b"\0" * 8),
    (["\u00e9\u00e9\u00e9\u00e9"], "", 0, b'{"name":"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}\n',
     b"\xc3\xa9" * 4),
    (["\u00e9\u00e9\u00e9\u00e9x"], "", 31, error_doc(MSG[31]), None),
]

for _n in NAMES:
    S.add(("name",) + tuple(_n[0]) + (_n[1],), query(["name", *_n[0]], name=_n[1]))


SERIALS = [(None, b'{"serial":"LB000005"}\n'), ("S1", b'{"serial":"S1"}\n'),
           ("", b'{"serial":""}\n')]
for _held, _ in SERIALS:
    _keys = {} if _held is None else {"serial": _held}
    S.add(("serial", _held), query(["serial"], **_keys))

VERSIONS = [
    ({"firmware": "2.3", "hardware": "1.1", "bootloader": "1.0"},
     b'{"bootloader":"1.0","firmware":"2.3","hardware":"1.1"}\n'),
    ({"firmware": "255.255", "hardware": "0.0", "bootloader": "1.10"},
     b'{"bootloader":"1.10","firmware":"255.255","hardware":"0.0"}\n'),
]
for _keys, _ in VERSIONS:
    S.add(("versions",) + tuple(sorted(_keys.items())), query(["versions"], **_keys))

MUTE_CASES = [["name"], ["serial"], ["versions"], ["name", "New"]]
for _args in MUTE_CASES:
    S.add(("mute",) + tuple(_args), query(_args, mute=1))


def read_back(keys, *args):
    return lambda bus: (bus.add("lumabar", 5, **keys), bus.run(TOOL, "5", *args))[1]


# Bytes that are not UTF-8, held by the device or written by the tool.
UTF8 = [
    ("device name", read_back({"name": b"a\xffb\xc3"}, "name"),
     b'{"name":"a\xef\xbf\xbdb\xef\xbf\xbd"}\n'),
    ("device serial", read_back({"serial": b"\xfe1"}, "serial"), b'{"serial":"\xef\xbf\xbd1"}\n'),
    ("written name", read_back({}, "name", b"x\xfey"), b'{"name":"x\xef\xbf\xbdy"}\n'),
]
for _label, _fn, _ in UTF8:
    S.add(("utf8", _label), _fn)


class Identity(unittest.TestCase):
    def test_name_read_and_write(self):
        for words, held, status, out, payload in NAMES:
            with self.subTest(words=words, held=held):
                r, sent, dev = S[("name",) + tuple(words) + (held,)]
                self.assertEqual((r.status, r.out, r.err), (status, out, HEARD))
                # presence window, then the 100 ms pause ahead of the read request
                self.assertGreaterEqual(r.seconds, 0.3 if status == 0 else 0.2)
                if status != 0:  # refused: nothing sent, name unchanged
                    self.assertEqual((sent, dev["name"]), ([], held))
                    continue
                # the 8-byte write (if any), then one empty read request
                expected = ([(NAME_ID, payload)] if words else []) + [(NAME_ID, b"")]
                self.assertEqual([(f.id, f.data) for f in sent if f.id == NAME_ID][:-1], expected)

    def test_serial(self):
        for held, out in SERIALS:
            with self.subTest(held=held):
                r, sent, _ = S[("serial", held)]
                self.assertEqual((r.status, r.out, r.err), (0, out, HEARD))
                self.assertEqual((sent[0].id, sent[0].data), (0x08074405, b""))

    def test_versions(self):
        for keys, out in VERSIONS:
            with self.subTest(keys=keys):
                r, sent, _ = S[("versions",) + tuple(sorted(keys.items()))]
                self.assertEqual((r.status, r.out, r.err), (0, out, HEARD))
                self.assertEqual((sent[0].id, sent[0].data), (0x08073005, b""))

    def test_mute_device_gives_13(self):
        for args in MUTE_CASES:
            with self.subTest(args=args):
                r, _, _ = S[("mute",) + tuple(args)]
                self.assertEqual((r.status, r.out, r.err), (13, error_doc(MSG[13]), HEARD))

    def test_invalid_utf8_is_printed_with_replacements(self):
        for label, _, out in UTF8:
            with self.subTest(label):
                r = S[("utf8", label)]
                self.assertEqual((r.status, r.out, r.err), (0, out, HEARD))


# --- blink and ID change ----------------------------------------------------

BLINKS = [("3", 3), ("0", 0), ("300", 44), ("99999999999", 255)]  # atoi saturates at 2^31-1
for _arg, _ in BLINKS:
    S.add(("blink", _arg), query(["blink", _arg]))


@S.case("id 5 12")
def _(bus):
    bus.add("lumabar", 5)
    r = bus.run(TOOL, "5", "id", "12")
    return r, bus.sent(LUMABAR_PRESENCE), bus.has("lumabar", 5), bus.has("lumabar", 12)


@S.case("id 7 8")
def _(bus):
    bus.add("lumabar", 5)
    bus.add("lumabar", 3)
    r = bus.run(TOOL, "5", "id", "7", "8")
    return r, bus.has("lumabar", 7), bus.has("lumabar", 8)


def sum_rule(data):
    return len(data) == 8 and sum(data) % 256 == 0x46


class Actions(unittest.TestCase):
    def test_blink_sends_the_seconds_unscaled(self):
        for arg, seconds in BLINKS:
            with self.subTest(arg=arg):
                r, sent, dev = S[("blink", arg)]
                self.assertEqual((r.status, r.out, r.err),
                                 (0, b'{"blink":%d}\n' % seconds, HEARD))
                self.assertEqual([(f.id, f.data) for f in sent], [(0x08074005, bytes([seconds]))])
                self.assertEqual(dev["blink"], seconds)

    def test_id_change_5_to_12(self):
        r, sent, has5, has12 = S["id 5 12"]
        self.assertEqual((r.status, r.out, r.err), (0, b'{"scan":[12]}\n', HEARD + NOT_HEARD))
        self.assertEqual(len(sent), 1)
        frame = sent[0]
        self.assertEqual(frame.id, 0x08073405)
        self.assertEqual(frame.data[:2], bytes([5, 12]))
        self.assertTrue(all(b <= 254 for b in frame.data[2:7]), frame.data.hex())
        self.assertTrue(sum_rule(frame.data), frame.data.hex())
        self.assertEqual((has5, has12), (False, True))

    def test_id_change_ignores_a_second_value(self):
        r, has7, has8 = S["id 7 8"]
        self.assertEqual((r.status, r.out), (0, b'{"scan":[3,7]}\n'))
        self.assertEqual((has7, has8), (True, False))


# --- lighting commands ------------------------------------------------------

# args after "5" -> the one frame sent (identifier, payload), LED state afterwards.
LIGHTING = [
    (["showrgb", "255", "0", "0"], (0x08070005, "00FF0000"), {"mode": "rgb", "rgb": [255, 0, 0]}),
    (["showrgb", "256", "300", "7"], (0x08070005, "00002C07"), {"mode": "rgb", "rgb": [0, 44, 7]}),
    (["writeregister", "2", "10", "20", "30", "40"], (0x08070185, "020A141E28"),
     {"mode": "off", "register 2": [10, 20, 30, 40]}),
    (["showregister", "3"], (0x08070045, "03"), {"mode": "register", "register": 3}),
    (["cycle", "1", "2"], (0x08070145, "0102"), {"mode": "cycle", "cycle": [1, 2]}),
    (["fade", "300", "4"], (0x080700C5, "2C04"), {"mode": "fade", "fade": [44, 4]}),
    (["showrgb", "2147483647", "0", "0"], (0x08070005, "00FF0000"), {"rgb": [255, 0, 0]}),
    # leading zeros do not make a numeral too large
    (["showrgb", "00000000000000000000001", "0", "0"], (0x08070005, "00010000"),
     {"rgb": [1, 0, 0]}),
]
for _args, _, _ in LIGHTING:
    S.add(("light",) + tuple(_args), query(_args))


@S.case("leading zeros in the ID")
def _(bus):
    bus.add("lumabar", 5)
    r = bus.run(TOOL, "0000000000005", "showregister", "2")
    return r, bus.sent(LUMABAR_PRESENCE)


@S.case("reset")
def _(bus):
    bus.add("lumabar", 5)
    bus.run(TOOL, "5", "showrgb", "1", "2", "3")
    bus.clear_trace()
    r = bus.run(TOOL, "5", "reset")
    return r, bus.sent(LUMABAR_PRESENCE), bus.show("lumabar", 5)


for _args in (["flash", "1", "2", "3"], ["flash"], ["ping"], ["ping", "1", "2"]):
    S.add(("silent",) + tuple(_args), query(_args))


class Lighting(unittest.TestCase):
    def test_each_command_sends_one_frame_and_ends_with_99(self):
        for args, (ident, payload), led in LIGHTING:
            with self.subTest(args=args):
                r, sent, dev = S[("light",) + tuple(args)]
                self.assertEqual((r.status, r.out, r.err), (99, b"", HEARD))
                self.assertEqual([(f.id, f.data.hex().upper()) for f in sent], [(ident, payload)])
                for key, value in led.items():
                    if key.startswith("register "):
                        self.assertEqual(dev["led"]["registers"][int(key.split()[1])], value)
                    else:
                        self.assertEqual(dev["led"][key], value, key)

    def test_device_id_with_leading_zeros(self):
        r, sent = S["leading zeros in the ID"]
        self.assertEqual((r.status, r.out, r.err), (99, b"", HEARD))
        self.assertEqual([(f.id, f.data) for f in sent], [(0x08070045, b"\x02")])

    def test_reset_sends_an_empty_frame_on_0x45(self):
        r, sent, dev = S["reset"]
        self.assertEqual((r.status, r.out, r.err), (99, b"", HEARD))
        self.assertEqual([(f.id, f.data) for f in sent], [(0x00000045, b"")])
        self.assertEqual((dev["led"]["mode"], dev["led"]["rgb"]), ("off", [0, 0, 0]))

    def test_flash_and_ping_send_nothing(self):
        for args in (["flash", "1", "2", "3"], ["flash"], ["ping"], ["ping", "1", "2"]):
            with self.subTest(args=args):
                r, sent, _ = S[("silent",) + tuple(args)]
                self.assertEqual((r.status, r.out, r.err, sent), (99, b"", HEARD, []))


def setUpModule():
    harness.check_bin_dir()
    S.run_all()


if __name__ == "__main__":
    unittest.main()
