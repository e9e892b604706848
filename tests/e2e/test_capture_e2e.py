#!/usr/bin/env python3
"""Capture, decode and replay of the serial exchange, end to end on the real binaries.

    test_capture_e2e.py BUILD_DIR

A round trip: the daemon against the simulator with faults switched on (a bad checksum, noise,
a stray byte, a refused set, a silent spell) and sets from the console, captured with --capture;
the capture decoded (borl-decode's counts equal what the simulator reported and the daemon's
statistics line); the capture replayed (borl-sim --replay) into a fresh daemon, whose sample
events and set outcomes equal the first run's. Captures that cannot be written end with one
ERROR line while the exchange goes on. Malformed exchange files are refused by the decoder and
by the replay with the file, the line and what is wrong, exit status 65."""

import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest
import warnings
from xml.etree import ElementTree

warnings.simplefilter("ignore", ResourceWarning)

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "rig"))
import borlrig  # noqa: E402

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(HERE, "..", "..", "build"))
TIMING = {"start": 50, "pause": 20, "wait": 200, "offline": 500, "stats": 600000,
          "repeat": 0}  # every invalid reply a line of its own: the lines are counted


def tool(name):
    return borlrig.binary(BUILD, name)


def samples(rig):
    """(port, value) of every sample event the console received, in order."""
    out = []
    for _, line in rig.console_out.snapshot():
        try:
            m = json.loads(line)
        except ValueError:
            continue
        if m.get("msgType") == 3:
            for o in m.get("objects", []):
                if o.get("objType") == 9:
                    out.append((o["portNum"], o["sample"]))
    return out


def log_lines(rig, needle):
    return [l for _, l in rig.daemon_err.snapshot() if needle in l]


def sim_count(rig, prefix):
    return sum(1 for _, l in rig.sim_out.snapshot() if l.startswith(prefix))


def wait_until(pred, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.05)
    return False


def read_records(path):
    """(t, kind, fields) of each record, a short form ("tx =") given its direction's last bytes."""
    out, last = [], {}
    with open(path) as f:
        for t, kind, *fields in (l.split() for l in f if l[:1].isdigit()):
            if kind in ("tx", "rx"):
                fields = last[kind] = last[kind] if fields == ["="] else fields
            out.append((int(t), kind, fields))
    return out


def new_rig(extra=()):
    rig = borlrig.Rig(BUILD, timing=TIMING)
    rig.daemon_args = list(extra)
    return rig


