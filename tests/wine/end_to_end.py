#!/usr/bin/env python3
"""End-to-end checks of the Windows build under Wine.

A pseudo-terminal stands in for the serial port: its slave is linked into the
Wine prefix as a COM port and this script plays the device on the master. The
program runs with a second pseudo-terminal as its console (and controlling
terminal), so keys and Ctrl+C reach it as they would from a user.

Usage: end_to_end.py --exe serialtap.exe --preload libmodem_lines.so
                     --prefix WINEPREFIX --work DIR [--linux-exe serialtap]
"""

import argparse
import errno
import fcntl
import os
import pty
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import termios
import time
import tty

PORT = "COM23"  # above COM9, so it opens only as \\.\COM23
BAUD_RATE = 19200
START_TIMEOUT_S = 60
EXIT_TIMEOUT_S = 15


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Device:
    """The far end of the line: the master of a raw pseudo-terminal."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        os.set_blocking(self.master, False)
        tty.setraw(self.slave)
        # A speed the program never asks for, so its setup can be seen.
        attributes = termios.tcgetattr(self.slave)
        attributes[4] = attributes[5] = termios.B38400
        termios.tcsetattr(self.slave, termios.TCSANOW, attributes)
        self.path = os.ttyname(self.slave)

    def configured(self):
        return termios.tcgetattr(self.slave)[4] == termios.B19200

    def write(self, data):
        """What of data the line takes now, never waiting: a write that
        blocked on a full line would hang the test once the program is gone."""
        try:
            return os.write(self.master, data)
        except BlockingIOError:
            return 0

    def queued(self):
        count = fcntl.ioctl(self.slave, termios.FIONREAD, struct.pack("i", 0))
        return struct.unpack("i", count)[0]

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Program:
    """The program under test on a console of its own."""

    def __init__(self, argv, env, stdout_file=None):
        self.pid, self.console = pty.fork()
        if self.pid == 0:
            if stdout_file is not None:
                fd = os.open(stdout_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                os.dup2(fd, 1)
            try:
                os.execvpe(argv[0], argv, env)
            finally:
                os._exit(127)
        self.screen = b""
        self.status = None

    def pump(self, seconds):
        """Reads what the console shows for the given time; the console
        must be drained or the program blocks on its output."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select([self.console], [], [], min(left, 0.05))
            if ready:
                try:
                    self.screen += os.read(self.console, 65536)
                except OSError:
                    time.sleep(min(left, 0.05))

    def type(self, keys):
        os.write(self.console, keys)

    def running(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid != 0:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status is None

    def wait(self, seconds):
        end = time.monotonic() + seconds
        while self.running() and time.monotonic() < end:
            self.pump(0.1)
        return self.status

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def shown(self):
        """What the console shows, without its cursor and erase sequences."""
        return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", self.screen)

    def stop(self):
        if self.running():
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.console)


class Wine:
    def __init__(self, args):
        self.exe = args.exe
        self.prefix = args.prefix
        self.preload = args.preload
        self.work = args.work

    def env(self, preload=True):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        if preload:
            env["LD_PRELOAD"] = self.preload
        return env

    def present(self, device, port=PORT):
        """Links the device into the prefix as the COM port, in one step
        when the link is already there (a port plugged back)."""
        link = os.path.join(self.prefix, "dosdevices", port.lower())
        fresh = link + ".new"
        if os.path.lexists(fresh):
            os.unlink(fresh)
        os.symlink(device.path, fresh)
        os.rename(fresh, link)
        return link

    def argv(self, capture, *options):
        return ["wine", self.exe, capture, "-c", PORT, "-b", str(BAUD_RATE), *options]


def wait_for_setup(program, device):
    end = time.monotonic() + START_TIMEOUT_S
    while not device.configured():
        check(program.running(), f"exited with {program.status} before setting up the port")
        check(time.monotonic() < end, "the port was not configured in time")
        program.pump(0.1)
    # The purge and the first event wait follow the line settings.
    program.pump(1.0)


def send(program, device, data, chunk=509):
    for start in range(0, len(data), chunk):
        view = data[start:start + chunk]
        while view:
            _, writable, _ = select.select([], [device.master], [], 0.05)
            if writable:
                view = view[device.write(view):]
            program.pump(0.005)
    program.pump(0.2)


