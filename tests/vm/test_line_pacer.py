#!/usr/bin/env python3
"""line-pacer.py between two ptys: replies arrive whole, never faster than 9600 baud, and a
relay held up mid-way (a busy machine) catches up instead of slowing the line."""
import os, select, shutil, signal, subprocess, sys, tempfile, time, tty, unittest

BYTE, REPLIES = 10.0 / 9600, bytes(range(128)) * 4
PACER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "line-pacer.py")


class LinePacer(unittest.TestCase):
    def test_a_stalled_relay_keeps_the_line_speed(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        sim, sim_slave = os.openpty()
        tty.setraw(sim)
        relay = subprocess.Popen([sys.executable, PACER, "--link", tmp + "/uart", "--sim",
                                  os.ttyname(sim_slave)], stdout=subprocess.PIPE)
        for end in (relay.stdout.close, relay.wait, lambda: relay.send_signal(signal.SIGCONT),
                    relay.terminate):
            self.addCleanup(end)
        relay.stdout.readline()  # ready
        guest = os.open(tmp + "/uart", os.O_RDWR | os.O_NOCTTY)
        tty.setraw(guest)
        for stall in (0.0, 0.3):
            sent, got = time.monotonic(), bytearray()
            resumed = sent
            os.write(sim, REPLIES)
            while len(got) < len(REPLIES):
                self.assertTrue(select.select([guest], [], [], 5)[0], f"{len(got)} bytes")
                got += os.read(guest, len(REPLIES) - len(got))
                if stall and len(got) >= 32:
                    relay.send_signal(signal.SIGSTOP)
                    time.sleep(stall)  # the held-up relay is the scenario itself
                    relay.send_signal(signal.SIGCONT)
                    stall, resumed = 0.0, time.monotonic()
            last = time.monotonic()
            self.assertEqual(bytes(got), REPLIES)
            self.assertGreaterEqual(last - sent, (len(REPLIES) - 1) * BYTE - 0.002)
            # Once running again, the bytes whose time has come at once, the rest on time.
            self.assertLess(last, max(resumed, sent + len(REPLIES) * BYTE) + 0.15)


if __name__ == "__main__":
    unittest.main()