class RoundTrip(unittest.TestCase):
    def test_capture_decode_replay(self):
        first = new_rig()
        capture = os.path.join(first.dir, "field.exchange")
        first.daemon_args = ["--capture", capture]
        self.addCleanup(first.close)
        first.start_sim("--seed", "7", "--hours-every", "3", "--verbose")
        first.start_console()
        first.start_daemon()
        sim = first.sim_command
        self.assertGreaterEqual(first.sim_out.wait_for("tx reply"), 0)

        def replies(n):  # woken by each line of the simulator
            have = sim_count(first, "tx reply")
            self.assertGreaterEqual(first.sim_out.wait_for(
                lambda _: sim_count(first, "tx reply") >= have + n, 20), 0, f"{n} more replies")

        replies(2)
        sim("badsum 2")
        replies(3)
        sim("badsum 0")
        sim("noise 0.02")
        replies(3)
        sim("noise 0")
        sim("stray 1")
        replies(1)
        sim("stray 0")
        replies(4)  # the gathering finds the frame boundary again
        sim("refuse on")
        first.console_command("set 3 27")
        self.assertGreaterEqual(first.daemon_err.wait_for("given up", 20), 0)
        sim("refuse off")
        first.console_command("set 3 29")
        self.assertGreaterEqual(first.daemon_err.wait_for("confirmed by the controller", 20), 0)
        replies(2)
        sim("silent on")
        self.assertGreaterEqual(first.daemon_err.wait_for("device offline", 10), 0)
        time.sleep(0.2)  # a silence of more than a second: the offline time and this
        sim("silent off")
        self.assertGreaterEqual(first.daemon_err.wait_for("device online", 10), 0)
        replies(3)
        # The end: the controller quiet, every byte it sent read (the daemon polls once it has
        # the reply before); the stop logs the statistics.
        quiet = first.sim_out.size()
        sim("silent on")
        quiet = first.sim_out.wait_for("ok silent on", 10, quiet)
        self.assertGreaterEqual(quiet, 0)
        self.assertGreaterEqual(first.sim_out.wait_for("rx poll", 10, quiet), 0)
        first.stop_daemon()
        first_samples = samples(first)
        first_log = [l for _, l in first.daemon_err.snapshot()]
        self.assertEqual(1, sum("Capture of the serial exchange started" in l for l in first_log))
        self.assertEqual(1, sum("Capture of the serial exchange ended" in l for l in first_log))

        # Decoded: one entry per frame each way, the counts of the simulator.
        out = subprocess.run(borlrig.emulated([tool("borl-decode"), "--json", "--svg",
                                               os.path.join(first.dir, "field.svg"), capture]),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(0, out.returncode, out.stderr)
        rows = [json.loads(l) for l in out.stdout.splitlines()]
        summary = rows[-1]["summary"]
        frames = [r for r in rows[:-1] if "dir" in r]
        events = [r["event"] for r in rows[:-1] if r["kind"] == "event"]
        self.assertEqual(summary["sets_confirmed"], events.count("set-confirmed"))
        polls = sim_count(first, "rx poll")
        sets = sim_count(first, "rx set")
        self.assertEqual(polls, summary["polls"])
        self.assertEqual(sets, summary["set_frames"])
        self.assertEqual(polls + sets, sum(1 for f in frames if f["dir"] == "tx"))
        self.assertEqual(0, summary["tx_other"])
        self.assertGreaterEqual(summary["invalid"]["checksum"], 1)
        self.assertGreaterEqual(summary["rejected_starts"], 1)
        self.assertEqual(1, summary["sets_given_up"])
        self.assertEqual(1, summary["sets_confirmed"])
        self.assertEqual(2, summary["sets_recorded"])
        self.assertGreaterEqual(summary["offline"], 1)
        self.assertGreaterEqual(summary["longest_silence"], 0.5)  # the offline time at least
        # Every byte the simulator sent is in the capture, as the reads returned it.
        sent = [b for _, l in first.sim_err.snapshot() if l.startswith("tx frame: ")
                for b in l.split()[2:]]
        self.assertEqual(128 * sim_count(first, "tx reply") + sim_count(first, "tx corrupt stray"),
                         len(sent))
        rx = [b for _, kind, fields in read_records(capture) if kind == "rx" for b in fields]
        self.assertEqual(sent, rx)
        # The decoder's valid replies are the samples' source: every input per valid reply from
        # the second on (sample rate 1).
        valid = [f for f in frames if f["dir"] == "rx" and f["valid"]]
        self.assertEqual(summary["valid"], len(valid))
        self.assertEqual([(p + 1, float(v)) for f in valid[1:] for p, v in enumerate(f["inputs"])],
                         [s for s in first_samples])
        # The daemon's own counts agree: its statistics line of the whole run, at the stop.
        stats = [l for l in first_log if "Link statistics" in l][-1]
        def count(label):
            return int(re.search(label + r" (\d+)", stats).group(1))
        self.assertEqual(count("poll frames"), summary["polls"], stats)
        self.assertEqual(count("set frames"), summary["set_frames"], stats)
        self.assertEqual(count("valid replies"), summary["valid"], stats)
        self.assertEqual(count(r"\(header"), summary["invalid"]["header"], stats)
        self.assertEqual(count("terminator"), summary["invalid"]["terminator"], stats)
        self.assertEqual(count("checksum"), summary["invalid"]["checksum"], stats)
        self.assertEqual(count("closing byte"), summary["invalid"]["end"], stats)
        self.assertEqual(count("rejected frame starts"), summary["rejected_starts"], stats)
        # A capture whose frame is recorded once written can hold bytes of its reply before it
        # (within the write's return): the decoder then sees an unanswered cycle. The timeouts
        # agree on a capture in time order, where no reply ends just before the next frame.
        with open(capture) as f:
            recs = [l.split()[:2] for l in f if l[:1].isdigit()]
        if not any(a[1] == "rx" and b[1] == "tx" and int(b[0]) - int(a[0]) < 5000
                   for a, b in zip(recs, recs[1:])):
            self.assertEqual(count("timeouts"), summary["timeouts"], stats)
        self.assertEqual(count("serial re-opens"), summary["serial_reopens"], stats)
        self.assertEqual(count("abandoned frames"), summary["abandoned_frames"], stats)
        self.assertTrue(all("wall" in f for f in frames), "every object has its wall time")
        invalid_lines = sum("Received frame invalid" in l for l in first_log)
        self.assertEqual(invalid_lines, sum(summary["invalid"].values()))
        self.assertTrue(os.path.getsize(os.path.join(first.dir, "field.svg")) > 1000)

        # Replayed through the rules with the capture's time and timing: the same frames and
        # records.
        out = subprocess.run(borlrig.emulated([tool("borl-replay"), capture]),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(0, out.returncode, out.stdout + out.stderr)
        self.assertEqual("replay matched", out.stdout.splitlines()[-1])


class Ordering(unittest.TestCase):
    def test_each_reply_after_its_frame_and_time_never_back(self):
        # Cycles back to back, the simulator answering at once: between a frame's tx and the
        # next frame's, its reply's 128 bytes, however soon they came; time never goes back.
        rig = borlrig.Rig(BUILD, timing={"start": 0, "pause": 0, "wait": 400, "offline": 5000,
                                          "stats": 600000})
        self.addCleanup(rig.close)
        capture = os.path.join(rig.dir, "fast.exchange")
        rig.daemon_args = ["--capture", capture]
        rig.start_sim("--seed", "11")
        rig.start_console(keep=False)
        rig.start_daemon()
        self.assertTrue(wait_until(lambda: sim_count(rig, "rx poll") >= 3000, 60), "3000 polls")
        rig.stop_daemon()
        records = read_records(capture)
        self.assertEqual(sorted(t for t, _, _ in records), [t for t, _, _ in records])
        replies = [0]  # reply bytes before the first frame, then after each
        for _, kind, fields in records:
            if kind == "tx":
                replies.append(0)
            replies[-1] += len(fields) if kind == "rx" else 0
        self.assertGreaterEqual(len(replies), 3000)
        self.assertEqual([0], replies[:1])
        self.assertEqual([], [(i, n) for i, n in enumerate(replies[1:-1]) if n != 128][:5])


class Restart(unittest.TestCase):
    def test_a_capture_across_a_kill_and_a_start_again(self):
        # borl1d --capture F killed as a power cut leaves it, and started again on the same F
        # after half a second: one capture of two runs, the port lost and back in the first.
        rig = borlrig.Rig(BUILD)
        self.addCleanup(rig.close)
        capture = os.path.join(rig.dir, "field.exchange")
        rig.daemon_args = ["--time-scale", "20", "--capture", capture]
        rig.start_sim("--seed", "7")
        rig.start_console()
        for run in (1, 2):
            rig.start_daemon()
            if run == 1:
                self.assertGreaterEqual(rig.sim_out.wait_for("tx reply"), 0)
                rig.sim_command("hangup")
                self.assertGreaterEqual(rig.daemon_err.wait_for("open again", 20), 0)
            have = sim_count(rig, "tx reply")
            self.assertTrue(wait_until(lambda: sim_count(rig, "tx reply") >= have + 3))
            if run == 1:  # once the capture's writer has the port's return in the file
                self.assertTrue(wait_until(lambda: " reopen " in open(capture).read()))
                rig.daemon.kill()
                rig.daemon.wait(10)
                time.sleep(0.5)  # the unit stays off: longer than any silence at this pace
        rig.stop_daemon()
        self.assertIn(("reopen", [rig.link]),
                      [(k, f) for _, k, f in read_records(capture + ".1")])
        out = subprocess.run(borlrig.emulated([tool("borl-decode"), "--json", capture + ".1",
                                               capture]), capture_output=True, text=True)
        self.assertEqual(0, out.returncode, out.stderr)
        rows = [json.loads(l) for l in out.stdout.splitlines()]
        summary, runs = rows[-1]["summary"], rows[-1]["summary"]["runs"]
        self.assertEqual(1, sum(x.get("event") == "restart" for x in rows[:-1]))
        self.assertEqual(2, len(runs))
        self.assertEqual(summary["polls"], sum(r["polls"] for r in runs))
        stamp = lambda w: time.mktime(time.strptime(w[:19], "%Y-%m-%dT%H:%M:%S")) + float(w[19:-1])
        self.assertLess(summary["longest_silence"], stamp(runs[1]["from"]) - stamp(runs[0]["to"]))
        out = subprocess.run(borlrig.emulated([tool("borl-replay"), capture, capture + ".1"]),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((0, "replay matched"), (out.returncode, out.stdout.splitlines()[-1]),
                         out.stdout)

    def test_simulated_nights_are_the_rules_own(self):
        # bench/capture_night drives the rules: three days of its nights replay as matched.
        night = borlrig.find_binary(BUILD, "capture_night")
        if night is None:
            self.skipTest("bench/capture_night is not built (benchmarks off)")
        scratch = borlrig.Rig(BUILD).dir
        self.addCleanup(subprocess.run, ["rm", "-rf", scratch])
        path = os.path.join(scratch, "nights.exchange")
        subprocess.run(borlrig.emulated([night, "--hours", "72", "--set-every", "15", path]),
                       check=True, timeout=120)
        out = subprocess.run(borlrig.emulated([tool("borl-replay"), path]), capture_output=True,
                             text=True, timeout=120)
        self.assertEqual("replay matched", out.stdout.splitlines()[-1], out.stdout)


class Signalled(unittest.TestCase):
    def test_sigusr1_starts_and_ends_a_bounded_capture(self):
        rig = new_rig()
        self.addCleanup(rig.close)
        rig.start_sim("--seed", "5")
        rig.start_console()
        rig.write_site()
        with open(os.path.join(rig.root, "borl1d.conf"), "a") as f:
            f.write(f"borl1d.capture.dir = {rig.dir}\nborl1d.capture.maxsize = 4k\n")
        rig.start_daemon()
        self.assertGreaterEqual(rig.sim_out.wait_for("tx reply"), 0)
        rig.daemon.send_signal(signal.SIGUSR1)
        i = rig.daemon_err.wait_for("Capture of the serial exchange started: ")
        self.assertGreaterEqual(i, 0)
        path = re.search(r"started: (\S+)", rig.daemon_err.line(i)).group(1)
        self.assertTrue(path.startswith(os.path.join(rig.dir, "borl1d-capture-")), path)
        self.assertGreaterEqual(rig.daemon_err.wait_for("rotated to"), 0)
        rig.daemon.send_signal(signal.SIGUSR1)
        self.assertGreaterEqual(rig.daemon_err.wait_for("Capture of the serial exchange ended: " + path), 0)
        for f in (path, path + ".1"):
            self.assertLessEqual(os.path.getsize(f), 4096, f)
            r = subprocess.run(borlrig.emulated([tool("borl-decode"), "--json", f]),
                               capture_output=True, text=True, timeout=30)
            self.assertEqual(0, r.returncode, r.stderr)
            self.assertGreater(json.loads(r.stdout.splitlines()[-1])["summary"]["tx_frames"], 0)
        self.assertEqual([], log_lines(rig, "exchangeCapture ERROR"))


class Unwritable(unittest.TestCase):
    CASES = [
        ("full disk", "/dev/full"),
        ("a path that cannot be written (sysfs)", "/sys/borl1d-capture.exchange"),
        ("directory that is gone", "/nonexistent-borl1d/capture.exchange"),
    ]

    def test_capture_ends_with_one_error_line(self):
        # The daemons run side by side: each case waits on its own daemon's cycles.
        rigs = []
        for name, path in self.CASES + [("SIGUSR1 into a directory that is gone", None)]:
            rig = new_rig(["--capture", path] if path else [])
            self.addCleanup(rig.close)
            rigs.append((name, path, rig))
            rig.start_sim("--seed", "3")
            rig.start_console()
            if not path:
                rig.write_site()
                with open(os.path.join(rig.root, "borl1d.conf"), "a") as f:
                    f.write("borl1d.capture.dir = /nonexistent-borl1d\n")
            rig.start_daemon()
        published = {}  # samples each daemon had published once its capture ended
        for name, path, rig in rigs:
            with self.subTest(name):
                self.assertGreaterEqual(rig.sim_out.wait_for("tx reply"), 0)
                if not path:
                    rig.daemon.send_signal(signal.SIGUSR1)
                self.assertGreaterEqual(rig.daemon_err.wait_for("exchangeCapture ERROR"), 0)
                published[name] = len(samples(rig))
        five_replies = 5 * borlrig.count(BUILD, "input")
        for name, path, rig in rigs:
            with self.subTest(name):
                self.assertTrue(wait_until(lambda: len(samples(rig)) >=
                                           published.get(name, 0) + five_replies),
                                "publishing goes on")
                errors = [l for _, l in rig.daemon_err.snapshot() if "ERROR" in l and
                          "Could not determine bus" not in l]
                self.assertEqual(1, len(errors), errors)
                self.assertIn("the exchange goes on", errors[0])
                self.assertTrue(rig.daemon.poll() is None)


class DebugLog(unittest.TestCase):
    def test_frame_dumps_of_a_daemon_log_are_decoded(self):
        with open(os.path.join(HERE, "..", "daemon", "golden", "set.exchange")) as f:
            frames = [l.split()[2:] for l in f if l.split()[1:2] == ["tx"]]
        lines = []
        for i, frame in enumerate((frames[0], frames[1])):
            stamp = f"2026-12-08 09:00:0{i},000"
            lines.append(f"{stamp} dornManager DEBUG: DORNBuffer(128): ")
            lines.append(f"{stamp} southDevice DEBUG: AC-1 Hours = 0x04D2")  # another thread's
            lines += [f"{stamp} dornManager DEBUG: 0x{b} " for b in frame]
        r = subprocess.run(borlrig.emulated([tool("borl-decode"), "--json", "-"]),
                           input="\n".join(lines) + "\n", capture_output=True, text=True,
                           timeout=10)
        self.assertEqual(0, r.returncode, r.stderr)
        rows = [json.loads(l) for l in r.stdout.splitlines()]
        self.assertEqual([("poll", 0.0), ("set", 1.0)], [(x["kind"], x["t"]) for x in rows[:-1]])
        self.assertEqual((3, 27), (rows[1]["param"], rows[1]["value"]))
        self.assertEqual("log", rows[-1]["summary"]["source"])


class Malformed(unittest.TestCase):
    HEAD = "borl-exchange 1 wall=2026-12-08T09:00:00.000000Z\n"
    CASES = [
        ("not an exchange file", "hello\n", 1, "not an exchange file"),
        ("version", "borl-exchange 9 wall=2026-12-08T09:00:00.000000Z\n", 1, "version"),
        ("bad hex", HEAD + "10 tx 41 4G\n", 2, "not two hex digits"),
        ("time goes back", HEAD + "10 online\n# c\n5 offline\n", 4, "before"),
        ("unknown kind", HEAD + "10 frobnicate\n", 2, "unknown record kind"),
        ("set out of range", HEAD + "10 set-recorded 3 300\n", 2, "value 0..255"),
        ("no timestamp", HEAD + "rx 41\n", 2, "timestamp"),
        ("endless line", HEAD + "10 rx" + " 41" * 3000 + "\n", 2, "longer than"),
    ]

    def test_refused_with_file_line_and_reason(self):
        scratch = borlrig.Rig(BUILD).dir
        try:
            for name, text, line, why in self.CASES:
                path = os.path.join(scratch, name.replace(" ", "-") + ".exchange")
                with open(path, "w") as f:
                    f.write(text)
                for argv in ([tool("borl-decode"), path],
                             [tool("borl-sim"), "--replay", path]):
                    with self.subTest(name=name, tool=os.path.basename(argv[0])):
                        r = subprocess.run(borlrig.emulated(argv), capture_output=True,
                                           text=True, timeout=10, stdin=subprocess.DEVNULL)
                        self.assertEqual(65, r.returncode, r.stderr)
                        self.assertIn(f"{path}:{line}: ", r.stderr)
                        self.assertIn(why, r.stderr)
        finally:
            subprocess.run(["rm", "-rf", scratch])


class DecodeCases(unittest.TestCase):
    """borl-decode on hand-made captures: one table of inputs, exit statuses and counts."""
    with open(os.path.join(HERE, "..", "daemon", "golden", "set.exchange")) as f:
        GOLDEN = [l.split() for l in f if l[:1].isdigit()]
    POLL = " ".join(GOLDEN[2][2:])   # the poll frame
    REPLY = " ".join(GOLDEN[3][2:])  # a valid reply

    def head(self, wall):
        return (f"borl-exchange 2 wall=2026-12-08T{wall}.000000Z\n"
                "0 start version=1.1.0 port=/dev/ttyS2 line=9600_8N1_RS232 serial=4711\n"
                "0 open /dev/ttyS2\n")

    def setUp(self):
        self.dir = borlrig.Rig(BUILD).dir
        self.addCleanup(subprocess.run, ["rm", "-rf", self.dir])
        p, r = self.POLL, self.REPLY
        # An answered cycle, a short repeat, an unanswered one (timeout), an abandoned frame
        # with nothing on the line (a cycle of its own, a timeout) and one after 3 bytes (part
        # of its tx), a set confirmed, the port lost and re-opened; the last cycle still waits.
        older = (self.head("06:00:00") + f"1000000 tx {p}\n1100000 rx {r}\n2000000 tx =\n"
                 "2100000 rx =\n3000000 tx =\n4000000 abandoned 0\n5000000 tx 41 49 4F\n"
                 "5900000 abandoned 3\n6000000 set-recorded 3 27\n6000001 set-confirmed 3 27\n")
        newer = (self.head("06:00:10").replace("\n", "\n# continued\n", 1) +
                 f"0 tx {p}\n100000 rx {r}\n200000 lost gone\n"
                 f"300000 reopen /dev/ttyS2\n1000000 tx {p}\n")
        self.older, self.newer = self.write("c.1", older), self.write("c", newer)

    def write(self, name, text, mode="w"):
        path = os.path.join(self.dir, name)
        with open(path, mode) as f:
            f.write(text)
        return path

    def decode(self, *args, stdin=None):
        return subprocess.run(borlrig.emulated([tool("borl-decode"), *args]), capture_output=True,
                              timeout=20, input=stdin, stdin=None if stdin else subprocess.DEVNULL)

    def test_table(self):
        cut = self.write("cut", self.head("07:00:00") + f"1000000 tx {self.POLL}\n1100000 rx 41 4F")
        binary = self.write("binary", b"\x00\x01borl\xff" * 500, "wb")
        latin1 = self.write("latin1", self.head("07:00:00").encode() + b"1 lost d\xe9faut\n", "wb")
        both = {"polls": 5, "timeouts": 3, "abandoned_frames": 2, "serial_reopens": 1,
                "valid": 3, "sets_confirmed": 1, "tx_other": 1}
        cases = [  # name, arguments, exit status, summary values, what stderr holds
            ("several files in any order as one", [self.newer, self.older], 0, both, ""),
            ("the older file alone", [self.older], 0, {"polls": 3, "timeouts": 2}, ""),
            ("the newer file alone", [self.newer], 0, {"polls": 2, "timeouts": 0,
                                                       "serial_reopens": 1}, ""),
            ("a cut last line", [cut], 0, {"polls": 1, "rx_frames": 0}, f"{cut}:5: unfinished"),
            ("free text not in UTF-8, valid JSON", [latin1], 0, {"port_lost": 1}, ""),
            ("a directory", [self.dir], 66, None, "Is a directory"),
            ("a missing file", [self.dir + "/none"], 66, None, "No such file"),
            ("a missing file of several", [self.older, self.dir + "/none"], 66, None, "none"),
            ("a binary file", [binary], 65, None, "binary"),
            ("/dev/zero", ["/dev/zero"], 65, None, "/dev/zero"),
            ("an SVG that cannot be written", ["--svg", "/nonexistent/x.svg", self.older], 73,
             None, "/nonexistent/x.svg"),
        ]
        for name, args, status, counts, err in cases:
            with self.subTest(name):
                r = self.decode("--json", *args)
                self.assertEqual(status, r.returncode, r.stderr)
                self.assertIn(err, r.stderr.decode())
                if counts is None:
                    continue
                rows = [json.loads(l) for l in r.stdout.splitlines()]
                summary = rows[-1]["summary"]
                self.assertEqual(counts, {k: summary[k] for k in counts})
                self.assertTrue(all("wall" in x and "t" in x for x in rows[:-1]))

    def test_json_events_wall_and_text_agree(self):
        r = self.decode("--json", self.older, self.newer, "--svg", os.path.join(self.dir, "n.svg"))
        rows = [json.loads(l) for l in r.stdout.splitlines()][:-1]
        self.assertEqual(["file", "start", "open", "poll"],
                         [x.get("event", x["kind"]) for x in rows[:4]])
        times = [x["wall"] for x in rows]
        self.assertEqual(sorted(times), times, "in time order")
        self.assertEqual("2026-12-08T06:00:01.100Z", rows[4]["wall"])
        self.assertEqual({"kind": "event", "event": "abandoned", "bytes": 3},
                         {k: v for k, v in rows[10].items() if k in ("kind", "event", "bytes")})
        self.assertIn({"kind": "file", "name": self.newer},
                      [{k: x.get(k) for k in ("kind", "name")} for x in rows])
        text = self.decode(self.older, self.newer).stdout.decode()
        self.assertIn("2026-12-08T06:00:11.000Z  tx poll", text)
        self.assertIn("timeouts 3, serial re-opens 1, abandoned frames 2", text)
        picture = ElementTree.parse(os.path.join(self.dir, "n.svg")).getroot()
        words = " ".join(t.text or "" for t in picture.iter("{http://www.w3.org/2000/svg}text"))
        for needle in ("device serial 4711", "Fan Pull-in \u2192 27 \u00b0C: confirmed", "(UTC)"):
            self.assertIn(needle, words)
        # Standard input: the same as the file.
        with open(self.older, "rb") as f:
            piped = self.decode("--json", stdin=f.read())
        self.assertEqual(self.decode("--json", self.older).stdout, piped.stdout)

    def test_what_the_capture_lacks_and_every_set(self):
        # A file that continues one gone from the ring, with records dropped, and a set sent
        # twice before the reply that shows it: drawn from its first set frame to that reply.
        p, r, sent, shown = (self.POLL, self.REPLY, " ".join(self.GOLDEN[5][2:]),
                             " ".join(self.GOLDEN[8][2:]))
        head = self.head("07:00:00").split("\n", 1)
        path = self.write("gaps", head[0] + "\n# continued: the records before these are in the "
                          f"ring's next older file\n{head[1]}1000000 tx {p}\n1100000 rx {r}\n"
                          f"1500000 set-recorded 3 27\n2000000 tx {sent}\n2100000 rx {r}\n"
                          "# 7 records dropped here: the capture's writer could not keep up\n"
                          f"3000000 tx =\n3100000 rx {shown}\n3100001 set-confirmed 3 27\n")
        summary = json.loads(self.decode("--json", path).stdout.splitlines()[-1])["summary"]
        at = "2026-12-08T07:00:0"
        self.assertEqual((True, {"count": 7, "at": [{
            "wall": at + "2.100Z", "count": 7, "file": path, "line": 10,
            "why": "the capture's writer could not keep up"}]}),
                         (summary["continues"], summary["dropped_records"]))
        self.assertEqual([{"param": 3, "value": 27, "recorded": at + "1.500Z",
                           "first_frame": at + "2.000Z", "frames": 2, "outcome": "confirmed",
                           "ended": at + "3.100Z"}], summary["sets"])
        self.assertIn(f"nothing before {at}0.000Z is here", self.decode(path).stdout.decode())
        # 300 sets in a week: the picture counts every one, whatever their labels.
        week = self.write("week", self.head("07:00:00") + "".join(
            f"{k * 2000000000} set-recorded 3 {k % 200}\n{k * 2000000000 + 1} set-given-up 3 "
            f"{k % 200}\n" for k in range(1, 301)))
        self.decode("--svg", os.path.join(self.dir, "week.svg"), week)
        titles = [t.text for t in ElementTree.parse(os.path.join(self.dir, "week.svg")).iter(
            "{http://www.w3.org/2000/svg}title")]
        self.assertEqual(300, sum(int(t.split()[0]) for t in titles if " sets from " in t))


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
