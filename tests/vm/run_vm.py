#!/usr/bin/env python3
"""Checks serialtap on real Linux serial drivers: boots a Debian kernel under
QEMU with the initramfs that initramfs.py built, runs captures in the guest
and feeds and checks them from the host.

usage: run_vm.py uart|ftdi VM_BUILD_DIR [--findings] [--replug]
  uart  the 8250 driver of a 16550 (cloud kernel): the line settings reach
        the UART's registers, and a capture at 115200 baud is exact
  ftdi  ftdi_sio on an emulated USB FT232 (generic kernel): a capture, and
        an adapter unplugged in the middle of one
  Both also send data, a break and data, through QEMU's Telnet backend. The
  checks of line marks (-u 1) run when the usage screen shows -u.
  --findings  also print what the drivers keep of settings they cannot make
  --replug    also plug the adapter back and check the capture goes on
"""
import re
import runpy
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
from guest_vm import GuestVm, VmError, telnet_chardev  # noqa: E402
from initramfs import find_kernel  # noqa: E402

# The adapter is plugged back after the unplug and the capture must resume on
# /dev/ttyUSB0 (the port is closed at once when it goes, so the adapter gets
# its name back) into the same file.
CHECK_REPLUG = True

UART_CLOCK_RATE = 115200  # the 1.8432 MHz clock of a PC's 16550, divided by 16
PARITY_TRACE = "NOEOE"  # QEMU shows no stick parity: mark as odd, space as even
# The adapter's host end is a Telnet socket, which can send a break; QEMU
# plugs the adapter in only while the host is connected to it.
USB_SERIAL = ["-device", "qemu-xhci,id=xhci", *telnet_chardev("ser0"),
              "-device", "usb-serial,bus=xhci.0,chardev=ser0,id=ftdi"]
# ttyS1, the UART most checks use, also on a Telnet socket; ttyS2 on a pty.
UARTS = [*telnet_chardev("serial1"), "-serial", "chardev:serial1", "-serial", "pty"]
USB_TRACES = ["-trace", "usb_serial_set_*", "-trace", "usb_serial_unsupported_*"]

CAPTURE_BYTES = 256 * 1024
MARK = b"--- serialtap: "
RUN_ENDS = ("RUN1END", "RUN2END")  # a line ending each run of data, awaited in the file

failures = []


def check(condition, what, detail=""):
    print(f"{'ok' if condition else 'FAILED'}: {what}{'' if condition else ': ' + detail}")
    if not condition:
        failures.append(what)


def device_data(size, rng_seed):
    """Every byte value, then pseudo-random bytes up to size."""
    return bytes(range(256)) + random.Random(rng_seed).randbytes(size - 256)


def as_captured(data):
    return data.replace(b"\n", b"\r\n")


def first_difference(got, expected):
    for offset, (a, b) in enumerate(zip(got, expected)):
        if a != b:
            return f"first difference at byte {offset} of {len(expected)}"
    return f"{len(got)} bytes captured, {len(expected)} expected"


# Line settings: options and what the 16550 must then be programmed with,
# or None for a combination the program refuses.
def expected_line(rate, data_bits, parity, stop):
    if rate == 0 or not 5 <= data_bits <= 8:
        return None
    # Past what its clock can make, the 8250 driver silently keeps the port's
    # previous rate; the program reads the line back and refuses it.
    if rate > UART_CLOCK_RATE * 101 // 100:
        return None
    parity = parity if 0 <= parity <= 4 else 0
    stop = stop if 0 <= stop <= 2 else 0
    if (stop == 1 and data_bits != 5) or (stop == 2 and data_bits == 5):
        return None
    divisor = max(1, round(UART_CLOCK_RATE / rate))
    trace = (f"serial_update_parameters baudrate={UART_CLOCK_RATE // divisor} "
             f"parity='{PARITY_TRACE[parity]}' data={data_bits} stop={1 if stop == 0 else 2}")
    lcr = ((data_bits - 5) | (0x04 if stop else 0) | (0x08 if parity else 0)
           | (0x10 if parity in (2, 4) else 0) | (0x20 if parity in (3, 4) else 0))
    kept = (f"data={data_bits} parenb={int(parity != 0)} parodd={int(parity in (1, 3))} "
            f"cmspar={int(parity in (3, 4))} cstopb={int(stop != 0)}")
    return trace, f"lcr=0x{lcr:02x}", kept


def meaningful_lcr(shown):
    """The LCR bits that shape a character: the parity type bits only count
    with parity on (the 8250 driver sets "even" for no parity too)."""
    if not shown:
        return "no LCR"
    lcr = int(shown.split("=")[1], 16)
    return f"lcr=0x{lcr & (0x3f if lcr & 0x08 else 0x0f):02x}"


