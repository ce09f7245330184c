#!/usr/bin/env python3
"""Keeps the code blocks of docs/guide.md, docs/operations.md and README.md identical to the programs they are
taken from, which the build compiles and runs.

A block is preceded by a line naming its source, relative to the document's folder:

  <!-- snippet: examples/values.cc [values-build] -->     the lines between two "// [values-build]"
  <!-- snippet: examples/shop.tidl -->                     the whole file

The region's common indentation is removed. Without arguments the script reports every block
that differs from its source (exit status 1); with --update it rewrites them.
"""

import os
import re
import sys
import textwrap

DOCS = os.path.dirname(os.path.abspath(__file__))
MARKER = re.compile(r"<!-- snippet: (\S+)(?: \[([\w-]+)\])? -->$")


DOCUMENTS = [os.path.join(DOCS, "guide.md"), os.path.join(DOCS, "operations.md"),
             os.path.join(os.path.dirname(DOCS), "README.md")]


def region(folder, path, name):
    with open(os.path.join(folder, path), encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    if name is None:
        return "\n".join(lines)
    tag = re.compile(r"^\s*(//|#) \[" + re.escape(name) + r"\]$")
    marks = [i for i, line in enumerate(lines) if tag.match(line)]
    if len(marks) != 2:
        raise ValueError(f"{path}: region [{name}] is marked {len(marks)} times, not twice")
    return textwrap.dedent("\n".join(lines[marks[0] + 1:marks[1]]))


def check(document, update):
    """The problems of one document's blocks; with `update`, rewrites the blocks instead."""
    folder = os.path.dirname(document)
    shown = os.path.relpath(document, os.path.dirname(DOCS))
    with open(document, encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    out, problems, i = [], [], 0
    while i < len(lines):
        line = lines[i]
        out.append(line)
        i += 1
        match = MARKER.match(line.strip())
        if not match:
            continue
        if i >= len(lines) or not lines[i].startswith("```"):
            problems.append(f"{shown}:{i}: a snippet marker must be followed by a code block")
            continue
        fence = lines[i]
        end = i + 1
        while end < len(lines) and lines[end] != "```":
            end += 1
        current = "\n".join(lines[i + 1:end])
        try:
            wanted = region(folder, match.group(1), match.group(2))
        except (OSError, ValueError) as error:
            problems.append(f"{shown}:{i}: {error}")
            wanted = current
        if current != wanted:
            problems.append(f"{shown}:{i + 1}: the block differs from {match.group(1)} "
                            f"[{match.group(2) or 'whole file'}]")
        out.append(fence)
        out.extend(wanted.splitlines())
        out.append("```")
        i = end + 1
    if update:
        with open(document, "w", encoding="utf-8") as handle:
            handle.write("\n".join(out) + "\n")
        problems = [p for p in problems if "differs" not in p]
    return problems


def main(argv):
    update = "--update" in argv
    problems = [p for document in DOCUMENTS for p in check(document, update)]
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
