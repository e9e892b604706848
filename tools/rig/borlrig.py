"""The daemon with its two peers in a scratch site, for the demo, the soak, the memcheck run and
the measurements: the controller simulator (borl-sim) on a pty, the console peer (vexa-console)
playing vexad on 127.0.0.1, and `borl1d --conf-dir ROOT` between them, ROOT being a
configuration root written here (the serial-port assignment, the device description and
borl1d.conf). Also the build of those three programs and readings of /proc.

Every line the processes print is collected by a reader thread and time-stamped when it is read,
on the machine's monotonic clock (the clock borl-sim --stamp uses); a reader can also copy the
stream into a file as it goes.

Scripts find this module by putting its directory on the path before the import, relative to
their own location; from scripts/ or bench/:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tools",
                                    "rig"))
    import borlrig
"""

import functools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
PROGRAMS = ("borl1d", "borl-sim", "vexa-console")
LISTING = "borl-decode"  # lists the device's points: points()


def monotonic():
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def build(build_dir, jobs=2, quiet=False, configure=True, targets=PROGRAMS + (LISTING,)):
    """Configures `build_dir` (RelWithDebInfo; with configure=False only when it has no CMake
    cache yet, so that a build directory of another type stays as it is) and builds the daemon,
    the simulator, the console and borl-decode there. The build's output is shown unless
    `quiet`."""
    out = subprocess.DEVNULL if quiet else None
    if configure or not os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", SOURCE, "-B", build_dir,
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, f"-j{jobs}", "--target", *targets],
                   check=True, stdout=out)



def _elf_machine(path):
    """The machine an ELF file is built for (e_machine), or None (a script, no file)."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "big" if head[5] == 2 else "little")


def emulated(argv):
    """argv with the cross build's emulator ($BORL1D_TEST_EMULATOR, set by the tests that run
    under it: qemu-arm) in front when argv[0] is built for another machine than this Python."""
    words = os.environ.get("BORL1D_TEST_EMULATOR", "").split()
    machine = _elf_machine(argv[0])
    if not words or machine is None or machine == _elf_machine(sys.executable):
        return list(argv)
    return words + list(argv)

class LineReader:
    """Reads the lines of one pipe on a thread of its own; keeps (read time, line) pairs, and
    copies what it reads into the file `copy_to` when one is named."""

    def __init__(self, pipe, keep=True, copy_to=None, name="output", on_line=None):
        self.lines = []  # (monotonic seconds at read, text)
        self.on_line = on_line  # called with each line's text on the reader's thread
        self.count = 0
        self.keep = keep
        self.name = name
        self.ended = False
        self._copy = open(copy_to, "wb", buffering=0) if copy_to else None
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
            if self._copy is not None:
                self._copy.write(chunk)
            pending += chunk
            *complete, pending = pending.split(b"\n")
            if self.on_line is not None:
                for raw in complete:
                    self.on_line(raw.decode("utf-8", "replace"))
            with self._cond:
                for raw in complete:
                    self.count += 1
                    if self.keep:
                        self.lines.append((now, raw.decode("utf-8", "replace")))
                self._cond.notify_all()
        if self._copy is not None:
            self._copy.close()
        with self._cond:
            self.ended = True
            self._cond.notify_all()

    def wait_for(self, needle, timeout=15.0, start=0):
        """Index of the first line from `start` on that contains `needle` (a text) or for which
        `needle` (a function of the line) is true; -1 at the deadline or when the stream ended
        without one."""
        match = needle if callable(needle) else (lambda line: needle in line)
        deadline = monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    if match(self.lines[i][1]):
                        return i
                    i += 1
                left = deadline - monotonic()
                if left <= 0 or self.ended:
                    return -1
                self._cond.wait(left)

    def expect(self, needle, timeout, start=0, what=None):
        """wait_for, raising TimeoutError that names the stream and `what` when no line comes."""
        i = self.wait_for(needle, timeout, start)
        if i < 0:
            what = what or (repr(needle) if isinstance(needle, str) else "expected line")
            raise TimeoutError(f"{self.name}: no {what} within {timeout} s")
        return i

    def line(self, i):
        with self._cond:
            return self.lines[i][1]

    def snapshot(self):
        with self._cond:
            return list(self.lines)

    def size(self):
        with self._cond:
            return len(self.lines)

    def forget(self):
        """Keeps no more lines, and drops those kept (the count and the copy go on): for a long
        run once the lines waited for at its start have come."""
        with self._cond:
            self.keep = False
            self.lines = []

    def join(self, timeout=5.0):
        """Waits until the stream has ended and its copy is complete."""
        self._thread.join(timeout)


def find_binary(build, name):
    """Path of a built program, or None."""
    for sub in ("", f"tools/{name}", "bench", "bin"):
        p = os.path.join(build, sub, name)
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return p
    return None


def binary(build, name):
    p = find_binary(build, name)
    if p is None:
        raise SystemExit(f"{name} not found in {build}: build it first (cmake --build {build})")
    return p


@functools.lru_cache(maxsize=None)
def points(build):
    """The device's points, as the build's borl-decode lists them from the daemon's point table
    (`borl-decode --points --json`): dicts with kind ("setpoint" or "input"), id, label, unit,
    index and encoding, the set-points first, each kind in port-id order. The count and the
    order of the points are read from here, never written down again."""
    out = subprocess.run(emulated([binary(build, LISTING), "--points", "--json"]), check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return tuple(json.loads(line) for line in out.splitlines())


def count(build, kind):
    """How many points of `kind` ("setpoint" or "input") the device has."""
    return sum(p["kind"] == kind for p in points(build))


def stop(proc, grace=10.0, on_kill=None):
    """Ends a process with SIGTERM, and with SIGKILL if it has not ended after `grace` seconds
    (calling on_kill() first)."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        if on_kill:
            on_kill()
        proc.kill()
        proc.wait()


