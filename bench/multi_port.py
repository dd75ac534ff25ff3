#!/usr/bin/env python3
"""Eight ports flooded at once: one serialtap hex capture of all eight
(-l) against eight cats side by side, one per port, alternating runs.

Each port is a pseudo-terminal whose master this script floods with random
bytes; a run ends when every byte has been read from every port. Prints
each run's total throughput and the medians; checks once that the streams
recovered from the hex capture (tools/hex-streams.py) are the bytes sent.

A third reader, bench/one_loop_copy.c (built here with cc), reads all eight
in one poll loop and writes as many bytes as the hex capture did, with no
formatting: what any one-process capture of that size costs this machine.

Usage: bench/multi_port.py [serialtap] [MiB per port] [runs]   (build/serialtap 2 5)
"""
import fcntl
import os
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

PORTS = 8
HEX_BYTES = [0]  # the size of the last hex capture, which the copy matches
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def queued(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, struct.pack("i", 0)))[0]


def flood(masters, slaves, payloads):
    """Writes every payload to its master, each from a process of its own,
    as eight devices would send; returns when all have been read."""
    writers = []
    for master, payload in zip(masters, payloads):
        pid = os.fork()
        if pid == 0:
            os.nice(19)
            os.set_blocking(master, True)
            view = memoryview(payload)
            while view:
                view = view[os.write(master, view[:65536]):]
            os._exit(0)
        writers.append(pid)
    for pid in writers:
        os.waitpid(pid, 0)
    while any(queued(s) > 0 for s in slaves):
        time.sleep(0.001)


def run(kind, exe, payloads, work, check=False):
    ports = [os.openpty() for _ in range(PORTS)]
    masters = [m for m, _ in ports]
    slaves = [s for _, s in ports]
    for master, slave in ports:
        tty.setraw(slave)
        os.set_blocking(master, False)
    paths = [os.ttyname(s) for s in slaves]
    if kind == "serialtap":
        argv = [exe, os.path.join(work, "all.hex"), "-c", paths[0], "-m", "2"]
        for path in paths[1:]:
            argv += ["-l", path]
        programs = [subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)]
    elif kind == "copy":
        times = HEX_BYTES[0] / sum(len(p) for p in payloads)
        argv = [os.path.join(work, "one_loop_copy"), os.path.join(work, "copy"), str(times)]
        programs = [subprocess.Popen(argv + paths, stdin=subprocess.DEVNULL)]
    else:
        programs = [subprocess.Popen(["cat", path], stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(work, f"cat{i}"), "wb"))
                    for i, path in enumerate(paths)]
    # No run pays for the write-back of the one before: its files are gone
    # and what else the system holds is written now, before the clock runs.
    os.sync()
    time.sleep(0.5)
    start = time.monotonic()
    flood(masters, slaves, payloads)
    elapsed = time.monotonic() - start
    for program in programs:
        program.send_signal(signal.SIGTERM)
        program.wait()
    for fd in masters + slaves:
        os.close(fd)
    if check:
        out = os.path.join(work, "streams")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "hex-streams.py"),
                        os.path.join(work, "all.hex"), out], check=True, stdout=subprocess.DEVNULL)
        for path, payload in zip(paths, payloads):
            with open(os.path.join(out, path[5:].replace("/", "_") + ".bin"), "rb") as file:
                assert file.read() == payload, f"{path}: the recovered stream differs"
    if kind == "serialtap":
        HEX_BYTES[0] = os.path.getsize(os.path.join(work, "all.hex"))
    for name in os.listdir(work):
        if name != "one_loop_copy" and os.path.isfile(os.path.join(work, name)):
            os.remove(os.path.join(work, name))
    return sum(len(p) for p in payloads) / elapsed / 2**20


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else "build/serialtap"
    mib = float(sys.argv[2]) if len(sys.argv) > 2 else 2
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    payloads = [os.urandom(int(mib * 2**20)) for _ in range(PORTS)]
    rates = {"serialtap": [], "cat": [], "copy": []}
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["cc", "-O2", "-o", os.path.join(work, "one_loop_copy"),
                        os.path.join(ROOT, "bench", "one_loop_copy.c")], check=True)
        for n in range(runs):
            for kind in ("serialtap", "cat", "copy"):
                rate = run(kind, exe, payloads, work, check=(n == 0 and kind == "serialtap"))
                rates[kind].append(rate)
                print(f"run {n + 1} {kind:9} {rate:7.1f} MiB/s total", flush=True)
    ours, theirs = statistics.median(rates["serialtap"]), statistics.median(rates["cat"])
    least = statistics.median(rates["copy"])
    print(f"median: serialtap {ours:.1f} MiB/s, 8 cats {theirs:.1f} MiB/s, "
          f"one-loop copy {least:.1f} MiB/s; serialtap/cats {ours / theirs:.2f}, "
          f"copy/cats {least / theirs:.2f}, serialtap/copy {ours / least:.2f}")


if __name__ == "__main__":
    main()
