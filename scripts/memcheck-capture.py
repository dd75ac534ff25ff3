#!/usr/bin/env python3
"""Runs the built serialtap under Valgrind memcheck over pseudo-terminals.

One pseudo-terminal plays the serial device, another is the console the user
types on. Two captures are made: one stopped with the q key, one stopped
with SIGTERM. Each must exit with status 0 (Valgrind exits with 99 on any
invalid access or leak) and leave a capture holding every byte sent, with
each 0x0A stored as 0x0D 0x0A.

usage: memcheck-capture.py <serialtap> <work directory> [--no-valgrind]
"""

import fcntl
import os
import pty
import select
import signal
import struct
import sys
import termios
import time

# Valgrind runs the program some 20-50 times slower; the waits are generous.
SETUP_TIMEOUT = 120.0
DRAIN_TIMEOUT = 120.0
EXIT_TIMEOUT = 120.0
SETTLE_SECONDS = 1.0
VALGRIND_ERROR_EXIT = 99


class Failure(Exception):
    pass


def stream_to_send():
    """Lines, every byte value, and enough bytes to fill the capture's
    4096-byte buffer several times, so its write-outs run too."""
    lines = b"first line\nsecond line\r\n\n\nlast line without end"
    every_byte = bytes(range(256))
    bulk = b"".join(b"%05d: 0123456789abcdefghijklmnopqrstuvwxyz\n" % i for i in range(400))
    return lines + every_byte + bulk + every_byte[::-1]


def expanded(data):
    return data.replace(b"\n", b"\r\n")


def queued_input(fd):
    """Bytes the device has sent that serialtap has not read yet."""
    raw = fcntl.ioctl(fd, termios.TIOCINQ, struct.pack("i", 0))
    return struct.unpack("i", raw)[0]


class ConsoleReader:
    """Keeps the console's output drained so that serialtap never blocks on
    a full terminal, and keeps it for the failure report."""

    def __init__(self, fd):
        self.fd = fd
        self.text = b""

    def drain(self, timeout=0.0):
        while True:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            if not ready:
                return
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:  # the console hung up: the program has ended
                return
            if not chunk:
                return
            self.text += chunk
            timeout = 0.0


def wait_for(condition, timeout, what, console):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        console.drain(0.05)


def steady(condition, seconds):
    """A condition that holds only once the given one has held throughout
    the last so many seconds."""
    since = [None]

    def check():
        if not condition():
            since[0] = None
            return False
        if since[0] is None:
            since[0] = time.monotonic()
        return time.monotonic() - since[0] >= seconds

    return check


def wait_channel(pid):
    try:
        with open("/proc/%d/wchan" % pid) as f:
            return f.read()
    except OSError:
        return ""


def start_capture(serialtap, capture_path, device_path, log_path, use_valgrind):
    command = [serialtap, capture_path, "-c", device_path, "-b", "115200"]
    if use_valgrind:
        command = [
            "valgrind",
            "--tool=memcheck",
            "--leak-check=full",
            "--show-leak-kinds=all",
            "--errors-for-leak-kinds=definite,indirect,possible",
            "--error-exitcode=%d" % VALGRIND_ERROR_EXIT,
            "--log-file=" + log_path,
        ] + command
    pid, console_fd = pty.fork()
    if pid == 0:
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)
    return pid, console_fd


def send(device_fd, data, console):
    view = memoryview(data)
    while view:
        _, writable, _ = select.select([], [device_fd], [], 1.0)
        if writable:
            written = os.write(device_fd, view[:256])
            view = view[written:]
        console.drain()


def wait_exit(pid, console):
    deadline = time.monotonic() + EXIT_TIMEOUT
    while True:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished == pid:
            return status
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise Failure("serialtap did not end")
        console.drain(0.05)


def run_capture(serialtap, work, name, stop, use_valgrind):
    capture_path = os.path.join(work, name + ".txt")
    log_path = os.path.join(work, name + ".valgrind.log")
    device_fd, port_fd = pty.openpty()
    # The port side stays open here too: it lets the script watch the line
    # settings and the input queue, and keeps the device from hanging up.
    device_path = os.ttyname(port_fd)
    pid, console_fd = start_capture(serialtap, capture_path, device_path, log_path, use_valgrind)
    console = ConsoleReader(console_fd)
    try:
        # The port is set up when its line discipline has gone raw; the
        # capture loop runs once the process sleeps in poll, which happens
        # only after the purge that would discard earlier bytes.
        wait_for(lambda: not termios.tcgetattr(port_fd)[3] & termios.ICANON,
                 SETUP_TIMEOUT, "the port setup", console)
        wait_for(lambda: "poll" in wait_channel(pid), SETUP_TIMEOUT, "the capture loop", console)

        data = stream_to_send()
        send(device_fd, data, console)
        # Bytes written to the device side pass through the kernel's buffer
        # before they count as queued on the port, so an empty queue is only
        # believed once it has stayed empty, with serialtap waiting in poll
        # (and so having stored what it read), for a while.
        wait_for(steady(lambda: queued_input(port_fd) == 0 and "poll" in wait_channel(pid),
                        SETTLE_SECONDS),
                 DRAIN_TIMEOUT, "serialtap to read everything", console)

        if stop == "key":
            os.write(console_fd, b"q")
        else:
            os.kill(pid, signal.SIGTERM)
        status = wait_exit(pid, console)
        console.drain()
    finally:
        for fd in (device_fd, port_fd, console_fd):
            os.close(fd)

    problems = []
    if os.WIFSIGNALED(status):
        problems.append("ended by signal %d" % os.WTERMSIG(status))
    elif os.WEXITSTATUS(status) == VALGRIND_ERROR_EXIT:
        problems.append("Valgrind reported errors (exit status 99)")
    elif os.WEXITSTATUS(status) != 0:
        problems.append("exit status %d" % os.WEXITSTATUS(status))
    try:
        with open(capture_path, "rb") as f:
            captured = f.read()
    except OSError as error:
        captured = None
        problems.append("no capture: %s" % error)
    want = expanded(data)
    if captured is not None and captured != want:
        at = next((i for i, (a, b) in enumerate(zip(captured, want)) if a != b),
                  min(len(captured), len(want)))
        problems.append("capture differs: %d bytes, expected %d, first difference at %d"
                        % (len(captured), len(want), at))
    if problems:
        sys.stderr.write("console output:\n%s\n" % console.text.decode("latin-1"))
        if use_valgrind and os.path.exists(log_path):
            with open(log_path) as f:
                sys.stderr.write("Valgrind log:\n" + f.read())
        raise Failure("; ".join(problems))
    return len(data), len(captured)


def main():
    arguments = [a for a in sys.argv[1:] if a != "--no-valgrind"]
    use_valgrind = "--no-valgrind" not in sys.argv[1:]
    if len(arguments) != 2:
        sys.stderr.write(__doc__)
        return 2
    serialtap = os.path.abspath(arguments[0])
    work = arguments[1]
    os.makedirs(work, exist_ok=True)
    failed = False
    for name, stop in (("stopped-by-key", "key"), ("stopped-by-sigterm", "sigterm")):
        try:
            sent, stored = run_capture(serialtap, work, name, stop, use_valgrind)
            print("memcheck %s: ok (%d bytes sent, %d stored)" % (name, sent, stored))
        except Failure as error:
            print("memcheck %s: FAILED: %s" % (name, error))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
