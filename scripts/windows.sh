#!/usr/bin/env bash
# The Windows build, cross-compiled with MinGW-w64 and checked under Wine:
#  - 32-bit Vexan.dll and its import library: built, export table checked
#    against the header (32-bit Wine is not available here, so nothing runs);
#  - 64-bit Vexan.dll, export table checked; the test suite under wine64
#    (scripts/test-windows.sh); the DLL loaded, used and unloaded with a board
#    running; the examples run on COM1, which Wine maps to the simulator's
#    pseudo-terminal (scripts/test-windows-examples.sh).
# Usage: scripts/windows.sh [build-root]   (default: build/windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/windows}
"$root/scripts/install-deps.sh" --windows

echo "== Windows 32-bit: Vexan.dll"
cmake -S "$root" -B "$out/i686" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" -DBUILD_TESTING=OFF -DVEXAN_WERROR=ON >/dev/null
cmake --build "$out/i686" --parallel --target vexan
bash "$root/scripts/check-exports.sh" i686-w64-mingw32 "$out/i686/src/Vexan.dll"

echo "== Windows 64-bit: Vexan.dll and the tests"
cmake -S "$root" -B "$out/x86_64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DVEXAN_WERROR=ON >/dev/null
cmake --build "$out/x86_64" --parallel
bash "$root/scripts/check-exports.sh" x86_64-w64-mingw32 "$out/x86_64/src/Vexan.dll"

echo "== Windows 64-bit: the test suite under wine64"
bash "$root/scripts/test-windows.sh" "$out/x86_64"

echo "== Vexan.dll loaded, started on a pipe, unloaded (and the process ended) with the board running"
export WINEPREFIX="$out/x86_64/wineprefix" WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
# One Wine server for both runs: one that ends on its own between them can
# drop the next program's connection as it starts.
/usr/lib/wine/wineserver -p >/dev/null 2>&1 || true
(cd "$out/x86_64/src" && /usr/lib/wine/wine64 ./vexan_dll_unload.exe && /usr/lib/wine/wine64 ./vexan_dll_unload.exe exit)
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true

echo "== The examples under wine64, on COM1 mapped to the simulator's pseudo-terminal"
bash "$root/scripts/test-windows-examples.sh" "$out/x86_64" "$out/native"
