#!/usr/bin/env bash
# Applies each deliberate fault of scripts/faults/ in turn, rebuilds and runs the optimised suite,
# and prints a table of which faults the suite caught. The tree is restored after every fault.
#   scripts/fault-check.sh [BUILD_DIR] [PATCH...]     (default: build, every patch)
# A fault counts as caught when the build fails or a test fails twice: the tests that failed are
# run once more, so that a test that failed only because the machine was busy is not counted.
# Tests run with a short time-out, so that a fault that hangs (a lost unlock) is caught by the
# time-out, not waited out.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
shift || true
patches=("$@")
if [ "${#patches[@]}" -eq 0 ]; then patches=(scripts/faults/*.patch); fi
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "fault-check: the work tree has changes; commit or stash them first" >&2
  exit 2
fi

log="$(mktemp -d "${TMPDIR:-/tmp}/videoecho-faults.XXXXXX")"
restore() { git checkout -q -- . ; }
trap 'restore; rm -rf "$log"' EXIT

printf '%-40s %-14s %s\n' fault layer result
caught=0
for patch in "${patches[@]}"; do
  name="$(basename "$patch" .patch)"
  layer="$(sed -n 's/^Layer: //p' "$patch" | head -1)"
  if ! git apply "$patch" 2>"$log/apply"; then
    printf '%-40s %-14s %s\n' "$name" "$layer" "does not apply"
    continue
  fi
  result="MISSED"
  if ! cmake --build "$build" -j"$(nproc)" >"$log/build" 2>&1; then
    result="caught (build)"
  elif ! ctest --test-dir "$build" -j2 --timeout 60 -LE 'slow|packaging' >"$log/test" 2>&1; then
    if ! ctest --test-dir "$build" --timeout 60 --rerun-failed >"$log/rerun" 2>&1; then
      result="caught: $(grep -m1 -oE '[0-9]+ - [A-Za-z0-9_./]+' "$log/rerun" | sed 's/^[0-9]* - //')"
    else
      result="MISSED (failed once only: $(grep -m1 -oE '[0-9]+ - [A-Za-z0-9_./]+' "$log/test" |
        sed 's/^[0-9]* - //'))"
    fi
  fi
  case "$result" in caught*) caught=$((caught + 1)) ;; esac
  printf '%-40s %-14s %s\n' "$name" "$layer" "$result"
  restore
done
cmake --build "$build" -j"$(nproc)" >/dev/null 2>&1 || true
echo "caught $caught of ${#patches[@]}"
