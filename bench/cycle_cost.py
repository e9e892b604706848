#!/usr/bin/env python3
"""What one poll cycle costs the whole daemon, beside a reference poller measured in the same run.

    bench/cycle_cost.py [--build DIR] [--seconds N | --quick] [--no-reference] [--json FILE]
                        [--capture] [--file-log]

The daemon (borl1d --conf-dir ROOT) polls the controller simulator (borl-sim --stamp) on a pty
and publishes to the console peer (vexa-console --json) playing vexad, logging at INFO. The
reference is mbpoll reading 60 holding registers once a second from modbus_slave (a libmodbus RTU
slave on a pty, bench/modbus_slave.cpp). Both run side by side; for each the script prints per
poll cycle:

  CPU          time on a CPU of all threads: the first field of /proc/<pid>/task/*/schedstat
               (nanoseconds), summed, over a window of N whole cycles
  syscalls     system calls of all threads: `strace -f -c -p PID` attached to the running
               process for a window of about N/3 cycles, divided by the cycles in that window
  wake-ups     voluntary plus non-voluntary context switches of all threads
               (/proc/<pid>/task/*/status), over the CPU window
  instructions user-space instructions of all threads under callgrind: two runs, a short one
               of a few cycles and a long one of about N/3 cycles more, each ended a fixed time
               after its last cycle; (long - short) / (cycles long - cycles short), so start-up
               and exit cancel. Each run's cycles are counted, not assumed: under valgrind the
               process is much slower.
  VmHWM        peak resident memory (and RssAnon, the anonymous part of the resident memory, and
               VmRSS) at the end of the CPU window
  latency      daemon only: from the simulator's stamp of a reply's last byte on the line to the
               script's read of the first sample event from the console (bench/measure.py),
               p50 and p99 over the replies of the CPU window

A cycle is one poll frame received by the simulator ("rx poll") or one reply of the slave
("reply t="). Windows start and end a fixed time (0.4 s) after a cycle's line, in the idle part
of the cycle, so each window holds whole cycles.

Defaults: a CPU window of 60 cycles, about 2 minutes in all; --quick: 20 cycles, about a
minute. Nothing is installed: the Debian packages missing for a part (strace, valgrind, mbpoll,
libmodbus-dev for modbus_slave) are named and that part is skipped. The load average is printed
with the figures: the machine may be shared, and CPU times and latencies move with its load."""

import argparse
import datetime
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tools",
                                "rig"))
import borlrig  # noqa: E402
import measure  # noqa: E402

OFFSET_S = 0.4     # where in a cycle the windows start and end: after the reply is handled
CG_OFFSET_S = 0.6  # the same under callgrind, where handling a reply takes longer
CYCLE_TIMEOUT_S = 15.0


def sleep_until(t):
    left = t - borlrig.monotonic()
    if left > 0:
        time.sleep(left)


class DaemonSubject:
    """The daemon with the simulator and the console peer."""

    name = "borl1d"
    needle = "rx poll"

    def __init__(self, build, capture=False, file_log=False):
        # Logging as the shipped example configuration sets it up: INFO, with the reply check's
        # "Frame valid" line (one a second) held back by its category's NOTICE level. With
        # file_log, as the lab rig sets it up: to a log file, "Frame valid" every cycle.
        self.rig = borlrig.Rig(build, categories=None if file_log else {"dornDecode": "NOTICE"})
        if file_log:
            self.rig.log_file = os.path.join(self.rig.dir, "borl1d.log")
        if capture:  # a capture of the exchange running all along (docs/capture.md)
            self.rig.daemon_args = ["--capture", os.path.join(self.rig.dir, "bench.exchange")]
        self.proc = None

    @property
    def cycles(self):
        return self.rig.sim_out

    def start(self, wrapper=()):
        self.rig.start_sim("--stamp", "--seed", "7")
        self.rig.start_console()
        self.proc = self.rig.start_daemon(wrapper=wrapper)

    def describe(self):
        return " ".join(os.path.basename(a) if i == 0 else a
                        for i, a in enumerate(self.rig.daemon_argv()))

    def close(self):
        self.rig.close()


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
            [borlrig.binary(self.build, "modbus_slave"), "--registers", str(self.registers)],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self.slave_out = borlrig.LineReader(self.slave.stdout)
        self.slave_err = borlrig.LineReader(self.slave.stderr)
        i = self.slave_out.wait_for("pty: ")
        if i < 0:
            raise RuntimeError("modbus_slave did not start")
        self.pty = self.slave_out.line(i).split("pty: ", 1)[1].strip()

    def start_poller(self, wrapper=()):
        self.poller = subprocess.Popen([*wrapper, *self.poller_argv()], cwd=self.dir,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE)
        self.poller_err = borlrig.LineReader(self.poller.stderr)
        return self.poller

    def close(self):
        for p in (self.poller, self.slave):
            borlrig.stop(p)
        shutil.rmtree(self.dir, ignore_errors=True)


