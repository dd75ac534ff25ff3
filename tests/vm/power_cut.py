#!/usr/bin/env python3
"""Pulls the power under a capture: a guest (cloud kernel) with an ext4 disk
that the host made without mounting it runs serialtap on ttyS1 into a file
on that disk, the host sends numbered lines at a steady rate and kills QEMU
with SIGKILL at a random moment. The host then replays the journal
(e2fsck -p), reads the file out of the image (debugfs) and checks it is an
exact prefix of what was sent, missing at most what was sent in the last
-f milliseconds and a line and a UART FIFO more.

usage: power_cut.py VM_BUILD_DIR [--trials N] [--unsynced N] [--flush MS]
  --trials N    power cuts with -y 1 (default 3), each checked
  --unsynced N  power cuts without -y (default 0), only measured
  --flush MS    the -f of the captures (default 200)
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
from guest_vm import GuestVm, VmError  # noqa: E402
from initramfs import find_kernel  # noqa: E402

LINE_BYTES = 64
LINES_PER_SECOND = 100  # 6400 bytes a second, about half of 115200 baud
UART_FIFO_BYTES = 16
FILE_IN_IMAGE = "/capture.log"


def line(number):
    text = f"{number:08d} "
    return (text + "x" * (LINE_BYTES - 1 - len(text)) + "\n").encode()


class Sender(threading.Thread):
    """Writes numbered lines at a steady rate until stopped or the port
    goes; keeps the moment each line was handed over."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd, self.sent, self.stop = fd, [], threading.Event()

    def run(self):
        started = time.monotonic()
        number = 0
        while not self.stop.is_set():
            delay = started + number / LINES_PER_SECOND - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            try:
                os.write(self.fd, line(number))
            except OSError:
                return
            self.sent.append(time.monotonic())
            number += 1


def make_disk(scratch):
    empty, image = Path(scratch, "empty"), Path(scratch, "disk.img")
    empty.mkdir()
    with open(image, "wb") as disk:
        disk.truncate(64 * 1024 * 1024)
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-d", str(empty), str(image)], check=True)
    return image


def read_back(image):
    """The capture file as the disk holds it after the journal's replay."""
    fsck = subprocess.run(["e2fsck", "-p", str(image)], capture_output=True)
    if fsck.returncode >= 4:
        raise VmError(f"e2fsck -p: status {fsck.returncode}: {fsck.stdout} {fsck.stderr}")
    cat = subprocess.run(["debugfs", "-R", f"cat {FILE_IN_IMAGE}", str(image)],
                         capture_output=True, check=True)
    return cat.stdout


def power_cut(build, kernel, synced, flush_ms, rng):
    """One capture cut off at a random moment: (bytes sent, bytes in the
    file, bytes allowed to be missing, whether the file is a prefix)."""
    with tempfile.TemporaryDirectory() as scratch:
        image = make_disk(scratch)
        vm = GuestVm(kernel, build / "power.cpio.gz",
                     ["-serial", "pty", "-drive", f"file={image},format=raw,if=virtio"])
        try:
            vm.boot()
            if vm.command("load_virtio_disk", 60).result("DISK") is None:
                raise VmError("the guest did not mount its disk")
            vm.command(f"capture=/disk{FILE_IN_IMAGE}")
            options = f"-b 115200 -m 1 -f {flush_ms}" + (" -y 1" if synced else "")
            if vm.command(f"start /dev/ttyS1 {options}").result("STARTED") is None:
                raise VmError("the capture did not start")
            sender = Sender(vm.ptys["serial1"])
            sender.start()
            time.sleep(rng.uniform(3.0, 8.0))
            vm.qemu.kill()
            cut = time.monotonic()
            vm.qemu.wait()
            sender.stop.set()
            sender.join()
        finally:
            vm.close()
        held = read_back(image)
    sent_lines = [t for t in sender.sent if t <= cut]
    sent = b"".join(line(n) for n in range(len(sent_lines)))
    recent = sum(1 for t in sent_lines if t >= cut - flush_ms / 1000)
    allowed = recent * LINE_BYTES + LINE_BYTES + UART_FIFO_BYTES
    return len(sent), len(held), allowed, held == sent[:len(held)], held.count(0)


def main():
    arguments = sys.argv[1:]
    if not arguments:
        sys.exit(__doc__)
    build = Path(arguments[0])

    def option(name, default):
        return int(arguments[arguments.index(name) + 1]) if name in arguments else default

    trials, unsynced, flush_ms = option("--trials", 3), option("--unsynced", 0), option("--flush", 200)
    for tool in ("qemu-system-x86_64", "mke2fs", "e2fsck", "debugfs"):
        if shutil.which(tool) is None:
            sys.exit(f"vm: {tool} not found (install qemu-system-x86 and e2fsprogs)")
    if not (build / "power.cpio.gz").exists():
        sys.exit(f"vm: {build}/power.cpio.gz missing (run tests/vm/initramfs.py)")
    _, kernel = find_kernel("cloud")
    rng = random.Random()
    failures = 0
    for synced, count in ((True, trials), (False, unsynced)):
        for trial in range(count):
            try:
                sent, held, allowed, prefix, nuls = power_cut(build, kernel, synced, flush_ms, rng)
            except (VmError, OSError, subprocess.CalledProcessError) as error:
                print(f"FAILED: power cut {trial + 1}: {error}")
                failures += 1
                continue
            missing = sent - held
            ms = missing / (LINE_BYTES * LINES_PER_SECOND) * 1000
            good = prefix and nuls == 0 and (not synced or missing <= allowed)
            verdict = ("ok" if good else "FAILED") if synced else "measured"
            print(f"{verdict}: {'-y 1' if synced else 'no -y'} -f {flush_ms}: sent {sent}, "
                  f"file {held}, missing {missing} bytes ({ms:.0f} ms of sending; "
                  f"allowed {allowed}), prefix={prefix} nuls={nuls}")
            failures += 0 if good or not synced else 1
            if not synced and not (prefix and nuls == 0):
                failures += 1
    print(f"vm power: {failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
