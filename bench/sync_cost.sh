#!/usr/bin/env bash
# What -y costs: the system calls of a capture of random bytes from the
# virtual device, as fast as the port takes them, counted with strace -c,
# without -y, with -y 1 -f MS and with -y 1 alone, and the time each took.
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

run() {
    local name=$1
    shift
    "$device" --wait-open --random --count "$bytes" >"$work/$name.port" &
    local device_pid=$!
    while [ ! -s "$work/$name.port" ]; do sleep 0.05; done
    local start=$(date +%s.%N)
    strace -c -o "$work/$name.trace" \
        "$exe" "$work/$name.bin" -c "$(cat "$work/$name.port")" "$@" </dev/null &
    local strace_pid=$!
    local capture_pid=
    while [ -z "$capture_pid" ]; do
        sleep 0.05
        read -r capture_pid _ <"/proc/$strace_pid/task/$strace_pid/children" || true
    done
    # All but what the last, partly filled buffer holds, then a moment more.
    until (($(stat -c %s "$work/$name.bin") >= bytes - 4096)); do sleep 0.01; done
    local end=$(date +%s.%N)
    kill -TERM "$capture_pid"
    wait "$strace_pid" || true
    kill "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
    local size
    size=$(stat -c %s "$work/$name.bin")
    printf '%-22s %9s bytes %6.2f s' "$name" "$size" "$(echo "$end - $start" | bc)"
    for call in read write poll fdatasync fsync; do
        printf ' %s %s' "$call" "$(awk -v c="$call" '$NF == c { print $4 }' "$work/$name.trace")"
    done
    echo
}

run "no -y" -m 1
run "-y 1 -f $flush_ms" -m 1 -y 1 -f "$flush_ms"
run "-y 1" -m 1 -y 1
