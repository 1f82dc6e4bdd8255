#!/usr/bin/env python3
"""Checks the links of every Markdown file (plain or .gz) installed under ROOT.

A link to a file must resolve inside ROOT (an absolute path from ROOT) and must not name a path
of the source tree (one of its top-level entries, such as BENCHMARKS.md or packaging/); a link
to an anchor must name a heading of its own file; URLs are not followed. Code holds no links.
Usage: checkMarkdownLinks.py ROOT SOURCE_DIR. Prints each fault and exits 1 if there is any.
"""

import gzip
import os
import re
import sys

LINK = re.compile(r"\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)|^ {0,3}\[[^\]]+\]:\s*<?([^\s>]+)")
HEADING = re.compile(r"^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$")


def prose_lines(path):
    """The lines outside fenced code blocks, without code spans."""
    with (gzip.open if path.endswith(".gz") else open)(path, "rt", encoding="utf-8") as stream:
        in_fence = False
        for line in stream:
            if re.match(r" {0,3}(```|~~~)", line):
                in_fence = not in_fence
            elif not in_fence:
                yield re.sub(r"(`+).*?\1", "", line.rstrip("\n"))


def main():
    root, source_dir = sys.argv[1], sys.argv[2]
    source_names = {n for n in os.listdir(source_dir) if not n.startswith(".") and n != "build"}
    faults, files, links = [], 0, 0
    for directory, _, names in os.walk(root):
        for name in (n for n in names if n.endswith((".md", ".md.gz"))):
            path = os.path.join(directory, name)
            shown = "/" + os.path.relpath(path, root)
            files += 1
            lines = list(prose_lines(path))
            headings = {
                re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
                for m in map(HEADING.match, lines)
                if m
            }
            targets = [a or b for line in lines for a, b in LINK.findall(line)]
            links += len(targets)
            for target in (t for t in targets if not re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", t)):
                file_part, _, anchor = target.partition("#")
                if not file_part:
                    if anchor not in headings:
                        faults.append(f"{shown}: link to a missing heading: {target}")
                    continue
                if file_part.lstrip("./").split("/")[0] in source_names:
                    faults.append(f"{shown}: link to a path of the source tree: {target}")
                base = root if file_part.startswith("/") else directory
                if not os.path.exists(os.path.join(base, file_part.lstrip("/"))):
                    faults.append(f"{shown}: dangling link: {target}")
    if files == 0:
        faults.append(f"no Markdown file under {root}")
    print("\n".join(faults) or f"{files} Markdown files, {links} links: none dangles")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
