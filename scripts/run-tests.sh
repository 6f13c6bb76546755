#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the whole test suite.
#   scripts/run-tests.sh            optimised build with debug info, in build/ (all but `slow`)
#   scripts/run-tests.sh slow       the same build, only the tests labelled `slow` (real services
#                                   kept waiting: broker keep-alives, stream restarts)
#   scripts/run-tests.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/run-tests.sh tsan       ThreadSanitizer, the concurrency tests only, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-release}"
jobs="$(nproc)"
log="$(mktemp "${TMPDIR:-/tmp}/videoecho-ctest.XXXXXX")"
trap 'rm -f "$log"' EXIT

# Every service and package the tests use is installed above, so a test that skips itself in the
# optimised build is missing something it should have had: that fails the run.
fail_on_skips() {
  if grep -E '\*\*\*Skipped|Not Run' "$log"; then
    echo "run-tests: the tests above did not run" >&2
    exit 1
  fi
}

bash scripts/install-deps.sh

case "$variant" in
  release | slow)
    dir=build
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$dir" -j"$jobs"
    if [ "$variant" = release ]; then labels=(-LE slow); else labels=(-L slow); fi
    ctest --test-dir "$dir" --output-on-failure -j2 --timeout 900 "${labels[@]}" | tee "$log"
    fail_on_skips
    ;;
  asan)
    dir=build-asan
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE="address;undefined" \
      -DTARN_BUILD_BENCHMARKS=OFF
    cmake --build "$dir" -j"$jobs"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
      ctest --test-dir "$dir" --output-on-failure -j2 --timeout 900 -LE slow
    ;;
  tsan)
    dir=build-tsan
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=thread \
      -DTARN_BUILD_BENCHMARKS=OFF -DTARN_BUILD_TOOLS=OFF
    cmake --build "$dir" -j"$jobs" --target stress_tests
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      ctest --test-dir "$dir" --output-on-failure --timeout 900 -R '^Stress'
    ;;
  *)
    echo "usage: $0 [release|slow|asan|tsan]" >&2
    exit 2
    ;;
esac
