"""kelto_sim serve on a live interface, in the real-kernel guest (guest.sh
runs it with KELTO_E2E_CAN_BUS and KELTO_E2E_SERVE set): kelto_sim add, set
and remove take effect while it serves, its trace holds what it received and
sent, and SIGTERM ends it with the counts."""

import json
import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import tool_error  # noqa: E402

LB = "kelto_lumabar"
TC = "kelto_torvexc"
HEARD = b"status: 0\n"


class ChangesWhileServing(unittest.TestCase):
    def test_add_set_remove_reach_the_wire_without_a_restart(self):
        with harness.Bus() as bus:
            bus.add("lumabar", 5, name="Front")
            self.assertEqual(bus.run(LB, "scan").out, b'{"scan":[5]}\n')
            bus.add("torvexc", 9)
            self.assertEqual(bus.run(TC, "scan").out, b'{"scan":[9]}\n')
            bus.set("lumabar", 5, mute=1)
            r = bus.run(LB, "5", "name")
            self.assertEqual((r.status, r.out, r.err), (13, tool_error(LB, 13), HEARD))
            bus.set("lumabar", 5, mute=0, name="Back")
            self.assertEqual(bus.run(LB, "5", "name").out, b'{"name":"Back"}\n')
            bus.sim("remove", "lumabar", "5")
            r = bus.run(LB, "scan")
            self.assertEqual((r.status, r.out), (12, tool_error(LB, 12)))

    def test_trace_holds_frames_received_and_sent(self):
        with harness.Bus() as bus:
            bus.add("lumabar", 5, name="Front")
            bus.run(LB, "5", "name")
            bus.sync()
            r = bus.run_file(harness.program("kelto_sim"), "trace", env=bus.sim_env)
            frames = [(f.id, f.data) for f in harness.parse_trace(r.out.decode())]
            self.assertIn((0x08072405, bytes(8)), frames)  # presence, sent
            self.assertIn((0x08073805, b""), frames)  # the name query, received
            self.assertIn((0x08073805, b"Front\0\0\0"), frames)  # the answer, sent


class Stop(unittest.TestCase):
    def test_sigterm_ends_it_with_the_counts(self):
        with harness.Bus() as bus:
            p = subprocess.Popen([harness.program("kelto_sim"), "serve", harness.SERVE_IFACE],
                                 env=bus.sim_env, stdout=subprocess.PIPE)
            first = p.stdout.readline()
            p.send_signal(signal.SIGTERM)
            rest, _ = p.communicate(timeout=harness.RUN_TIMEOUT)
            self.assertEqual(json.loads(first), {"serving": harness.SERVE_IFACE})
            self.assertEqual(p.returncode, 0)
            self.assertEqual(sorted(json.loads(rest)), ["received", "sent", "served"])


if __name__ == "__main__":
    harness.check_bin_dir()
    unittest.main()
