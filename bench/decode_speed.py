#!/usr/bin/env python3
"""Measures borl-decode on a large capture: speed, peak memory and the picture.

    bench/decode_speed.py [--build DIR] [--size MB] [--runs N] [--keep DIR] [--steady]

Writes a capture of simulated nights of SIZE megabytes (default 200, bench/capture_night: the
controller's flicker, faults, sets, whole and short records), then decodes it N times (default
3) as text and as JSON, to /dev/null and to a file, and once with --svg of a 24-hour capture;
prints per run the megabytes of capture per second (best of N), the peak resident memory
(VmHWM, from GNU time: apt-get install time), the SVG's size and the time rsvg-convert takes to draw
it. --steady: a line without the controller's flicker, where most records are the short form
of a repeated frame (more records per megabyte). The load average of the machine is printed with the figures."""

import argparse
import os
import shutil
import subprocess
import tempfile
import time


def run(argv, out):
    """Wall seconds and peak RSS (kB: the child's VmHWM, from GNU time, which execs it directly)
    of argv with stdout to `out`."""
    with open(out, "wb") as f:
        t = time.monotonic()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=f,
                           stderr=subprocess.PIPE, text=True)
        seconds = time.monotonic() - t
    if r.returncode != 0:
        raise SystemExit(f"{argv}: exit status {r.returncode}: {r.stderr}")
    return seconds, int(r.stderr.split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--size", type=int, default=200)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--keep", help="directory for the captures (default: a scratch one)")
    ap.add_argument("--steady", action="store_true")
    a = ap.parse_args()
    decode = os.path.join(a.build, "tools", "borl-decode", "borl-decode")
    night = os.path.join(a.build, "bench", "capture_night")
    work = a.keep or tempfile.mkdtemp(prefix="borl-decode-bench.")
    try:
        big = os.path.join(work, "big.exchange")
        subprocess.run([night, "--size", str(a.size), *(["--steady"] if a.steady else []), big],
                       check=True)
        mb = os.path.getsize(big) / 1e6
        print(f"capture {big}: {mb:.0f} MB; load average {os.getloadavg()[0]:.2f}")
        for name, extra in (("text", []), ("json", ["--json"])):
            for out in ("/dev/null", os.path.join(work, "out")):
                runs = [run([decode, *extra, big], out) for _ in range(a.runs)]
                best = min(s for s, _ in runs)
                peak = max(p for _, p in runs)
                where = "a file" if out != "/dev/null" else "/dev/null"
                print(f"  {name:4} to {where:9}: {mb / best:6.0f} MB/s (best of {a.runs}, "
                      f"{best:.2f} s), peak RSS {peak / 1024:.1f} MB")
        day = os.path.join(work, "day.exchange")
        subprocess.run([night, "--hours", "24", day], check=True)
        svg = os.path.join(work, "day.svg")
        s, peak = run([decode, "--svg", svg, day], "/dev/null")
        line = f"  --svg of 24 hours ({os.path.getsize(day) / 1e6:.1f} MB): {s:.2f} s, " \
               f"peak RSS {peak / 1024:.1f} MB, SVG {os.path.getsize(svg) / 1e3:.0f} kB"
        if shutil.which("rsvg-convert"):
            t = time.monotonic()
            subprocess.run(["rsvg-convert", "-o", os.path.join(work, "day.png"), svg], check=True)
            line += f", rsvg-convert {time.monotonic() - t:.2f} s"
        print(line)
        s, peak = run([decode, "--json", "--svg", os.path.join(work, "big.svg"), big], "/dev/null")
        print(f"  --json --svg of {mb:.0f} MB: {mb / s:.0f} MB/s, peak RSS {peak / 1024:.1f} MB, "
              f"SVG {os.path.getsize(os.path.join(work, 'big.svg')) / 1e3:.0f} kB")
    finally:
        if not a.keep:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
