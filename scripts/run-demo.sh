#!/usr/bin/env bash
# Installs what the project needs, builds the videoecho program and runs the two-process echo
# demo. It writes echo.png (the last frame the viewer received) into the current directory and
# exits 0 only if frames arrived intact. Extra arguments go to `videoecho demo` (e.g. --seconds 10,
# --machines). BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/install-deps.sh"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target videoecho
exec "$build/tools/videoecho" demo "$@"
