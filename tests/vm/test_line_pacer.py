#!/usr/bin/env python3
"""line-pacer.py between two ptys: never faster than 9600 baud, and held up mid-way (a busy machine)
it catches up instead of slowing the line."""
import os, select, signal, subprocess, sys, tempfile, time, tty, unittest

BYTE, REPLIES = 10.0 / 9600, bytes(range(128)) * 4


class LinePacer(unittest.TestCase):
    def test_a_stalled_relay_keeps_the_line_speed(self):
        tmp, (sim, sim_slave) = self.enterContext(tempfile.TemporaryDirectory()), os.openpty()
        relay = self.enterContext(subprocess.Popen(
            [sys.executable, os.path.join(os.path.dirname(__file__), "line-pacer.py"), "--link",
             tmp + "/uart", "--sim", os.ttyname(sim_slave)], stdout=subprocess.PIPE))
        self.addCleanup(relay.terminate)
        relay.stdout.readline()  # ready
        guest = os.open(tmp + "/uart", os.O_RDWR | os.O_NOCTTY)
        tty.setraw(guest)
        sent = resumed = time.monotonic()
        os.write(sim, REPLIES)
        got = bytearray()
        while len(got) < len(REPLIES):
            self.assertTrue(select.select([guest], [], [], 5)[0], f"{len(got)} bytes")
            got += os.read(guest, len(REPLIES) - len(got))
            if resumed == sent and len(got) >= 32:
                relay.send_signal(signal.SIGSTOP)
                time.sleep(0.3)  # the held-up relay is the scenario itself
                relay.send_signal(signal.SIGCONT)
                resumed = time.monotonic()
        last = time.monotonic()
        self.assertEqual(bytes(got), REPLIES)
        self.assertGreaterEqual(last - sent, (len(REPLIES) - 1) * BYTE - 0.002)
        # Once running again, the bytes whose time has come at once, the rest on time.
        self.assertLess(last, max(resumed, sent + len(REPLIES) * BYTE) + 0.15)


if __name__ == "__main__":
    unittest.main()
