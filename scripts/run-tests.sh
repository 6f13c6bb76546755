#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the whole test suite.
#   scripts/run-tests.sh            optimised build with debug info, in build/
#   scripts/run-tests.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/run-tests.sh tsan       ThreadSanitizer, the concurrency tests only, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-release}"
jobs="$(nproc)"

bash scripts/install-deps.sh

case "$variant" in
  release)
    dir=build
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j2 --timeout 900
    ;;
  asan)
    dir=build-asan
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE="address;undefined" \
      -DTARN_BUILD_BENCHMARKS=OFF
    cmake --build "$dir" -j"$jobs"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir "$dir" --output-on-failure -j2 --timeout 900
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
    echo "usage: $0 [release|asan|tsan]" >&2
    exit 2
    ;;
esac