def wait_until_read(program, device):
    end = time.monotonic() + 30
    while device.queued() > 0:
        check(time.monotonic() < end, f"{device.queued()} bytes never read from the port")
        program.pump(0.1)
    program.pump(0.5)


def device_output():
    """Lines as a device prints them, every byte value, and a long run of
    varied bytes that takes many passes and several buffer write-outs."""
    generator = random.Random(20240531)
    chunks = [
        b"first line\n",
        b"a line ended the DOS way\r\n",
        bytes(range(256)),
        b"\n\n\r\r\x1a\x00\n",
        bytes(generator.randrange(256) for _ in range(20000)),
        b"last line\n",
    ]
    return chunks


def capture_session(argv, env, device, capture, stop_keys):
    """Runs a capture of device_output(), ended by stop_keys; gives the
    program, the bytes sent and the captured bytes."""
    program = Program(argv, env)
    try:
        wait_for_setup(program, device)
        sent = b""
        for chunk in device_output():
            send(program, device, chunk)
            sent += chunk
        wait_until_read(program, device)
        # Keys other than q, Q included, are read and dropped.
        program.type(b"xQ")
        program.pump(1.0)
        check(program.running(), f"ended by a key other than q (status {program.status})")
        program.type(stop_keys)
        status = program.wait(EXIT_TIMEOUT_S)
        check(status is not None, f"still running {EXIT_TIMEOUT_S} s after {stop_keys!r}")
        check(status == 0, f"exit status {status}")
        with open(capture, "rb") as file:
            return program, sent, file.read()
    finally:
        program.stop()


def compare(captured, expected):
    if captured == expected:
        return
    at = next((i for i, (a, b) in enumerate(zip(captured, expected)) if a != b),
              min(len(captured), len(expected)))
    raise Failure(f"capture differs at byte {at}: {len(captured)} bytes captured, "
                  f"{len(expected)} expected; got {captured[at:at + 16]!r}, "
                  f"expected {expected[at:at + 16]!r}")


def test_capture_ended_by_q(wine, args):
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-windows.bin")
    try:
        program, sent, captured = capture_session(wine.argv(capture), wine.env(), device,
                                                  capture, b"q")
    finally:
        os.unlink(link)
        device.close()
    compare(captured, sent.replace(b"\n", b"\r\n"))
    shown = program.shown()
    check(b"Error" not in shown and b"problem" not in shown and b"TimeOut" not in shown,
          f"messages during the capture: {shown!r}")

    if args.linux_exe:
        device = Device()
        linux_capture = os.path.join(wine.work, "capture-linux.bin")
        argv = [args.linux_exe, linux_capture, "-c", device.path, "-b", str(BAUD_RATE)]
        env = dict(os.environ)
        env.pop("LD_PRELOAD", None)
        try:
            _, _, linux_captured = capture_session(argv, env, device, linux_capture, b"q")
        finally:
            device.close()
        check(captured == linux_captured, "the Windows and Linux captures differ")


def test_q_ends_capture_while_data_flows(wine, args):
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-flowing.bin")
    program = Program(wine.argv(capture), wine.env())
    line = b"".join(b"%05d 0123456789abcdefghijklmnopqrstuvwxyz\r\n" % i for i in range(100))
    sent = b""
    try:
        wait_for_setup(program, device)
        started = time.monotonic()
        typed = False
        while program.running() and time.monotonic() - started < EXIT_TIMEOUT_S:
            _, writable, _ = select.select([], [device.master], [], 0.01)
            if writable:
                sent += line[:device.write(line)]
            program.pump(0.01)
            if not typed and time.monotonic() - started > 1.0:
                program.type(b"q")
                typed = True
        status = program.wait(1)
        check(status == 0, f"exit status {status} with data still flowing")
    finally:
        program.stop()
        os.unlink(link)
        device.close()
    with open(capture, "rb") as file:
        captured = file.read()
    check(len(captured) > 0, "nothing captured")
    # What was received before q is kept whole and in order.
    check(sent.replace(b"\n", b"\r\n").startswith(captured),
          "the capture is not the start of what was sent")


