#!/usr/bin/env python3
"""Checks that the program's folders include one another one way only.

Each folder is one program or one layer. A file may include its own folder
and the layers below it:

  app, check  ->  rotate  ->  replace  ->  script, log, random  ->  platform

script, log and random are shared by every layer and may use one another.
app and check are two programs side by side and never include each other.
The test helpers in testing/ are for tests only and may include replace/
and rotate/ (the fake file system, the first replacements of a script); a
product file never includes them. Prints every include that goes against
this and exits 1, or prints a summary and exits 0.
"""
import pathlib
import re
import subprocess
import sys

SHARED = {"script", "log", "random", "platform"}
ALLOWED = {
    "platform": {"platform"},
    "script": SHARED,
    "log": SHARED,
    "random": SHARED,
    "replace": SHARED | {"replace"},
    "rotate": SHARED | {"replace", "rotate"},
    "check": SHARED | {"replace", "rotate", "check"},
    "app": SHARED | {"replace", "rotate", "app"},
    # The fake file system implements replace/'s interface for tests.
    "testing": SHARED | {"replace", "rotate", "testing"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.MULTILINE)


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    listed = subprocess.run(
        ["git", "ls-files", "*.cpp", "*.h"], cwd=root, check=True, capture_output=True, text=True
    ).stdout.split()
    problems = []
    checked = 0
    for name in listed:
        folder = name.split("/", 1)[0]
        if folder not in ALLOWED:
            continue
        is_test = name.endswith("_test.cpp")
        allowed = ALLOWED[folder] | ({"testing"} if is_test else set())
        text = (root / name).read_text(encoding="utf-8", errors="replace")
        for match in INCLUDE.finditer(text):
            checked += 1
            target = match.group(1)
            if target not in allowed:
                line = text.count("\n", 0, match.start()) + 1
                problems.append(f"{name}:{line}: {folder}/ includes {target}/")
    for problem in problems:
        print(problem)
    print(f"check-includes: {checked} includes checked, {len(problems)} against the layering")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
