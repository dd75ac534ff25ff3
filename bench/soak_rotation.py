#!/usr/bin/env python3
"""Soak: a long flood through a pseudo-terminal into a capture rotated by
size, with the process's resident memory sampled once a second. Checks that
the memory stays flat (within 1 MiB of its value after the first minute, or
after the first tenth of a shorter run) and that the kept parts and the live
file are exactly the tail of what was sent.

usage: soak_rotation.py [--exe build/serialtap] [--bytes 8589934592]
                        [--kib 65536] [--keep 4] [--work DIR]
"""
import argparse
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

CHUNK = 1 << 20


def chunk(base, number):
    """Chunk number of the stream: a fixed random block that carries its
    own number, so a part out of place or lost shows."""
    data = bytearray(base)
    for at in range(0, CHUNK, 4096):
        struct.pack_into("<QI", data, at, number, at)
    return data


def stream_bytes(base, start, end):
    out = bytearray()
    number = start // CHUNK
    while number * CHUNK < end:
        data = chunk(base, number)
        lo, hi = max(start - number * CHUNK, 0), min(end - number * CHUNK, CHUNK)
        out += data[lo:hi]
        number += 1
    return bytes(out)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for text in status:
            if text.startswith("VmRSS:"):
                return int(text.split()[1])
    return 0


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        for text in io:
            if text.startswith("rchar:"):
                return int(text.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="build/serialtap")
    parser.add_argument("--bytes", type=int, default=8 << 30)
    parser.add_argument("--kib", type=int, default=65536)
    parser.add_argument("--keep", type=int, default=4)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    total = args.bytes // CHUNK * CHUNK
    work = tempfile.mkdtemp(prefix="soak.", dir=args.work or "/var/tmp")
    live = os.path.join(work, "soak.bin")
    master, slave = os.openpty()
    tty.setraw(slave)
    port = os.ttyname(slave)
    program = subprocess.Popen(
        [os.path.abspath(args.exe), live, "-c", port, "-m", "1", "-z", str(args.kib),
         "-k", str(args.keep)], stdin=subprocess.DEVNULL, start_new_session=True)
    os.close(slave)
    time.sleep(1)
    base = os.urandom(CHUNK)
    samples = []
    started = time.monotonic()
    done = threading.Event()

    def sample():
        while not done.wait(1.0):
            samples.append((time.monotonic() - started, rss_kib(program.pid)))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    for number in range(total // CHUNK):
        view = memoryview(chunk(base, number))
        while view:
            view = view[os.write(master, view):]
    deadline = time.monotonic() + 60
    while bytes_read(program.pid) < total and time.monotonic() < deadline:
        time.sleep(0.05)
    seconds = time.monotonic() - started
    done.set()
    sampler.join()
    program.send_signal(signal.SIGTERM)
    status = program.wait(60)
    os.close(master)

    parts = sorted(name for name in os.listdir(work) if name.startswith("soak.bin."))
    kept = b""
    for name in parts + ["soak.bin"]:
        with open(os.path.join(work, name), "rb") as part:
            kept += part.read()
    tail_ok = kept == stream_bytes(base, total - len(kept), total)
    expected_kept = min(total, args.keep * args.kib * 1024 + total % (args.kib * 1024))
    settle = 60.0 if seconds > 120 else seconds / 10
    after = [kib for at, kib in samples if at >= settle] or [samples[-1][1]]
    baseline = after[0]
    drift = max(abs(kib - baseline) for kib in after)
    print(f"sent {total} bytes in {seconds:.1f} s ({total / seconds / (1 << 20):.1f} MiB/s), "
          f"exit status {status}")
    print(f"RSS: {len(samples)} samples, {min(k for _, k in samples)}..{max(k for _, k in samples)}"
          f" KiB; after {settle:.0f} s from {baseline} KiB, largest change {drift} KiB")
    print(f"parts kept: {len(parts)}, {len(kept)} bytes kept ({expected_kept} expected), "
          f"exactly the tail of what was sent: {tail_ok}")
    good = status == 0 and tail_ok and len(kept) == expected_kept and drift <= 1024
    for name in os.listdir(work):
        os.unlink(os.path.join(work, name))
    os.rmdir(work)
    print("soak: " + ("ok" if good else "FAILED"))
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