def test_burst_written_at_once_is_captured_exactly(wine, args):
    # The whole burst is handed to the port as fast as it takes it, so the
    # driver's queue holds far more than one pass reads when the last
    # bytes arrive.
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-burst.bin")
    program = Program(wine.argv(capture), wine.env())
    generator = random.Random(65536)
    burst = bytes(generator.randrange(256) for _ in range(65536))
    try:
        wait_for_setup(program, device)
        view = burst
        while view:
            _, writable, _ = select.select([], [device.master], [], 0.01)
            if writable:
                view = view[device.write(view):]
            program.pump(0.001)
        # Twice: the pseudo-terminal refills its queue from its own buffers.
        wait_until_read(program, device)
        wait_until_read(program, device)
        program.type(b"q")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status == 0, f"exit status {status}")
        shown = program.shown()
        check(b"Error" not in shown and b"problem" not in shown and b"TimeOut" not in shown,
              f"messages during the capture: {shown!r}")
    finally:
        program.stop()
        os.unlink(link)
        device.close()
    with open(capture, "rb") as file:
        compare(file.read(), burst.replace(b"\n", b"\r\n"))


def test_rotated_parts_hold_the_tail_of_a_synced_burst(wine, args):
    # Parts of 4 KiB, three kept, each write-out synced: the file is closed
    # before each rename, and the kept parts and the live file are exactly
    # the end of what was sent.
    device = Device()
    link = wine.present(device)
    folder = os.path.join(wine.work, "rotated")
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))
    capture = os.path.join(folder, "capture.bin")
    program = Program(wine.argv(capture, "-m", "1", "-z", "4", "-k", "3", "-y", "1"), wine.env())
    burst = bytes(random.Random(4096).randrange(256) for _ in range(30000))
    try:
        wait_for_setup(program, device)
        send(program, device, burst)
        wait_until_read(program, device)
        program.type(b"q")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status == 0, f"exit status {status}")
        shown = program.shown()
        check(b"Error" not in shown, f"messages during the capture: {shown!r}")
    finally:
        program.stop()
        os.unlink(link)
        device.close()
    parts = sorted(name for name in os.listdir(folder) if name.startswith("capture.bin."))
    check(len(parts) == 3, f"parts kept: {parts}")
    held = b""
    for name in parts + ["capture.bin"]:
        with open(os.path.join(folder, name), "rb") as file:
            held += file.read()
    check(len(held) == 3 * 4096 + len(burst) % 4096, f"{len(held)} bytes kept")
    compare(held, burst[len(burst) - len(held):])


def test_ctrl_c_ends_capture_with_everything_written(wine, args):
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-ctrl-c.bin")
    try:
        _, sent, captured = capture_session(wine.argv(capture), wine.env(), device, capture,
                                            b"\x03")
    finally:
        os.unlink(link)
        device.close()
    compare(captured, sent.replace(b"\n", b"\r\n"))


def test_alt_f10_ends_capture_as_q_does(wine, args):
    # Alt+F10 gives the codes 0x00 and 0x71; the second one is a q.
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-alt-f10.bin")
    program = Program(wine.argv(capture), wine.env())
    try:
        wait_for_setup(program, device)
        program.type(b"\x1b[21;3~")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status == 0, f"exit status {status} after Alt+F10")
    finally:
        program.stop()
        os.unlink(link)
        device.close()


def test_missing_port_is_reported(wine, args):
    capture = os.path.join(wine.work, "capture-missing.bin")
    with open(capture, "wb") as file:
        file.write(b"old capture")
    output = os.path.join(wine.work, "missing-port.out")
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_RDONLY)
        os.dup2(devnull, 0)
        fd = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(fd, 1)
        try:
            os.execvpe("wine", ["wine", wine.exe, capture, "-c", "COM42"], wine.env())
        finally:
            os._exit(127)
    _, status = os.waitpid(pid, 0)
    check(os.waitstatus_to_exitcode(status) == 1,
          f"exit status {os.waitstatus_to_exitcode(status)}")
    with open(output, "rb") as file:
        text = file.read()
    # Standard output is a text-mode stream, which ends lines with CR LF.
    check(text == b"could not open serial port: 2\r\n", f"printed {text!r}")
    check(os.path.getsize(capture) == 0, "the capture file was not emptied")


