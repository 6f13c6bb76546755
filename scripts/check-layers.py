#!/usr/bin/env python3
"""Checks the build's layers with `cmake --graphviz`: no target of host/ may depend on a target of the
library above it (anything under libs/ but the records at the bottom). Prints the arrows between the
project's own libraries, one layer per line, and exits 1 on an arrow from the host up.

usage: scripts/check-layers.py [BUILD_DIR]   (default: build; configured already)
"""
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
DECLARATION = re.compile(r"\b(?:add_library|tarn_add_library)\(\s*([A-Za-z0-9_]+)")
BOTTOM = ("libs/echorecords",)


def declared_targets(folder):
    names = set()
    for cmake_file in (ROOT / folder).rglob("CMakeLists.txt"):
        relative = cmake_file.relative_to(ROOT).as_posix()
        if any(relative.startswith(bottom) for bottom in BOTTOM):
            continue
        names.update(DECLARATION.findall(cmake_file.read_text()))
    return names


def dependency_edges(build):
    with tempfile.TemporaryDirectory() as scratch:
        dot = pathlib.Path(scratch) / "targets.dot"
        subprocess.run(["cmake", f"--graphviz={dot}", str(build)], check=True,
                       stdout=subprocess.DEVNULL)
        text = dot.read_text()
    return set(re.findall(r"// (\S+) -> (\S+)", text))


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build").resolve()
    host = declared_targets("host")
    library = declared_targets("libs")
    own = host | library | set(DECLARATION.findall((ROOT / "libs/echorecords/CMakeLists.txt").read_text()))
    edges = dependency_edges(build)
    for source in sorted(own):
        targets = sorted(t for s, t in edges if s == source and t in own and t != source)
        print(f"{source:34s} -> {', '.join(targets) if targets else '(nothing of ours)'}")
    upward = sorted((s, t) for s, t in edges if s in host and t in library)
    for source, target in upward:
        print(f"layering: host target {source} depends on library target {target}", file=sys.stderr)
    return 1 if upward else 0


if __name__ == "__main__":
    sys.exit(main())
