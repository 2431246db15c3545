#!/usr/bin/env python3
"""Finds the shell blocks of the README and what the README check does with them.

Every ```sh block must follow a marker line naming how it is checked:
  <!-- readme-check: clone -->      run in a scratch copy of the repository
  <!-- readme-check: folder -->     run, line by line, in a folder that holds
                                    kelvo, the example kelvo.txt and its pool
  <!-- readme-check: installed -->  run with the .deb installed
  <!-- readme-check: skip REASON --> not run, for the reason given
With a mode, prints the blocks of that mode (each headed by its README line);
without one, lists every block and fails on a block without a marker.
"""
import re
import sys

MARKER = re.compile(r"^\s*<!-- readme-check: (clone|folder|installed|skip)\b\s*(.*?)\s*-->$")
MODES = {"clone", "folder", "installed", "skip"}


def blocks(path):
    """Yields (line number, mode, reason, code) for every fenced block."""
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        # Fences may be indented (a block inside a list item).
        fence = re.match(r"^(\s*)```(\S*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        indent, language = fence.group(1), fence.group(2)
        marker = MARKER.match(lines[i - 1]) if i > 0 else None
        start = i + 1
        end = start
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        if end == len(lines):
            sys.exit(f"{path}:{i + 1}: a fenced block that never ends")
        if language == "sh" or marker:
            if not marker:
                sys.exit(f"{path}:{i + 1}: a sh block without a readme-check marker")
            if language != "sh":
                sys.exit(f"{path}:{i + 1}: a readme-check marker before a {language or 'plain'} block")
            code = [line[len(indent):] if line.startswith(indent) else line for line in lines[start:end]]
            yield i + 1, marker.group(1), marker.group(2), "\n".join(code)
        i = end + 1


def main():
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and sys.argv[2] not in MODES):
        sys.exit("usage: readme-blocks.py README.md [clone|folder|installed|skip]")
    found = list(blocks(sys.argv[1]))
    if len(sys.argv) == 2:
        for line, mode, reason, _ in found:
            print(f"line {line}: {mode} {reason}".rstrip())
        return
    for line, mode, reason, code in found:
        if mode == sys.argv[2]:
            print(f"# README line {line}{': ' + reason if reason else ''}")
            print(code)


if __name__ == "__main__":
    main()
