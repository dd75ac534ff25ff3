"""Starting the programs under measurement and reading their own accounting
from /proc."""

import fcntl
import os
import select
import signal
import termios
import time


def spawn(argv, console=None, stdout_path=None):
    """Starts argv; on a console, as a session leader with that console as its
    controlling terminal, otherwise with standard output to stdout_path."""
    pid = os.fork()
    if pid == 0:
        try:
            if console is not None:
                os.setsid()
                for fd in (0, 1, 2):
                    os.dup2(console.slave, fd)
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            else:
                null = os.open(os.devnull, os.O_RDWR)
                out = os.open(stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                os.dup2(null, 0)
                os.dup2(out, 1)
                os.dup2(null, 2)
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    return pid


class Process:
    """A started reader: its own accounting from /proc, and its end."""

    def __init__(self, pid):
        self.pid = pid
        self.status = None
        self.rusage = None
        self.ended_at = None
        try:
            self._pidfd = os.pidfd_open(pid)
        except (AttributeError, OSError):
            self._pidfd = None

    def _tasks(self):
        try:
            return os.listdir(f"/proc/{self.pid}/task")
        except FileNotFoundError:
            return []

    def cpu_seconds(self):
        """User plus system time of all threads, from the scheduler's own
        nanosecond accounting."""
        total = 0
        for task in self._tasks():
            try:
                with open(f"/proc/{self.pid}/task/{task}/schedstat") as f:
                    total += int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total / 1e9

    def context_switches(self):
        total = 0
        for task in self._tasks():
            try:
                with open(f"/proc/{self.pid}/task/{task}/status") as f:
                    for line in f:
                        if "ctxt_switches" in line:
                            total += int(line.split()[1])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total

    def sleeping_with_port_open(self, port_path):
        try:
            with open(f"/proc/{self.pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            fds = os.listdir(f"/proc/{self.pid}/fd")
        except (FileNotFoundError, ProcessLookupError):
            return False
        if state != "S":
            return False
        for fd in fds:
            try:
                if os.readlink(f"/proc/{self.pid}/fd/{fd}") == port_path:
                    return True
            except OSError:
                pass
        return False

    def wait_until_listening(self, port_path, timeout=10.0):
        """Waits until the reader has opened and set up the port and sleeps
        waiting for input, so that nothing written is purged by its setup."""
        deadline = time.monotonic() + timeout
        calm = 0
        while calm < 5:
            if time.monotonic() > deadline or self.poll():
                raise RuntimeError(f"pid {self.pid} did not start listening on {port_path}")
            calm = calm + 1 if self.sleeping_with_port_open(port_path) else 0
            time.sleep(0.01)
        time.sleep(0.1)

    def poll(self):
        if self.status is None:
            pid, status, rusage = os.wait4(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.ended_at = time.perf_counter()
                self.status, self.rusage = status, rusage
        return self.status is not None

    def wait(self, timeout=10.0):
        """Waits for the end; the end time is taken as the exit is seen."""
        deadline = time.monotonic() + timeout
        while not self.poll():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if self._pidfd is not None:
                select.select([self._pidfd], [], [], left)
            else:
                time.sleep(0.0005)
        return True

    def kill(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.wait()

    def close(self):
        self.kill()
        if self._pidfd is not None:
            os.close(self._pidfd)

    def exit_code(self):
        return os.waitstatus_to_exitcode(self.status)

    def peak_rss_kib(self):
        """The high-water mark of the program's own memory. The rusage figure
        would also count the forked copy of this script before the exec."""
        try:
            with open(f"/proc/{self.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
        return 0
