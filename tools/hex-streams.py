#!/usr/bin/env python3
"""Recovers each port's bytes from a serialtap hex capture (-m 2).

Usage: hex-streams.py CAPTURE OUTDIR

Every line of a hex capture of several ports (-l) names its port and gives
the offset of its first byte among that port's bytes, so each port's
stream is the concatenation of its lines' bytes. The streams are written to
OUTDIR, one file per port named after its label ('/' as '_', '.bin' added;
a capture of one port gives 'port.bin'), and one line per port is printed:
label, byte count, file. Event lines (-u 1, "--- serialtap: ...") are not
bytes of the stream: each port's go to a file beside its stream ('.events'
in place of '.bin'), one a line with the stream offset where it stood, and
that file is named last on the port's line. A run appended to the capture
(-a 1 with -u 1) begins with its "capture began" lines, after which its
port's offsets may start again from 0; its bytes follow the earlier runs'
in the stream. Exit status 1 when a line's offset does not follow on from
its port's previous line (a capture cut short or edited).
"""
import os
import re
import sys

LINE = re.compile(
    rb"^(?:\[[^\]]*\] )?(?:(?P<label>.*?): )?(?P<offset>[0-9A-F]{8,16})  "
    rb"(?P<hex>(?:[0-9A-F]{2} ){1,16})")
EVENT = re.compile(rb"^(?:\[[^\]]*\] )?(?:(?P<label>.*?): )?--- serialtap: (?P<what>.*?)\r?$")


def streams(capture, events=None):
    found = {}
    base = {}  # each port's stream length where its present run began
    began = set()  # ports whose run may begin again at offset 0
    for number, line in enumerate(capture.split(b"\n"), 1):
        event = EVENT.match(line)
        if event:
            label = (event.group("label") or b"").decode("utf-8", "replace")
            stream = found.setdefault(label, bytearray())
            if events is not None:
                events.setdefault(label, []).append((len(stream), event.group("what")))
            if event.group("what").startswith(b"capture began "):
                began.add(label)
            continue
        match = LINE.match(line)
        if not match:
            continue
        label = (match.group("label") or b"").decode("utf-8", "replace")
        stream = found.setdefault(label, bytearray())
        offset = int(match.group("offset"), 16)
        if offset == 0 and label in began:
            base[label] = len(stream)
        began.discard(label)
        expected = len(stream) - base.get(label, 0)
        if offset != expected:
            raise ValueError("line %d: %s offset %X, expected %X" %
                             (number, label or "port", offset, expected))
        stream += bytes.fromhex(match.group("hex").decode())
    return found


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as capture:
        try:
            events = {}
            found = streams(capture.read(), events)
        except ValueError as error:
            sys.stderr.write("hex-streams: %s\n" % error)
            return 1
    os.makedirs(argv[2], exist_ok=True)
    for label, stream in found.items():
        name = (label.replace("/", "_") or "port") + ".bin"
        with open(os.path.join(argv[2], name), "wb") as out:
            out.write(stream)
        shown = "%s %d %s" % (label or "port", len(stream), name)
        if label in events:
            events_name = name[:-len(".bin")] + ".events"
            with open(os.path.join(argv[2], events_name), "wb") as out:
                for offset, what in events[label]:
                    out.write(b"%d %s\n" % (offset, what))
            shown += " " + events_name
        print(shown)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
