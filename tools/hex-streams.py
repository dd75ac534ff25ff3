#!/usr/bin/env python3
"""Recovers each port's bytes from a serialtap hex capture (-m 2).

Usage: hex-streams.py CAPTURE OUTDIR

Every line of a hex capture of several ports (-l) names its port and gives
the offset of its first byte among that port's bytes, so each port's
stream is the concatenation of its lines' bytes. The streams are written to
OUTDIR, one file per port named after its label ('/' as '_', '.bin' added;
a capture of one port gives 'port.bin'), and one line per port is printed:
label, byte count, file. Exit status 1 when a line's offset does not follow
on from its port's previous line (a capture cut short or edited).
"""
import os
import re
import sys

LINE = re.compile(
    rb"^(?:\[[^\]]*\] )?(?:(?P<label>.*?): )?(?P<offset>[0-9A-F]{8,16})  "
    rb"(?P<hex>(?:[0-9A-F]{2} ){1,16})")


def streams(capture):
    found = {}
    for number, line in enumerate(capture.split(b"\n"), 1):
        match = LINE.match(line)
        if not match:
            continue
        label = (match.group("label") or b"").decode("utf-8", "replace")
        stream = found.setdefault(label, bytearray())
        offset = int(match.group("offset"), 16)
        if offset != len(stream):
            raise ValueError("line %d: %s offset %X, expected %X" %
                             (number, label or "port", offset, len(stream)))
        stream += bytes.fromhex(match.group("hex").decode())
    return found


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as capture:
        try:
            found = streams(capture.read())
        except ValueError as error:
            sys.stderr.write("hex-streams: %s\n" % error)
            return 1
    os.makedirs(argv[2], exist_ok=True)
    for label, stream in found.items():
        name = (label.replace("/", "_") or "port") + ".bin"
        with open(os.path.join(argv[2], name), "wb") as out:
            out.write(stream)
        print("%s %d %s" % (label or "port", len(stream), name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