def line_cases():
    cases = [(rate, 8, 0, 0) for rate in
             (300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 56000)]
    cases += [(rate, bits, parity, stop) for rate in (300, 115200) for bits in range(5, 9)
              for parity in range(5) for stop in range(3)]
    cases += [(0, 8, 0, 0), (9600, 4, 0, 0), (9600, 9, 0, 0), (9600, 8, 7, 0), (9600, 8, 0, 5),
              (250000, 8, 0, 0), (230400, 8, 0, 0)]
    return cases


def check_line_settings(vm):
    wrong = []
    for rate, bits, parity, stop in line_cases():
        options = f"-b {rate} -n {bits} -p {parity} -s {stop}"
        reply = vm.command(f"line_case {options}")
        expected = expected_line(rate, bits, parity, stop)
        if expected is None:
            if reply.result("EXITED") != "status=1" or "error setting comm: 22" not in reply.lines():
                wrong.append(f"{options}: not refused: {reply.events}")
            continue
        trace, lcr, kept = expected
        traces = reply.traces(before="STARTED")
        got = (traces[-1] if traces else "no trace", meaningful_lcr(reply.result("LCR")),
               (reply.result("PROBE") or "").rsplit(" cbaud", 1)[0], reply.result("STOPPED"))
        if got != (trace, lcr, kept, "status=0"):
            wrong.append(f"{options}: got {got}, expected {(trace, lcr, kept, 'status=0')}")
    check(not wrong, f"line settings on the 16550 ({len(line_cases())} combinations)",
          "\n    ".join(wrong))


def check_capture(vm, port, pty, size, rng_seed):
    """A capture at 115200 baud of every byte value and more, ended by SIGTERM."""
    data = device_data(size, rng_seed)
    started = vm.command(f"start {port} -b 115200")
    if started.result("STARTED") is None:
        raise VmError(f"the capture on {port} did not start: {started.events}")
    vm.send(pty, data, 115200)
    read = vm.command(f"wait_read {len(data)} 60", 75).result("READ")
    stopped = vm.command("stop").result("STOPPED")
    captured = vm.command("dump", 120).file()
    check(read == str(len(data)) and stopped == "status=0" and captured == as_captured(data),
          f"{len(data)} bytes through {port} captured exactly, ended by SIGTERM",
          f"read {read}, {stopped}, {first_difference(captured, as_captured(data))}")


def hex_streams():
    """tools/hex-streams.py's reading of a hex capture, by label."""
    script = Path(__file__).resolve().parents[2] / "tools" / "hex-streams.py"
    return runpy.run_path(str(script), run_name="hex_streams")["streams"]


def check_two_ports(vm):
    """Both directions of an exchange, one UART each, into one hex capture:
    each side's bytes exact, and the turns in the order they were sent."""
    rng = random.Random(5)
    turns = [("serial1" if n % 2 == 0 else "serial2", rng.randbytes(rng.randrange(20, 400)))
             for n in range(12)]
    started = vm.command("start /dev/ttyS1 -b 115200 -l /dev/ttyS2 -m 2 -d 3")
    if started.result("STARTED") is None:
        raise VmError(f"the capture of two ports did not start: {started.events}")
    total = 0
    for pty, data in turns:
        vm.send(pty, data, 115200)
        total += len(data)
        vm.command(f"wait_read {total} 60", 75)
    stopped = vm.command("stop").result("STOPPED")
    captured = vm.command("dump", 120).file()
    streams = hex_streams()(captured)
    labels = {"serial1": "ttyS1", "serial2": "ttyS2"}
    sent = {label: b"".join(d for p, d in turns if labels[p] == label) for label in labels.values()}
    exact = all(bytes(streams.get(label, b"")) == data for label, data in sent.items())
    order = []
    for line in captured.split(b"\r\n"):
        label = line.split(b"] ", 1)[-1].split(b": ", 1)[0].decode("latin-1")
        if line and (not order or order[-1] != label):
            order.append(label)
    check(stopped == "status=0" and exact and order == [labels[p] for p, _ in turns],
          f"an exchange of {len(turns)} turns over ttyS1 and ttyS2 captured in order and exact",
          f"{stopped}, exact={exact}, order={order}")


