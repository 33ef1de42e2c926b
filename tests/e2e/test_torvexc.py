"""kelto_torvexc end to end on the simulated bus: case-insensitive forms
without a device ID, the dispatch refusals, the eight one-byte settings with
read-back, identity queries and the 1000 ms presence window."""

import unittest

import harness
from harness import TORVEXC_PRESENCE, Scenarios, error_doc

TOOL = "kelto_torvexc"
S = Scenarios()

MSG = harness.MESSAGES[TOOL]

HEARD = b"status: 0\n"
NOT_HEARD = b"status: -44087\n"

# Settings: word -> identifier with device ID 0.
SETTINGS = {
    "inverted": 0x02071C00,
    "potentiometer": 0x02071C80,
    "brake": 0x02071CC0,
    "limit_enabled": 0x02071D00,
    "limit_forward": 0x02071D40,
    "limit_reverse": 0x02071D80,
    "fault_voltage": 0x02071DC0,
    "fault_time": 0x02071E00,
}

# Refused command lines with motor controller 5 on the bus: args -> (status,
# "status: " lines). Standard output is the error document; nothing but
# presence frames on the bus.
REFUSALS = [
    ([], 20, b""),
    (["firmware"], 21, b""),
    (["reset"], 21, b""),
    (["5"], 21, b""),
    (["scan", "1"], 30, b""),
    (["5", "BRAKE"], 30, b""),
    (["5", "Name"], 30, b""),
    (["5", "showrgb", "1", "2", "3"], 30, b""),
    (["abc", "brake"], 22, b""),
    (["0", "brake"], 23, b""),
    (["60", "brake"], 23, b""),
    (["256", "brake"], 23, b""),
    (["261", "brake"], 23, b""),
    (["9", "brake"], 10, NOT_HEARD),
    (["9", "firmware", "a.hex"], 10, NOT_HEARD),
    (["5", "FIRMWARE", "a.hex"], 30, b""),
    (["5", "brake", "1", "2"], 24, HEARD),
    (["5", "blink", "3", "4"], 24, HEARD),
    (["5", "id", "7", "8"], 24, HEARD),
    (["5", "brake", "x"], 25, HEARD),
    (["5", "brake", ""], 25, HEARD),
    (["5", "brake", "2147483648"], 25, HEARD),
    (["5", "brake", "99999999999"], 25, HEARD),
    (["5", "brake", "-1"], 25, HEARD),
    (["5", "serial", "x"], 25, HEARD),
    (["5", "serial", "3"], 27, HEARD),
    (["5", "versions", "3"], 27, HEARD),
    (["5", "blink"], 28, HEARD),
    (["5", "id"], 28, HEARD),
    (["5", "firmware"], 28, HEARD),
    (["5", "firmware", "a", "b"], 29, HEARD),
    (["firmware", "a", "b"], 29, b""),
    (["FIRMWARE", "a", "b"], 29, b""),
    (["5", "id", "0"], 23, HEARD),
    (["5", "id", "60"], 23, HEARD),
    (["5", "id", "261"], 23, HEARD),
    (["5", "id", "5"], 14, HEARD + HEARD),
]


def refusal(args):
    def run(bus):
        bus.add("torvexc", 5, brake=7)
        return bus.run(TOOL, *args), bus.sent(TORVEXC_PRESENCE), bus.show("torvexc", 5)
    return run


for _args, _, _ in REFUSALS:
    S.add(("refuse",) + tuple(_args), refusal(_args))


class Refusals(unittest.TestCase):
    def test_each_refusal_prints_its_error_and_sends_nothing(self):
        for args, status, err in REFUSALS:
            with self.subTest(args=args):
                r, sent, dev = S[("refuse",) + tuple(args)]
                self.assertEqual((r.status, r.out, r.err), (status, error_doc(MSG[status]), err))
                self.assertEqual(sent, [])
                self.assertEqual(dev["brake"], 7)


# --- forms without a device ID ----------------------------------------------

SCAN_WORDS = ["scan", "SCAN", "Scan"]
for _w in SCAN_WORDS:
    S.add(("scan", _w), lambda bus, w=_w: (bus.add("torvexc", 12), bus.add("torvexc", 3),
                                           bus.run(TOOL, w))[2])
