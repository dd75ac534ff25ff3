#!/usr/bin/env bash
# Builds serialtap in release mode and measures it on pseudo-terminals,
# side by side with cat and with tio and picocom where they can be had.
#
#   bench/run.sh [--mib N] [--repeats N] [--idle-seconds S] [measure.py options...]
#
# BENCH_MIB sets the size of each throughput run too (default 64); the
# Markdown report is printed and kept in build-release/bench-results.md.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$repo/build-release}

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSERIALTAP_WERROR=ON -DSERIALTAP_TESTS=OFF >/dev/null
cmake --build "$build" --parallel --target serialtap >/dev/null

# The terminal programs users log a port with; the comparison skips them
# when they cannot be installed here.
missing=()
for program in tio picocom; do
    command -v "$program" >/dev/null || missing+=("$program")
done
if ((${#missing[@]} > 0)); then
    if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
        apt-get install -y "${missing[@]}" >/dev/null 2>&1 ||
            echo "bench: could not install ${missing[*]}; measuring without them" >&2
    else
        echo "bench: ${missing[*]} not installed; measuring without them" >&2
    fi
fi

PYTHONDONTWRITEBYTECODE=1 python3 "$repo/bench/measure.py" --serialtap "$build/serialtap" --mib "${BENCH_MIB:-64}" "$@" |
    tee "$build/bench-results.md"
