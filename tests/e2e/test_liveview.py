#!/usr/bin/env python3
"""Tests of the demo's live view: reading the console's messages and the daemon's output, the
set-point change from pending to confirmed, the request schedule, rendering, and the main loop
against a fake daemon that answers through the files and the fifo."""

import io
import json
import os
import sys
import tempfile
import threading
import time
import unittest
from contextlib import redirect_stdout

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "demo"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "rig"))
import borlrig  # noqa: E402
import liveview as lv  # noqa: E402

# The device's counts, from the build's borl-decode (test_liveview.py BUILD_DIR).
BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(HERE, "..", "..",
                                                                                 "build"))
SETPOINTS, INPUTS = borlrig.count(BUILD, "setpoint"), borlrig.count(BUILD, "input")


def msg(mtype, *objects):
    return json.dumps({"msgType": mtype, "objects": list(objects)})


def sample(port, value):
    return msg(lv.MSG_EVENT, {"objType": lv.OBJ_ANALOG_SAMPLE, "deviceSerial": 4711,
                              "portNum": port, "seqNum": 1, "sample": value})


def device(status, mtype=lv.MSG_EVENT):
    return msg(mtype, {"objType": lv.OBJ_DEVICE, "deviceSerial": 4711,
                       "deviceLabel": "BORL1_Retro_Controller", "deviceStatus": status})


def aout(port, value, label="Fan Pull-in", unit="deg C"):
    return msg(lv.MSG_REQUEST, {"objType": lv.OBJ_PORT_AOUT, "portId": port, "portLabel": label,
                                "displayUnit": unit, "sampledValue": value})


def ain(port, value, label="RH", unit=""):
    return msg(lv.MSG_REQUEST, {"objType": lv.OBJ_PORT_AIN, "portId": port, "portLabel": label,
                                "displayUnit": unit, "sampledValue": value})