def test_failing_port_neither_spins_nor_floods(wine, args):
    # Without the modem-line answer, Wine's event wait fails at once every
    # time: the port keeps failing for as long as the capture runs.
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-failing.bin")
    output = os.path.join(wine.work, "failing-port.out")
    # -r 0: a port that keeps failing is not taken for one unplugged.
    program = Program(wine.argv(capture, "-r", "0"), wine.env(preload=False),
                      stdout_file=output)
    try:
        wait_for_setup(program, device)
        cpu_before = program.cpu_seconds()
        program.pump(4.0)
        cpu_used = program.cpu_seconds() - cpu_before
        check(program.running(), f"ended with status {program.status}")
        program.type(b"q")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status == 0, f"exit status {status}")
    finally:
        program.stop()
        os.unlink(link)
        device.close()
    # A loop that retried without pause would have kept a core busy.
    check(cpu_used < 0.4, f"{cpu_used:.2f} s of processor time in 4 s of failures")
    with open(output, "rb") as file:
        lines = file.read().splitlines()
    check(lines, "the failure was not reported")
    check(all(line == b"Error for Waiting Comm Event: 995" for line in lines),
          f"unexpected messages: {lines!r}")
    check(len(lines) <= 7, f"{len(lines)} messages: more than one a second")


def hex_dump(data):
    """What -m 2 stores: offset, 16 bytes in hex, their printable form, CR LF."""
    printable = bytes(b if 0x20 <= b < 0x7F else 0x2E for b in range(256))
    lines = []
    for offset in range(0, len(data), 16):
        chunk = data[offset:offset + 16]
        hex_column = (chunk.hex(" ").upper() + " ").ljust(48).encode()
        lines.append(b"%08X  %s |%s|\r\n" % (offset, hex_column, chunk.translate(printable)))
    return b"".join(lines)


def test_hex_dump_with_local_time_stamps(wine, args):
    """The formats are the same bytes as on Linux; the stamps come from the
    system's clock and local time."""
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-hex.bin")
    before = time.time()
    try:
        _, sent, captured = capture_session(wine.argv(capture) + ["-m", "2", "-d", "1"],
                                            wine.env(), device, capture, b"q")
    finally:
        os.unlink(link)
        device.close()
    after = time.time()
    stamp = re.compile(rb"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3}\] ")
    lines = captured.split(b"\r\n")
    check(lines[-1] == b"", "the capture ends with a whole line")
    unstamped = b""
    for line in lines[:-1]:
        match = stamp.match(line)
        check(match is not None, f"no stamp at the start of {line[:40]!r}")
        moment = time.mktime(time.strptime(match.group(1).decode(), "%Y-%m-%d %H:%M:%S"))
        check(before - 2 <= moment <= after + 1, f"stamp {match.group(1)!r} is not local now")
        unstamped += line[match.end():] + b"\r\n"
    compare(unstamped, hex_dump(sent))


def test_second_ctrl_c_ends_a_stuck_shutdown(wine, args):
    """A capture into a pipe nobody reads cannot be written out; a second
    Ctrl+C must end it, with status 1."""
    device = Device()
    link = wine.present(device)
    fifo = os.path.join(wine.work, "stalled.fifo")
    if os.path.lexists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    program = Program(wine.argv(fifo), wine.env())
    try:
        wait_for_setup(program, device)
        # Far more than the pipe holds, for as long as the program takes it.
        data = random.Random(7).randbytes(256 * 1024)
        end = time.monotonic() + 5
        while data and time.monotonic() < end:
            _, writable, _ = select.select([], [device.master], [], 0.05)
            if writable:
                data = data[device.write(data[:509]):]
            program.pump(0.005)
        program.type(b"\x03")
        program.pump(1.0)
        if program.running():
            program.type(b"\x03")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status is not None, f"still running {EXIT_TIMEOUT_S} s after a second Ctrl+C")
        check(status == 1, f"exit status {status}")
    finally:
        program.stop()
        os.close(reader)
        os.unlink(fifo)
        os.unlink(link)
        device.close()


