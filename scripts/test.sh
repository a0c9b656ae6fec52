#!/usr/bin/env bash
# Builds everything and runs every test. Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAN_WERROR=ON "$@"
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure --parallel 2 --timeout 600
