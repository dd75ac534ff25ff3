#!/usr/bin/env bash
# What -y buys when the power goes: power cuts at random moments under a
# capture on the real-driver rig, with -y 1 and without, each reporting
# what the file on the disk missed. Needs the VM images of
# tests/vm/initramfs.py (built here when missing).
#
#   bench/power_cut.sh [vm-build-dir] [cuts] [flush-ms]   (defaults: build/tests/vm 10 200)
set -euo pipefail

vm=${1:-build/tests/vm}
cuts=${2:-10}
flush_ms=${3:-200}
here=$(cd "$(dirname "$0")/.." && pwd)
[ -e "$vm/power.cpio.gz" ] || python3 "$here/tests/vm/initramfs.py" "$here" "$vm"
python3 "$here/tests/vm/power_cut.py" "$vm" --trials "$cuts" --unsynced "$cuts" --flush "$flush_ms" \
    | tee /dev/stderr | python3 -c '
import re, statistics, sys
rows = {"-y 1": [], "no -y": []}
for text in sys.stdin:
    found = re.search(r"(-y 1|no -y) -f \d+: sent (\d+), file (\d+), missing (\d+) bytes \((\d+) ms", text)
    if found:
        rows[found[1]].append((int(found[4]), int(found[5])))
for name, cuts in rows.items():
    if cuts:
        ms = [m for _, m in cuts]
        print(f"{name}: {len(cuts)} cuts, missing median {statistics.median(ms):.0f} ms, "
              f"largest {max(ms)} ms of sending ({max(b for b, _ in cuts)} bytes)")
'
