#!/usr/bin/env python3
"""Lines and bytes the daemon logs per day, at the shipped log level, in five states.

    bench/log_budget.py [--build DIR] [--seconds N] [--settle N] [--states a,b,...] [--keep]

Each state runs its own daemon, controller simulator and console (tools/rig/borlrig.py) at the
production cadence, all states at once. The daemon logs as packaging/borl1d.conf ships it (root
INFO, dornDecode NOTICE) to a file with the shipped file appender's layout. After 20 s of
healthy polling the state's fault begins; the lines of its first --settle seconds (the fault's
onset: offline, port lost, the back-off reaching its longest delay) are counted apart, the next
--seconds are scaled to a day. The statistics line comes every 15 minutes, more rarely than a
window: its 96 lines a day are added, with the size of the one the daemon logs at its stop.

States: healthy; unplugged (the simulator stopped: its pty and link go away); vexad-away (the
console stopped); noisy (noise 0.003: a third of the replies invalid, and a stray byte before
every 5th reply); stalled (the
simulator reads nothing: the line takes no bytes; at a short cadence, see STATES). A window
shorter than 300 s misses the vexad connection's summary line (one in 5 minutes). The budget: healthy at most 200 lines a day,
a fault state at most 2,000; the exit status is 1 when a state exceeds it."""

import argparse
import os
import re
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tools",
                                "rig"))
import borlrig  # noqa: E402

SHIPPED_LAYOUT = "%d{%Y-%m-%d %H:%M:%S.%l} %p %c: %m%n"  # packaging/borl1d.conf, file appender
STATS_PER_DAY = 96
WARM_UP = 20.0


def unplug(rig):
    borlrig.stop(rig.sim)
    rig.sim = None


def noisy(rig):
    rig.sim_command("noise 0.003")
    rig.sim_command("stray 5")


# name: (the fault, the budget, the daemon's --timing). The stalled line runs at a short cadence:
# at one frame a second the pty's buffer takes a quarter of an hour to fill before the line
# stalls; its lines come once a period of real time, so the cadence does not raise them.
STATES = {
    "healthy": (lambda rig: None, 200, None),
    "unplugged": (unplug, 2000, None),
    "vexad-away": (lambda rig: rig.stop_console(), 2000, None),
    "noisy": (noisy, 2000, None),
    "stalled": (lambda rig: rig.sim_command("deaf on"), 2000, {"pause": 5, "wait": 10}),
}


def size_and_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    return len(data), data.count(b"\n")


def run_state(build, name, seconds, settle, results, keep):
    fault, budget, timing = STATES[name]
    rig = borlrig.Rig(build, log_level="INFO", categories={"dornDecode": "NOTICE"},
                      timing=timing)
    log = rig.log_file = os.path.join(rig.dir, "borl1d.log")
    try:
        rig.start_sim("--seed", "7")
        rig.sim_out.forget()
        rig.start_console()
        rig.console_out.forget()
        rig.write_site()
        conf = os.path.join(rig.root, "borl1d.conf")
        with open(conf) as f:
            text = f.read()
        text = re.sub(r"(?m)^log4cpp\.appender\.log\.layout\.ConversionPattern = .*$",
                      "log4cpp.appender.log.layout.ConversionPattern = " + SHIPPED_LAYOUT, text)
        with open(conf, "w") as f:
            f.write(text)
        rig.start_daemon(keep_log=False)
        time.sleep(WARM_UP)
        start = size_and_lines(log)
        fault(rig)
        time.sleep(settle)
        onset = size_and_lines(log)
        time.sleep(seconds)
        end = size_and_lines(log)
        window = end[1] - onset[1], end[0] - onset[0]
        rig.stop_daemon()
        with open(log, "rb") as f:
            stats = [l for l in f.read().splitlines() if b"Link statistics:" in l]
        stats_bytes = len(stats[-1]) + 1 if stats else 0
        scale = 86400.0 / seconds
        lines = window[0] * scale + STATS_PER_DAY
        size = window[1] * scale + STATS_PER_DAY * stats_bytes
        results[name] = (lines, size, onset[1] - start[1], budget, window[0])
    except Exception as e:  # noqa: BLE001 - one state's failure is reported in its row
        results[name] = e
    finally:
        rig.close(keep_dir=keep)
        if keep:
            print(f"{name}: {rig.dir}", file=sys.stderr)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    p.add_argument("--seconds", type=float, default=310.0, help="measured window per state")
    p.add_argument("--settle", type=float, default=40.0, help="the fault's onset, counted apart")
    p.add_argument("--states", default=",".join(STATES))
    p.add_argument("--keep", action="store_true", help="keep the scratch directories")
    a = p.parse_args()
    names = [n for n in a.states.split(",") if n]
    for n in names:
        if n not in STATES:
            p.error(f"unknown state {n}; states: {', '.join(STATES)}")
    results = {}
    threads = [threading.Thread(target=run_state,
                                args=(a.build, n, a.seconds, a.settle, results, a.keep))
               for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"{'state':<12} {'lines/day':>10} {'bytes/day':>11} {'onset lines':>11} "
          f"{'budget':>7}  verdict   (window {a.seconds:.0f} s after {a.settle:.0f} s of onset)")
    ok = True
    for n in names:
        r = results.get(n)
        if isinstance(r, Exception) or r is None:
            print(f"{n:<12} failed: {r}")
            ok = False
            continue
        lines, size, onset, budget, _ = r
        verdict = "ok" if lines <= budget else "OVER"
        ok = ok and lines <= budget
        print(f"{n:<12} {lines:>10,.0f} {size:>11,.0f} {onset:>11} {budget:>7,}  {verdict}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