S.add("scan none", lambda bus: bus.run(TOOL, "scan"))
# a lighting controller is not heard on the motor controllers' presence entry
S.add("scan lumabar only", lambda bus: (bus.add("lumabar", 4), bus.run(TOOL, "scan"))[1])


class WithoutDeviceId(unittest.TestCase):
    def test_scan_in_any_letter_case_waits_one_second_window(self):
        for word in SCAN_WORDS:
            with self.subTest(word=word):
                r = S[("scan", word)]
                self.assertEqual((r.status, r.out, r.err), (0, b'{"scan":[3,12]}\n', b""))
                # the exact window is checked on virtual time in the unit tests
                self.assertGreaterEqual(r.seconds, 1.0)

    def test_scan_without_motor_controllers_is_error_12(self):
        for case in ("scan none", "scan lumabar only"):
            with self.subTest(case):
                r = S[case]
                self.assertEqual((r.status, r.out), (12, error_doc(MSG[12])))


# --- per-device commands ----------------------------------------------------

def query(args, **keys):
    """Motor controller 5 with keys, then the tool with 5 and args; the run,
    the trace without presence frames and the device afterwards."""
    def run(bus):
        bus.add("torvexc", 5, **keys)
        r = bus.run(TOOL, "5", *args)
        return r, bus.sent(TORVEXC_PRESENCE), bus.show("torvexc", 5)
    return run


# Every setting: read of a preset value, then a write with read-back.
for _i, _w in enumerate(SETTINGS):
    S.add(("read", _w), query([_w], **{_w: _i * 31 + 1}))
    S.add(("write", _w), query([_w, str(200 + _i)], **{_w: 1}))
for _v in (0, 254, 255):
    S.add(("read brake", _v), query(["brake"], brake=_v))
S.add("brake 300", query(["brake", "300"]))
S.add("brake 256", query(["brake", "256"], brake=9))
S.add("brake 255", query(["brake", "255"]))
S.add("brake 0..0300", query(["brake", "0000000000000300"]))
S.add("name My Motor", query(["name", "My", "Motor"]))
S.add("name 9 bytes", query(["name", "My", "Motors"], name="old"))
S.add("serial", query(["serial"]))
S.add("versions", query(["versions"], firmware="2.3", hardware="1.1", bootloader="1.0"))
S.add("blink", query(["blink", "5"]))
S.add("mute name", query(["name"], mute=1))
S.add("mute brake", query(["brake"], mute=1, brake=3))


@S.case("5 scan")
def _(bus):
    bus.add("torvexc", 5, status=17)
    r = bus.run(TOOL, "5", "scan")
    return r, bus.trace()


@S.case("id 5 9")
def _(bus):
    bus.add("torvexc", 5)
    r = bus.run(TOOL, "5", "id", "9")
    return r, bus.sent(TORVEXC_PRESENCE), bus.has("torvexc", 5), bus.has("torvexc", 9)


