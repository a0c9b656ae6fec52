#!/usr/bin/env bash
# Cross-builds the test suite for 64-bit Windows with MinGW-w64 and runs every
# test program under wine64, without the cases tests/windows-skips.txt names
# (each for the POSIX-only piece it needs). Fails when a build step or a test
# fails. Usage: scripts/test-windows.sh [build-dir]   (default build/win-x86_64;
# an existing x86_64 cross build, e.g. scripts/windows.sh's, is reused as it is)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/win-x86_64}
mkdir -p "$build"
build=$(cd "$build" && pwd)

wine64=$(command -v wine64 || true)
if [ -z "$wine64" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine64=/usr/lib/wine/wine64
fi
if [ -z "$wine64" ]; then
  echo "test-windows: wine64 not found" >&2
  exit 1
fi

seconds() { date +%s; }

start=$(seconds)
# The build type is the project's default unless the build directory has one.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build" --parallel 2 --target vexan_windows_tests
built=$(seconds)
echo "test-windows: configure and build took $((built - start)) s"

# A prefix of the build's own, set up once; Wine's error messages go to each
# program's log (its notes on unfinished parts are left out).
export WINEPREFIX="$build/wineprefix" WINEDEBUG=fixme-all
wineserver=$(dirname "$wine64")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
boot_start=$(seconds)
"$wine64" wineboot -i >/dev/null 2>&1
booted=$(seconds)
echo "test-windows: wineboot took $((booted - boot_start)) s"

filter=$(cat "$build/windows-skip-filter.txt")
echo "test-windows: left out (tests/windows-skips.txt): ${filter#-}"

failed=()
while read -r kind program; do
  [ -n "$program" ] || continue
  name=$(basename "$program" .exe)
  args=()
  if [ "$kind" = gtest ]; then
    args=(--gtest_filter="$filter")
  fi
  log="$build/test-logs/$name.log"
  mkdir -p "$build/test-logs"
  program_start=$(seconds)
  code=0
  (cd "$(dirname "$program")" && "$wine64" "$program" "${args[@]}") </dev/null >"$log" 2>&1 || code=$?
  if [ "$code" = 0 ]; then
    status=passed
  else
    status="FAILED (exit $code)"
    failed+=("$name")
  fi
  summary=$(grep -E '^\[  PASSED  \]|^\[  SKIPPED \] [0-9]|^\[  FAILED  \] [0-9]+ tests?, listed' "$log" | paste -sd' ' - || true)
  echo "test-windows: $name $status in $(($(seconds) - program_start)) s: $summary"
  if [ "$code" != 0 ]; then
    grep -E '^\[  FAILED  \] [A-Za-z_]' "$log" | grep -v ' ms)$' | sed 's/^/    /' || tail -20 "$log" | sed 's/^/    /'
  fi
done <"$build/windows-test-programs.txt"

echo "test-windows: tests took $(($(seconds) - booted)) s (logs in $build/test-logs)"
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-windows: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "test-windows: all test programs passed"
