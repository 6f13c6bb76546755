#!/usr/bin/env bash
# Tests the installed CMake package: installs a built tree into a temporary prefix, configures and
# builds tests/consumer/project against it with find_package(tarnmediadispatchvideoecho), runs it.
# usage: scripts/consumer-test.sh [BUILD_DIR]   (default: build; the tree must be built already)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "consumer-test: $build is not a configured build directory" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/videoecho-consumer.XXXXXX")"
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S "$root/tests/consumer/project" -B "$work/build" "${generator[@]}" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" >"$work/build.log" || { cat "$work/build.log" >&2; exit 1; }
"$work/build/consumer"
"$work/build/consumer_streaming"
"$work/build/consumer_link"
"$work/build/consumer_rpc"
echo "consumer-test: the installed package builds and runs a consumer"
