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
# The server is kept running between the programs (-p) instead of being left
# to end and start again around each one.
"$wineserver" -p >/dev/null 2>&1 || true
"$wine64" wineboot -i >/dev/null 2>&1
booted=$(seconds)
echo "test-windows: wineboot took $((booted - boot_start)) s"

filter=$(cat "$build/windows-skip-filter.txt")
echo "test-windows: left out (tests/windows-skips.txt): ${filter#-}"

# One run of a test program; its output goes to the log named. Any program
# that runs longer than ten minutes is ended (124).
run_program() { # program log [args...]
  local program=$1 log=$2
  shift 2
  local code=0
  (cd "$(dirname "$program")" && timeout -k 10 600 "$wine64" "$program" "$@") </dev/null >"$log" 2>&1 || code=$?
  return "$code"
}

# Wine's own failure: the program lost its connection to the Wine server, or
# ended before it began to run its tests (a test program that fails says so).
wine_failed() { # log kind
  grep -q '^wine client error' "$1" && return 0
  if [ "$2" = gtest ]; then
    if grep -q '^\[==========\]' "$1"; then return 1; fi
    return 0
  fi
  [ ! -s "$1" ]
}

# The lines naming the failed test cases in a GoogleTest log (not the
# per-case result lines, which end with their time).
failed_case_lines() { # log
  grep -E '^\[  FAILED  \] [A-Za-z_]' "$1" | grep -v ' ms)$'
}

# Under Wine on a loaded machine the timing of threads and pipes is far looser
# than on a controller, and a test case can miss one of its timings. A failing
# test case is therefore run once more on its own; it fails the stage when it
# fails again, and the stage names every case that passed only on its second
# run. A program that Wine itself failed is run once more as a whole.
failed=()
second=()
mkdir -p "$build/test-logs"
while read -r kind program; do
  [ -n "$program" ] || continue
  name=$(basename "$program" .exe)
  args=()
  if [ "$kind" = gtest ]; then
    args=(--gtest_filter="$filter")
  fi
  log="$build/test-logs/$name.log"
  program_start=$(seconds)
  code=0
  run_program "$program" "$log" "${args[@]}" || code=$?
  if [ "$code" != 0 ] && wine_failed "$log" "$kind"; then
    echo "test-windows: $name: Wine failed (exit $code), run again:"
    sed -n '1,5p' "$log" | sed 's/^/    /'
    mv "$log" "$log.wine-failed"
    code=0
    run_program "$program" "$log" "${args[@]}" || code=$?
  fi
  note=""
  if [ "$code" != 0 ] && [ "$kind" = gtest ] && ! wine_failed "$log" "$kind"; then
    cases=$(failed_case_lines "$log" | sed -E 's/^\[  FAILED  \] ([^ ,]+).*/\1/' | paste -sd: - || true)
    if [ -n "$cases" ]; then
      code=0
      run_program "$program" "$log.again" --gtest_filter="$cases" || code=$?
      if [ "$code" = 0 ]; then
        note=" (and $cases passed on a second run)"
        second+=("$name: $cases")
      else
        cat "$log.again" >>"$log"
      fi
    fi
  fi
  if [ "$code" = 0 ]; then
    status=passed
  else
    status="FAILED (exit $code)"
    failed+=("$name")
  fi
  shown='^\[  PASSED  \]|^\[  SKIPPED \] [0-9]|^\[  FAILED  \] [0-9]+ tests?, listed'
  [ -z "$note" ] || shown='^\[  PASSED  \]|^\[  SKIPPED \] [0-9]'
  summary=$(grep -E "$shown" "$log" | head -3 | paste -sd' ' - || true)
  echo "test-windows: $name $status in $(($(seconds) - program_start)) s: $summary$note"
  if [ "$code" != 0 ]; then
    failed_case_lines "$log" | sed 's/^/    /' || tail -20 "$log" | sed 's/^/    /'
  fi
done <"$build/windows-test-programs.txt"

echo "test-windows: tests took $(($(seconds) - booted)) s (logs in $build/test-logs)"
for entry in "${second[@]}"; do
  echo "test-windows: passed only on a second run: $entry"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-windows: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "test-windows: all test programs passed"