def test_status_line_shows_the_bytes(wine, args):
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-status.bin")
    program = Program(wine.argv(capture) + ["-v", "1"], wine.env())
    try:
        wait_for_setup(program, device)
        send(program, device, b"hello\n")
        end = time.monotonic() + START_TIMEOUT_S
        while b"| 6 B |" not in program.shown():
            check(time.monotonic() < end, f"no status line for the 6 bytes: {program.shown()!r}")
            program.pump(0.1)
        # Shortened from its start to the console's 80 columns.
        check(b"capture-status.bin | 6 B | " in program.shown(), f"showed {program.shown()!r}")
        check(b"| open | q to stop" in program.shown(), f"showed {program.shown()!r}")
        program.type(b"q")
        check(program.wait(EXIT_TIMEOUT_S) == 0, f"exit status {program.status}")
    finally:
        program.stop()
        os.unlink(link)
        device.close()


def test_list_runs_cleanly(wine, args):
    # Wine fills the SERIALCOMM map from the host's /dev/ttyS*, /dev/ttyUSB*
    # and /dev/ttyACM* ports; a COM port linked into dosdevices, as COM23 is
    # here, is not in it, nor in the ports device class. So the list is
    # checked for being well formed, whatever Wine reports.
    device = Device()
    link = wine.present(device)
    try:
        result = subprocess.run(["wine", wine.exe, "--list"], env=wine.env(), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=START_TIMEOUT_S)
    finally:
        os.unlink(link)
    check(result.returncode == 0, f"exit status {result.returncode}")
    check(result.stderr == b"", f"wrote {result.stderr!r} to standard error")
    text = result.stdout
    check(text.endswith(b"\r\n"), f"printed {text!r}")
    lines = text[:-2].split(b"\r\n")
    if lines != [b"no serial ports found"]:
        for line in lines:
            check(re.fullmatch(rb"COM[1-9][0-9]*( [a-z-]+=(\"[^\"]*\"|[^ \"]+))*", line),
                  f"malformed line {line!r}")
    print(f"  Wine lists: {lines}", flush=True)


def test_capture_resumes_when_the_port_comes_back(wine, args):
    # The adapter is unplugged (the old line hangs up) and comes back as
    # another device that the COM link now names.
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-reconnect.bin")
    program = Program(wine.argv(capture), wine.env())
    replugged = None
    try:
        wait_for_setup(program, device)
        send(program, device, b"before the unplug\n")
        wait_until_read(program, device)
        replugged = Device()
        wine.present(replugged)
        unplugged = time.monotonic()
        device.close()
        device = None
        while b"serial port reopened" not in program.shown():
            check(program.running(), f"ended with status {program.status}")
            check(time.monotonic() - unplugged < 30, f"not reopened; shown: {program.shown()!r}")
            program.pump(0.1)
        wait_for_setup(program, replugged)
        send(program, replugged, b"after the replug\n")
        wait_until_read(program, replugged)
        program.type(b"q")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status == 0, f"exit status {status}")
    finally:
        program.stop()
        os.unlink(link)
        for port in (device, replugged):
            if port is not None:
                port.close()
    with open(capture, "rb") as file:
        compare(file.read(), b"before the unplug\r\nafter the replug\r\n")
    check(program.shown().count(b"serial port reopened") == 1,
          f"shown: {program.shown()!r}")


def test_stop_conditions_give_their_exit_status(wine, args):
    # The failure text, split across two sends; then the time limit running
    # out while the awaited text never comes, which only the wait's own
    # time-out can notice on a quiet line.
    for options, parts, expected in (
            (("-t", "60", "-e", "login:", "-x", "Kernel panic"),
             (b"[ 1.5] Kernel pa", b"nic - not syncing\n"), 2),
            (("-t", "2", "-e", "login:", "-f", "100"), (b"no prompt\n",), 3)):
        device = Device()
        link = wine.present(device)
        capture = os.path.join(wine.work, f"capture-stop-{expected}.bin")
        program = Program(wine.argv(capture, *options), wine.env())
        try:
            wait_for_setup(program, device)
            for part in parts:
                send(program, device, part)
            status = program.wait(EXIT_TIMEOUT_S)
            check(status == expected, f"{options}: exit status {status}, not {expected}")
        finally:
            program.stop()
            os.unlink(link)
            device.close()
        with open(capture, "rb") as file:
            compare(file.read(), b"".join(parts).replace(b"\n", b"\r\n"))


