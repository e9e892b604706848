#!/usr/bin/env python3
"""Live view of the demo: what borl1d publishes to the console peer that plays vexad.

The console prints every message it receives from the daemon as one JSON line into a file; this
view follows that file, the daemon's standard output and the simulator's output, and asks the
daemon for its device and ports by writing console commands into a fifo. Partway through it
changes one set-point and follows it from pending to confirmed by the controller.

On a terminal the view redraws in place with ANSI sequences; otherwise it prints plain lines:
events as they happen and a block of all values every few seconds. It ends after the given
time (or, with --until-done, as soon as everything has been shown), on SIGINT/SIGTERM, or when
one of the watched processes stops, and exits 0 only when the device came online, every input
delivered values and the set-point change was confirmed.
"""

import argparse
import collections
import errno
import json
import os
import signal
import sys
import time

# Message and object type numbers of the vexad object protocol.
MSG_REQUEST = 1  # also the type of the daemon's answers to requests
MSG_ERROR = 2
MSG_EVENT = 3
OBJ_DEVICE = 0
OBJ_PORT_AIN = 4
OBJ_ANALOG_SAMPLE = 9
OBJ_PORT_AOUT = 11
OBJ_CAPABILITY = 12
# Device status: the daemon reports "alarm set" until the controller answers, "clear" after.
STATUS_OFFLINE = 1
STATUS_ONLINE = 2

# Port ids beyond this are not tracked: a malformed or hostile stream cannot grow the tables.
MAX_PORT = 64
HISTORY = 24  # readings kept per input for the sparkline
EVENTS_SHOWN = 7  # newest events under the tables on a terminal
MAX_PARTIAL_LINE = 1 << 20  # an unterminated line longer than this is dropped

EXIT_OK = 0
EXIT_INCOMPLETE = 1
EXIT_USAGE = 2
EXIT_PROCESS_STOPPED = 3


class Glyphs:
    """Characters for the sparkline and markers; ASCII where the output cannot take UTF-8."""

    def __init__(self, unicode_ok):
        if unicode_ok:
            self.levels = "▁▂▃▄▅▆▇█"
            self.arrow, self.check, self.dot, self.dash = "→", "✔", "●", "–"
        else:
            self.levels = "_.-~=+*#"
            self.arrow, self.check, self.dot, self.dash = "->", "ok", "*", "-"


