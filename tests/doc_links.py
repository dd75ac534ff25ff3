#!/usr/bin/env python3
"""Checks that every relative link in README.md and docs/*.md leads somewhere.

A link must name a file or folder that exists, and where it names an anchor
(`page.md#heading`, `#heading`), a heading of that page must have that anchor
as GitHub makes them. Links with a scheme (https:, mailto:) are not followed.

Usage: doc_links.py SOURCE_DIR
"""
import os
import re
import sys

FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")


def prose_lines(path):
    """The lines of a Markdown file outside fenced code, numbered from 1."""
    inside = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                inside = not inside
                continue
            if not inside:
                yield number, line.rstrip("\n")


def slug(heading):
    """A heading's anchor as GitHub makes it: the text lower-cased, without
    punctuation but hyphens and underscores, each space a hyphen."""
    text = CODE_SPAN.sub(lambda m: m.group(2), heading)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


def anchors(path):
    found = set()
    counts = {}
    for _, line in prose_lines(path):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        n = counts.get(base, 0)
        counts[base] = n + 1
        found.add(base if n == 0 else f"{base}-{n}")
    return found


def check(source):
    pages = [os.path.join(source, "README.md")]
    docs = os.path.join(source, "docs")
    pages += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    known = {}
    faults = []
    links = 0
    for page in pages:
        for number, line in prose_lines(page):
            for target in LINK.findall(CODE_SPAN.sub("", line)):
                if SCHEME.match(target):
                    continue
                links += 1
                path, _, anchor = target.partition("#")
                where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                name = f"{os.path.relpath(page, source)}:{number}: {target}"
                if not os.path.exists(where):
                    faults.append(f"{name}: no such file")
                    continue
                if anchor and where.endswith(".md"):
                    if where not in known:
                        known[where] = anchors(where)
                    if anchor not in known[where]:
                        faults.append(f"{name}: no heading with this anchor")
    for fault in faults:
        print(fault)
    print(f"{links} relative links in {len(pages)} pages, {len(faults)} broken")
    return not faults and links > 0


if __name__ == "__main__":
    sys.exit(0 if check(sys.argv[1]) else 1)
