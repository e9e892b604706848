#!/usr/bin/env python3
"""How many hours of polling a capture's ring of files holds.

    bench/capture_size.py [--build DIR] [--seconds N] [--timing T] [--maxsize BYTES] [--files N]

The daemon polls the controller simulator (borl-sim, values drifting as a controller's do) with
a capture running (--capture) for N seconds (default 60) at the production cadence, or at the
daemon's --timing T (pause=0 for short cycles). The script prints the capture's bytes per poll
cycle, each record's timestamp counted with 12 digits (those of a capture 72 hours old), and the
hours that a ring of --files files of --maxsize bytes holds at one cycle a second: the newest
file may have just begun, so the files - 1 older ones count."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tools",
                                "rig"))
import borlrig  # noqa: E402

T_DIGITS = 12  # µs since the start of a capture 72 hours old: 259,200,000,000


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--timing", default="", help="the daemon's --timing, e.g. pause=0")
    p.add_argument("--maxsize", type=int, default=16 << 20)
    p.add_argument("--files", type=int, default=8)
    a = p.parse_args()
    rig = borlrig.Rig(a.build)
    try:
        capture = os.path.join(rig.dir, "size.exchange")
        rig.daemon_args = ["--capture", capture] + (["--timing", a.timing] if a.timing else [])
        rig.start_sim("--seed", "7")
        rig.start_console(keep=False)
        rig.start_daemon()
        time.sleep(a.seconds)
        rig.stop_daemon()
        cycles = size = 0
        with open(capture) as f:
            for line in f:
                fields = line.split(" ", 1)
                if not fields[0].isdigit():
                    continue  # the version line, comments
                size += len(line) - len(fields[0]) + T_DIGITS
                cycles += fields[1].startswith("tx ")
    finally:
        rig.close()
    per_cycle = size / max(cycles, 1)
    hours = (a.files - 1) * a.maxsize / per_cycle / 3600
    print(f"{cycles} cycles, {per_cycle:.0f} bytes a cycle (timestamps of {T_DIGITS} digits); "
          f"{a.files} files of {a.maxsize} bytes hold {hours:.0f} hours at one cycle a second")


if __name__ == "__main__":
    main()