def sparkline(values, width, glyphs):
    """The newest `width` values as one glyph each, scaled between their minimum and maximum.

    A window whose values are all equal draws a flat line at mid height.
    """
    vals = list(values)[-width:] if width > 0 else []
    if not vals:
        return ""
    lo, hi = min(vals), max(vals)
    top = len(glyphs.levels) - 1
    if hi == lo:
        return glyphs.levels[top // 2] * len(vals)
    return "".join(glyphs.levels[int(round((v - lo) / (hi - lo) * top))] for v in vals)


def fmt_value(value, dash="-"):
    if value is None:
        return dash
    if float(value).is_integer():
        return "%d" % value
    return "%.1f" % value


def fmt_age(seconds, dash="-"):
    if seconds is None:
        return dash
    if seconds < 10:
        return "%.1fs" % seconds
    if seconds < 120:
        return "%ds" % seconds
    return "%dm%02ds" % (seconds // 60, seconds % 60)


def printable(text, limit=40):
    """Text from the daemon as the view shows it: control characters (an escape sequence would
    drive the terminal) become "?", and an over-long text is cut."""
    return "".join(c if c.isprintable() else "?" for c in text[:limit])


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def is_port_id(v):
    return isinstance(v, int) and not isinstance(v, bool) and 1 <= v <= MAX_PORT


class Point:
    """One set-point or input as the console has seen it."""

    def __init__(self, port):
        self.port = port
        self.label = None
        self.unit = ""
        self.value = None
        self.updated = None  # time of the last reading, for the age column
        self.history = collections.deque(maxlen=HISTORY)

    def reading(self, value, now):
        self.value = value
        self.updated = now
        self.history.append(value)


class PendingSet:
    """The set-point change the demo makes, from the set command to the controller's answer."""

    def __init__(self, port, target, before, now):
        self.port = port
        self.target = target
        self.before = before  # value shown before the change, for "22 -> 27"
        self.sent_at = now
        self.frames = 0  # set frames the simulated controller received
        self.acked_at = None  # the daemon saw the value in a reply ("changeVal reset")
        self.confirmed_at = None  # then a set-point reply from the daemon shows the new value

    @property
    def confirmed(self):
        return self.confirmed_at is not None


class Model:
    """What the demo knows, built from the console's JSON lines and the daemon's output."""

    def __init__(self, setpoints, inputs):
        """`setpoints`, `inputs`: the device's counts of each (borl-decode --points)."""
        self.label = None
        self.serial = None
        self.status = None
        self.status_since = None
        self.revision = None
        self.setpoints = {p: Point(p) for p in range(1, setpoints + 1)}
        self.inputs = {p: Point(p) for p in range(1, inputs + 1)}
        self.input_count = inputs
        self.device_known = False
        self.inputs_known = False
        self.setpoints_known = False
        self.messages = 0
        self.samples = 0
        self.rejected = 0
        self.polls = 0
        self.ever_online = False
        self.pending = None
        self.events = []  # (time, text, style)

    # -- events ---------------------------------------------------------------------------------

    def event(self, now, text, style=""):
        self.events.append((now, text, style))

    def name_of(self, port):
        p = self.setpoints.get(port)
        return p.label if p is not None and p.label else "set-point %d" % port

    def unit_of(self, port):
        p = self.setpoints.get(port)
        return " " + p.unit if p is not None and p.unit else ""

    # -- console messages ----------------------------------------------------------------------

    def feed_console(self, line, now):
        """Takes one line the console printed. Anything that is not a well-formed message is
        counted and dropped; a message is taken object by object, skipping malformed ones."""
        line = line.strip()
        if not line:
            return
        try:
            msg = json.loads(line)
        except ValueError:
            self.rejected += 1
            return
        if (not isinstance(msg, dict) or not isinstance(msg.get("objects"), list)
                or not isinstance(msg.get("msgType"), int)):
            self.rejected += 1
            return
        self.messages += 1
        mtype = msg["msgType"]
        if mtype == MSG_ERROR:
            self.event(now, "the daemon answered with an error message", "bad")
        for obj in msg["objects"]:
            if not isinstance(obj, dict) or not self._take_object(mtype, obj, now):
                self.rejected += 1

    def _take_object(self, mtype, obj, now):
        otype = obj.get("objType")
        if otype == OBJ_ANALOG_SAMPLE and mtype == MSG_EVENT:
            port, value = obj.get("portNum"), obj.get("sample")
            if not is_port_id(port) or not is_number(value):
                return False
            self.inputs.setdefault(port, Point(port)).reading(value, now)
            self.samples += 1
            return True
        if otype == OBJ_DEVICE:
            return self._take_device(obj, now)
        if otype == OBJ_PORT_AIN and mtype == MSG_REQUEST:
            point = self._take_port(self.inputs, obj)
            if point is None:
                return False
            # A reply carries the last published value; its age is that of the last sample
            # event, so a silent controller still shows as stale.
            if point.value is None and is_number(obj.get("sampledValue")):
                point.value = obj["sampledValue"]
            self.inputs_known = True
            return True
        if otype == OBJ_PORT_AOUT and mtype == MSG_REQUEST:
            point = self._take_port(self.setpoints, obj)
            if point is None or not is_number(obj.get("sampledValue")):
                return False
            point.reading(obj["sampledValue"], now)
            self.setpoints_known = True
            ps = self.pending
            if ps is not None and ps.port == point.port and point.value == ps.target:
                self.confirm(now)
            return True
        if otype == OBJ_CAPABILITY:
            value = obj.get("value")
            if not isinstance(value, str):
                return False
            self.take_revision(value, now)
            return True
        return True  # other objects are vexad's business, not the view's

    def _take_device(self, obj, now):
        status = obj.get("deviceStatus")
        if not isinstance(status, int) or isinstance(status, bool):
            return False
        if isinstance(obj.get("deviceLabel"), str):
            self.label = printable(obj["deviceLabel"])
        if isinstance(obj.get("deviceSerial"), int):
            self.serial = obj["deviceSerial"]
        self.device_known = True
        if status != self.status:
            if status == STATUS_ONLINE:
                self.ever_online = True
                self.event(now, "device online: the controller answers", "good")
            elif status == STATUS_OFFLINE:
                if self.status is None:
                    self.event(now, "device registered, waiting for the controller")
                else:
                    self.event(now, "device offline: the controller stopped answering", "bad")
            else:
                self.event(now, "device status %d" % status)
            self.status = status
            self.status_since = now
        return True

    def _take_port(self, table, obj):
        port = obj.get("portId")
        label, unit = obj.get("portLabel"), obj.get("displayUnit")
        if not is_port_id(port) or not isinstance(label, str) or not isinstance(unit, str):
            return None
        point = table.setdefault(port, Point(port))
        point.label, point.unit = printable(label, Renderer.LABEL), printable(unit, 6)
        return point

    def take_revision(self, value, now):
        value = printable(value, 16)
        if value != self.revision:
            self.event(now, "controller software revision %s" % value)
        self.revision = value

    # -- the set-point change ------------------------------------------------------------------

    def start_set(self, port, target, now):
        before = self.setpoints[port].value if port in self.setpoints else None
        self.pending = PendingSet(port, target, before, now)
        self.event(now, "set %s to %s%s: pending" % (self.name_of(port), fmt_value(target),
                                                      self.unit_of(port)), "warn")

    def confirm(self, now):
        ps = self.pending
        if ps is None or ps.confirmed:
            return
        ps.confirmed_at = now
        self.event(now, "%s = %s%s confirmed by the controller after %.1f s" %
                   (self.name_of(ps.port), fmt_value(ps.target), self.unit_of(ps.port),
                    now - ps.sent_at), "good")

    # -- the daemon's and the simulator's output -----------------------------------------------

    def feed_daemon(self, line, now):
        """The daemon's standard output: trace lines around the set-point write-back."""
        if "changeVal reset" in line:
            # The daemon ended its pending set; the change counts as confirmed once vexad's
            # side, a set-point reply, shows the new value too.
            ps = self.pending
            if ps is not None and ps.acked_at is None:
                ps.acked_at = now
                self.event(now, "daemon: the controller's reply carries the new value")
        elif line.startswith("Capability Value: "):
            self.take_revision(line[len("Capability Value: "):].strip(), now)

    def feed_sim(self, line, now):
        """The simulator's output: one line per frame it received."""
        if line.startswith("rx poll"):
            self.polls += 1
        elif line.startswith("rx set"):
            # Counted after the confirmation too: the simulator's line and the daemon's trace
            # of the same exchange may be read in either order.
            ps = self.pending
            if ps is not None and line.split()[2:4] == ["p=%d" % ps.port,
                                                        "v=%s" % fmt_value(ps.target)]:
                ps.frames += 1

    # -- the verdict ---------------------------------------------------------------------------

    def missing(self):
        """What the demo did not get to show; empty when everything worked."""
        out = []
        if self.status is None:
            out.append("the daemon never reported its device")
        elif not self.ever_online:
            out.append("the device never came online")
        silent = [p for p in range(1, self.input_count + 1) if self.inputs[p].updated is None]
        if silent:
            out.append("%d of %d inputs never delivered a value" % (len(silent),
                                                                    self.input_count))
        if self.pending is None:
            out.append("the set-point change was not made")
        elif not self.pending.confirmed:
            out.append("the set-point change was not confirmed")
        return out

    def shown(self):
        """True once everything the demo shows is there: nothing missing, and the tables
        labelled from the daemon's answers."""
        return self.inputs_known and self.setpoints_known and not self.missing()


class Segments:
    """One output line as pieces of text with an optional style, cut to a width."""

    STYLES = {"good": "32", "bad": "31", "warn": "33", "bold": "1", "dim": "2"}

    def __init__(self):
        self.parts = []

    def add(self, text, style=""):
        self.parts.append((text, style))
        return self

    def render(self, width=None, color=False):
        out, used = [], 0
        for text, style in self.parts:
            if width is not None and used + len(text) > width:
                text = text[:max(0, width - used)]
            used += len(text)
            if color and style and text:
                out.append("\x1b[%sm%s\x1b[0m" % (self.STYLES.get(style, ""), text))
            else:
                out.append(text)
        return "".join(out).rstrip() if not color else "".join(out)


class Renderer:
    """Turns the model into lines: the full view for a terminal, blocks and events for plain."""

    LABEL = 28  # the label column: the longest label fits, a longer one is cut

    def __init__(self, glyphs, start):
        self.g = glyphs
        self.start = start  # events are shown with their time since this moment

    def device_line(self, m, now):
        s = Segments().add("device ").add(m.label or "?", "bold")
        if m.serial is not None:
            s.add(" (serial %d)" % m.serial)
        s.add("  ")
        if m.status == STATUS_ONLINE:
            s.add(self.g.dot + " online", "good")
        elif m.status == STATUS_OFFLINE:
            s.add(self.g.dot + " offline", "bad")
        else:
            s.add("not registered yet", "dim")
        if m.status_since is not None:
            s.add(" for %s" % fmt_age(now - m.status_since))
        s.add("   software rev %s" % (m.revision or self.g.dash))
        return s

    def counters_line(self, m):
        return Segments().add("%d messages from the daemon, %d sample events, %d polls at the "
                              "controller" % (m.messages, m.samples, m.polls), "dim")

    def setpoint_rows(self, m, now):
        rows = [Segments().add("Set-points%s  value unit    age" % (" " * (self.LABEL - 7)),
                               "bold")]
        for port in sorted(m.setpoints):
            p = m.setpoints[port]
            s = Segments().add("%3d %-*s %6s %-6s %6s" % (
                port, self.LABEL, p.label or self.g.dash, fmt_value(p.value, self.g.dash),
                p.unit, fmt_age(None if p.updated is None else now - p.updated, self.g.dash)))
            ps = m.pending
            if ps is not None and ps.port == port:
                frames = "%d set frame%s" % (ps.frames, "" if ps.frames == 1 else "s")
                if ps.confirmed:
                    s.add("  %s %s %s %s confirmed, %s" % (
                        self.g.check, fmt_value(ps.before, "?"), self.g.arrow,
                        fmt_value(ps.target), frames), "good")
                else:
                    # The set frame goes out at the next transmit cycle, up to a second or so.
                    s.add("  %s %s pending %.1fs%s" % (
                        self.g.arrow, fmt_value(ps.target), now - ps.sent_at,
                        ", " + frames + " sent" if ps.frames else ""), "warn")
            rows.append(s)
        return rows

    def input_rows(self, m, now, spark_width):
        rows = [Segments().add("Inputs%s  value unit    age  recent" % (" " * (self.LABEL - 3)),
                               "bold")]
        for port in sorted(m.inputs):
            p = m.inputs[port]
            age = None if p.updated is None else now - p.updated
            s = Segments().add("%3d %-*s %6s %-6s " % (
                port, self.LABEL, p.label or self.g.dash, fmt_value(p.value, self.g.dash),
                p.unit))
            # An input silent for more than a few polls is stale: its age turns red.
            s.add("%6s" % fmt_age(age, self.g.dash), "bad" if age is not None and age > 5 else "")
            s.add("  " + sparkline(p.history, spark_width, self.g))
            rows.append(s)
        return rows

    def screen(self, m, now, elapsed, limit, width, height):
        """The whole terminal view, cut to the terminal's size."""
        title = "borl1d demo  %.0f s" % elapsed
        title += " of %d s" % limit if limit else " (Ctrl-C stops)"
        spark_width = max(0, min(HISTORY, width - 58))
        lines = [Segments().add(title, "bold"), self.device_line(m, now), self.counters_line(m),
                 Segments()]
        lines += self.setpoint_rows(m, now) + [Segments()]
        lines += self.input_rows(m, now, spark_width) + [Segments()]
        lines.append(Segments().add("Events", "bold"))
        for t, text, style in m.events[-EVENTS_SHOWN:]:
            lines.append(Segments().add("%7.1fs  " % (t - self.start)).add(text, style))
        return [s.render(width, color=True) for s in lines[:max(1, height - 1)]]

    def block(self, m, now, elapsed):
        """All values as plain lines, for a log or a pipe."""
        lines = [Segments().add("---- %.0f s ----" % elapsed), self.device_line(m, now),
                 self.counters_line(m)]
        lines += self.setpoint_rows(m, now) + self.input_rows(m, now, HISTORY)
        return [s.render() for s in lines]


class Tail:
    """Follows a file another process appends lines to; the file may appear later."""

    def __init__(self, path):
        self.path = path
        self.f = None
        self.partial = b""

    def lines(self):
        if self.f is None:
            try:
                self.f = open(self.path, "rb")
            except OSError:
                return []
        data = self.f.read()
        if not data:
            return []
        chunks = (self.partial + data).split(b"\n")
        self.partial = chunks.pop()
        if len(self.partial) > MAX_PARTIAL_LINE:
            self.partial = b""
        return [c.decode("utf-8", "replace") for c in chunks]

    def close(self):
        if self.f is not None:
            self.f.close()
            self.f = None


class Commander:
    """Writes console commands into the fifo the console reads. A command that cannot be
    written at once is dropped: the schedule asks again, and the view never blocks."""

    def __init__(self, path):
        self.path = path
        self.fd = None

    def send(self, command):
        if self.fd is None:
            try:
                self.fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            except OSError:
                return False
        data = (command + "\n").encode()
        try:
            return os.write(self.fd, data) == len(data)
        except OSError as e:
            if e.errno not in (errno.EAGAIN, errno.EPIPE):
                raise
            return False

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def process_alive(pid):
    """True while `pid` runs; a zombie that its parent has not reaped yet counts as stopped."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return True


class Driver:
    """Asks the daemon for what the view shows and makes the set-point change on time."""

    def __init__(self, model, send, set_port, set_value, set_at, retry=2.0):
        self.m = model
        self.send = send
        self.set_port, self.set_value, self.set_at = set_port, set_value, set_at
        self.retry = retry
        self.next = {"device": 0.0, "ports ain": 0.0, "ports aout": 0.0}
        self.waiting_reported = False
        self.asked_after_ack = False

    def tick(self, elapsed, now):
        m = self.m
        # Until the daemon answers, ask again every `retry` seconds; afterwards the device every
        # 10 s, the set-points (published only on request) every 3 s, every second while a
        # change is open.
        ps = m.pending
        pending = ps is not None and not ps.confirmed
        if pending and ps.acked_at is not None and not self.asked_after_ack:
            # The daemon has seen the new value: fetch the set-points now to show it confirmed.
            self.next["ports aout"] = elapsed
            self.asked_after_ack = True
        every = {
            "device": 10.0 if m.device_known else self.retry,
            "ports ain": None if m.inputs_known else self.retry,
            "ports aout": 1.0 if pending else (3.0 if m.setpoints_known else self.retry),
        }
        for cmd, period in every.items():
            if period is not None and elapsed >= self.next[cmd]:
                if self.send(cmd):
                    self.next[cmd] = elapsed + period
        if m.pending is None and elapsed >= self.set_at:
            if m.status != STATUS_ONLINE:
                if not self.waiting_reported:
                    m.event(now, "waiting for the device to come online before the change")
                    self.waiting_reported = True
            elif self.send("set %d %s" % (self.set_port, fmt_value(self.set_value))):
                m.start_set(self.set_port, self.set_value, now)
                self.next["ports aout"] = elapsed + 1.0


class Stop:
    requested = False

    @classmethod
    def handler(cls, _signum, _frame):
        cls.requested = True


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Live view of the borl1d demo.")
    ap.add_argument("--messages", required=True, help="file of the console's JSON lines")
    ap.add_argument("--commands", required=True, help="fifo the console reads commands from")
    ap.add_argument("--daemon-out", help="the daemon's standard output")
    ap.add_argument("--sim-out", help="the simulator's standard output")
    ap.add_argument("--setpoints", type=int, required=True,
                    help="the device's set-points (borl-decode --points)")
    ap.add_argument("--inputs", type=int, required=True, help="the device's inputs")
    ap.add_argument("--seconds", type=float, default=30.0, help="run time (0: until stopped)")
    ap.add_argument("--plain", action="store_true", help="plain lines even on a terminal")
    ap.add_argument("--every", type=float, default=5.0, help="plain mode: seconds per block")
    ap.add_argument("--set-port", type=int, default=3)
    ap.add_argument("--set-value", type=float, default=27.0)
    ap.add_argument("--set-at", type=float, help="seconds before the change (default 10)")
    ap.add_argument("--retry", type=float, default=2.0,
                    help="seconds between requests the daemon has not answered yet")
    ap.add_argument("--until-done", action="store_true",
                    help="end as soon as everything has been shown")
    ap.add_argument("--watch", action="append", default=[], metavar="NAME=PID",
                    help="stop when this process stops")
    args = ap.parse_args(argv)
    if args.seconds < 0 or args.every <= 0 or args.retry <= 0:
        ap.error("--seconds must be >= 0, --every and --retry > 0")
    if not (0 < args.setpoints <= MAX_PORT and 0 < args.inputs <= MAX_PORT):
        ap.error("--setpoints and --inputs must be 1..%d" % MAX_PORT)
    if args.set_at is None:
        # A short run makes its change earlier, so that the confirmation still fits.
        args.set_at = 10.0 if args.seconds == 0 else min(10.0, args.seconds / 3)
    watches = []
    for w in args.watch:
        name, _, pid = w.partition("=")
        if not name or not pid.isdigit():
            ap.error("--watch takes NAME=PID, not %r" % w)
        watches.append((name, int(pid)))
    args.watch = watches
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    terminal = sys.stdout.isatty() and not args.plain and os.environ.get("TERM", "") != "dumb"
    glyphs = Glyphs((sys.stdout.encoding or "").lower().replace("-", "") == "utf8")
    model = Model(args.setpoints, args.inputs)
    start = time.monotonic()
    view = Renderer(glyphs, start)
    commander = Commander(args.commands)
    driver = Driver(model, commander.send, args.set_port, args.set_value, args.set_at,
                    args.retry)
    # The simulator's output first: its line for a set frame precedes the daemon's reaction.
    tails = []
    if args.sim_out:
        tails.append((Tail(args.sim_out), model.feed_sim))
    if args.daemon_out:
        tails.append((Tail(args.daemon_out), model.feed_daemon))
    tails.append((Tail(args.messages), model.feed_console))
    # Signals end the view cleanly: the final state and the verdict are still printed.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, Stop.handler)

    out = sys.stdout
    printed_events, next_block, next_draw = 0, args.every, 0.0
    stopped = None
    if terminal:
        out.write("\x1b[?25l\x1b[2J")
    try:
        while True:
            now = time.monotonic()
            elapsed = now - start
            for tail, feed in tails:
                for line in tail.lines():
                    feed(line, now)
            driver.tick(elapsed, now)
            for name, pid in args.watch:
                if stopped is None and not process_alive(pid):
                    stopped = name
                    model.event(now, "%s stopped" % name, "bad")
            done = (Stop.requested or stopped is not None
                    or (args.seconds and elapsed >= args.seconds)
                    or (args.until_done and model.shown()))
            if terminal:
                if done or now >= next_draw:
                    size = os.get_terminal_size(out.fileno())
                    rows = view.screen(model, now, elapsed, args.seconds, size.columns,
                                       size.lines)
                    out.write("\x1b[H" + "\x1b[K\n".join(rows) + "\x1b[K\x1b[J")
                    out.flush()
                    next_draw = now + 0.25
            else:
                for t, text, _ in model.events[printed_events:]:
                    out.write("[%5.1fs] %s\n" % (t - start, text))
                printed_events = len(model.events)
                if done or elapsed >= next_block:
                    out.write("\n".join(view.block(model, now, elapsed)) + "\n")
                    next_block = elapsed + args.every
                out.flush()
            if done:
                break
            time.sleep(0.1)
    finally:
        for tail, _ in tails:
            tail.close()
        commander.close()
        if terminal:
            out.write("\x1b[?25h\n")
            out.flush()

    missing = model.missing()
    if stopped is not None:
        out.write("demo: %s stopped before the end of the demo\n" % stopped)
    if missing:
        out.write("demo: incomplete: %s\n" % "; ".join(missing))
    else:
        ps = model.pending
        out.write("demo: values flowed from all %d inputs and %s = %s%s was confirmed by the "
                  "controller after %.1f s\n" % (model.input_count, model.name_of(ps.port),
                                                  fmt_value(ps.target), model.unit_of(ps.port),
                                                  ps.confirmed_at - ps.sent_at))
    out.flush()
    if stopped is not None:
        return EXIT_PROCESS_STOPPED
    return EXIT_INCOMPLETE if missing else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
