"""A Linux guest under QEMU (TCG: no KVM needed) that runs the commands of
guest/init: its console is QEMU's standard input and output, its extra serial
ports are host pseudo-terminals or QEMU's Telnet sockets (which can also send
a break), and QMP plugs devices in and out.

QEMU's trace lines (stderr) and the console (stdout) share one pipe, so a
trace line sits in the stream where the guest caused it: between the command
the host sent and the "@@ READY" that ends it.
"""
import base64
import json
import os
import queue
import re
import socket
import subprocess
import threading
import time
import tty

TRACE = re.compile(r"(?:serial_update_parameters|usb_serial_\w+) [^\n]*\n")
PTY = re.compile(r"char device redirected to (\S+) \(label (\w+)\)")
TELNET = re.compile(r"telnet:(127\.0\.0\.1):(\d+),server")
IAC, BREAK = 255, 243


def telnet_chardev(label):
    """A serial port's host end as QEMU's Telnet server on a free port of
    127.0.0.1: an IAC BREAK from the host is a break on the guest's line."""
    return ["-chardev", f"socket,id={label},host=127.0.0.1,port=0,server=on,wait=off,telnet=on"]


class VmError(Exception):
    """The guest did not do what it was asked: the run cannot go on."""


class Reply:
    """What came back for one command: its "@@" results, QEMU's trace lines
    and everything else the console showed, in order."""

    def __init__(self, command, events):
        self.command = command
        self.events = events

    def results(self, key):
        prefix = f"@@ {key}"
        return [text[len(prefix):].strip() for kind, text in self.events
                if kind == "line" and (text == prefix or text.startswith(prefix + " "))]

    def result(self, key):
        found = self.results(key)
        return found[-1] if found else None

    def traces(self, before=None):
        """Trace lines, only those before the first "@@ <before>" if given."""
        found = []
        for kind, text in self.events:
            if kind == "line" and before and text.startswith(f"@@ {before}"):
                break
            if kind == "trace":
                found.append(text)
        return found

    def lines(self):
        return [text for kind, text in self.events if kind == "line" and not text.startswith("@@")]

    def file(self):
        """The bytes sent back between "@@ FILE" and "@@ END"."""
        inside, encoded = False, []
        for kind, text in self.events:
            if kind != "line":
                continue
            if text.startswith("@@ FILE"):
                inside = True
            elif text == "@@ END":
                return base64.b64decode("".join(encoded))
            elif inside:
                encoded.append(text)
        raise VmError(f"no file in the reply to {self.command!r}")


