"""The daemon's main job end to end, without root and without touching /etc: the controller
simulator on a pty, the console peer playing vexad, and borl1d between them, with a live view
of what the daemon publishes. Partway through, "Fan Pull-in" is set to 27 deg C and followed
until the controller confirms it.

  scripts/demo                 about 30 s, then stops everything it started
  scripts/demo --forever       until Ctrl-C
  scripts/demo --seconds N     N seconds
  scripts/demo --quick         the daemon on short timings (polls 5 times a second), the change
                               after 1 s, and the end as soon as everything was shown (at the
                               latest after --seconds)
  scripts/demo --plain         plain lines even on a terminal
  scripts/demo --debug         the daemon logs at debug level (every frame) instead of info
  scripts/demo --no-build      use the binaries already built in the build directory
  scripts/demo --build-dir D   build into / take binaries from D (default build/)
  scripts/demo --run-dir D     configuration root, logs and outputs in D (default <build>/demo)

The daemon captures the serial exchange of the run (borl1d.exchange in the run directory); at
the end the demo draws it (borl1d-capture.svg) and prints the commands that decode and replay it.

Exit status: 0 when values flowed and the set-point change was confirmed, 1 when the run was
incomplete, 2 for a usage error, 3 when a process stopped early, 130 when interrupted during
the build or the start-up."""

import argparse
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "rig"))
import borlrig  # noqa: E402
import liveview  # noqa: E402

# --quick: the daemon's start delay and pause between polls (ms), and the view's schedule.
QUICK_TIMING = {"start": 100, "pause": 200}
QUICK_VIEW = ["--set-at", "1", "--every", "1", "--retry", "0.5", "--until-done"]
# What an earlier run left in the run directory (which may be one the user named: nothing else
# in it is removed).
RUN_FILES = ("borl1d.log", "borl1d.out", "borl1d.err", "borl-sim.out", "borl-sim.err",
             "console.jsonl", "console.err", "console.in", "ttyCTRL", "borl1d.exchange",
             "borl1d.exchange.1", "borl1d-capture.svg")
# The tools that read the run's capture afterwards (the demo runs without them).
TOOLS = ("borl-decode",)


def say(text):
    print(f"demo: {text}", flush=True)


class Failed(Exception):
    """The demo cannot go on; the text says why."""


class Interrupted(Exception):
    pass


def interrupted(_signum, _frame):
    raise Interrupted()


class Parser(argparse.ArgumentParser):
    def error(self, message):
        print(f"demo: {message}\nTry 'scripts/demo --help'.", file=sys.stderr)
        sys.exit(2)


def seconds(text):
    if not text.isdigit() or not 1 <= int(text) <= 86400:
        raise argparse.ArgumentTypeError(f'takes a whole number of seconds 1..86400, not "{text}"')
    return int(text)


def parse_args(argv):
    ap = Parser(prog="demo", add_help=False, allow_abbrev=False)
    ap.add_argument("--seconds", type=seconds, default=30)
    ap.add_argument("--forever", action="store_const", dest="seconds", const=0)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--plain", action="store_true")
    ap.add_argument("--debug", action="store_true")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--build-dir", default=os.path.join(borlrig.SOURCE, "build"))
    ap.add_argument("--run-dir")
    ap.add_argument("-h", "--help", action="store_true")
    args = ap.parse_args(argv)
    if args.help:
        try:
            print("Usage: scripts/demo [--seconds N | --forever] [--quick] [--plain] [--debug] "
                  "[--no-build]\n                   [--build-dir D] [--run-dir D]\n")
            print(__doc__)
        except BrokenPipeError:  # the reader took what it wanted, as `| head` does
            pass
        sys.exit(0)
    return args


def build(build_dir):
    subprocess.run([os.path.join(borlrig.SOURCE, "scripts", "bootstrap")], check=True)
    targets = borlrig.PROGRAMS + TOOLS
    say(f"building {', '.join(targets[:-1])} and {targets[-1]} in {build_dir}")
    borlrig.build(build_dir, jobs=os.cpu_count() or 1, targets=targets)


def prepare_run_dir(args):
    build_dir = os.path.abspath(args.build_dir)
    if not os.path.isdir(build_dir):
        raise Failed(f"no build directory {args.build_dir}")
    for prog in borlrig.PROGRAMS + TOOLS:
        if borlrig.find_binary(build_dir, prog) is None:
            raise Failed(f"{prog} is not built in {build_dir} "
                         "(run scripts/demo without --no-build)")
    run_dir = os.path.abspath(args.run_dir or os.path.join(build_dir, "demo"))
    os.makedirs(run_dir, exist_ok=True)
    shutil.rmtree(os.path.join(run_dir, "etc", "vexa"), ignore_errors=True)
    for name in RUN_FILES:
        try:
            os.remove(os.path.join(run_dir, name))
        except FileNotFoundError:
            pass
    return build_dir, run_dir


