#!/usr/bin/env bash
# Applies each deliberate fault of scripts/faults/ in turn, rebuilds and runs the optimised suite,
# and prints a table of which faults the suite caught. The tree is restored after every fault.
#   scripts/fault-check.sh [-o TABLE_FILE] [BUILD_DIR] [PATCH...]   (default: build, every patch)
# -o also writes the table to TABLE_FILE, a line as soon as each fault is done. Builds and tests
# run under nice (FAULT_NICE, default 10), and the suite stops at its first failing test.
# A fault counts as caught when the build fails or a test fails twice: the tests that failed are
# run once more, so that a test that failed only because the machine was busy is not counted.
# Tests run with a short time-out, so that a fault that hangs (a lost unlock) is caught by the
# time-out, not waited out.
set -euo pipefail
cd "$(dirname "$0")/.."

table=/dev/null
if [ "${1:-}" = "-o" ]; then
  table="$2"
  shift 2
fi
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

row() { printf '%-42s %-10s %s\n' "$@" | tee -a "$table"; }
niced() { nice -n "${FAULT_NICE:-10}" "$@"; }
suite() { niced ctest --test-dir "$build" -j2 --timeout 60 -LE 'slow|packaging' "$@" >"$log/test" 2>&1; }
rerun() { niced ctest --test-dir "$build" --timeout 60 --rerun-failed >"$log/rerun" 2>&1; }
first_failure() { grep -m1 -oE '[0-9]+ - [A-Za-z0-9_./]+' "$1" | sed 's/^[0-9]* - //' || true; }
: >"$table"
row fault layer result
caught=0
for patch in "${patches[@]}"; do
  name="$(basename "$patch" .patch)"
  layer="$(sed -n 's/^Layer: //p' "$patch" | head -1)"
  if ! git apply "$patch" 2>"$log/apply"; then
    row "$name" "$layer" "does not apply"
    continue
  fi
  result="MISSED"
  if ! niced cmake --build "$build" -j"$(nproc)" >"$log/build" 2>&1; then
    result="caught (build)"
  elif ! suite --stop-on-failure; then
    if ! rerun; then
      result="caught: $(first_failure "$log/rerun")"
    elif ! suite; then  # the first failure was the busy machine's: the whole suite, then again
      if ! rerun; then
        result="caught: $(first_failure "$log/rerun")"
      else
        result="MISSED (failed once only: $(first_failure "$log/test"))"
      fi
    fi
  fi
  case "$result" in caught*) caught=$((caught + 1)) ;; esac
  row "$name" "$layer" "$result"
  restore
done
niced cmake --build "$build" -j"$(nproc)" >/dev/null 2>&1 || true
echo "caught $caught of ${#patches[@]}" | tee -a "$table"
