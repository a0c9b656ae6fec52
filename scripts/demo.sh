#!/usr/bin/env bash
# The demo: builds the library, the module simulator and the demo program, starts
# the simulator on a pseudo-terminal, runs the demo against it, and prints the
# simulator's decoded trace of every frame on the line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target vexan-sim vexan-demo

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
"$build/sim/vexan-sim" --trace --no-stdin < /dev/null > "$work/path" 2> "$work/trace" &
sim=$!
for _ in $(seq 100); do
  [ -s "$work/path" ] && break
  sleep 0.05
done
port=$(head -n 1 "$work/path")
[ -n "$port" ] || { echo "the simulator did not start" >&2; cat "$work/trace" >&2; exit 1; }

echo "== simulator on $port"
"$build/examples/vexan-demo" "$port"
sleep 0.2
echo
echo "== what went over the line (simulator trace; <- from the library, -> to it)"
cat "$work/trace"