class ConsoleMessagesTest(unittest.TestCase):
    def test_samples_update_value_age_and_history(self):
        m = lv.Model(SETPOINTS, INPUTS)
        m.feed_console(sample(10, 23), 1.0)
        m.feed_console(sample(10, 24.5), 2.0)
        p = m.inputs[10]
        self.assertEqual((p.value, p.updated, list(p.history)), (24.5, 2.0, [23, 24.5]))
        self.assertEqual((m.messages, m.samples, m.rejected), (2, 2, 0))

    def test_malformed_lines_and_objects_are_counted_and_dropped(self):
        m = lv.Model(SETPOINTS, INPUTS)
        bad = [
            "not json", "[]", '{"msgType": 3}', '{"msgType": "3", "objects": []}',
            '{"msgType": 3, "objects": {}}', msg(3, 7),
            sample(0, 1), sample(lv.MAX_PORT + 1, 1), sample("3", 1), sample(True, 1),
            sample(3, "20"), sample(3, None), sample(3, True),
            msg(3, {"objType": lv.OBJ_DEVICE, "deviceStatus": "2"}),
            aout(3, None), aout(3, 27, label=5), ain(2, 1, unit=None),
            msg(1, {"objType": lv.OBJ_CAPABILITY, "value": 42}),
        ]
        for line in bad:
            m.feed_console(line, 1.0)
        self.assertEqual(m.rejected, len(bad))
        self.assertEqual(m.samples, 0)
        self.assertIsNone(m.status)
        self.assertIsNone(m.revision)
        self.assertEqual(sorted(m.inputs), list(range(1, INPUTS + 1)))
        self.assertTrue(all(p.value is None for p in m.setpoints.values()))
        # A message is taken object by object: the good one survives a bad neighbour.
        m.feed_console(msg(3, {"objType": 9, "portNum": "x", "sample": 1},
                           {"objType": 9, "portNum": 4, "sample": 310}), 2.0)
        self.assertEqual(m.inputs[4].value, 310)
        self.assertEqual(m.rejected, len(bad) + 1)
        m.feed_console("   ", 3.0)  # blank lines are not messages
        self.assertEqual(m.rejected, len(bad) + 1)

    def test_port_replies_give_labels_and_units_but_no_input_age(self):
        m = lv.Model(SETPOINTS, INPUTS)
        m.feed_console(ain(18, 44), 1.0)
        m.feed_console(aout(3, 22), 1.0)
        self.assertEqual((m.inputs[18].label, m.inputs[18].unit, m.inputs[18].value),
                         ("RH", "", 44))
        # An input's age counts from its last sample event: a reply repeats the last published
        # value even while the controller is silent.
        self.assertIsNone(m.inputs[18].updated)
        self.assertEqual((m.setpoints[3].value, m.setpoints[3].updated), (22, 1.0))
        self.assertTrue(m.inputs_known and m.setpoints_known)
        m.feed_console(sample(18, 47), 2.0)
        m.feed_console(ain(18, 44), 3.0)
        self.assertEqual(m.inputs[18].value, 47, "a reply does not overwrite a sampled value")

    def test_texts_from_the_daemon_cannot_drive_the_terminal(self):
        m = lv.Model(SETPOINTS, INPUTS)
        m.feed_console(aout(3, 22, label="Fan\x1b[2J Pull-in" + "x" * 40, unit="deg\nC"), 1.0)
        m.feed_console(msg(1, {"objType": lv.OBJ_CAPABILITY, "value": "4\x072"}), 1.0)
        p = m.setpoints[3]
        self.assertEqual(p.label, ("Fan?[2J Pull-in" + "x" * 40)[:lv.Renderer.LABEL])
        self.assertEqual((p.unit, m.revision), ("deg?C", "4?2"))
        rows = lv.Renderer(lv.Glyphs(True), 0.0).screen(m, 1.0, 1.0, 30, 120, 60)
        self.assertFalse(any("\x1b[2J" in r or "\x07" in r for r in rows))

    def test_device_status_changes_make_one_event_each(self):
        m = lv.Model(SETPOINTS, INPUTS)
        m.feed_console(device(lv.STATUS_OFFLINE, lv.MSG_REQUEST), 1.0)
        m.feed_console(device(lv.STATUS_ONLINE), 2.0)
        m.feed_console(device(lv.STATUS_ONLINE, lv.MSG_REQUEST), 3.0)
        m.feed_console(device(lv.STATUS_OFFLINE), 4.0)
        texts = [t for _, t, _ in m.events]
        self.assertEqual(len(texts), 3)
        self.assertIn("waiting for the controller", texts[0])
        self.assertIn("device online", texts[1])
        self.assertIn("device offline", texts[2])
        self.assertEqual((m.status, m.status_since, m.ever_online), (lv.STATUS_OFFLINE, 4.0, True))
        self.assertEqual((m.label, m.serial), ("BORL1_Retro_Controller", 4711))


    def test_revision_is_announced_once_from_either_source(self):
        m = lv.Model(SETPOINTS, INPUTS)
        m.feed_daemon("Capability Value: 42", 1.0)
        m.feed_console(msg(1, {"objType": lv.OBJ_CAPABILITY, "capId": 1, "value": "42"}), 1.1)
        m.feed_daemon("Capability Value: 42", 2.0)
        self.assertEqual([t for _, t, _ in m.events], ["controller software revision 42"])