def start(rig, fifo):
    """The simulator, the console reading its commands from `fifo`, then the daemon."""
    # The run-hour counters advance every third reply so that they visibly move during the demo.
    rig.start_sim("--hours-every", "3")
    rig.sim_out.forget()
    # The console reads its commands from a fifo that the demo holds open for writing too, so it
    # never sees the end of its input while the live view writes, stops or starts.
    reader = os.open(fifo, os.O_RDONLY)
    try:
        rig.start_console(keep=False, stdin=reader)
    finally:
        os.close(reader)
    say(f"vexad console on 127.0.0.1:{rig.port}, controller on {rig.link}")
    rig.start_daemon()
    rig.daemon_out.forget()
    # The view's first requests are to reach the daemon: wait until it has connected to the
    # console (a daemon that fails at start-up is left to the view to report).
    deadline = borlrig.monotonic() + 10
    while rig.daemon.poll() is None and borlrig.monotonic() < deadline:
        if rig.console_err.wait_for("connected from", 0.1) >= 0:
            break


def view(args, rig):
    def path(name):
        return os.path.join(rig.dir, name)

    view_args = ["--messages", path("console.jsonl"), "--commands", path("console.in"),
                 "--daemon-out", path("borl1d.out"), "--sim-out", path("borl-sim.out"),
                 "--setpoints", str(borlrig.count(rig.build, "setpoint")),
                 "--inputs", str(borlrig.count(rig.build, "input")),
                 "--seconds", str(args.seconds)]
    if args.plain:
        view_args.append("--plain")
    if args.quick:
        view_args += QUICK_VIEW
    for name, proc in rig.processes():
        view_args += ["--watch", f"{name}={proc.pid}"]
    return liveview.main(view_args)


def report_stopped(rig):
    """A process that stopped by itself, with its status, before the cleanup stops the rest."""
    for name, proc in rig.processes():
        status = proc.poll()
        if status is None:
            continue
        status = status if status >= 0 else 128 - status
        note = " (a configuration problem)" if name == "borl1d" and status == 255 else ""
        say(f"{name} stopped by itself with status {status}{note}")
        if name == "borl1d":
            rig.daemon_err.join(1.0)
            for _, line in rig.daemon_err.snapshot()[-5:]:
                say(f"borl1d: {line}")


def show_capture(build_dir, run_dir):
    """Draws the run's capture and says how to read it and replay it."""
    capture = os.path.join(run_dir, "borl1d.exchange")
    if not os.path.exists(capture):
        return
    decode = borlrig.find_binary(build_dir, "borl-decode")
    if decode is None:
        say(f"capture of the serial exchange: {capture} (borl-decode is not built)")
        return
    picture = os.path.join(run_dir, "borl1d-capture.svg")
    try:  # through the emulator for a cross build's binaries, as the rig starts the others
        drawn = subprocess.run(borlrig.emulated([decode, "--svg", picture, capture]),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        problem = drawn.stderr.strip() if drawn.returncode != 0 else None
    except OSError as e:
        problem = str(e)
    if problem:
        say(f"the capture could not be drawn: {problem}")
    say(f"capture of the serial exchange: {capture}" +
        (f"; its picture: {picture}" if not problem else ""))
    say(f"  decode it:  {decode} {capture} | less")
    replay = borlrig.find_binary(build_dir, "borl-replay")
    if replay is not None:
        daemon = borlrig.find_binary(build_dir, "borl1d")
        say(f"  replay it:  {replay} --speed 10 --daemon {daemon} {capture}")


def main(argv):
    args = parse_args(argv)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupted)
    rig = None
    held = None
    run_dir = None
    status = 1
    try:
        if not args.no_build:
            build(args.build_dir)
        build_dir, run_dir = prepare_run_dir(args)
        fifo = os.path.join(run_dir, "console.in")
        os.mkfifo(fifo)
        held = os.open(fifo, os.O_RDWR)
        rig = borlrig.Rig(build_dir, workdir=run_dir, log_level="DEBUG" if args.debug else "INFO",
                          log_file=os.path.join(run_dir, "borl1d.log"),
                          timing=QUICK_TIMING if args.quick else None, copy_outputs=True,
                          sessions=True,
                          started=lambda name, pid: say(f"started {name} (pid {pid})"),
                          note=lambda text: print(f"demo: {text}", file=sys.stderr, flush=True))
        rig.daemon_args = ["--capture", os.path.join(run_dir, "borl1d.exchange")]
        start(rig, fifo)
        # From here a signal ends the view, which prints the final state and its verdict.
        status = view(args, rig)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        report_stopped(rig)
    except (KeyboardInterrupt, Interrupted):
        print("demo: interrupted", file=sys.stderr, flush=True)
        status = 130
    except (Failed, RuntimeError, subprocess.CalledProcessError) as e:
        print(f"demo: {e}", file=sys.stderr, flush=True)
        status = 1
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        if rig is not None:
            rig.close(grace=5.0)
        if held is not None:
            os.close(held)
            os.remove(os.path.join(run_dir, "console.in"))
        if run_dir is not None:
            files = {f: os.path.join(run_dir, f) for f in RUN_FILES}
            if os.path.exists(files["borl1d.log"]):
                say(f"daemon log: {files['borl1d.log']}")
                say(f"daemon standard output: {files['borl1d.out']}; console messages: "
                    f"{files['console.jsonl']}; simulator: {files['borl-sim.out']}")
            elif os.path.exists(files["borl1d.err"]):
                say(f"the daemon wrote no log; its standard error: {files['borl1d.err']}")
            show_capture(os.path.abspath(args.build_dir), run_dir)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