class Settings(unittest.TestCase):
    def test_every_setting_reads_its_value_under_the_word(self):
        for i, (word, ident) in enumerate(SETTINGS.items()):
            with self.subTest(word=word):
                r, sent, _ = S[("read", word)]
                self.assertEqual((r.status, r.out, r.err),
                                 (0, b'{"%s":%d}\n' % (word.encode(), i * 31 + 1), HEARD))
                self.assertEqual([(f.id, f.data) for f in sent],
                                 [(ident | 5, b""), (ident | 5, bytes([i * 31 + 1]))])

    def test_every_setting_is_written_then_read_back(self):
        for i, (word, ident) in enumerate(SETTINGS.items()):
            with self.subTest(word=word):
                r, sent, dev = S[("write", word)]
                value = 200 + i
                self.assertEqual((r.status, r.out, r.err),
                                 (0, b'{"%s":%d}\n' % (word.encode(), value), HEARD))
                self.assertEqual([(f.id, f.data) for f in sent],
                                 [(ident | 5, bytes([value])), (ident | 5, b""),
                                  (ident | 5, bytes([value]))])
                self.assertEqual(dev[word], value)

    def test_read_values_at_the_edges(self):
        for value, status, out in ((0, 0, b'{"brake":0}\n'), (254, 0, b'{"brake":254}\n'),
                                   (255, 13, error_doc(MSG[13]))):
            with self.subTest(value=value):
                r, _, _ = S[("read brake", value)]
                self.assertEqual((r.status, r.out, r.err), (status, out, HEARD))

    def test_written_value_keeps_its_low_eight_bits(self):
        for case, byte, status, out in (("brake 300", 44, 0, b'{"brake":44}\n'),
                                        ("brake 256", 0, 0, b'{"brake":0}\n'),
                                        ("brake 0..0300", 44, 0, b'{"brake":44}\n'),
                                        ("brake 255", 255, 13, error_doc(MSG[13]))):
            with self.subTest(case):
                r, sent, dev = S[case]
                self.assertEqual((r.status, r.out, r.err), (status, out, HEARD))
                self.assertEqual((sent[0].id, sent[0].data), (0x02071CC5, bytes([byte])))
                self.assertEqual(dev["brake"], byte)

    def test_field_read_on_the_presence_entry_prints_the_status_byte(self):
        r, trace = S["5 scan"]
        self.assertEqual((r.status, r.out, r.err), (0, b'{"scan":17}\n', HEARD))
        request = [i for i, f in enumerate(trace) if f.id == 0x02072405 and f.data == b""]
        self.assertEqual(len(request), 1)
        after = trace[request[0] + 1:]
        self.assertEqual([(f.id, f.data[:1]) for f in after], [(0x02072405, b"\x11")])
        # a fresh presence frame: newer than the one the presence check took (it may
        # have reached the bus just before the request: receive drops nothing first)
        before = [f for f in trace[:request[0]] if f.id == 0x02072405]
        self.assertGreater(after[0].t, before[-1].t)


class Identity(unittest.TestCase):
    def test_two_name_words_are_joined(self):
        r, sent, dev = S["name My Motor"]
        self.assertEqual((r.status, r.out, r.err), (0, b'{"name":"My Motor"}\n', HEARD))
        self.assertEqual((sent[0].id, sent[0].data), (0x02073805, b"My Motor"))
        self.assertEqual(dev["name"], "My Motor")

    def test_nine_byte_name_is_refused(self):
        r, sent, dev = S["name 9 bytes"]
        self.assertEqual((r.status, r.out, r.err, sent), (31, error_doc(MSG[31]), HEARD, []))
        self.assertEqual(dev["name"], "old")

    def test_serial_and_versions(self):
        for case, out in (("serial", b'{"serial":"TC000005"}\n'),
                          ("versions",
                           b'{"bootloader":"1.0","firmware":"2.3","hardware":"1.1"}\n')):
            with self.subTest(case):
                r, _, _ = S[case]
                self.assertEqual((r.status, r.out, r.err), (0, out, HEARD))

    def test_blink(self):
        r, sent, dev = S["blink"]
        self.assertEqual((r.status, r.out, r.err), (0, b'{"blink":5}\n', HEARD))
        self.assertEqual([(f.id, f.data) for f in sent], [(0x02074005, b"\x05")])
        self.assertEqual(dev["blink"], 5)

    def test_mute_device_gives_13_with_this_tools_text(self):
        for case in ("mute name", "mute brake"):
            with self.subTest(case):
                r, _, _ = S[case]
                self.assertEqual((r.status, r.out, r.err), (13, error_doc(MSG[13]), HEARD))

    def test_id_change_5_to_9(self):
        r, sent, has5, has9 = S["id 5 9"]
        self.assertEqual((r.status, r.out, r.err), (0, b'{"scan":[9]}\n', HEARD + NOT_HEARD))
        self.assertEqual([f.id for f in sent], [0x02073405])
        data = sent[0].data
        self.assertEqual((data[:2], len(data), sum(data) % 256), (bytes([5, 9]), 8, 0x46))
        self.assertEqual((has5, has9), (False, True))


def setUpModule():
    harness.check_bin_dir()
    S.run_all()


if __name__ == "__main__":
    unittest.main()
