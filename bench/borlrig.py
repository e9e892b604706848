"""The daemon with its two peers for measurement and soak scripts: the controller simulator on a
pty, the console peer playing vexad, and borl1d-testroot in a scratch configuration root.

Every line the three processes print is collected by a reader thread and time-stamped when it is
read, on the machine's monotonic clock (the clock borl-sim --stamp uses)."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time


def monotonic():
    return time.clock_gettime(time.CLOCK_MONOTONIC)


class LineReader:
    """Reads the lines of one pipe on a thread of its own; keeps (read time, line) pairs."""

    def __init__(self, pipe, keep=True):
        self.lines = []  # (monotonic seconds at read, text)
        self.count = 0
        self.keep = keep
        self._cond = threading.Condition()
        self._fd = pipe.fileno()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        pending = b""
        while True:
            try:
                chunk = os.read(self._fd, 65536)
            except OSError:
                chunk = b""
            now = monotonic()
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            with self._cond:
                for raw in complete:
                    self.count += 1
                    if self.keep:
                        self.lines.append((now, raw.decode("utf-8", "replace")))
                self._cond.notify_all()

    def wait_for(self, needle, timeout=15.0, start=0):
        """Index of the first line from `start` on that contains `needle`, or -1 at the deadline."""
        deadline = monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    if needle in self.lines[i][1]:
                        return i
                    i += 1
                left = deadline - monotonic()
                if left <= 0:
                    return -1
                self._cond.wait(left)

    def snapshot(self):
        with self._cond:
            return list(self.lines)

    def size(self):
        with self._cond:
            return len(self.lines)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def binary(build, name):
    for sub in ("", "tools/borl-sim", "tools/vexa-console"):
        p = os.path.join(build, sub, name)
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return p
    raise SystemExit(f"{name} not found in {build}: build it first (cmake --build {build})")


class Rig:
    def __init__(self, build, log_level="INFO", workdir=None):
        self.build = os.path.abspath(build)
        self.dir = workdir or tempfile.mkdtemp(prefix="borl1d-rig-")
        self.link = os.path.join(self.dir, "ttyCTRL")
        self.port = free_port()
        self.sim = self.console = self.daemon = None
        self.sim_out = self.console_out = self.console_err = None
        self.daemon_err = self.daemon_out = None
        self._write_config(log_level)

    def _write_config(self, level):
        def put(rel, text):
            path = os.path.join(self.dir, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)

        put("etc/vexa/serialconf.xml",
            '<?xml version="1.0"?>\n<config>\n  <serialconfig>\n'
            "    <port><owner>modem</owner></port>\n    <port/>\n    <port/>\n    <port/>\n"
            "    <port><owner>Borl100</owner></port>\n  </serialconfig>\n</config>\n")
        put("etc/vexa/borl1d/devices/borl100.xml",
            '<?xml version="1.0"?>\n<Borl100><serial>4711</serial></Borl100>\n')
        put("etc/vexa/borl1d.conf",
            "vexad.host = 127.0.0.1\n"
            f"vexad.south.port = {self.port}\n"
            f"borl1d.device.port = {self.link}\n"
            "borl1d.device.dir = etc/vexa/borl1d/devices/\n"
            "borl1d.serialconf.file = etc/vexa/serialconf.xml\n"
            f"log4cpp.rootCategory = {level}, err\n"
            "log4cpp.appender.err = FileAppender\n"
            "log4cpp.appender.err.fileName = /dev/stderr\n"
            "log4cpp.appender.err.layout = PatternLayout\n"
            "log4cpp.appender.err.layout.ConversionPattern = %d %c %p: %m%n\n")

    def _spawn(self, argv):
        return subprocess.Popen(argv, cwd=self.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def start_sim(self, *args, keep=True):
        self.sim = self._spawn([binary(self.build, "borl-sim"), "--link", self.link, *args])
        self.sim_out = LineReader(self.sim.stdout, keep)
        self.sim_err = LineReader(self.sim.stderr)
        if self.sim_out.wait_for("pty: ") < 0:
            raise RuntimeError("borl-sim did not start")

    def sim_command(self, line):
        self.sim.stdin.write((line + "\n").encode())
        self.sim.stdin.flush()

    def start_console(self, keep=True):
        self.console = self._spawn([binary(self.build, "vexa-console"), "--port", str(self.port),
                                    "--json"])
        self.console_out = LineReader(self.console.stdout, keep)
        self.console_err = LineReader(self.console.stderr)
        if self.console_err.wait_for("listening") < 0:
            raise RuntimeError("vexa-console did not start")

    def console_command(self, line):
        self.console.stdin.write((line + "\n").encode())
        self.console.stdin.flush()

    def stop_console(self):
        self._end(self.console)
        self.console = None

    def start_daemon(self, keep_log=True):
        self.daemon = self._spawn([binary(self.build, "borl1d-testroot")])
        self.daemon_err = LineReader(self.daemon.stderr, keep_log)
        self.daemon_out = LineReader(self.daemon.stdout, keep_log)
        return self.daemon

    def stop_daemon(self):
        self._end(self.daemon)
        self.daemon = None

    @staticmethod
    def _end(proc):
        if proc is None or proc.poll() is not None:
            return
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def close(self, keep_dir=False):
        for p in (self.daemon, self.console, self.sim):
            self._end(p)
        if not keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def status_kb(pid, field):
    """A field of /proc/<pid>/status in kB (VmRSS, VmHWM), or None when the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def cpu_seconds(pid):
    """User plus system CPU time of the whole process (all threads), from /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def run_seconds(pid):
    """Nanosecond-exact time on a CPU, summed over the process's threads (schedstat)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9
