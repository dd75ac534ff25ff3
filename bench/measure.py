#!/usr/bin/env python3
"""Measures serialtap on pseudo-terminals, side by side with cat and the
terminal programs people log a port with, and prints a Markdown report.

Every reader gets a fresh pseudo-terminal whose slave side is the port. This
script holds the master (the device side) and writes the data; it also keeps
the slave open, which lets it see how many bytes still wait at the port.
Programs that take keys run with a pseudo-terminal of their own as their
controlling terminal, so the script can type their quit keys.
"""

import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from bench_report import report, summary
from pty_processes import Process, spawn
from pty_terminals import WRITE_CHUNK, Console, Port

MIB = 1 << 20


# ------------------------------------------------------------------ readers


class Reader:
    """How to start one program on a port, stop it, and what its file holds."""

    def __init__(self, name, argv, console, quit_keys, stores):
        self.name = name
        self.argv = argv  # with {port} and {out} to fill in
        self.console = console
        self.quit_keys = quit_keys  # None: ends by SIGTERM
        # "raw", "text", "hex", "stamped text" or "events text" (text between
        # a first and a last event line): what its file holds
        self.stores = stores

    def start(self, port, out_path):
        argv = [a.format(port=port.path, out=out_path) for a in self.argv]
        console = Console() if self.console else None
        pid = spawn(argv, console=console, stdout_path=None if console else out_path)
        return Process(pid), console

    def stop(self, process, console):
        if self.quit_keys is None:
            os.kill(process.pid, signal.SIGTERM)
        else:
            console.type(self.quit_keys)


def make_readers(serialtap):
    serialtap_run = [serialtap, "{out}", "-c", "{port}"]
    readers = [
        Reader("cat", ["cat", "{port}"], False, None, "raw"),
        Reader("serialtap", serialtap_run, True, b"q", "text"),
        # The capture formats, side by side with cat in the same rounds.
        Reader("serialtap -m 1", serialtap_run + ["-m", "1"], True, b"q", "raw"),
        Reader("serialtap -m 2", serialtap_run + ["-m", "2"], True, b"q", "hex"),
        Reader("serialtap -d 1", serialtap_run + ["-d", "1"], True, b"q", "stamped text"),
        Reader("serialtap -d 3", serialtap_run + ["-d", "3"], True, b"q", "stamped text"),
        # Line events on a line without any: what watching the line costs.
        Reader("serialtap -u 1", serialtap_run + ["-u", "1"], True, b"q", "events text"),
    ]
    if shutil.which("tio"):
        readers.append(
            Reader("tio --log", ["tio", "--mute", "--log", "--log-file", "{out}", "{port}"], True,
                   b"\x14q", "raw"))
    if shutil.which("picocom"):
        readers.append(
            Reader("picocom --logfile", ["picocom", "--quiet", "--logfile", "{out}", "{port}"],
                   True, b"\x01\x18", "raw"))
    return readers


# ---------------------------------------------------------------------- data


def random_data(size):
    return os.urandom(size)


def text_lines(size):
    """Lines as the virtual device sends them: a six-digit number, a space,
    73 printable characters, CR LF."""
    lines = []
    total = 0
    number = 0
    printable = bytes(range(0x21, 0x7F))
    while total < size:
        shift = number % len(printable)
        body = (printable[shift:] + printable[:shift])[:73]
        line = b"%06d " % (number % 1000000) + body + b"\r\n"
        lines.append(line)
        total += len(line)
        number += 1
    return b"".join(lines)[:size]


def hex_dump(data):
    """serialtap -m 2: offset, 16 bytes in hex, their printable form, CR LF."""
    printable = bytes(b if 0x20 <= b < 0x7F else 0x2E for b in range(256))
    lines = []
    for offset in range(0, len(data), 16):
        chunk = data[offset:offset + 16]
        hex_column = (chunk.hex(" ").upper() + " ").ljust(48).encode()
        lines.append(b"%08X  %s |%s|\r\n" % (offset, hex_column, chunk.translate(printable)))
    return b"".join(lines)


# A stamp of -d 1 or -d 3 at the start of a line.
STAMP = re.compile(rb"(^|\n)\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}| *\d+\.\d{6})\] ")


