#!/usr/bin/env bash
# The demo: installs what the build needs, builds the vexan tool (with the
# library and the module simulator) and runs `vexan demo`, which starts two
# simulated boards in its own process and walks through the library step by
# step. Its exit status is the demo's: 0 only when every step passed.
# Extra arguments go to vexan, e.g. `scripts/demo.sh --trace` to see every frame.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake --build "$build" --target vexan-tool >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
"$build/tools/vexan/vexan" "$@" demo
