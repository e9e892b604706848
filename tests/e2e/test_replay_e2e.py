#!/usr/bin/env python3
"""borl-replay end to end: a capture of the real daemon against borl-sim with faults (noise, a
bad checksum, a silent spell, the port lost) and a set from the console, replayed by borl-replay
at twice its pace into a daemon of its own, matches; the same capture with one reply changed
diverges there.

    test_replay_e2e.py BUILD_DIR"""

import datetime
import os
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "rig"))
import borlrig  # noqa: E402

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else
                        os.path.join(HERE, "..", "..", "build"))
REPLAY = os.path.join(BUILD, "tools", "borl-replay", "borl-replay")
# The capture's time scale and the replay's speed, twice the capture's: the replayed daemon
# waits twice as long, relative to the replayed delays, as the captured one did. Under the
# cross build's emulator every process is several times slower: half the pace.
SCALE, SPEED = ("5", "10") if os.environ.get("BORL1D_TEST_EMULATOR") else ("10", "20")


def replay(*args):
    return subprocess.run([sys.executable, REPLAY, "--speed", SPEED, *args],
                          capture_output=True, text=True, timeout=120)


class RoundTrip(unittest.TestCase):
    def setUp(self):
        rig = borlrig.Rig(BUILD)
        self.addCleanup(rig.close)
        self.capture = os.path.join(rig.dir, "field.exchange")
        rig.daemon_args = ["--time-scale", SCALE, "--capture", self.capture]
        rig.start_sim("--seed", "7", "--delay-ms", "30")  # a reply takes time on a line
        rig.start_console()
        rig.start_daemon()
        self.rig = rig
        replies = lambda: sum(l.startswith("tx reply") for _, l in rig.sim_out.snapshot())
        # The set first: the edited capture below diverges there and its replay ends early.
        self.assertGreaterEqual(rig.sim_out.wait_for(lambda l: replies() >= 2, 20), 0)
        rig.console_command("set 3 27")
        self.assertGreaterEqual(rig.daemon_err.wait_for("confirmed by the controller", 20), 0)
        for command, after in (("noise 0.02", 3), ("noise 0", 0), ("badsum 1", 1),
                               ("badsum 0", 2), ("silent on", None), ("silent off", 2)):
            rig.sim_command(command)
            if after is None:
                self.assertGreaterEqual(rig.daemon_err.wait_for("device offline", 20), 0)
                # One poll more in silence: the spell outlasts the offline time by a wait, not by
                # a hair that the replay's own timing could take back.
                polls = sum(l.startswith("rx poll") for _, l in rig.sim_out.snapshot())
                self.assertGreaterEqual(rig.sim_out.wait_for(
                    lambda l: sum(m.startswith("rx poll") for _, m in rig.sim_out.snapshot())
                    > polls, 20), 0)
                continue
            have = replies()
            self.assertGreaterEqual(rig.sim_out.wait_for(lambda l: replies() >= have + after,
                                                         20), 0)
        rig.sim_command("hangup")  # the port lost, and open again once the daemon retries
        self.assertGreaterEqual(rig.daemon_err.wait_for("open again", 20), 0)
        have = replies()
        self.assertGreaterEqual(rig.sim_out.wait_for(lambda l: replies() >= have + 2, 20), 0)
        rig.stop_daemon()

    def test_replay_matches_and_an_edited_capture_diverges(self):
        started = time.monotonic()
        r = replay(self.capture)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertEqual("replay matched", r.stdout.splitlines()[-1])
        self.assertLess(time.monotonic() - started, 30)

        # Without its set, the capture has a set frame where the daemon polls.
        with open(self.capture) as f:
            lines = f.readlines()
        at = next(i for i, l in enumerate(lines) if " set-recorded " in l)
        frame = next(l for l in lines[at:] if l.split()[1] == "tx")
        wall = datetime.datetime.strptime(lines[0].split("wall=")[1].strip(),
                                          "%Y-%m-%dT%H:%M:%S.%fZ")
        wall += datetime.timedelta(microseconds=int(frame.split()[0]))
        edited = self.capture + ".edited"
        with open(edited, "w") as f:
            f.writelines(lines[:at] + lines[at + 1:])
        r = replay(edited)
        self.assertEqual(1, r.returncode, r.stdout + r.stderr)
        self.assertIn(f"replay diverged at {wall.isoformat(timespec='milliseconds')}Z: the "
                      "daemon sent poll, the capture has set p=3 v=27", r.stdout)

if __name__ == "__main__":
    unittest.main(verbosity=2)
