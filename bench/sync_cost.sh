#!/usr/bin/env bash
# What -y costs: the system calls of a capture of random bytes from the
# virtual device, as fast as the port takes them, counted with strace -c,
# without -y, with -y 1 -f MS and with -y 1 alone, and the time each took.
# With BASELINE=path/to/an/older/serialtap, the runs without -y alternate
# three times between the two programs, to show the calls are the same.
#
#   bench/sync_cost.sh [build-dir] [bytes] [flush-ms]   (defaults: build 1048576 200)
set -euo pipefail

build=${1:-build}
bytes=${2:-1048576}
flush_ms=${3:-200}
exe=$build/serialtap
device=$build/tools/serialtap-virtual-device
work=$(mktemp -d "${TMPDIR:-/var/tmp}/sync-cost.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/traced_capture.sh"

run() {
    local exe=$1 name=$2
    shift 2
    local device_pid
    start_device "$name" --random --count "$bytes"
    local start=$(date +%s.%N)
    strace -c -o "$work/$name.trace" \
        "$exe" "$work/$name.bin" -c "$(cat "$work/$name.port")" "$@" </dev/null &
    local strace_pid=$!
    local capture_pid
    capture_pid=$(capture_pid_under "$strace_pid")
    # All but what the last, partly filled buffer holds.
    until (($(stat -c %s "$work/$name.bin") >= bytes - 4096)); do sleep 0.01; done
    local end=$(date +%s.%N)
    kill -TERM "$capture_pid"
    wait "$strace_pid" || true
    kill "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
    local size
    size=$(stat -c %s "$work/$name.bin")
    printf '%-22s %9s bytes %6.2f s' "$name" "$size" "$(echo "$end - $start" | bc)"
    for call in read write poll ioctl openat flock fdatasync fsync; do
        printf ' %s %s' "$call" "$(awk -v c="$call" '$NF == c { print $4 }' "$work/$name.trace")"
    done
    echo
}

if [ -n "${BASELINE:-}" ]; then
    for round in 1 2 3; do
        run "$BASELINE" "baseline $round" -m 1
        run "$exe" "no -y $round" -m 1
    done
fi
run "$exe" "no -y" -m 1
run "$exe" "-y 1 -f $flush_ms" -m 1 -y 1 -f "$flush_ms"
run "$exe" "-y 1" -m 1 -y 1
