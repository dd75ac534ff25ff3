#!/usr/bin/env python3
"""Measures network captures on 127.0.0.1: serialtap on tcp:// side by side
with `socat -u TCP:... OPEN:...`, and serialtap's rfc2217:// path against its
raw one. Prints a Markdown table of medians.

A source on 127.0.0.1 accepts one reader, waits until it is set up, sends
the data and closes. A run is timed from the first byte sent to the
reader's end of the stream: socat's exit, or serialtap's report that the
connection is gone. CPU time is the reader's, user and system.

  bench/network.py --serialtap build-release/serialtap [--mib 64] [--repeats 5]
"""

import argparse
import os
import pty
import random
import select
import socket
import statistics
import subprocess
import tempfile
import threading
import time

MIB = 1 << 20
IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253


def payload(mib):
    generator = random.Random(2217)
    block = bytes(generator.randrange(256) for _ in range(MIB))
    return block * mib


def answer_telnet(conn):
    """Agrees to binary mode and Com Port Control and answers every
    command, until the purge has been answered."""
    conn.sendall(bytes([IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44]))
    pending = b""
    while True:
        data = conn.recv(4096)
        if not data:
            return False
        pending += data
        while True:
            start = pending.find(bytes([IAC, SB, 44]))
            end = pending.find(bytes([IAC, SE]), start + 3)
            if start < 0 or end < 0:
                break
            body = pending[start + 3:end]
            pending = pending[end + 2:]
            code, value = body[0], body[1:].replace(b"\xff\xff", b"\xff")
            if code == 1 and value == bytes(4):
                value = (9600).to_bytes(4, "big")
            conn.sendall(bytes([IAC, SB, 44, code + 100]) + value.replace(b"\xff", b"\xff\xff") +
                         bytes([IAC, SE]))
            if code == 12:
                return True


class Source:
    def __init__(self, data, telnet):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.wire = data.replace(b"\xff", b"\xff\xff") if telnet else data
        self.telnet = telnet
        self.started = None
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.listener.accept()
        self.listener.close()
        if self.telnet and not answer_telnet(conn):
            return
        # The reader's setup is done before the data comes (its purge
        # would drop what came first).
        time.sleep(0.3)
        self.started = time.monotonic()
        conn.sendall(self.wire)
        conn.shutdown(socket.SHUT_WR)
        conn.close()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_socat(data, out):
    source = Source(data, False)
    process = subprocess.Popen(["socat", "-u", f"TCP:127.0.0.1:{source.port}",
                                f"OPEN:{out},creat,trunc"])
    _, status, usage = os.wait4(process.pid, 0)
    ended = time.monotonic()
    process.returncode = status
    return ended - source.started, usage.ru_utime + usage.ru_stime


def run_serialtap(exe, data, out, telnet):
    source = Source(data, telnet)
    scheme = "rfc2217" if telnet else "tcp"
    # Standard output on a terminal shows the loss at once.
    master, slave = pty.openpty()
    process = subprocess.Popen([exe, out, "-c", f"{scheme}://127.0.0.1:{source.port}", "-m", "1",
                                "-r", "0"], stdin=subprocess.DEVNULL, stdout=slave)
    os.close(slave)
    shown = b""
    while b"Error for Waiting Comm Event" not in shown:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            raise RuntimeError("serialtap never saw the end of the stream")
        shown += os.read(master, 4096)
    ended = time.monotonic()
    cpu = cpu_seconds(process.pid)
    process.terminate()
    process.wait()
    os.close(master)
    return ended - source.started, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serialtap", required=True)
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    data = payload(args.mib)
    results = {"socat": [], "serialtap tcp://": [], "serialtap rfc2217://": []}
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "capture.bin")
        for _ in range(args.repeats):
            # Alternating, so that a slower moment of the machine hits all alike.
            results["socat"].append(run_socat(data, out))
            results["serialtap tcp://"].append(run_serialtap(args.serialtap, data, out, False))
            with open(out, "rb") as file:
                assert file.read() == data, "the tcp:// capture differs"
            results["serialtap rfc2217://"].append(run_serialtap(args.serialtap, data, out, True))
            with open(out, "rb") as file:
                assert file.read() == data, "the rfc2217:// capture differs"
    print(f"{args.mib} MiB over 127.0.0.1, median of {args.repeats} runs, alternating\n")
    print("| reader | MiB/s | CPU s per MiB | vs socat: throughput | vs socat: CPU |")
    print("|---|---|---|---|---|")
    base_rate = base_cpu = None
    for name, runs in results.items():
        rate = statistics.median(args.mib / seconds for seconds, _ in runs)
        cpu = statistics.median(cpu for _, cpu in runs) / args.mib
        if base_rate is None:
            base_rate, base_cpu = rate, cpu
        print(f"| {name} | {rate:.0f} | {cpu * 1000:.2f} ms | {rate / base_rate:.2f} | "
              f"{cpu / base_cpu:.2f} |")


if __name__ == "__main__":
    main()