class ReferenceSubject:
    """mbpoll and the libmodbus slave."""

    name = "mbpoll"
    needle = "reply t="

    def __init__(self, build):
        self.rig = ModbusRig(build)
        self.proc = None

    @property
    def cycles(self):
        return self.rig.slave_out

    def start(self, wrapper=()):
        self.rig.start_slave()
        self.proc = self.rig.start_poller(wrapper=wrapper)

    def describe(self):
        return " ".join(self.rig.poller_argv())

    def close(self):
        self.rig.close()


def next_cycle(subject, start):
    """Index and read time of the first cycle line at or after line `start`."""
    i = subject.cycles.wait_for(subject.needle, CYCLE_TIMEOUT_S, start)
    if i < 0:
        if subject.proc.poll() is not None:
            raise RuntimeError(f"{subject.name} ended with status {subject.proc.returncode}")
        raise RuntimeError(f"{subject.name}: no poll cycle for {CYCLE_TIMEOUT_S:.0f} s")
    return i, subject.cycles.snapshot()[i][0]


def cycles_between(subject, t0, t1):
    return sum(1 for t, line in subject.cycles.snapshot()
               if t0 < t <= t1 and subject.needle in line)


def sample(pid):
    threads = borlrig.thread_counters(pid)
    return {"cpu_ns": sum(ns for _, ns, _ in threads.values()),
            "switches": sum(sw for _, _, sw in threads.values()), "threads": threads}


def per_thread(pid, s0, s1, cycles):
    """CPU (µs) and wake-ups per cycle of each thread that lived through the window, busiest
    first. Threads are named "main" and "#2", "#3", ... in the order they were started, with
    their own name where they set one."""
    process_name = s1["threads"].get(pid, ("",))[0]
    rows = []
    for order, tid in enumerate(sorted(s1["threads"]), start=1):
        if tid not in s0["threads"]:
            continue
        name, ns, sw = s1["threads"][tid]
        _, ns0, sw0 = s0["threads"][tid]
        label = "main" if tid == pid else f"#{order}"
        if tid != pid and name != process_name:
            label += f" ({name})"
        rows.append((label, (ns - ns0) / 1e3 / cycles, (sw - sw0) / cycles))
    rows.sort(key=lambda r: -r[1])
    return [{"thread": r[0], "cpu_us": r[1], "wakeups": r[2]} for r in rows]


def parse_strace(path):
    """Calls per system call from an `strace -c` summary, and the total."""
    calls = {}
    total = None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 5 or not fields[0].replace(".", "", 1).isdigit():
                continue
            if fields[-1] == "total":
                total = int(fields[3])
            else:
                calls[fields[-1]] = int(fields[3])
    return calls, total if total is not None else sum(calls.values())


