#!/usr/bin/env python3
"""Writes the deliberate faults of scripts/faults/ as patches against the current tree.

Each fault is one small textual change that a careful suite must notice. The patches are what
scripts/fault-check.sh applies one at a time; this script re-creates them when the code they touch
has moved (run it on a clean tree, then commit the patches).
usage: scripts/make-fault-patches.py FAULTS.json
"""
import json
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "scripts" / "faults"


def make_patch(fault):
    path = ROOT / fault["file"]
    original = path.read_text()
    if original.count(fault["old"]) != 1:
        raise SystemExit(f"{fault['name']}: the text to change occurs "
                         f"{original.count(fault['old'])} times in {fault['file']}")
    path.write_text(original.replace(fault["old"], fault["new"]))
    try:
        diff = subprocess.run(["git", "diff", "--", fault["file"]], cwd=ROOT, check=True,
                              capture_output=True, text=True).stdout
    finally:
        path.write_text(original)
    header = f"Fault: {fault['what']}\nLayer: {fault['layer']}\n\n"
    (OUT / f"{fault['name']}.patch").write_text(header + diff)


def main():
    faults = json.loads(pathlib.Path(sys.argv[1]).read_text())
    OUT.mkdir(exist_ok=True)
    for fault in faults:
        make_patch(fault)
    print(f"{len(faults)} patches in {OUT.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