def write_site(root, port, link, log_level="INFO", log_file="/dev/stderr", categories=None,
               serial="4711", line=None, extra=""):
    """Writes a configuration root for the daemon: vexad at 127.0.0.1:`port`, the controller
    (device serial `serial`) on the serial device `link`, the log at `log_level` to `log_file`.
    `line` ({"baud": "9600", ...}: the elements of a port of the serial-port assignment) gives
    the controller's port its line settings; `extra` is appended to borl1d.conf. The assignment
    gives the controller the fifth port of the bus: the scan accepts it without replacing the
    configured device, which is the simulator's pty (the daemon logs "Could not determine bus"
    for it). Paths in borl1d.conf are absolute, so that it means the same wherever the daemon
    runs. `categories` ({name: level}) sets single log categories apart from the root."""
    def put(rel, text):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    settings = "".join(f"<{k}>{v}</{k}>" for k, v in (line or {}).items())
    put("serialconf.xml",
        '<?xml version="1.0"?>\n<config>\n  <serialconfig>\n'
        "    <port><owner>modem</owner></port>\n    <port/>\n    <port/>\n    <port/>\n"
        f"    <port><owner>Borl100</owner>{settings}</port>\n  </serialconfig>\n</config>\n")
    put("borl1d/devices/borl100.xml",
        f'<?xml version="1.0"?>\n<Borl100><serial>{serial}</serial></Borl100>\n')
    put("borl1d.conf",
        "# A scratch site: vexad is the console peer on 127.0.0.1, the serial device is the\n"
        "# controller simulator's pty.\n"
        "vexad.host = 127.0.0.1\n"
        f"vexad.south.port = {port}\n"
        f"borl1d.device.port = {link}\n"
        f"borl1d.device.dir = {root}/borl1d/devices/\n"
        f"borl1d.serialconf.file = {root}/serialconf.xml\n"
        f"log4cpp.rootCategory = {log_level}, log\n"
        "log4cpp.appender.log = FileAppender\n"
        f"log4cpp.appender.log.fileName = {log_file}\n"
        "log4cpp.appender.log.layout = PatternLayout\n"
        "log4cpp.appender.log.layout.ConversionPattern = %d %c %p: %m%n\n"
        + "".join(f"log4cpp.category.{name} = {level}\n"
                  for name, level in (categories or {}).items())
        + extra)


def timing_arg(timing):
    """The daemon's --timing value for a {name: milliseconds} dict (names as in the daemon's
    --timing: start, pause, wait, offline, reopen-min, reopen-max, stats, rx-hung, repeat,
    vexad-retry)."""
    return ",".join(f"{name}={ms}" for name, ms in timing.items())


