"""The daemon with its two peers for measurement and soak scripts: the controller simulator on a
pty, the console peer playing vexad, and the daemon in a scratch configuration root: `borl1d
--conf-dir ROOT` where the built borl1d takes that option, otherwise borl1d-testroot (the daemon
whose root is etc/vexa below its working directory). Also the reference peer of the cycle-cost
measurement: mbpoll polling a small Modbus RTU slave (bench/modbus_slave.cpp) on a pty.

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


def find_binary(build, name):
    """Path of a built program, or None."""
    for sub in ("", "tools/borl-sim", "tools/vexa-console", "bench"):
        p = os.path.join(build, sub, name)
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return p
    return None


def binary(build, name):
    p = find_binary(build, name)
    if p is None:
        raise SystemExit(f"{name} not found in {build}: build it first (cmake --build {build})")
    return p


_conf_dir_answers = {}


def takes_conf_dir(path):
    """True when the daemon at `path` takes --conf-dir, judged by its --help. A daemon that takes
    no options would start in earnest on "--help" (with the production root), so the binary is
    first searched for the option's name and only run when the name is in it; then it runs in
    an empty scratch directory and is ended if it has not finished within 5 s."""
    if path in _conf_dir_answers:
        return _conf_dir_answers[path]
    with open(path, "rb") as f:
        answer = b"conf-dir" in f.read()
    if answer:
        with tempfile.TemporaryDirectory(prefix="borl1d-help-") as scratch:
            try:
                out = subprocess.run([path, "--help"], cwd=scratch, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     timeout=5).stdout
            except subprocess.TimeoutExpired:
                out = b""
        answer = b"--conf-dir" in out
    _conf_dir_answers[path] = answer
    return answer


def daemon_argv(build, root, which="auto"):
    """The daemon's command line for the configuration root `root`: `borl1d --conf-dir root`, or
    borl1d-testroot, which finds its root as etc/vexa below its working directory (so it must run
    in the directory above a root of that name). `which`: auto (borl1d where it takes
    --conf-dir), borl1d or testroot."""
    if which not in ("auto", "borl1d", "testroot"):
        raise ValueError(f"unknown daemon choice {which}")
    if which != "testroot":
        daemon = find_binary(build, "borl1d")
        if daemon is not None and takes_conf_dir(daemon):
            return [daemon, "--conf-dir", root]
        if which == "borl1d":
            raise SystemExit(f"{build}/borl1d is missing or does not take --conf-dir")
    return [binary(build, "borl1d-testroot")]


class Rig:
    def __init__(self, build, log_level="INFO", workdir=None, daemon="auto"):
        self.build = os.path.abspath(build)
        self.dir = workdir or tempfile.mkdtemp(prefix="borl1d-rig-")
        self.root = os.path.join(self.dir, "etc", "vexa")  # the daemon's configuration root
        try:
            self.daemon_cmd = daemon_argv(self.build, self.root, daemon)
        except BaseException:
            if workdir is None:
                shutil.rmtree(self.dir, ignore_errors=True)
            raise
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
        # Absolute paths, so the file means the same to either daemon, wherever it runs.
        put("etc/vexa/borl1d.conf",
            "vexad.host = 127.0.0.1\n"
            f"vexad.south.port = {self.port}\n"
            f"borl1d.device.port = {self.link}\n"
            f"borl1d.device.dir = {self.root}/borl1d/devices/\n"
            f"borl1d.serialconf.file = {self.root}/serialconf.xml\n"
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

    def start_daemon(self, keep_log=True, wrapper=()):
        """Starts the daemon, under `wrapper` (a command prefix such as valgrind's) if given."""
        self.daemon = self._spawn([*wrapper, *self.daemon_cmd])
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


class ModbusRig:
    """The reference peer: mbpoll polling holding registers once a second from modbus_slave (a
    libmodbus RTU slave, bench/modbus_slave.cpp) on a pty. The slave prints "reply t=..." per
    reply; mbpoll's own output (the register values) goes to /dev/null."""

    def __init__(self, build, registers=60, period_ms=1000):
        self.build = os.path.abspath(build)
        self.dir = tempfile.mkdtemp(prefix="borl1d-mbpoll-")
        self.registers = registers
        self.period_ms = period_ms
        self.slave = self.poller = None
        self.slave_out = self.slave_err = self.poller_err = None
        self.pty = None

    def poller_argv(self):
        return ["mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-r", "1",
                "-c", str(self.registers), "-t", "4", "-l", str(self.period_ms), self.pty or "PTY"]

    def start_slave(self):
        self.slave = subprocess.Popen(
            [binary(self.build, "modbus_slave"), "--registers", str(self.registers)],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self.slave_out = LineReader(self.slave.stdout)
        self.slave_err = LineReader(self.slave.stderr)
        i = self.slave_out.wait_for("pty: ")
        if i < 0:
            raise RuntimeError("modbus_slave did not start")
        self.pty = self.slave_out.snapshot()[i][1].split("pty: ", 1)[1].strip()

    def start_poller(self, wrapper=()):
        self.poller = subprocess.Popen([*wrapper, *self.poller_argv()], cwd=self.dir,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE)
        self.poller_err = LineReader(self.poller.stderr)
        return self.poller

    def close(self):
        for p in (self.poller, self.slave):
            Rig._end(p)
        shutil.rmtree(self.dir, ignore_errors=True)


def status_kb(pid, field):
    """A field of /proc/<pid>/status in kB (VmRSS, VmHWM, RssAnon), or None when the process is
    gone."""
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


def thread_counters(pid):
    """Per thread of the process: {tid: (name, nanoseconds on a CPU, context switches)}."""
    out = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        base = f"/proc/{pid}/task/{task}"
        try:
            with open(base + "/comm") as f:
                name = f.read().strip()
            with open(base + "/schedstat") as f:
                ns = int(f.read().split()[0])
            switches = 0
            with open(base + "/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:",
                                        "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split()[1])
        except OSError:
            continue  # the thread ended
        out[int(task)] = (name, ns, switches)
    return out
