#!/usr/bin/env bash
# Runs the Windows builds of the examples (examples/*.c with port_win32.c)
# under wine64 against the module simulator, as a Windows application drives a
# module on a COM port: vexan-sim runs natively on a pseudo-terminal, and Wine
# maps COM1 to it through the registry (HKLM\Software\Wine\Ports, COM1 =
# /dev/pts/N; Wine resets a dosdevices link by hand when it starts, the key
# stays). Fails when an example fails or prints other than it should.
# Usage: scripts/test-windows-examples.sh <x86_64 cross build> [native build]
#   The cross build is built for the examples' targets. The native build is a
#   build directory of its own (default: <cross build>/../native), configured
#   here without the tests, for vexan-sim only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || {
  echo "usage: $0 <x86_64 cross build> [native build]" >&2
  exit 2
}
build=$(mkdir -p "$1" && cd "$1" && pwd)
native=${2:-$build/../native}

wine64=$(command -v wine64 || true)
if [ -z "$wine64" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine64=/usr/lib/wine/wine64
fi
[ -n "$wine64" ] || {
  echo "test-windows-examples: wine64 not found" >&2
  exit 1
}
wineserver=$(dirname "$wine64")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

examples=(vexan-demo vexan-read-identity vexan-events vexan-large-upload)
cmake --build "$build" --parallel 2 --target "${examples[@]}"
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$native" --parallel 2 --target vexan-sim
sim_program=$(find "$native" -name vexan-sim -type f -perm -u+x | head -n 1)
[ -n "$sim_program" ] || {
  echo "test-windows-examples: vexan-sim was not built in $native" >&2
  exit 1
}

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
work=$(mktemp -d "${TMPDIR:-/tmp}/vexan-win-examples.XXXXXX")
sim_pid=
finish() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap finish EXIT

# The simulator: default node 5, control commands on a FIFO. Its first line on
# stdout is the pseudo-terminal's path.
mkfifo "$work/control"
"$sim_program" --nodes 5 --no-stdin --control "$work/control" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
line=
for _ in $(seq 100); do
  line=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
  [ -n "$line" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
case "$line" in
/dev/*) ;;
*)
  echo "test-windows-examples: the simulator gave no port" >&2
  cat "$work/sim.err" >&2
  exit 1
  ;;
esac
echo "test-windows-examples: simulator on $line, mapped to COM1"

# The mapping is read when Wine starts: set it, then start the server afresh.
"$wineserver" -k >/dev/null 2>&1 || true
"$wine64" wineboot -i >/dev/null 2>&1 || true
"$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$line" /f >/dev/null
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 || true

failures=0
# run <expected status> <program> <args...>: output in $work/last.log
run() {
  local expected=$1 program=$2
  shift 2
  local status=0
  (cd "$work/run" && timeout -k 10 120 "$wine64" "$build/examples/$program.exe" "$@") </dev/null \
    >"$work/last.log" 2>&1 || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAILED: $program $* ended with $status, not $expected:" >&2
    cat "$work/last.log" >&2
    failures=$((failures + 1))
    return 1
  fi
  return 0
}
# expect <text>: the last run printed this line (or part of a line)
expect() {
  if ! grep -qF -- "$1" "$work/last.log"; then
    echo "FAILED: missing '$1' in:" >&2
    cat "$work/last.log" >&2
    failures=$((failures + 1))
  fi
}
mkdir -p "$work/run"

if run 0 vexan-demo COM1; then
  expect "firmware 1.2 (0x0102)"
  expect "firmware version while paused      ->  42 VEXAN_PAUSED"
  expect "shut down master                   ->   0 VEXAN_OK"
fi
if run 0 vexan-read-identity COM1 5; then
  expect "node 5 vendor   0x0056584E"
  expect "node 5 serial   0x00001005"
fi
run 1 vexan-read-identity COM1 9 || true # no node 9 on the bus: every read fails
echo "emcy 5 108111A50000007E" >"$work/control"
if run 0 vexan-events COM1 5; then
  expect "boot-up: slot 0 node 5"
  expect "EMCY: slot 0 node 5 data 10 81 11 A5 00 00 00 7E"
fi
if run 0 vexan-large-upload COM1 5 2100; then
  expect "object 2100:00: 5000 bytes in spill file 0_5_2100_00.seg"
  expect "read back 5000 bytes in ranges of 1000"
  size=$(stat -c %s "$work/run/0_5_2100_00.seg" 2>/dev/null || echo none)
  if [ "$size" != 5000 ]; then
    echo "FAILED: the spill file holds $size bytes, not 5000" >&2
    failures=$((failures + 1))
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "test-windows-examples: $failures failure(s)" >&2
  exit 1
fi
echo "test-windows-examples: the four examples passed under wine64 on COM1"
