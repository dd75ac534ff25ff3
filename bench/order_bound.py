#!/usr/bin/env python3
"""How far apart two ports' chunks must arrive to be captured in order.

Captures two pseudo-terminals into one text file (-l) while this script
writes one line to the second port and, a set delay later, one to the
first (the port the capture's wait is on, read first in each round), and
counts the pairs stored the wrong way round.

Usage: bench/order_bound.py [serialtap] [pairs]     (defaults: build/serialtap 200)
"""
import os
import subprocess
import sys
import tempfile
import time
import tty


def port():
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def trial(exe, delay_s, pairs, work):
    (first, first_path), (second, second_path) = port(), port()
    capture = os.path.join(work, "order.txt")
    program = subprocess.Popen([exe, capture, "-c", first_path, "-l", second_path, "-t", "3600"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    for n in range(pairs):
        os.write(second, b"B%d\n" % n)
        end = time.perf_counter() + delay_s
        while time.perf_counter() < end:
            pass
        os.write(first, b"A%d\n" % n)
        time.sleep(0.01)
    time.sleep(0.3)
    program.terminate()
    program.wait()
    os.close(first)
    os.close(second)
    with open(capture, "rb") as file:
        lines = [line.split(b": ", 1)[1] for line in file.read().split(b"\r\n") if b": " in line]
    wrong = sum(1 for n in range(pairs) if lines.index(b"A%d" % n) < lines.index(b"B%d" % n))
    return wrong


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else "build/serialtap"
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    with tempfile.TemporaryDirectory() as work:
        for delay_ms in (0, 1, 2, 5, 10, 20):
            wrong = trial(exe, delay_ms / 1000, pairs, work)
            print(f"second port {delay_ms:>4} ms earlier: {wrong} of {pairs} pairs out of order")


if __name__ == "__main__":
    main()
