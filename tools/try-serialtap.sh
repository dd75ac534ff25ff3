#!/usr/bin/env bash
# Tries serialtap without hardware: installs what the build needs, builds
# the program and the virtual device (not the tests), starts the device in
# the background and captures what it sends until you press q.
#
#   tools/try-serialtap.sh [capture-file] [virtual device options...]
#
# The capture file (default capture.txt) is written in the current
# directory; the device options (see serialtap-virtual-device --help) choose
# what the device sends, e.g. --random --baud 9600.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SERIALTAP_BUILD_DIR:-$repo/build}
capture=${1:-capture.txt}
if (($# > 0)); then shift; fi

device_pid=
port_file=
cleanup() {
    if [[ -n $device_pid ]]; then
        kill "$device_pid" 2>/dev/null || true
        wait "$device_pid" 2>/dev/null || true
    fi
    if [[ -n $port_file ]]; then
        rm -f "$port_file"
    fi
}
trap cleanup EXIT
# The exit trap stops the device on every way out; these make a signal end
# the script through it.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

bash "$repo/scripts/install-deps.sh" build
cmake -S "$repo" -B "$build" -DSERIALTAP_WERROR=ON
# Only what runs here; the tests build with `cmake --build build` later on.
cmake --build "$build" --parallel --target serialtap serialtap-virtual-device

port_file=$(mktemp)
"$build/tools/serialtap-virtual-device" "$@" >"$port_file" &
device_pid=$!

port=
for _ in $(seq 100); do
    port=$(head -n 1 "$port_file")
    [[ -n $port ]] && break
    if ! kill -0 "$device_pid" 2>/dev/null; then
        echo "try-serialtap: the virtual device did not start" >&2
        exit 1
    fi
    sleep 0.05
done
if [[ -z $port ]]; then
    echo "try-serialtap: the virtual device gave no port" >&2
    exit 1
fi

echo
echo "Virtual device on $port. Capturing into $capture: press q to stop."
echo "(With a real device: ${build#"$PWD"/}/serialtap $capture -c /dev/ttyUSB0 -b 115200)"
echo
# Ctrl+C also stops the capture cleanly; the script then goes on to show it.
trap ':' INT
status=0
"$build/serialtap" "$capture" -c "$port" -v 1 || status=$?
trap 'exit 130' INT

cleanup
device_pid=
if [[ -f $capture ]]; then
    size=$(wc -c <"$capture" | tr -d ' ')
    echo "Capture: $(cd "$(dirname "$capture")" && pwd)/$(basename "$capture") ($size bytes)"
fi
exit "$status"