def test_two_ports_into_one_hex_capture(wine, args):
    devices = [Device(), Device()]
    links = [wine.present(devices[0]), wine.present(devices[1], "COM24")]
    capture = os.path.join(wine.work, "capture-two-ports.hex")
    program = Program(wine.argv(capture, "-l", "COM24", "-m", "2"), wine.env())
    generator = random.Random(7)
    sent = [b"", b""]
    try:
        for device in devices:
            wait_for_setup(program, device)
        for turn in range(6):
            chunk = bytes(generator.randrange(256) for _ in range(40 + 97 * turn))
            send(program, devices[turn % 2], chunk)
            wait_until_read(program, devices[turn % 2])
            sent[turn % 2] += chunk
        program.type(b"q")
        status = program.wait(EXIT_TIMEOUT_S)
        check(status == 0, f"exit status {status}")
    finally:
        program.stop()
        for link, device in zip(links, devices):
            os.unlink(link)
            device.close()
    streams = os.path.join(wine.work, "two-ports")
    tool = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "hex-streams.py")
    subprocess.run([sys.executable, tool, capture, streams], check=True, stdout=subprocess.DEVNULL)
    for port, expected in zip((PORT, "COM24"), sent):
        with open(os.path.join(streams, port + ".bin"), "rb") as file:
            compare(file.read(), expected)
    with open(capture, "rb") as file:
        lines = file.read().split(b"\r\n")[:-1]
    check(all(line.startswith((b"COM23: ", b"COM24: ")) for line in lines),
          "a line without its port's label")


def free_local_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port, state="0A"):
    """Seen in the kernel's table (0A listening, 01 connected): a connection
    would make ser2net open the device and hold it for a moment."""
    wanted = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as table:
        return any(line.split()[1] == wanted and line.split()[3] == state
                   for line in table.readlines()[1:])