class Rig:
    """The three processes in the directory `workdir` (a scratch directory by default, removed
    by close()), the configuration root at etc/vexa in it, the simulator's link at ttyCTRL.

    Each process runs in the rig's directory, with `sessions` in a session of its own (so that a
    Ctrl-C on the terminal reaches the script only, which then stops them in order; left out
    otherwise, since it makes a start measurably slower), its outputs read by LineReaders:
    sim_out, sim_err, console_out, console_err, daemon_out, daemon_err. With copy_outputs the
    readers copy them into the files named in COPIES. The simulator and the console take
    commands on their standard input (sim_command, console_command).

    The daemon logs at `log_level` to `log_file`; by default to its standard error, that is to
    daemon_err. `timing` ({name: ms}) shortens its cadence. `started(name, pid)` is called as
    each process starts; `note(text)` reports a process that has to be killed."""

    COPIES = {"borl-sim": ("borl-sim.out", "borl-sim.err"),
              "vexa-console": ("console.jsonl", "console.err"),
              "borl1d": ("borl1d.out", "borl1d.err")}

    def __init__(self, build, workdir=None, log_level="INFO", log_file="/dev/stderr", timing=None,
                 copy_outputs=False, sessions=False, started=None, note=None, categories=None,
                 on_line=None):
        self.build = os.path.abspath(build)
        self.own_dir = workdir is None
        self.dir = os.path.abspath(workdir) if workdir else tempfile.mkdtemp(prefix="borl1d-rig-")
        self.root = os.path.join(self.dir, "etc", "vexa")
        self.link = os.path.join(self.dir, "ttyCTRL")
        self.log_level, self.log_file = log_level, log_file
        self.categories = categories
        self.timing = timing
        self.daemon_args = []  # further daemon options (--capture FILE ...)
        self.copy_outputs = copy_outputs
        self.sessions = sessions
        self._started = started or (lambda name, pid: None)
        self._note = note or (lambda text: print(text, file=sys.stderr, flush=True))
        self.port = None  # the console's, once it listens
        self.sim = self.console = self.daemon = None
        self.sim_out = self.sim_err = self.console_out = self.console_err = None
        self.daemon_out = self.daemon_err = None
        self._readers = []
        # {(program, "out" or "err"): function of a line}: each line of that stream as it is read
        # (a long run counts what it needs instead of keeping the lines).
        self.on_line = on_line or {}

    def _spawn(self, name, argv, stdin=subprocess.PIPE, keep_out=True, keep_err=True):
        proc = subprocess.Popen(emulated(argv), cwd=self.dir, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=self.sessions)
        self._started(name, proc.pid)
        copies = [os.path.join(self.dir, f) if self.copy_outputs else None
                  for f in self.COPIES[name]]
        out = LineReader(proc.stdout, keep_out, copies[0], name, self.on_line.get((name, "out")))
        err = LineReader(proc.stderr, keep_err, copies[1], name + " (standard error)",
                         self.on_line.get((name, "err")))
        self._readers += [out, err]
        return proc, out, err

    @staticmethod
    def _failed(name, err):
        err.join(1.0)
        return RuntimeError(f"{name} did not start: " + " / ".join(l for _, l in err.snapshot()))

    def start_sim(self, *args, keep=True):
        self.sim, self.sim_out, self.sim_err = self._spawn(
            "borl-sim", [binary(self.build, "borl-sim"), "--link", self.link, *args], keep_out=keep)
        if self.sim_out.wait_for(lambda l: l.startswith("pty: ")) < 0 or \
                not os.path.islink(self.link):
            raise self._failed("borl-sim", self.sim_err)

    def sim_command(self, line):
        self.sim.stdin.write((line + "\n").encode())
        self.sim.stdin.flush()

    def start_console(self, keep=True, stdin=subprocess.PIPE):
        """Starts the console; the first one on any free port, a later one on the same port."""
        self.console, self.console_out, self.console_err = self._spawn(
            "vexa-console", [binary(self.build, "vexa-console"), "--port", str(self.port or 0),
                             "--json"], stdin=stdin, keep_out=keep)
        i = self.console_err.wait_for("listening on")
        if i < 0:
            raise self._failed("vexa-console", self.console_err)
        self.port = int(self.console_err.line(i).rsplit(":", 1)[1])

    def console_command(self, line):
        self.console.stdin.write((line + "\n").encode())
        self.console.stdin.flush()

    def stop_console(self):
        self._end("vexa-console", self.console)
        self.console = None

    def write_site(self):
        if self.port is None:
            raise RuntimeError("the console is to be started before the daemon: the site names "
                               "its port")
        write_site(self.root, self.port, self.link, self.log_level, self.log_file,
                   self.categories)

    def daemon_argv(self):
        argv = [binary(self.build, "borl1d"), "--conf-dir", self.root]
        if self.timing:
            argv += ["--timing", timing_arg(self.timing)]
        return argv + list(self.daemon_args)

    def start_daemon(self, keep_log=True, wrapper=()):
        """Starts the daemon, under `wrapper` (a command prefix such as valgrind's) if given;
        writes the configuration root first if it is not there yet."""
        if not os.path.isfile(os.path.join(self.root, "borl1d.conf")):
            self.write_site()
        self.daemon, self.daemon_out, self.daemon_err = self._spawn(
            "borl1d", [*wrapper, *self.daemon_argv()], stdin=subprocess.DEVNULL,
            keep_out=keep_log, keep_err=keep_log)
        return self.daemon

    def stop_daemon(self, grace=10.0):
        """Stops the daemon and waits for the last of its output: its final lines (the capture's
        end, the statistics) are read before anyone looks."""
        self._end("borl1d", self.daemon, grace)
        self.daemon = None
        for reader in (self.daemon_out, self.daemon_err):
            if reader is not None:
                reader.join()

    def processes(self):
        """(name, process) of those started, in the order of starting."""
        return [(n, p) for n, p in (("borl-sim", self.sim), ("vexa-console", self.console),
                                    ("borl1d", self.daemon)) if p is not None]

    def _end(self, name, proc, grace=10.0):
        stop(proc, grace,
             lambda: self._note(f"{name} (pid {proc.pid}) ignores SIGTERM; killing it"))

    def close(self, keep_dir=False, grace=10.0):
        """Stops the daemon first (so that it does not log the loss of its peers), then the
        console and the simulator; waits for the last of their output; removes a scratch
        directory unless `keep_dir`."""
        for name, proc in reversed(self.processes()):
            self._end(name, proc, grace)
        for r in self._readers:
            r.join()
        if self.own_dir and not keep_dir:
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


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))