class SetPointChangeTest(unittest.TestCase):
    def setUp(self):
        self.m = lv.Model(SETPOINTS, INPUTS)
        self.m.feed_console(aout(3, 22), 1.0)

    def test_pending_until_a_reply_shows_the_new_value(self):
        m = self.m
        m.feed_daemon("changeVal reset", 1.5)  # an earlier change's trace: not ours
        m.start_set(3, 27, 2.0)
        self.assertEqual(m.pending.before, 22)
        m.feed_console(aout(3, 22), 2.5)
        m.feed_console(aout(4, 27, "High-Temp Drop-out"), 2.6)
        m.feed_sim("rx set p=3 v=27", 2.7)
        m.feed_sim("rx set p=31 v=27", 2.7)
        m.feed_sim("rx set p=3 v=22", 2.7)
        m.feed_sim("rx set", 2.7)
        m.feed_sim("rx poll", 2.8)
        self.assertFalse(m.pending.confirmed)
        self.assertIsNone(m.pending.acked_at)
        self.assertEqual((m.pending.frames, m.polls), (1, 1))
        m.feed_console(aout(3, 27), 3.5)
        self.assertEqual(m.pending.confirmed_at, 3.5)
        m.feed_console(aout(3, 27), 4.5)
        m.feed_sim("rx set p=3 v=27", 3.5)  # read after the reply that confirmed it
        confirmations = [t for _, t, _ in m.events if "confirmed" in t]
        self.assertEqual(confirmations, ["Fan Pull-in = 27 deg C confirmed by the controller "
                                         "after 1.5 s"])
        self.assertEqual(m.pending.frames, 2)

    def test_the_daemons_trace_alone_does_not_confirm(self):
        m = self.m
        m.start_set(3, 27, 2.0)
        m.feed_daemon("changeVal reset", 2.4)
        self.assertEqual((m.pending.acked_at, m.pending.confirmed_at), (2.4, None))
        self.assertEqual(m.missing(), ["the daemon never reported its device",
                                       "%d of %d inputs never delivered a value" % (INPUTS,
                                                                                    INPUTS),
                                       "the set-point change was not confirmed"])


class DriverTest(unittest.TestCase):
    def setUp(self):
        self.m = lv.Model(SETPOINTS, INPUTS)
        self.sent = []
        self.accept = True
        self.d = lv.Driver(self.m, self.send, 3, 27.0, set_at=10.0)

    def send(self, cmd):
        if self.accept:
            self.sent.append(cmd)
        return self.accept

    def ticks(self, start, end):
        t = start
        while t < end:
            self.d.tick(t, t)
            t = round(t + 0.1, 1)

    def test_asks_until_answered_then_refreshes_slowly(self):
        self.ticks(0.0, 4.05)
        self.assertEqual(self.sent.count("ports ain"), 3)  # at 0, 2 and 4 s
        self.assertEqual(self.sent.count("device"), 3)
        self.m.feed_console(ain(1, 1234, "AC-1 Hours", "H"), 4.1)
        self.m.feed_console(device(lv.STATUS_ONLINE), 4.1)
        self.m.feed_console(aout(3, 22), 4.1)
        self.sent.clear()
        self.ticks(4.1, 10.0)
        self.assertNotIn("ports ain", self.sent)
        self.assertEqual(self.sent.count("device"), 1, "the one due at 6 s, the next at 16 s")
        self.assertEqual(self.sent.count("ports aout"), 2)  # at 6 and 9 s

    def test_change_waits_for_online_and_is_made_once(self):
        self.ticks(0.0, 12.0)
        self.assertFalse([c for c in self.sent if c.startswith("set")])
        waiting = [t for _, t, _ in self.m.events if t.startswith("waiting")]
        self.assertEqual(len(waiting), 1)
        self.m.feed_console(device(lv.STATUS_ONLINE), 12.0)
        self.accept = False  # the console's fifo is full: nothing counts as sent
        self.ticks(12.0, 12.3)
        self.assertIsNone(self.m.pending)
        self.accept = True
        self.ticks(12.3, 16.0)
        self.assertEqual([c for c in self.sent if c.startswith("set")], ["set 3 27"])
        self.assertEqual(self.m.pending.sent_at, 12.3)
        # While the change is open the set-points are asked for every second, and at once when
        # the daemon reports the controller's answer.
        after = self.sent[self.sent.index("set 3 27"):]
        self.assertGreaterEqual(after.count("ports aout"), 3)
        self.ticks(16.0, 16.5)
        self.sent.clear()
        self.m.feed_daemon("changeVal reset", 16.5)
        self.d.tick(16.5, 16.5)
        self.assertEqual(self.sent, ["ports aout"])


