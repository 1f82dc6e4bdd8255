#!/usr/bin/env python3
"""Checks the links of every Markdown file installed under a root (plain or gzip-compressed).

A link to another file must resolve inside the root (absolute paths count from the root) and
must not name a path of the source tree (a top-level file or folder of it, such as
BENCHMARKS.md or packaging/...), which exists only in the repository. A link to an anchor must
name a heading of its own file. Links to URLs are not followed. Code spans and fenced code
blocks hold no links.

Usage: checkMarkdownLinks.py ROOT SOURCE_DIR
Prints one line per fault and exits 1 if there is any; else prints what it checked.
"""

import gzip
import os
import re
import sys
import urllib.parse

INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
CODE_SPAN = re.compile(r"(`+).*?\1")
HEADING = re.compile(r"^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^ {0,3}(```|~~~)")
URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def read_text(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as stream:
        return stream.read()


def prose_lines(text):
    """The lines outside fenced code blocks, with code spans removed."""
    fence = None
    for line in text.splitlines():
        match = FENCE.match(line)
        if match:
            if fence is None:
                fence = match.group(1)
            elif match.group(1) == fence:
                fence = None
            continue
        if fence is None:
            yield CODE_SPAN.sub("", line)


def anchors(lines):
    """The anchors the headings get, as rendered on the usual Markdown hosts."""
    seen = {}
    result = set()
    for line in lines:
        match = HEADING.match(line)
        if not match:
            continue
        slug = re.sub(r"[^\w\- ]", "", match.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f"{slug}-{count}")
    return result


def links(lines):
    for line in lines:
        yield from INLINE_LINK.findall(line)
        match = REFERENCE_DEFINITION.match(line)
        if match:
            yield match.group(1)


def main():
    root, source_dir = sys.argv[1], sys.argv[2]
    repository_names = {
        name for name in os.listdir(source_dir) if not name.startswith(".") and name != "build"
    }
    faults = []
    files = 0
    checked = 0
    for directory, _, names in os.walk(root):
        for name in sorted(names):
            if not (name.endswith(".md") or name.endswith(".md.gz")):
                continue
            path = os.path.join(directory, name)
            shown = "/" + os.path.relpath(path, root)
            files += 1
            lines = list(prose_lines(read_text(path)))
            headings = anchors(lines)
            for target in links(lines):
                checked += 1
                if URL.match(target):
                    continue
                file_part, _, fragment = target.partition("#")
                if not file_part:
                    if fragment not in headings:
                        faults.append(f"{shown}: link to a missing heading: {target}")
                    continue
                file_part = urllib.parse.unquote(file_part)
                first = file_part.lstrip("./").split("/")[0]
                if first in repository_names:
                    faults.append(f"{shown}: link to a path of the source tree: {target}")
                if file_part.startswith("/"):
                    resolved = os.path.join(root, file_part.lstrip("/"))
                else:
                    resolved = os.path.join(directory, file_part)
                if not os.path.exists(resolved):
                    faults.append(f"{shown}: dangling link: {target}")
    if files == 0:
        faults.append(f"no Markdown file under {root}")
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"{files} Markdown files, {checked} links: none dangles")
    return 0


if __name__ == "__main__":
    sys.exit(main())
