#!/usr/bin/env python3
"""borl-replay end to end: a capture of the real daemon at a lab time scale against borl-sim
with faults (a stray byte, a bad checksum, a silent spell, the port lost) and a set from
the console is replayed through the rules with the capture's time: it matches, with the same
report every time and at once; with its set's confirmation rewritten as a give-up it diverges
there.

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
# The capture's time scale; under the cross build's emulator every process is several times
# slower: half the pace.
SCALE = "10" if os.environ.get("BORL1D_TEST_EMULATOR") else "25"


def replay(*args):
    return subprocess.run(borlrig.emulated([REPLAY, *args]), capture_output=True, text=True,
                          timeout=120)


def wall_of(lines, record):
    wall = datetime.datetime.strptime(lines[0].split("wall=")[1].strip(), "%Y-%m-%dT%H:%M:%S.%fZ")
    wall += datetime.timedelta(microseconds=int(record.split()[0]))
    return wall.isoformat(timespec="milliseconds") + "Z"


class RoundTrip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rig = borlrig.Rig(BUILD)
        cls.rig = rig
        cls.capture = os.path.join(rig.dir, "field.exchange")
        rig.daemon_args = ["--time-scale", SCALE, "--capture", cls.capture]
        rig.start_sim("--seed", "7", "--delay-ms", "30")  # a reply takes time on a line
        rig.start_console()
        rig.start_daemon()
        replies = lambda: sum(l.startswith("tx reply") for _, l in rig.sim_out.snapshot())
        wait = lambda what, seen: cls.check(seen >= 0, what)
        wait("two replies", rig.sim_out.wait_for(lambda l: replies() >= 2, 20))
        rig.console_command("set 3 27")
        wait("the set", rig.daemon_err.wait_for("confirmed by the controller", 20))
        # The stray byte puts the replies out of step until one lands in step again: 5 replies.
        for command, after in (("stray 1", 5), ("badsum 1", 2), ("silent on", None),
                               ("silent off", 2), ("hangup", 2)):
            have = replies()
            log = rig.daemon_err.size()
            rig.sim_command(command)
            if after is None:
                wait("offline", rig.daemon_err.wait_for("device offline", 20, log))
                # One poll more in silence: the spell outlasts the offline time by a wait, not by
                # a hair that the live replay's own timing could take back.
                polls = lambda: sum(l.startswith("rx poll") for _, l in rig.sim_out.snapshot())
                have = polls()
                wait("a poll in silence", rig.sim_out.wait_for(lambda l: polls() > have, 20))
                continue
            wait(command, rig.sim_out.wait_for(lambda l: replies() >= have + after, 20))
        rig.stop_daemon()

    @classmethod
    def check(cls, ok, what):
        if not ok:
            cls.rig.close()
            raise AssertionError(f"the capture's scenario stopped at: {what}")

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def test_the_capture_matches_the_same_way_every_time_and_at_once(self):
        reports = set()
        for _ in range(3):
            started = time.monotonic()
            r = replay(self.capture)
            self.assertEqual(0, r.returncode, r.stdout + r.stderr)
            self.assertEqual("replay matched", r.stdout.splitlines()[-1])
            self.assertLess(time.monotonic() - started, 5)
            reports.add(r.stdout)
        self.assertEqual(1, len(reports), reports)
        counts = {l[:24].strip(): l[24:].split() for l in r.stdout.splitlines()[3:9]}
        for what, least in (("controller offline", 1), ("sets recorded", 1),
                            ("sets confirmed", 1)):
            self.assertEqual(counts[what][0], counts[what][1], r.stdout)
            self.assertGreaterEqual(int(counts[what][0]), least, r.stdout)

    def test_a_set_given_up_instead_of_confirmed_diverges_there(self):
        with open(self.capture) as f:
            lines = f.readlines()
        at = next(i for i, l in enumerate(lines) if " set-confirmed " in l)
        edited = self.capture + ".edited"
        with open(edited, "w") as f:
            f.writelines(lines[:at] + [lines[at].replace("set-confirmed", "set-given-up")] +
                         lines[at + 1:])
        r = replay(edited)
        self.assertEqual(1, r.returncode, r.stdout + r.stderr)
        self.assertEqual(f"replay diverged at {wall_of(lines, lines[at])}: the capture has "
                         "\"set-given-up 3 27\", the replayed rules have \"set-confirmed 3 27\"",
                         r.stdout.splitlines()[-1])


if __name__ == "__main__":
    unittest.main(verbosity=2)
