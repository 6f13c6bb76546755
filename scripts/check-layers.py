#!/usr/bin/env python3
"""Checks the build's layers with `cmake --graphviz`: no target of host/ may depend on a target of the
library above it (anything under libs/ but the records at the bottom), and msgpack reaches the
interface of no target but the modules that speak it. Prints the arrows between the project's own
libraries, one layer per line, and exits 1 on an arrow from the host up or msgpack leaking out.

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
MSGPACK = "msgpackc-cxx"
# The RPC module, the records' wire encoding and the RPC call helper put msgpack in their headers.
MSGPACK_SPEAKERS = {"host_rpc", "echorecords_wire", "tarnmultimachineproxy"}
EDGE = re.compile(r'^\s*"\S+" -> "\S+"\s*(?:\[ style = (\w+) \])?\s*// (\S+) -> (\S+)$', re.M)


def declared_targets(folder):
    names = set()
    for cmake_file in (ROOT / folder).rglob("CMakeLists.txt"):
        relative = cmake_file.relative_to(ROOT).as_posix()
        if any(relative.startswith(bottom) for bottom in BOTTOM):
            continue
        names.update(DECLARATION.findall(cmake_file.read_text()))
    return names


def dependency_edges(build):
    """(source, target, style): style "" links publicly, "dashed" through an interface only,
    "dotted" privately."""
    with tempfile.TemporaryDirectory() as scratch:
        dot = pathlib.Path(scratch) / "targets.dot"
        subprocess.run(["cmake", f"--graphviz={dot}", str(build)], check=True,
                       stdout=subprocess.DEVNULL)
        text = dot.read_text()
    return {(source, target, style) for style, source, target in EDGE.findall(text)}


def exposing_msgpack(edges):
    """The targets whose users get msgpack: a public or interface link to it or to such a target."""
    exposing = {MSGPACK}
    while True:
        more = {s for s, t, style in edges if style != "dotted" and t in exposing} - exposing
        if not more:
            return exposing - {MSGPACK}
        exposing |= more


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build").resolve()
    host = declared_targets("host")
    library = declared_targets("libs")
    own = host | library | set(DECLARATION.findall((ROOT / "libs/echorecords/CMakeLists.txt").read_text()))
    styled = dependency_edges(build)
    edges = {(s, t) for s, t, _ in styled}
    for source in sorted(own):
        targets = sorted(t for s, t in edges if s == source and t in own and t != source)
        print(f"{source:34s} -> {', '.join(targets) if targets else '(nothing of ours)'}")
    upward = sorted((s, t) for s, t in edges if s in host and t in library)
    for source, target in upward:
        print(f"layering: host target {source} depends on library target {target}", file=sys.stderr)
    leaking = sorted((exposing_msgpack(styled) & own) - MSGPACK_SPEAKERS)
    for target in leaking:
        print(f"layering: msgpack is in the interface of {target}", file=sys.stderr)
    return 1 if upward or leaking else 0


if __name__ == "__main__":
    sys.exit(main())
