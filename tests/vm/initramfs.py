#!/usr/bin/env python3
"""Builds what the VM tests boot: a static serialtap (its own build directory,
tests off), the guest's line probe, and the initramfs images: busybox, both
programs and the guest scripts, with the USB serial modules for the generic
kernel, and with the virtio disk modules for the power cut (cloud kernel,
whose ext4 is built in).

usage: initramfs.py SOURCE_DIR OUT_DIR
"""
import gzip
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
BUSYBOX = Path("/bin/busybox")
# Load order matters: insmod resolves no dependencies.
USB_SERIAL_MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
VIRTIO_DISK_MODULES = ["virtio_ring", "virtio", "virtio_pci_legacy_dev", "virtio_pci_modern_dev",
                       "virtio_pci", "virtio_blk"]


def find_kernel(flavor):
    """The newest installed Debian kernel of a flavour: 'cloud' or 'generic'."""
    found = []
    for image in Path("/boot").glob("vmlinuz-*-amd64"):
        version = image.name[len("vmlinuz-"):]
        if (flavor == "cloud") == version.endswith("-cloud-amd64"):
            key = [int(part) for part in re.findall(r"\d+", version)]
            found.append((key, version, image))
    if not found:
        package = "linux-image-cloud-amd64" if flavor == "cloud" else "linux-image-amd64"
        sys.exit(f"vm: no {flavor} kernel in /boot (install the Debian package {package})")
    _, version, image = max(found)
    return version, image


class Cpio:
    """A newc archive of the few kinds of entries an initramfs needs."""

    def __init__(self):
        self.data = bytearray()
        self.inode = 1

    def _entry(self, name, mode, body=b"", rdev=(0, 0)):
        fields = [self.inode, mode, 0, 0, 1, 0, len(body), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
        self.inode += 1
        self.data += b"070701" + "".join(f"{field:08x}" for field in fields).encode()
        self.data += name.encode() + b"\0"
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def directory(self, name):
        self._entry(name, 0o040755)

    def file(self, name, body, executable=False):
        self._entry(name, 0o100755 if executable else 0o100644, body)

    def char_device(self, name, major, minor):
        self._entry(name, 0o020600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return gzip.compress(bytes(self.data), compresslevel=1)


def build_programs(source, out):
    static = out / "static"
    subprocess.run(["cmake", "-S", source, "-B", static, "-DCMAKE_BUILD_TYPE=Release",
                    "-DSERIALTAP_TESTS=OFF", "-DCMAKE_EXE_LINKER_FLAGS=-static"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", static, "--target", "serialtap", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    probe = out / "line_probe"
    subprocess.run(["cc", "-static", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-o", probe,
                    HERE / "line_probe.c"], check=True)
    return static / "serialtap", probe


def initramfs(programs, modules=()):
    cpio = Cpio()
    for directory in ["bin", "dev", "proc", "sys", "tmp", "modules"]:
        cpio.directory(directory)
    cpio.char_device("dev/console", 5, 1)
    cpio.file("bin/busybox", BUSYBOX.read_bytes(), executable=True)
    for program in programs:
        cpio.file(f"bin/{program.name}", program.read_bytes(), executable=True)
    cpio.file("init", (HERE / "guest" / "init").read_bytes(), executable=True)
    for module in modules:
        cpio.file(f"modules/{module.name}", module.read_bytes())
    return cpio.finish()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, out = Path(sys.argv[1]), Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    if not BUSYBOX.exists():
        sys.exit("vm: /bin/busybox missing (install the Debian package busybox-static)")
    programs = build_programs(source, out)
    (out / "uart.cpio.gz").write_bytes(initramfs(programs))
    (out / "ftdi.cpio.gz").write_bytes(
        initramfs(programs, kernel_modules(find_kernel("generic")[0], USB_SERIAL_MODULES)))
    (out / "power.cpio.gz").write_bytes(
        initramfs(programs, kernel_modules(find_kernel("cloud")[0], VIRTIO_DISK_MODULES)))


def kernel_modules(version, names):
    modules = []
    for name in names:
        found = list(Path("/lib/modules", version).rglob(f"{name}.ko"))
        if not found:
            sys.exit(f"vm: module {name}.ko of kernel {version} not found")
        modules.append(found[0])
    return modules


if __name__ == "__main__":
    main()