class RenderingTest(unittest.TestCase):
    U = lv.Glyphs(True)
    A = lv.Glyphs(False)

    def test_sparkline(self):
        self.assertEqual(lv.sparkline([], 10, self.U), "")
        self.assertEqual(lv.sparkline([5, 5, 5], 10, self.U), "▄▄▄")
        self.assertEqual(lv.sparkline(range(8), 10, self.U), "▁▂▃▄▅▆▇█")
        self.assertEqual(lv.sparkline([9, 0, 1, 2], 3, self.U), "▁▅█", "keeps the newest")
        self.assertEqual(lv.sparkline([1, 2], 0, self.U), "")
        self.assertEqual(lv.sparkline([0, 1], 5, self.A), "_#")

    def test_numbers_and_ages(self):
        self.assertEqual([lv.fmt_value(v) for v in (None, 27.0, 1234, 22.5)],
                         ["-", "27", "1234", "22.5"])
        self.assertEqual([lv.fmt_age(a) for a in (None, 0.04, 9.95, 12.7, 125)],
                         ["-", "0.0s", "9.9s", "12s", "2m05s"])

    def test_segments_cut_visible_text_only(self):
        s = lv.Segments().add("abc").add("defg", "good").add("hij")
        self.assertEqual(s.render(5), "abcde")
        self.assertEqual(s.render(5, color=True), "abc\x1b[32mde\x1b[0m")
        self.assertEqual(s.render(), "abcdefghij")

    def test_screen_fits_the_terminal_and_block_lists_every_point(self):
        m = lv.Model(SETPOINTS, INPUTS)
        for port in range(1, INPUTS + 1):
            m.feed_console(sample(port, port), 1.0)
        for i in range(20):
            m.event(1.0, "event %d" % i)
        r = lv.Renderer(self.U, 0.0)
        rows = r.screen(m, 2.0, 2.0, 30, 60, 24)
        self.assertEqual(len(rows), 23)
        plain = [l for l in r.block(m, 2.0, 2.0)]
        self.assertEqual(len(plain), 3 + 1 + SETPOINTS + 1 + INPUTS)
        self.assertFalse(any("\x1b" in l for l in plain))
        full = r.screen(m, 2.0, 2.0, 0, 120, 80)
        self.assertEqual(sum(" event " in l for l in full), lv.EVENTS_SHOWN)
        self.assertIn("event 19", full[-1], "the newest events are shown")


class TailAndCommanderTest(unittest.TestCase):
    def test_tail_joins_partial_lines_and_waits_for_the_file(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "out")
            t = lv.Tail(path)
            self.assertEqual(t.lines(), [])
            with open(path, "wb", buffering=0) as f:
                f.write(b"rx po")
                self.assertEqual(t.lines(), [])
                f.write(b"ll\nrx set p=3 v=27\nchange")
                self.assertEqual(t.lines(), ["rx poll", "rx set p=3 v=27"])
                f.write(b"Val reset\n\xff\n")
                self.assertEqual(t.lines(), ["changeVal reset", "\ufffd"])
                f.write(b"x" * (lv.MAX_PARTIAL_LINE + 1))
                t.lines()
                f.write(b"\nnext\n")
                self.assertEqual(t.lines(), ["", "next"], "an endless line is dropped")
            t.close()

    def test_commander_never_blocks(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "fifo")
            os.mkfifo(path)
            c = lv.Commander(path)
            self.assertFalse(c.send("device"), "no reader yet")
            r = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            try:
                self.assertTrue(c.send("device"))
                self.assertEqual(os.read(r, 100), b"device\n")
                while c.send("ports aout " + "x" * 1000):
                    pass  # fills the pipe; the send that does not fit fails instead of blocking
            finally:
                os.close(r)
            self.assertFalse(c.send("device"), "reader gone")


