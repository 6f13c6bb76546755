#!/usr/bin/env python3
"""Counts the lines of code and of tests, the way the project measures its test weight.

code:  non-blank, non-comment lines of .cpp/.h files under libs/, host/ and tools/
tests: the same count for everything built only for tests: tests/ (fakes, harnesses and helper
       scripts included)

usage: scripts/count-lines.py [--max-ratio R] [--per-folder]
       exits 1 when tests/code exceeds R; --per-folder also lists each folder of tests/
"""
import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CODE_DIRS = ("libs", "host", "tools")
TEST_DIRS = ("tests",)
SOURCE_SUFFIXES = {".cpp", ".h"}
SCRIPT_SUFFIXES = {".py", ".sh"}


def strip_c_comments(text):
    """Removes // and /* */ comments, leaving string literals alone."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'', re.S)

    def keep_strings(match):
        token = match.group(0)
        if token.startswith("/"):
            return "\n" * token.count("\n")
        return token

    return pattern.sub(keep_strings, text)


def counted_lines(path):
    text = path.read_text(errors="replace")
    if path.suffix in SOURCE_SUFFIXES:
        text = strip_c_comments(text)
        return sum(1 for line in text.splitlines() if line.strip())
    return sum(1 for line in text.splitlines() if line.strip() and not line.strip().startswith("#"))


def count(dirs, suffixes):
    total = 0
    for name in dirs:
        for path in sorted((ROOT / name).rglob("*")):
            if path.is_file() and path.suffix in suffixes:
                total += counted_lines(path)
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-ratio", type=float, default=None)
    parser.add_argument("--per-folder", action="store_true")
    args = parser.parse_args()
    code = count(CODE_DIRS, SOURCE_SUFFIXES)
    tests = count(TEST_DIRS, SOURCE_SUFFIXES | SCRIPT_SUFFIXES)
    ratio = tests / code if code else 0.0
    print(f"code  {code:7d} lines (libs, host, tools)")
    print(f"tests {tests:7d} lines (tests)")
    print(f"ratio {ratio:7.2f}")
    if args.per_folder:
        for folder in sorted(p for p in (ROOT / "tests").iterdir() if p.is_dir()):
            lines = count([f"tests/{folder.name}"], SOURCE_SUFFIXES | SCRIPT_SUFFIXES)
            print(f"  tests/{folder.name:14s} {lines:6d}")
    if args.max_ratio is not None and ratio > args.max_ratio:
        print(f"tests/code {ratio:.2f} is above {args.max_ratio:.2f}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
