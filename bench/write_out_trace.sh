#!/usr/bin/env bash
# What -f does to the capture file's writes, counted with strace on the
# virtual device: how long a line at 9600 baud waits before it is written,
# and the sizes of the writes while the port is flooded.
#
#   bench/write_out_trace.sh [build-dir] [flush-ms]     (defaults: build 200)
set -euo pipefail

build=${1:-build}
flush_ms=${2:-200}
exe=$build/serialtap
device=$build/tools/serialtap-virtual-device
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/traced_capture.sh"

# Starts the device with the given options and captures under strace until
# the capture file holds the given number of bytes; leaves the trace in
# $work/$name.trace.
trace_capture() {
    local name=$1 bytes=$2
    shift 2
    local device_pid
    start_device "$name" "$@"
    strace -ttt -e trace=read,write -o "$work/$name.trace" \
        "$exe" "$work/$name.txt" -c "$(cat "$work/$name.port")" -f "$flush_ms" </dev/null &
    local strace_pid=$!
    local capture_pid
    capture_pid=$(capture_pid_under "$strace_pid")
    until (($(stat -c %s "$work/$name.txt") >= bytes)); do sleep 0.1; done
    sleep 0.5
    kill -TERM "$capture_pid"
    wait "$strace_pid" || true
    kill "$device_pid" 2>/dev/null || true
    wait "$device_pid" || true
}

# Lines of 80 characters and CR LF, the LF stored as CR LF.
trace_capture slow $((10 * 83)) --baud 9600 --count 10
# All but what the last, partly filled buffer holds.
trace_capture flood $((32 * 1024 * 1024 - 4096)) --random --count $((32 * 1024 * 1024))

python3 - "$work" <<'EOF'
import re
import sys

work = sys.argv[1]

def calls(name):
    """(time, call, fd, result) of each read and write in a trace."""
    pattern = re.compile(r"^(\d+\.\d+) (read|write)\((\d+),.*= (-?\d+)")
    with open(f"{work}/{name}.trace") as trace:
        for line in trace:
            match = pattern.match(line)
            if match:
                yield float(match[1]), match[2], int(match[3]), int(match[4])

def busiest_fd(name, kind):
    """The capture file is the descriptor written to most, the port the one
    read most."""
    counts = {}
    for _, call, fd, _ in calls(name):
        if call == kind:
            counts[fd] = counts.get(fd, 0) + 1
    return max(counts, key=counts.get)

# Slow line: from the first byte read after a write-out to the next write-out.
fd = busiest_fd("slow", "write")
port = busiest_fd("slow", "read")
waits, first_read = [], None
for time, call, call_fd, result in calls("slow"):
    if call == "read" and call_fd == port and result > 0 and first_read is None:
        first_read = time
    elif call == "write" and call_fd == fd and first_read is not None:
        waits.append(time - first_read)
        first_read = None
print(f"9600 baud, 10 lines: {len(waits)} writes; a byte waited at most "
      f"{max(waits) * 1000:.0f} ms, median {sorted(waits)[len(waits) // 2] * 1000:.0f} ms")

fd = busiest_fd("flood", "write")
sizes = [result for _, call, call_fd, result in calls("flood") if call == "write" and call_fd == fd]
small = [size for size in sizes[:-1] if size < 4096]
print(f"flood, 32 MiB of random bytes: {len(sizes)} writes to the capture file, "
      f"{len(small)} of them (the last one aside) under 4096 bytes; "
      f"{sum(sizes)} bytes written")
EOF
