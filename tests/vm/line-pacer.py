#!/usr/bin/env python3
"""A serial line at its baud rate between a QEMU 16550 and borl-sim (scripts/vm-test).

QEMU's 16550 hands the guest whatever its host end delivers, as fast as the guest's driver
empties the receive FIFO; a pty delivers a reply's 128 bytes at once. A real line at 9600 baud
8N1 delivers one byte every 1.04 ms. This relay sits between the two: it makes a pty for QEMU
(a symbolic link LINK names its slave), opens the simulator's pty at SIM, and passes the bytes
both ways no faster than 10 bits per byte at BAUD, so that the guest's UART receives a reply
over 133 ms as on the unit, and its FIFO interrupts at its trigger level or after its timeout.

    line-pacer.py --baud 9600 --link build-vm/uart1 --sim build-vm/ttyS1
"""
import argparse
import os
import select
import signal
import sys
import time
import tty


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--baud", type=int, default=9600)
    ap.add_argument("--link", required=True, help="symbolic link to the pty QEMU opens")
    ap.add_argument("--sim", required=True, help="the simulator's pty (its --link)")
    args = ap.parse_args()
    byte_time = 10.0 / args.baud  # start bit, 8 data bits, stop bit

    master, slave = os.openpty()
    tty.setraw(slave)
    tmp = args.link + ".tmp"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(os.ttyname(slave), tmp)
    os.rename(tmp, args.link)
    sim = os.open(os.path.realpath(args.sim), os.O_RDWR | os.O_NOCTTY)
    tty.setraw(sim)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"pty: {os.ttyname(slave)}", flush=True)

    # Per direction: bytes waiting, and when the line is free for the next one. A byte's time
    # on the line follows from when it arrived and from the bytes before it, not from when this
    # loop gets to run: a late wake-up on a busy machine passes the bytes whose time has come at
    # once, as the line would have delivered them by then, instead of stretching the line.
    queues = {master: bytearray(), sim: bytearray()}  # keyed by the descriptor written to
    free_at = {master: 0.0, sim: 0.0}
    source = {master: sim, sim: master}
    while True:
        now = time.monotonic()
        timeout = None
        for out, q in queues.items():
            if not q:
                continue
            if free_at[out] <= now:
                # Bytes whose time has come: those that the line could have carried since it
                # became free, at least one.
                n = max(1, min(len(q), int((now - free_at[out]) / byte_time) + 1))
                written = os.write(out, bytes(q[:n]))
                del q[:written]
                free_at[out] += written * byte_time
            wait = free_at[out] - now
            timeout = wait if timeout is None else min(timeout, wait)
        readable, _, _ = select.select([master, sim], [], [],
                                       None if timeout is None else max(0.0, timeout))
        for fd in readable:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            if not data:
                continue
            out = source[fd]
            if not queues[out] and free_at[out] < time.monotonic():
                free_at[out] = time.monotonic()  # an idle line: the first byte starts now
            queues[out] += data


if __name__ == "__main__":
    main()
