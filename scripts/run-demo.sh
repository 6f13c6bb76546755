#!/usr/bin/env bash
# Installs what the project needs, builds the videoecho program and runs the two-process echo
# demo. It writes echo.png (the last frame the viewer received) into the current directory and
# exits 0 only if frames arrived intact. Extra arguments go to `videoecho demo` (e.g. --seconds 10).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target videoecho
exec "$root/build/tools/videoecho" demo "$@"