class MainLoopTest(unittest.TestCase):
    """The whole view against a fake daemon: it answers the console commands it reads from the
    fifo by appending JSON lines to the messages file, and traces a set it takes on its standard
    output, as the daemon does once the controller's reply carries the new value."""

    def run_view(self, extra, answer_set=True):
        with tempfile.TemporaryDirectory() as d:
            msgs, fifo = os.path.join(d, "console.jsonl"), os.path.join(d, "console.in")
            daemon_out = os.path.join(d, "borl1d.out")
            os.mkfifo(fifo)
            stop = threading.Event()

            def fake_daemon():
                r = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                value, buf = 22, b""
                with open(msgs, "a") as out, open(daemon_out, "a") as trace:
                    out.write(device(lv.STATUS_ONLINE) + "\n")
                    while not stop.is_set():
                        try:
                            buf += os.read(r, 4096)
                        except BlockingIOError:
                            pass
                        *cmds, buf = buf.split(b"\n")
                        for cmd in cmds:
                            if cmd == b"set 3 27" and answer_set:
                                value = 27
                                trace.write("changeVal reset\n")
                                trace.flush()
                            elif cmd == b"ports aout":
                                out.write(aout(3, value) + "\n")
                            elif cmd == b"ports ain":
                                out.write(ain(1, 1, "AC-1 Hours", "H") + "\n")
                        for port in range(1, INPUTS + 1):
                            out.write(sample(port, port) + "\n")
                        out.flush()
                        time.sleep(0.05)
                os.close(r)

            t = threading.Thread(target=fake_daemon)
            t.start()
            out = io.StringIO()
            try:
                with redirect_stdout(out):
                    rc = lv.main(["--messages", msgs, "--commands", fifo, "--daemon-out",
                                  daemon_out, "--plain", "--setpoints", str(SETPOINTS),
                                  "--inputs", str(INPUTS)] + extra)
            finally:
                stop.set()
                t.join()
            return rc, out.getvalue()

    def test_a_complete_run_exits_0_with_the_confirmation(self):
        # The change at 0.2 s is confirmed by the request for the set-points its trace calls for.
        rc, out = self.run_view(["--seconds", "1", "--set-at", "0.2", "--every", "0.3"])
        self.assertEqual(rc, lv.EXIT_OK, out)
        self.assertIn("set Fan Pull-in to 27 deg C: pending", out)
        self.assertIn("Fan Pull-in = 27 deg C confirmed by the controller", out)
        self.assertIn("demo: values flowed from all %d inputs" % INPUTS, out)
        self.assertGreaterEqual(out.count("---- "), 3)

    def test_until_done_ends_once_everything_was_shown(self):
        start = time.monotonic()
        rc, out = self.run_view(["--seconds", "30", "--set-at", "0.1", "--retry", "0.2",
                                 "--until-done"])
        self.assertEqual(rc, lv.EXIT_OK, out)
        self.assertLess(time.monotonic() - start, 10)
        # The final block shows the confirmed value and the labels of both tables.
        final = out[out.rindex("---- "):]
        self.assertIn("27 deg C", final)
        self.assertIn("AC-1 Hours", final)

    def test_an_unanswered_change_is_reported_incomplete(self):
        # --until-done does not end a run before everything has been shown.
        rc, out = self.run_view(["--seconds", "0.4", "--set-at", "0.1", "--until-done"],
                                answer_set=False)
        self.assertEqual(rc, lv.EXIT_INCOMPLETE, out)
        self.assertIn("demo: incomplete: the set-point change was not confirmed", out)

    def test_a_stopped_process_ends_the_view(self):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        start = time.monotonic()
        rc, out = self.run_view(["--seconds", "30", "--watch", "borl1d=%d" % pid])
        self.assertEqual(rc, lv.EXIT_PROCESS_STOPPED, out)
        self.assertLess(time.monotonic() - start, 10)
        self.assertIn("demo: borl1d stopped before the end of the demo", out)


if __name__ == "__main__":
    unittest.main()