class GuestVm:
    def __init__(self, kernel, initrd, qemu_args, qmp_path=None):
        command = ["qemu-system-x86_64", "-m", "256", "-nodefaults", "-no-reboot",
                   "-display", "none", "-monitor", "none", "-serial", "stdio",
                   "-kernel", str(kernel), "-initrd", str(initrd),
                   "-append", "console=ttyS0 loglevel=1 panic=-1", *qemu_args]
        if qmp_path:
            command += ["-qmp", f"unix:{qmp_path},server=on,wait=off"]
        self.events = queue.Queue()
        self.history = []
        self.ptys = {}
        self.telnets = {}
        self.qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        threading.Thread(target=self._read_output, daemon=True).start()
        try:
            self.qmp = Qmp(qmp_path) if qmp_path else None
            for chardev in self.qmp.execute("query-chardev") if self.qmp else []:
                found = TELNET.search(chardev["filename"])
                if found:
                    self.telnets[chardev["label"]] = TelnetPort((found[1], int(found[2])))
        except (OSError, ValueError, VmError):
            self.qemu.kill()
            raise

    def _read_output(self):
        pending, buffer = "", ""
        while True:
            data = os.read(self.qemu.stdout.fileno(), 65536)
            if not data:
                self.events.put(("eof", ""))
                return
            buffer += data.decode("latin-1")
            cut = buffer.rfind("\n") + 1
            chunk, buffer = buffer[:cut], buffer[cut:]
            position = 0
            for match in TRACE.finditer(chunk):
                pending = self._emit_lines(pending + chunk[position:match.start()])
                self.events.put(("trace", match.group(0).strip()))
                position = match.end()
            pending = self._emit_lines(pending + chunk[position:])

    def _emit_lines(self, text):
        *lines, rest = text.split("\n")
        for line in lines:
            line = line.rstrip("\r")
            found = PTY.search(line)
            if found:
                # Held open for the whole run: QEMU counts a pty nobody has
                # open as disconnected, and unplugs a USB serial device on it.
                fd = os.open(found.group(1), os.O_RDWR | os.O_NOCTTY)
                tty.setraw(fd)
                self.ptys[found.group(2)] = fd
            self.events.put(("line", line))
        return rest

    def _next_event(self, deadline, awaited):
        try:
            event = self.events.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            raise VmError(f"no {awaited!r} from the guest in time" + self._tail()) from None
        if event[0] == "eof":
            raise VmError("QEMU ended" + self._tail())
        self.history.append(event)
        return event

    def _tail(self):
        shown = [text for _, text in self.history[-15:]]
        return "; the last output was:\n    " + "\n    ".join(shown)

    def wait_line(self, pattern, seconds, awaited=None):
        """Events up to and with the first console line matching pattern."""
        deadline = time.monotonic() + seconds
        seen = []
        while True:
            event = self._next_event(deadline, awaited or pattern)
            seen.append(event)
            if event[0] == "line" and re.search(pattern, event[1]):
                return seen

    def boot(self, seconds=90):
        self.wait_line(r"^@@ READY$", seconds, "end of the boot")

    def command(self, text, seconds=30):
        self.qemu.stdin.write(text.encode() + b"\n")
        self.qemu.stdin.flush()
        return Reply(text, self.wait_line(r"^@@ READY$", seconds, f"end of {text}")[:-1])

    def send(self, label, data, baud):
        """Writes data into a serial port of the guest at about the rate a
        device sends it: baud / 10 bytes a second."""
        write = self.telnets[label].write if label in self.telnets else self._pty_writer(label)
        started = time.monotonic()
        chunk = 256
        for offset in range(0, len(data), chunk):
            delay = started + offset * 10 / baud - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            write(data[offset:offset + chunk])

    def _pty_writer(self, label):
        fd = self.ptys[label]

        def write(data):
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        return write

    def send_break(self, label):
        """A break on a port whose host end is a Telnet socket."""
        self.telnets[label].socket.sendall(bytes([IAC, BREAK]))

    def close(self):
        if self.qemu.poll() is None:
            try:
                self.qemu.stdin.write(b"poweroff\n")
                self.qemu.stdin.flush()
                self.qemu.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.qemu.kill()
                self.qemu.wait()
        for fd in self.ptys.values():
            os.close(fd)
        for port in self.telnets.values():
            port.socket.close()


class TelnetPort:
    """The host's connection to a port QEMU serves as Telnet. What QEMU sends
    (its option offers, what the guest writes) is read and dropped, so that
    QEMU never waits to send it."""

    def __init__(self, address):
        self.socket = socket.create_connection(address, timeout=30)
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        while True:
            try:
                if not self.socket.recv(65536):
                    return
            except TimeoutError:  # the time-out is for sending; reading goes on
                continue
            except OSError:
                return

    def write(self, data):
        # In Telnet a 0xFF data byte is sent twice; once is a command.
        self.socket.sendall(data.replace(bytes([IAC]), bytes([IAC, IAC])))


class Qmp:
    """QEMU's machine protocol, for plugging devices in and out."""

    def __init__(self, path):
        deadline = time.monotonic() + 30
        while True:
            try:
                self.socket = socket.socket(socket.AF_UNIX)
                self.socket.settimeout(30)
                self.socket.connect(path)
                break
            except OSError:
                self.socket.close()
                if time.monotonic() > deadline:
                    raise VmError(f"no QMP socket at {path}") from None
                time.sleep(0.1)
        self.stream = self.socket.makefile("rw")
        self.pending_events = []
        self.stream.readline()  # the greeting
        self.execute("qmp_capabilities")

    def execute(self, name, **arguments):
        self.stream.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.stream.flush()
        while True:
            message = json.loads(self.stream.readline())
            if "return" in message:
                return message["return"]
            if "error" in message:
                raise VmError(f"QMP {name}: {message['error'].get('desc')}")
            self.pending_events.append(message)

    def wait_event(self, name):
        while not any(event.get("event") == name for event in self.pending_events):
            self.pending_events.append(json.loads(self.stream.readline()))
        self.pending_events = []