def show_order_bound(vm):
    """How far apart the two UARTs' bytes must come to be captured in order:
    a line to ttyS2, then after a delay one to ttyS1 (read first in a round)."""
    for delay_ms in (0, 1, 2, 5, 10, 20):
        vm.command("start /dev/ttyS1 -b 115200 -l /dev/ttyS2")
        pairs = 40
        for n in range(pairs):
            vm.send("serial2", b"B%02d\n" % n, 115200)
            time.sleep(delay_ms / 1000)
            vm.send("serial1", b"A%02d\n" % n, 115200)
            time.sleep(0.03)
        vm.command(f"wait_read {8 * pairs} 60", 75)
        vm.command("stop")
        lines = [line.split(b": ", 1)[-1] for line in vm.command("dump", 60).file().split(b"\r\n")]
        wrong = sum(1 for n in range(pairs)
                    if b"A%02d" % n in lines and b"B%02d" % n in lines
                    and lines.index(b"A%02d" % n) < lines.index(b"B%02d" % n))
        print(f"finding: ttyS2 {delay_ms} ms before ttyS1: {wrong} of {pairs} pairs out of order")


def unplug_adapter(vm):
    """Pulls the adapter out under a capture, which must say so; gives the moment."""
    vm.qmp.execute("device_del", id="ftdi")
    vm.qmp.wait_event("DEVICE_DELETED")
    unplugged = time.monotonic()
    vm.wait_line(r"^Error for Waiting Comm Event: 5$", 15)
    return unplugged


def check_unplug(vm, replug):
    before, after = device_data(32768, 3), device_data(32768, 4)
    if vm.command("start /dev/ttyUSB0 -b 115200").result("STARTED") is None:
        raise VmError("the capture on /dev/ttyUSB0 did not start")
    vm.send("ser0", before, 115200)
    vm.command(f"wait_read {len(before)} 60", 75)
    unplugged = unplug_adapter(vm)
    cpu = vm.command("cpu_use 3").result("CPU")
    ticks = int(cpu.split()[0].split("=")[1])
    # A spinning capture would use all 300 ticks; a once-a-second retry a few.
    check(ticks <= 6, f"{ticks} ticks of 1/100 s of processor time in 3 s while the adapter is away",
          "more than 6")
    expected = before
    if replug:
        vm.qmp.execute("device_add", driver="usb-serial", bus="xhci.0", chardev="ser0",
                       id="ftdi")
        vm.wait_line(r"^serial port reopened$", 30)
        vm.send("ser0", after, 115200)
        vm.command(f"wait_read {len(before) + len(after)} 60", 75)
        expected = before + after
    reply = vm.command("alive")
    alive = reply.result("ALIVE") is not None
    seconds = time.monotonic() - unplugged
    reports = sum(1 for event in vm.history if event == ("line", "Error for Waiting Comm Event: 5"))
    check(alive and 1 <= reports <= seconds + 2,
          f"the unplug is reported ({reports} times in {seconds:.0f} s) and the capture goes on",
          f"alive={alive}")
    stopped = vm.command("stop").result("STOPPED")
    captured = vm.command("dump", 60).file()
    what = "every byte sent before the unplug" + (" and after the replug" if replug else "")
    check(stopped == "status=0" and captured == as_captured(expected),
          f"SIGTERM ends the capture with {what} in the file",
          f"{stopped}, {first_difference(captured, as_captured(expected))}")


