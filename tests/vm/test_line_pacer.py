#!/usr/bin/env python3
"""The relay of scripts/vm-test (line-pacer.py) between two ptys: a reply's 128 bytes arrive in
order, never faster than 9600 baud allows, and a relay held up in the middle of a reply (a busy
machine) delivers the rest when it runs again instead of stretching the line by its delay."""

import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BYTE = 10.0 / 9600
FRAME = bytes(range(128))


class LinePacer(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        # The simulator's end: a pty whose slave the relay opens.
        self.sim_master, sim_slave = os.openpty()
        tty.setraw(self.sim_master)
        self.sim_link = os.path.join(self.dir.name, "sim")
        os.symlink(os.ttyname(sim_slave), self.sim_link)
        os.close(sim_slave)
        link = os.path.join(self.dir.name, "uart")
        self.relay = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "line-pacer.py"), "--baud", "9600",
             "--link", link, "--sim", self.sim_link], stdout=subprocess.PIPE, text=True)
        self.assertTrue(self.relay.stdout.readline().startswith("pty: "))  # ready
        self.guest = os.open(link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.guest)

    def tearDown(self):
        self.relay.send_signal(signal.SIGCONT)
        self.relay.terminate()
        self.relay.wait()
        os.close(self.guest)
        os.close(self.sim_master)
        self.relay.stdout.close()
        self.dir.cleanup()

    def receive(self, n, stall_after=None, stall=0.0):
        """The first n bytes at the guest's end, and when the last came (time.monotonic());
        with stall_after, the relay is stopped for stall seconds once that many arrived."""
        got = bytearray()
        while len(got) < n:
            ready, _, _ = select.select([self.guest], [], [], 5)
            self.assertTrue(ready, f"{len(got)} of {n} bytes")
            got += os.read(self.guest, n - len(got))
            if stall_after is not None and len(got) >= stall_after:
                stall_after = None
                self.relay.send_signal(signal.SIGSTOP)
                time.sleep(stall)  # the held-up relay is the scenario itself
                self.relay.send_signal(signal.SIGCONT)
        return bytes(got), time.monotonic()

    def test_reply_at_line_speed_and_a_stalled_relay_catches_up(self):
        for stall in (0.0, 0.3):
            with self.subTest(stall=stall):
                sent = time.monotonic()
                os.write(self.sim_master, FRAME)
                data, last = self.receive(len(FRAME), stall_after=32, stall=stall)
                self.assertEqual(data, FRAME)
                # The last byte 127 byte times after the first at least; a stall costs no more
                # than the relay's own wake-up once it runs again.
                took = last - sent
                self.assertGreaterEqual(took, 127 * BYTE - 0.002)
                self.assertLess(took, 128 * BYTE + 0.25, f"stall of {stall} s")

    def test_both_directions(self):
        os.write(self.guest, b"poll")
        got = bytearray()
        while len(got) < 4:
            ready, _, _ = select.select([self.sim_master], [], [], 5)
            self.assertTrue(ready)
            got += os.read(self.sim_master, 4)
        self.assertEqual(bytes(got), b"poll")


if __name__ == "__main__":
    unittest.main()
