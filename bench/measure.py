#!/usr/bin/env python3
"""Measures the daemon end to end against the controller simulator and the console peer.

    bench/measure.py [--build DIR] [--replies N] [--cpu-seconds S] [--startup-runs N] [WHAT...]

WHAT is any of: latency cpu gone rss startup (default: all of them).

  latency  time from the last byte of a reply written by the simulator (borl-sim --stamp) to the
           first sample event read from the console's output, over N replies (default 200):
           median, 99th percentile, maximum
  cpu      CPU share of the daemon (all threads) while it polls the simulator, over S seconds
           (default 60), from /proc/<pid>/stat utime+stime and, to the nanosecond, schedstat
  gone     the same with the serial port gone (simulator ended, its link removed)
  rss      the daemon's peak resident memory (VmHWM) and its VmRSS at the end
  startup  time from starting the daemon to the simulator's receipt of its first poll frame,
           median and maximum over N starts (default 10)

The daemon logs at INFO, as in production. The load average of the machine is printed with the
figures: on a shared machine, compare CPU-time figures rather than wall-clock ones."""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tools",
                                "rig"))
import borlrig  # noqa: E402


def percentile(values, p):
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(round(p / 100.0 * len(s) + 0.5)) - 1))
    return s[k]


def is_sample(line):
    return '"msgType":3' in line and '"objType":9' in line


def measure_cpu(pid, seconds):
    c0, r0, t0 = borlrig.cpu_seconds(pid), borlrig.run_seconds(pid), time.monotonic()
    time.sleep(seconds)
    c1, r1, t1 = borlrig.cpu_seconds(pid), borlrig.run_seconds(pid), time.monotonic()
    wall = t1 - t0
    return {"wall_s": wall, "cpu_s": c1 - c0, "share_pct": 100.0 * (c1 - c0) / wall,
            "sched_share_pct": 100.0 * (r1 - r0) / wall}


def latencies(rig, start_sim, start_console):
    """Pairs every reply stamp with the first sample event read after it (and before the next
    reply's stamp)."""
    stamps = [float(line.split("t=")[1]) for _, line in rig.sim_out.snapshot()[start_sim:]
              if line.startswith("tx sent t=")]
    arrivals = [t for t, line in rig.console_out.snapshot()[start_console:] if is_sample(line)]
    out = []
    j = 0
    for i, s in enumerate(stamps):
        nxt = stamps[i + 1] if i + 1 < len(stamps) else float("inf")
        while j < len(arrivals) and arrivals[j] <= s:
            j += 1
        if j < len(arrivals) and arrivals[j] < nxt:
            out.append(arrivals[j] - s)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--replies", type=int, default=200)
    ap.add_argument("--cpu-seconds", type=float, default=60.0)
    ap.add_argument("--startup-runs", type=int, default=10)
    ap.add_argument("what", nargs="*", default=["latency", "cpu", "gone", "rss", "startup"])
    args = ap.parse_args()
    what = set(args.what)
    unknown = what - {"latency", "cpu", "gone", "rss", "startup"}
    if unknown:
        ap.error("unknown: " + " ".join(sorted(unknown)))

    print(f"load average at start: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} "
          f"{os.getloadavg()[2]:.2f}; {os.cpu_count()} cores")
    results = {}
    rig = borlrig.Rig(args.build)
    try:
        rig.start_sim("--stamp", "--seed", "7")
        rig.start_console()
        if what & {"latency", "cpu", "gone", "rss"}:
            daemon = rig.start_daemon()
            if rig.console_out.wait_for('"objType":9', 30) < 0:
                raise SystemExit("no sample event from the daemon")
            sim0, con0 = rig.sim_out.size(), rig.console_out.size()
            if "cpu" in what:
                results["cpu"] = measure_cpu(daemon.pid, args.cpu_seconds)
            if "latency" in what:
                deadline = time.monotonic() + args.replies * 3 + 30
                while time.monotonic() < deadline:
                    if len(latencies(rig, sim0, con0)) >= args.replies:
                        break
                    time.sleep(1)
                lat = latencies(rig, sim0, con0)
                results["latency"] = {
                    "replies": len(lat), "median_ms": 1e3 * statistics.median(lat),
                    "p99_ms": 1e3 * percentile(lat, 99), "max_ms": 1e3 * max(lat),
                    "min_ms": 1e3 * min(lat)}
            if "gone" in what:
                mark = rig.daemon_err.size()
                rig.sim_command("quit")
                rig.sim.wait(10)
                if rig.daemon_err.wait_for("lost", 15, mark) < 0:
                    raise SystemExit("the daemon did not notice the port going away")
                time.sleep(2)
                results["gone"] = measure_cpu(daemon.pid, args.cpu_seconds)
            if "rss" in what:
                results["rss"] = {"VmHWM_kB": borlrig.status_kb(daemon.pid, "VmHWM"),
                                  "VmRSS_kB": borlrig.status_kb(daemon.pid, "VmRSS")}
            rig.stop_daemon()
        if "startup" in what:
            if rig.sim is None or rig.sim.poll() is not None:
                rig.start_sim("--stamp", "--seed", "7")
            times = []
            for _ in range(args.startup_runs):
                mark = rig.sim_out.size()
                t0 = borlrig.monotonic()
                rig.start_daemon()
                i = rig.sim_out.wait_for("rx poll", 15, mark)
                if i < 0:
                    raise SystemExit("no poll frame from the daemon")
                times.append(rig.sim_out.snapshot()[i][0] - t0)
                rig.stop_daemon()
                time.sleep(0.5)
            results["startup"] = {"runs": len(times), "median_ms": 1e3 * statistics.median(times),
                                  "max_ms": 1e3 * max(times), "min_ms": 1e3 * min(times)}
    finally:
        rig.close()

    if "latency" in results:
        r = results["latency"]
        print(f"latency reply -> sample event over {r['replies']} replies: median "
              f"{r['median_ms']:.3f} ms, 99th percentile {r['p99_ms']:.3f} ms, "
              f"min {r['min_ms']:.3f} ms, max {r['max_ms']:.3f} ms")
    for key, label in (("cpu", "CPU share while polling"), ("gone", "CPU share, port gone")):
        if key in results:
            r = results[key]
            print(f"{label}: {r['share_pct']:.3f} % ({r['cpu_s']:.2f} s CPU in {r['wall_s']:.1f} s;"
                  f" schedstat {r['sched_share_pct']:.3f} %)")
    if "rss" in results:
        r = results["rss"]
        print(f"peak resident memory: VmHWM {r['VmHWM_kB']} kB (VmRSS {r['VmRSS_kB']} kB)")
    if "startup" in results:
        r = results["startup"]
        print(f"start-up to the first poll frame over {r['runs']} starts: median "
              f"{r['median_ms']:.1f} ms, min {r['min_ms']:.1f} ms, max {r['max_ms']:.1f} ms")
    print(f"load average at end: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} "
          f"{os.getloadavg()[2]:.2f}")


if __name__ == "__main__":
    main()