def marks_line_events(build):
    """Whether this serialtap can mark line events: its usage screen shows -u."""
    shown = subprocess.run([build / "static" / "serialtap", "--help"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, check=False).stdout
    return any(line.startswith(b"-u ") for line in shown.splitlines())


def between_marks(captured):
    """A text capture with -u 1 less its first line, which must say the capture
    began, and its last, which must say it ended, each ending in a bare LF as
    event lines do; None when they are not so."""
    first_end = captured.find(b"\n") + 1
    last_start = captured.rfind(b"\n", 0, len(captured) - 1) + 1
    if (captured.startswith(MARK + b"capture began ") and captured.endswith(b"\n")
            and not captured.endswith(b"\r\n") and 1 <= first_end <= last_start
            and captured[first_end - 2:first_end] != b"\r\n"
            and captured[last_start:].startswith(MARK + b"capture ended ")):
        return captured[first_end:last_start]
    return None


def runs_of_data():
    """Two runs of data to send either side of a line event: every byte value,
    0xFF twice and a 0xFF 0x00 0x00 (what a break looks like to a reader of
    the marked line) among them; each ends with a line of its own."""
    rng = random.Random(6)
    return [bytes(range(256)) + b"\xff\xff\xff\x00\x00" + rng.randbytes(600) + f"\n{end}\n".encode()
            for end in RUN_ENDS]


def driver_breaks(vm):
    return int(re.search(r"brk=(\d+)", vm.command("counts").result("COUNTS") or "brk=-1")[1])


def check_break(vm, label, port, marks, driver_counts=None):
    """Data, a break from the host's Telnet end, data: each break the driver
    counts (TIOCGICOUNT; driver_counts if given) must come out as a 0x00
    between the runs without -u 1, as the driver hands it over, and as a mark
    line with -u 1, each run exact. Returns the breaks the driver counted."""
    first, second = runs_of_data()
    option = "" if marks is None else f" -u {marks}"
    if vm.command(f"start {port} -b 115200 -f 50{option}").result("STARTED") is None:
        raise VmError(f"the capture on {port}{option} did not start")
    before = driver_breaks(vm)
    vm.send(label, first, 115200)
    # The break follows the whole first run on the line.
    held = vm.command(f"wait_file {RUN_ENDS[0]} 30", 45).result("HELD") is not None
    vm.send_break(label)
    vm.send(label, second, 115200)
    held = held and vm.command(f"wait_file {RUN_ENDS[1]} 30", 45).result("HELD") is not None
    breaks = driver_breaks(vm) - before
    stopped = vm.command("stop").result("STOPPED")
    captured = vm.command("dump", 60).file()
    if marks == 1:
        got = between_marks(captured)
        expected = as_captured(first) + (MARK + b"break\n") * breaks + as_captured(second)
        what = f"{breaks} break line(s)"
    else:
        got = captured
        expected = as_captured(first + b"\0" * breaks + second)
        what = f"{breaks} 0x00 byte(s)"
    check(held and stopped == "status=0" and got == expected
          and driver_counts in (None, breaks),
          f"data, a break, data on {port}{option}: {what} between the runs, each run exact",
          f"held={held}, {stopped}, driver's breaks {breaks}, "
          + (first_difference(got, expected) if got is not None
             else "no capture began/ended line first/last"))
    return breaks


def check_unplug_marked(vm):
    """With -u 1 an adapter unplugged and plugged back leaves a "port lost"
    and a "port back after T s" line between the data before and after, T
    the time it was away."""
    first, second = (f"before the unplug\n{RUN_ENDS[0]}\n".encode(),
                     f"after the replug\n{RUN_ENDS[1]}\n".encode())
    if vm.command("start /dev/ttyUSB0 -b 115200 -f 50 -u 1").result("STARTED") is None:
        raise VmError("the capture on /dev/ttyUSB0 -u 1 did not start")
    vm.send("ser0", first, 115200)
    vm.command(f"wait_file {RUN_ENDS[0]} 30", 45)
    unplugged = unplug_adapter(vm)
    time.sleep(max(0.0, unplugged + 2 - time.monotonic()))
    vm.qmp.execute("device_add", driver="usb-serial", bus="xhci.0", chardev="ser0", id="ftdi")
    vm.wait_line(r"^serial port reopened$", 30)
    away = time.monotonic() - unplugged
    vm.send("ser0", second, 115200)
    vm.command(f"wait_file {RUN_ENDS[1]} 30", 45)
    stopped = vm.command("stop").result("STOPPED")
    body = between_marks(vm.command("dump", 60).file()) or b""
    found = re.fullmatch(re.escape(MARK) + rb"port lost\n" + re.escape(MARK)
                         + rb"port back after (\d+(?:\.\d+)?) s\n",
                         body.replace(as_captured(first), b"", 1).replace(as_captured(second), b""))
    check(stopped == "status=0" and body.startswith(as_captured(first))
          and body.endswith(as_captured(second)) and found is not None
          and abs(float(found[1]) - away) <= 1.0,
          f"-u 1: the unplug and replug marked between the data, back after about {away:.1f} s",
          f"{stopped}, between the capture began/ended lines: {body!r}")


def show_findings(vm, port, cases, register=None):
    """What the driver keeps and programs for settings it may not make."""
    vm.command("kernel_log")  # from here on, only what these settings cause
    for options in cases:
        reply = vm.command(f"start {port} {options}")
        if reply.result("STARTED") is not None:
            probe = vm.command("probe").result("PROBE")
            lcr = vm.command(register).result("LCR") if register else ""
            stop = vm.command("stop")
            print(f"finding: {options}: read back {probe} {lcr}; {stop.result('STOPPED')}")
        else:
            print(f"finding: {options}: {reply.lines()} {reply.result('EXITED')}")
        traces = reply.traces(before="STARTED")
        for previous, trace in zip([None] + traces, traces):
            if trace != previous:
                print(f"    qemu: {trace}")
        for line in vm.command("kernel_log").results("KERNEL"):
            print(f"    kernel: {line}")


def check_port_list(vm):
    """--list names the adapter by its USB id and the UARTs that are there,
    and leaves out the legacy ports whose UART the driver found absent."""
    reply = vm.command("list_ports")
    ports = {line.split()[0]: line for line in reply.results("PORT") if line}
    adapter = ports.get("/dev/ttyUSB0", "")
    check(reply.result("LISTED") == "status=0" and "usb=0403:" in adapter
          and "driver=ftdi_sio" in adapter and "/dev/ttyS0" in ports
          and "/dev/ttyS2" not in ports and "/dev/ttyS3" not in ports,
          "--list shows the FTDI adapter and the 16550, not the absent legacy ports",
          str(reply.results("PORT")))


def run_uart(build, findings, marks):
    _, kernel = find_kernel("cloud")
    with tempfile.TemporaryDirectory() as scratch:
        vm = GuestVm(kernel, build / "uart.cpio.gz",
                     UARTS + ["-trace", "serial_update_parameters"], qmp_path=f"{scratch}/qmp")
        try:
            vm.boot()
            check_line_settings(vm)
            check_capture(vm, "/dev/ttyS1", "serial1", CAPTURE_BYTES, 1)
            check_two_ports(vm)
            # The 8250 driver hands a break over as a 0x00 flagged TTY_BREAK.
            check_break(vm, "serial1", "/dev/ttyS1", 0 if marks else None, driver_counts=1)
            if marks:
                check_break(vm, "serial1", "/dev/ttyS1", 1, driver_counts=1)
            if findings:
                show_order_bound(vm)
                show_findings(vm, "/dev/ttyS1", ["-b 300", "-b 250000", "-b 56000", "-b 100000",
                                                 "-p 3", "-p 4", "-n 7 -p 3"], "lcr 0x2f8")
        finally:
            vm.close()


def run_ftdi(build, findings, replug, marks):
    _, kernel = find_kernel("generic")
    with tempfile.TemporaryDirectory() as scratch:
        vm = GuestVm(kernel, build / "ftdi.cpio.gz", USB_SERIAL + USB_TRACES,
                     qmp_path=f"{scratch}/qmp")
        try:
            vm.boot()
            if vm.command("load_usb_serial", 60).result("PORT") is None:
                raise VmError("no /dev/ttyUSB0 in the guest")
            check_port_list(vm)
            check_capture(vm, "/dev/ttyUSB0", "ser0", CAPTURE_BYTES, 2)
            if findings:
                show_findings(vm, "/dev/ttyUSB0",
                              ["-n 7 -p 2", "-n 7 -p 1", "-n 5", "-n 6", "-n 5 -s 1", "-s 2",
                               "-p 3", "-p 4", "-b 250000", "-b 56000"])
            # QEMU's FT232 signals a break as a status-only packet with BI set;
            # whatever ftdi_sio makes of it must reach the capture as such.
            breaks = check_break(vm, "ser0", "/dev/ttyUSB0", 0 if marks else None)
            print(f"finding: ftdi_sio counted {breaks} break(s) of the one the FT232 signalled")
            if marks:
                check_break(vm, "ser0", "/dev/ttyUSB0", 1)
            check_unplug(vm, replug)
            if marks and replug:
                check_unplug_marked(vm)
        finally:
            vm.close()


def main():
    arguments = sys.argv[1:]
    if len(arguments) < 2 or arguments[0] not in ("uart", "ftdi"):
        sys.exit(__doc__)
    if shutil.which("qemu-system-x86_64") is None:
        sys.exit("vm: qemu-system-x86_64 not found (install the Debian package qemu-system-x86)")
    build = Path(arguments[1])
    if not (build / f"{arguments[0]}.cpio.gz").exists():
        sys.exit(f"vm: {build}/{arguments[0]}.cpio.gz missing (run tests/vm/initramfs.py)")
    started = time.monotonic()
    marks = marks_line_events(build)
    if not marks:
        print("note: no -u on the usage screen: the checks of line marks do not run")
    try:
        if arguments[0] == "uart":
            run_uart(build, "--findings" in arguments, marks)
        else:
            run_ftdi(build, "--findings" in arguments, CHECK_REPLUG or "--replug" in arguments,
                     marks)
    except (VmError, OSError, ValueError) as error:  # OSError, ValueError: from QMP
        check(False, "the guest ran every check", str(error))
    print(f"vm {arguments[0]}: {len(failures)} failed, {time.monotonic() - started:.0f} s")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