def expected_capture(stores, data, expanded):
    texts = {"raw": data, "text": expanded, "stamped text": expanded, "events text": expanded}
    return texts.get(stores) or hex_dump(data)


EVENT_LINE = re.compile(rb"--- serialtap: capture (began|ended) [^\n]*\n")


def compare(path, expected, stores="raw"):
    try:
        with open(path, "rb") as f:
            got = f.read()
    except FileNotFoundError:
        return "no file"
    if stores == "events text":
        got, events = EVENT_LINE.subn(b"", got)
        if events != 2:
            return f"{events} first and last lines, not 2"
        # A last line the device left open is ended before the last event.
        if got == expected + b"\r\n" and not expected.endswith(b"\n"):
            got = expected
    if stores == "stamped text":
        # Checked for a stamp at every line start by taking them off.
        lines = got.count(b"\n") + (0 if got.endswith(b"\n") or not got else 1)
        got, stamps = STAMP.subn(rb"\1", got)
        if stamps != lines:
            return f"{stamps} stamps for {lines} lines"
    if got == expected:
        return "identical"
    if len(got) < len(expected) and expected.startswith(got):
        return f"the last {len(expected) - len(got)} bytes missing"
    for index, (a, b) in enumerate(zip(got, expected)):
        if a != b:
            return f"differs at byte {index} ({len(got)} of {len(expected)} bytes)"
    return f"{len(got)} of {len(expected)} bytes"


# ------------------------------------------------------------- measurements


def release(process, console, port, out_path=None):
    """Ends a run's program and frees its terminals and capture file."""
    process.close()
    if console:
        console.close()
    port.close()
    if out_path and os.path.exists(out_path):
        os.unlink(out_path)


def throughput_run(reader, data, expected, workdir, attach=None):
    """One pass of the data through a reader. `attach` is a command run
    against the reader's pid while the data flows (a profiler), ended with
    SIGINT once the port is drained."""
    port = Port()
    out_path = os.path.join(workdir, "capture.bin")
    process, console = reader.start(port, out_path)
    profiler = None
    try:
        process.wait_until_listening(port.path)
        if attach:
            profiler = subprocess.Popen("exec " + attach.format(pid=process.pid), shell=True)
            time.sleep(1.0)
        cpu_before = process.cpu_seconds()
        start = time.perf_counter()
        port.write_all(data)
        drained = port.wait_drained()
        if drained is None:
            raise RuntimeError(f"{reader.name} did not drain the port")
        elapsed = drained - start
        cpu = process.cpu_seconds() - cpu_before
        peak_rss = process.peak_rss_kib()
        if profiler:
            profiler.send_signal(signal.SIGINT)
            profiler.wait()
        reader.stop(process, console)
        if not process.wait():
            raise RuntimeError(f"{reader.name} did not end after its quit request")
        return {
            "mib_per_s": len(data) / MIB / elapsed,
            "cpu_ms_per_mib": cpu * 1000 / (len(data) / MIB),
            "peak_rss_kib": peak_rss,
            "check": compare(out_path, expected, reader.stores) + exit_note(reader, process),
        }
    finally:
        if profiler and profiler.poll() is None:
            profiler.kill()
            profiler.wait()
        release(process, console, port, out_path)


def exit_note(reader, process):
    """A program told to quit is expected to end with status 0."""
    code = process.exit_code()
    if reader.quit_keys is None or code == 0:
        return ""
    return f", exit status {code}"


def idle_run(reader, workdir, seconds):
    """CPU time and wake-ups over `seconds` with no traffic, then the time
    from the quit key to the end of the process."""
    port = Port()
    out_path = os.path.join(workdir, "idle.bin")
    process, console = reader.start(port, out_path)
    try:
        process.wait_until_listening(port.path)
        time.sleep(0.5)
        cpu_before = process.cpu_seconds()
        switches_before = process.context_switches()
        time.sleep(seconds)
        cpu = process.cpu_seconds() - cpu_before
        wakeups = process.context_switches() - switches_before
        typed = time.perf_counter()
        reader.stop(process, console)
        process.wait()
        return {
            "cpu_s": cpu,
            "wakeups_per_s": wakeups / seconds,
            "reaction_ms": (process.ended_at - typed) * 1000,
            "exit": process.exit_code(),
        }
    finally:
        release(process, console, port)