def test_network_ports_from_ser2net(wine, args):
    """ser2net on 127.0.0.1 serves a pseudo-terminal as telnet(rfc2217)
    and as raw TCP; the Windows build captures both exactly."""
    if shutil.which("ser2net", path=os.environ.get("PATH", "") + ":/usr/sbin") is None:
        raise Failure("ser2net is not installed (scripts/install-deps.sh all)")
    device = Device()
    telnet, raw = free_local_port(), free_local_port()
    config = os.path.join(wine.work, "ser2net.yaml")
    with open(config, "w") as file:
        for kind, port in (("telnet(rfc2217),tcp", telnet), ("tcp", raw)):
            file.write(f"connection: &p{port}\n  accepter: {kind},127.0.0.1,{port}\n"
                       f"  connector: serialdev,{device.path},local\n")
    server = subprocess.Popen([shutil.which("ser2net", path="/usr/sbin:/usr/bin:/sbin"), "-n", "-u",
                               "-c", config, "-P", config + ".pid"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + START_TIMEOUT_S
        while not (listening(telnet) and listening(raw)):
            check(time.monotonic() < end, "ser2net did not listen")
            time.sleep(0.05)
        refused = Program(["wine", wine.exe, os.path.join(wine.work, "refused.bin"), "-c",
                           f"tcp://127.0.0.1:{free_local_port()}"], wine.env(preload=False))
        try:
            check(refused.wait(START_TIMEOUT_S) == 1, f"refused: exit status {refused.status}")
            check(b"could not open serial port: 10061" in refused.shown(),
                  f"refused: shown {refused.shown()!r}")
        finally:
            refused.stop()
        # A server that accepts and says nothing: q still ends the program.
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen()
            waiting = Program(["wine", wine.exe, os.path.join(wine.work, "silent.bin"), "-c",
                               f"rfc2217://127.0.0.1:{silent.getsockname()[1]}"],
                              wine.env(preload=False))
            try:
                accepted, _ = silent.accept()
                waiting.pump(1.0)
                pressed = time.monotonic()
                waiting.type(b"q")
                check(waiting.wait(EXIT_TIMEOUT_S) == 0, f"silent: exit status {waiting.status}")
                # Half a second is the aim; the bound leaves room for Wine on a loaded machine.
                check(time.monotonic() - pressed < 3, "silent: q took too long")
                accepted.close()
            finally:
                waiting.stop()
        data = b"".join(device_output()) + b"\xff\xff\r\x00\r\n"
        for url, options, expected in (
                (f"rfc2217://127.0.0.1:{telnet}", ["-m", "1", "-b", "57600", "-s", "2"], data),
                (f"tcp://127.0.0.1:{raw}", [], data.replace(b"\n", b"\r\n"))):
            capture = os.path.join(wine.work, "network.bin")
            program = Program(["wine", wine.exe, capture, "-c", url, *options],
                              wine.env(preload=False))
            try:
                # Connected, and for RFC 2217 the settings arrived; the purge follows.
                port = telnet if url.startswith("rfc2217") else raw
                end = time.monotonic() + START_TIMEOUT_S
                while not listening(port, "01") or (
                        port == telnet and termios.tcgetattr(device.slave)[4] != termios.B57600):
                    check(program.running(), f"{url}: exited with {program.status}: {program.shown()!r}")
                    check(time.monotonic() < end, f"{url}: the settings never arrived")
                    program.pump(0.1)
                program.pump(1.0)
                send(program, device, data)
                wait_until_read(program, device)
                program.pump(1.0)
                program.type(b"q")
                status = program.wait(EXIT_TIMEOUT_S)
                check(status == 0, f"{url}: exit status {status}, shown {program.shown()!r}")
            finally:
                program.stop()
            with open(capture, "rb") as file:
                compare(file.read(), expected)
    finally:
        server.kill()
        server.wait()
        device.close()


def test_watched_line_names_the_port_and_how_the_capture_ended(wine, args):
    """With -u 1 the capture begins with the port, its settings and the
    modem lines the driver reports, and ends saying q ended it; the bytes
    between are those of a capture without it."""
    device = Device()
    link = wine.present(device)
    capture = os.path.join(wine.work, "capture-watched.txt")
    try:
        _, sent, captured = capture_session(wine.argv(capture, "-u", "1"), wine.env(), device,
                                            capture, b"q")
    finally:
        os.unlink(link)
        device.close()
    first, _, rest = captured.partition(b"\n")
    began = re.fullmatch(
        rb"--- serialtap: capture began \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ: (.*?)\r?", first)
    check(began is not None, f"first line {first!r}")
    check(b"%s %d 8N1" % (PORT.encode(), BAUD_RATE) in began.group(1),
          f"the port and its settings are not named: {first!r}")
    check(began.group(1).endswith(b"modem lines: CTS on, DSR on, DCD on, RI off"),
          f"the modem lines are not given: {first!r}")
    body, _, tail = rest.rpartition(b"--- serialtap: capture ended ")
    check(re.fullmatch(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ: q\r?\n", tail) is not None,
          f"last line {tail!r}")
    compare(body, sent.replace(b"\n", b"\r\n"))


TESTS = [
    test_capture_ended_by_q,
    test_q_ends_capture_while_data_flows,
    test_burst_written_at_once_is_captured_exactly,
    test_rotated_parts_hold_the_tail_of_a_synced_burst,
    test_ctrl_c_ends_capture_with_everything_written,
    test_alt_f10_ends_capture_as_q_does,
    test_missing_port_is_reported,
    test_failing_port_neither_spins_nor_floods,
    test_hex_dump_with_local_time_stamps,
    test_second_ctrl_c_ends_a_stuck_shutdown,
    test_status_line_shows_the_bytes,
    test_list_runs_cleanly,
    test_capture_resumes_when_the_port_comes_back,
    test_stop_conditions_give_their_exit_status,
    test_two_ports_into_one_hex_capture,
    test_network_ports_from_ser2net,
    test_watched_line_names_the_port_and_how_the_capture_ended,
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--linux-exe")
    parser.add_argument("--only", help="run the tests whose name contains this text")
    args = parser.parse_args()
    for name in ("exe", "preload", "prefix", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if args.linux_exe:
        args.linux_exe = os.path.abspath(args.linux_exe)
    os.makedirs(args.work, exist_ok=True)

    wine = Wine(args)
    passed = failed = 0
    for test in TESTS:
        if args.only and args.only not in test.__name__:
            continue
        started = time.monotonic()
        try:
            test(wine, args)
        except Failure as failure:
            failed += 1
            print(f"FAIL {test.__name__}: {failure}", flush=True)
        except OSError as error:
            failed += 1
            print(f"FAIL {test.__name__}: {errno.errorcode.get(error.errno, '')} {error}",
                  flush=True)
        else:
            passed += 1
            print(f"PASS {test.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
    print(f"Wine end-to-end: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