def measure_running(subject, cycles, strace_cycles, out, workdir):
    """The CPU window, then the strace window, on the running subject."""
    pid = subject.proc.pid
    i, t = next_cycle(subject, 0)  # warm-up: three cycles past the first
    for _ in range(3):
        i, t = next_cycle(subject, i + 1)
    sleep_until(t + OFFSET_S)
    first_line = i + 1
    console0 = subject.rig.console_out.size() if subject.name == "borl1d" else 0
    s0, t0 = sample(pid), borlrig.monotonic()
    for _ in range(cycles):
        i, t = next_cycle(subject, i + 1)
    sleep_until(t + OFFSET_S)
    s1, t1 = sample(pid), borlrig.monotonic()
    n = cycles_between(subject, t0, t1)
    out["window"] = {"cycles": n, "seconds": round(t1 - t0, 2)}
    out["cpu_us"] = (s1["cpu_ns"] - s0["cpu_ns"]) / 1e3 / n
    out["wakeups"] = (s1["switches"] - s0["switches"]) / n
    out["threads"] = per_thread(pid, s0, s1, n)
    for field in ("VmHWM", "RssAnon", "VmRSS"):
        out[field + "_kB"] = borlrig.status_kb(pid, field)
    if subject.name == "borl1d":
        lat = measure.latencies(subject.rig, first_line, console0)
        if lat:
            out["latency"] = {"replies": len(lat), "p50_ms": 1e3 * statistics.median(lat),
                              "p99_ms": 1e3 * measure.percentile(lat, 99),
                              "max_ms": 1e3 * max(lat)}

    if strace_cycles:
        path = os.path.join(workdir, f"strace-{subject.name}.txt")
        i, t = next_cycle(subject, i + 1)
        sleep_until(t + OFFSET_S)
        tracer = subprocess.Popen(["strace", "-f", "-c", "-o", path, "-p", str(pid)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
        err = borlrig.LineReader(tracer.stderr)
        a = err.wait_for("attached", 10)
        if a < 0:
            tracer.kill()
            tracer.wait()
            raise RuntimeError("strace did not attach: " +
                               " / ".join(line for _, line in err.snapshot()))
        ta = err.snapshot()[a][0]
        for _ in range(strace_cycles):
            i, t = next_cycle(subject, i + 1)
        sleep_until(t + OFFSET_S)
        td = borlrig.monotonic()
        tracer.send_signal(signal.SIGINT)
        tracer.wait(30)
        n = cycles_between(subject, ta, td)
        calls, total = parse_strace(path)
        out["strace"] = {"cycles": n, "total": total,
                         "per_call": {k: v / n for k, v in
                                      sorted(calls.items(), key=lambda kv: -kv[1])}}
        out["syscalls"] = total / n


def callgrind_run(make_subject, cycles, workdir, tag):
    """Runs a fresh subject under callgrind for `cycles` cycles; its cycles and instructions."""
    subject = make_subject()
    path = os.path.join(workdir, f"callgrind-{tag}.out")
    try:
        subject.start(wrapper=["valgrind", "--tool=callgrind", "--callgrind-out-file=" + path])
        i = -1
        t = 0.0
        for _ in range(cycles):
            i, t = next_cycle(subject, i + 1) if i >= 0 else next_cycle_slow(subject)
        sleep_until(t + CG_OFFSET_S)
        subject.proc.send_signal(signal.SIGTERM)
        subject.proc.wait(60)
        made = sum(1 for _, line in subject.cycles.snapshot() if subject.needle in line)
    finally:
        subject.close()
    instructions = None
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                instructions = int(line.split()[1])
                break
    if instructions is None:
        raise RuntimeError(f"no instruction total in {path}")
    return made, instructions


def next_cycle_slow(subject):
    """The first cycle of a process starting under valgrind, which takes a while."""
    i = subject.cycles.wait_for(subject.needle, 120, 0)
    if i < 0:
        raise RuntimeError(f"{subject.name} under callgrind: no poll cycle in 120 s")
    return i, subject.cycles.snapshot()[i][0]


def measure_instructions(make_subject, short, long, workdir, out):
    res = {}
    errors = []

    def one(tag, n):
        try:
            res[tag] = callgrind_run(make_subject, n, workdir, f"{make_subject.tag}-{tag}")
        except Exception as e:  # reported below, with the subject's name
            errors.append(f"{tag} run: {e}")

    threads = [threading.Thread(target=one, args=a) for a in (("short", short), ("long", long))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    if errors:
        raise RuntimeError("; ".join(errors))
    (cs, i_s), (cl, i_l) = res["short"], res["long"]
    out["callgrind"] = {"short": {"cycles": cs, "instructions": i_s},
                        "long": {"cycles": cl, "instructions": i_l}}
    if cl <= cs:
        raise RuntimeError("the long run made no more cycles than the short one")
    out["instructions"] = (i_l - i_s) / (cl - cs)


def run_parallel(jobs):
    """Runs (name, function) pairs on threads of their own; errors by name."""
    errors = {}

    def wrap(name, fn):
        try:
            fn()
        except Exception as e:  # one subject's failure must not lose the other's figures
            errors[name] = str(e)

    threads = [threading.Thread(target=wrap, args=job) for job in jobs]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return errors


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def fmt(v, unit="", digits=0):
    if v is None:
        return "–"
    return f"{v:,.{digits}f}{unit}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "–"
    return f"{a / b:.2f}×"


def report(results, args, missing):
    d = results["subjects"].get("borl1d", {})
    r = results["subjects"].get("mbpoll", {})
    rows = [
        ("CPU, all threads (schedstat)", "cpu_us", " µs", 0),
        ("syscalls, all threads (strace -f -c)", "syscalls", "", 1),
        ("wake-ups, all threads (context switches)", "wakeups", "", 1),
        ("user instructions (callgrind, long − short)", "instructions", "", 0),
    ]
    print()
    print(f"Per poll cycle; {results['date']}; load average {results['load_start']} at the start, "
          f"{results['load_end']} at the end; {os.cpu_count()} cores")
    print(f"daemon: {results['daemon']}")
    if r:
        print(f"reference: {results['reference']}")
    print()
    print("| per poll cycle | mbpoll | borl1d | borl1d / mbpoll |")
    print("|---|---|---|---|")
    for label, key, unit, digits in rows:
        print(f"| {label} | {fmt(r.get(key), unit, digits)} | {fmt(d.get(key), unit, digits)} | "
              f"{ratio(d.get(key), r.get(key))} |")
    for field in ("VmHWM", "RssAnon"):
        a, b = d.get(field + "_kB"), r.get(field + "_kB")
        print(f"| {field} | {fmt(b and b / 1024, ' MB', 2)} | {fmt(a and a / 1024, ' MB', 2)} | "
              f"{ratio(a, b)} |")
    lat = d.get("latency")
    if lat:
        print(f"| reply's last byte → sample event at the console, p50 / p99 | – | "
              f"{lat['p50_ms']:.2f} / {lat['p99_ms']:.2f} ms | |")
    print()
    for name, s in (("borl1d", d), ("mbpoll", r)):
        if not s:
            continue
        w = s.get("window", {})
        parts = [f"CPU window {w.get('cycles')} cycles in {w.get('seconds')} s"]
        if "strace" in s:
            top = ", ".join(f"{k} {v:.1f}" for k, v in list(s["strace"]["per_call"].items())[:8])
            parts.append(f"strace window {s['strace']['cycles']} cycles ({top})")
        if "callgrind" in s:
            c = s["callgrind"]
            parts.append(f"callgrind {c['short']['cycles']} cycles {c['short']['instructions']:,}"
                         f" / {c['long']['cycles']} cycles {c['long']['instructions']:,}")
        if len(s.get("threads", [])) > 1:
            parts.append("per thread " + ", ".join(
                f"{t['thread']} {t['cpu_us']:.0f} µs {t['wakeups']:.1f} wake-ups"
                for t in s["threads"]))
        if lat and name == "borl1d":
            parts.append(f"latency over {lat['replies']} replies, max {lat['max_ms']:.2f} ms")
        if s.get("VmRSS_kB"):
            parts.append(f"VmRSS {s['VmRSS_kB']} kB")
        print(f"{name}: " + "; ".join(parts))
        for e in s.get("errors", []):
            print(f"{name}: not measured: {e}")
    for m in missing:
        print(f"not measured: {m}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\n", 2)[2])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--seconds", type=int, default=60,
                    help="cycles (about seconds) of the CPU window; the strace window and the "
                         "difference of the callgrind runs are a third of it, at least 10")
    ap.add_argument("--quick", action="store_true", help="the same as --seconds 20")
    ap.add_argument("--no-reference", action="store_true", help="measure the daemon only")
    ap.add_argument("--no-strace", action="store_true", help="leave the syscalls out")
    ap.add_argument("--no-callgrind", action="store_true", help="leave the instructions out")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    ap.add_argument("--capture", action="store_true",
                    help="the daemon with a capture of the exchange running (--capture FILE)")
    ap.add_argument("--file-log", action="store_true",
                    help="the daemon logging to a file, the reply check's \"Frame valid\" line "
                         "(category dornDecode, INFO) every cycle")
    args = ap.parse_args()
    cycles = 20 if args.quick else max(5, args.seconds)
    side = max(10, cycles // 3)
    short = 8

    build = os.path.abspath(args.build)
    for prog in borlrig.PROGRAMS:
        borlrig.binary(build, prog)
    missing = []
    use_strace = not args.no_strace and bool(shutil.which("strace"))
    use_callgrind = not args.no_callgrind and bool(shutil.which("valgrind"))
    if not args.no_strace and not use_strace:
        missing.append("syscalls: Debian package strace is not installed")
    if not args.no_callgrind and not use_callgrind:
        missing.append("instructions: Debian package valgrind is not installed")
    reference = not args.no_reference
    if reference:
        lacks = []
        if not shutil.which("mbpoll"):
            lacks.append("mbpoll")
        if not borlrig.find_binary(build, "modbus_slave"):
            lacks.append("libmodbus-dev (then build the target modbus_slave)")
        if lacks:
            missing.append("the reference peer: Debian package " + " and ".join(lacks) +
                           " missing")
            reference = False
    for m in missing:
        print(f"cycle_cost: {m}", flush=True)

    results = {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "load_start": load(),
               "cycles": cycles, "side_cycles": side, "subjects": {"borl1d": {}}}
    subjects = [DaemonSubject(build, args.capture, args.file_log)]
    if reference:
        subjects.append(ReferenceSubject(build))
        results["subjects"]["mbpoll"] = {}
    workdir = tempfile.mkdtemp(prefix="borl1d-cycle-cost-")
    print(f"cycle_cost: {cycles} cycles of CPU window, {side} of strace window, callgrind runs "
          f"of {short} and {short + side} cycles; load average {results['load_start']}",
          flush=True)
    try:
        try:
            for s in subjects:
                s.start()
            results["daemon"] = subjects[0].describe()
            if reference:
                results["reference"] = subjects[1].describe()
            errors = run_parallel(
                [(s.name, lambda s=s: measure_running(
                    s, cycles, side if use_strace else 0,
                    results["subjects"][s.name], workdir)) for s in subjects])
        finally:
            for s in subjects:
                s.close()
        for name, e in errors.items():
            results["subjects"][name].setdefault("errors", []).append(e)
        print(f"cycle_cost: running figures taken; load average {load()}", flush=True)

        if use_callgrind:
            def daemon_factory():
                return DaemonSubject(build, args.capture, args.file_log)

            def reference_factory():
                return ReferenceSubject(build)

            daemon_factory.tag = "borl1d"
            reference_factory.tag = "mbpoll"
            factories = [("borl1d", daemon_factory)]
            if reference:
                factories.append(("mbpoll", reference_factory))
            errors = run_parallel(
                [(name, lambda f=f, name=name: measure_instructions(
                    f, short, short + side, workdir, results["subjects"][name]))
                 for name, f in factories])
            for name, e in errors.items():
                results["subjects"][name].setdefault("errors", []).append("callgrind: " + e)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    results["load_end"] = load()
    report(results, args, missing)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