def reaction_run(reader, workdir, traffic):
    """Time from the quit key to the end of the process, idle or while the
    port is written as fast as it is drained."""
    port = Port()
    out_path = os.path.join(workdir, "reaction.bin")
    process, console = reader.start(port, out_path)
    stop_writing = threading.Event()

    def flood():
        os.set_blocking(port.master, False)
        block = os.urandom(WRITE_CHUNK)
        while not stop_writing.is_set():
            _, ready, _ = select.select([], [port.master], [], 0.05)
            if ready:
                try:
                    os.write(port.master, block)
                except BlockingIOError:
                    pass

    writer = threading.Thread(target=flood, daemon=True)
    try:
        process.wait_until_listening(port.path)
        if traffic:
            writer.start()
            time.sleep(0.5)
        else:
            time.sleep(0.3)
        typed = time.perf_counter()
        reader.stop(process, console)
        if not process.wait():
            raise RuntimeError(f"{reader.name} did not end after its quit key")
        return (process.ended_at - typed) * 1000
    finally:
        stop_writing.set()
        if writer.is_alive():
            writer.join()
        release(process, console, port, out_path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--serialtap", required=True, help="the serialtap program to measure")
    parser.add_argument("--mib", type=float, default=64, help="MiB per throughput run")
    parser.add_argument("--repeats", type=int, default=3, help="runs per figure (median)")
    parser.add_argument("--others-repeats", type=int, default=1,
                        help="runs for the terminal programs, which take far longer")
    parser.add_argument("--idle-seconds", type=float, default=10)
    parser.add_argument("--only", action="append", help="measure only these readers")
    parser.add_argument("--attach", help="a command run against serialtap's pid during each "
                        "throughput run, e.g. 'strace -c -o trace.txt -p {pid}'; "
                        "it gets SIGINT when the data is through")
    args = parser.parse_args()

    size = int(args.mib * MIB)
    readers = make_readers(os.path.abspath(args.serialtap))
    if args.only:
        readers = [r for r in readers if r.name.split()[0] in args.only]
    datasets = [("random bytes", random_data(size)), ("text lines", text_lines(size))]
    workdir = tempfile.mkdtemp(prefix="serialtap-bench-")
    results = {}
    try:
        for data_name, data in datasets:
            expanded = data.replace(b"\n", b"\r\n")
            expected = {}
            # Rounds go through every reader in turn, so that a slow spell of
            # the machine falls on all of them alike.
            for round_number in range(args.repeats):
                for reader in readers:
                    mine = reader.name.split()[0] in ("cat", "serialtap")
                    runs = results.setdefault((data_name, reader.name), [])
                    if (not mine and round_number >= args.others_repeats) or (
                            runs and "error" in runs[-1]):
                        continue
                    if reader.stores not in expected:
                        expected[reader.stores] = expected_capture(reader.stores, data, expanded)
                    attach = args.attach if reader.name.startswith("serialtap") else None
                    try:
                        runs.append(
                            throughput_run(reader, data, expected[reader.stores], workdir, attach))
                    except (RuntimeError, TimeoutError) as error:
                        runs.append({"error": str(error)})
            for reader in readers:
                print(f"{data_name:13} {reader.name:18} {summary(results[(data_name, reader.name)])}",
                      file=sys.stderr)

        by_name = {r.name: r for r in readers}
        idle = {}
        for name in ("cat", "serialtap"):
            if name in by_name:
                idle[name] = idle_run(by_name[name], workdir, args.idle_seconds)
                print(f"idle {name}: {idle[name]}", file=sys.stderr)
        reactions = {}
        if "serialtap" in by_name:
            for traffic in (False, True):
                reactions[traffic] = [
                    reaction_run(by_name["serialtap"], workdir, traffic)
                    for _ in range(args.repeats * 2)
                ]
                print(f"reaction traffic={traffic}: {reactions[traffic]}", file=sys.stderr)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print(report(args, readers, datasets, results, idle, reactions))


if __name__ == "__main__":
    main()
