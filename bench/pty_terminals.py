"""The pseudo-terminals of a measurement: the port the data goes through and
the console a program takes its keys from."""

import fcntl
import os
import select
import signal
import struct
import termios
import threading
import time
import tty

WRITE_CHUNK = 64 * 1024


class Console:
    """A controlling terminal for a reader; a thread drains what the reader
    prints, as a terminal window would."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.shown = bytearray()
        self.total = 0
        self._stop = False
        self._thread = threading.Thread(target=self._drain, daemon=True)
        self._thread.start()

    def _drain(self):
        while not self._stop:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return
            self.total += len(chunk)
            self.shown += chunk
            del self.shown[:-4096]

    def type(self, keys):
        os.write(self.master, keys)

    def close(self):
        self._stop = True
        self._thread.join()
        os.close(self.master)
        os.close(self.slave)


class Port:
    """The pseudo-terminal that plays the serial port."""

    def __init__(self):
        self.master, self.held = os.openpty()
        # Raw until the reader sets the port up, so that nothing is altered.
        tty.setraw(self.held)
        self.path = os.ttyname(self.held)

    def queued(self):
        raw = fcntl.ioctl(self.held, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("i", raw)[0]

    def wait_drained(self, timeout=30.0, settle=0.05):
        """Waits until the reader has taken every byte written and gives the
        time it did. Bytes can sit between the master and the port's queue
        for a while on a busy machine, so the queue must stay empty for
        `settle` seconds; the time given is when it first was."""
        deadline = time.monotonic() + timeout
        empty_since = None
        while time.monotonic() < deadline:
            now = time.perf_counter()
            if self.queued() != 0:
                empty_since = None
            elif empty_since is None:
                empty_since = now
            elif now - empty_since >= settle:
                return empty_since
            time.sleep(0.0002)
        return None

    def write_all(self, data, stall=15.0):
        """Writes as fast as the reader drains the port: blocking writes of
        large chunks, so the writer costs one call per chunk. Gives up when a
        chunk has not gone through for `stall` seconds."""

        def stalled(*_):
            raise TimeoutError("the reader stopped draining the port")

        previous = signal.signal(signal.SIGALRM, stalled)
        try:
            view = memoryview(data)
            for start in range(0, len(view), WRITE_CHUNK):
                signal.setitimer(signal.ITIMER_REAL, stall)
                chunk = view[start : start + WRITE_CHUNK]
                while chunk:
                    chunk = chunk[os.write(self.master, chunk) :]
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    def close(self):
        os.close(self.master)
        os.close(self.held)
