#!/usr/bin/env bash
# Installs what the build, the tests, the lint, the package check (lintian, help2man for the manual
# pages, man-db to read them), the demo and the Python package (its
# tests and its install into a scratch venv) and the dashboard of `vexan serve`
# (cpp-httplib, nlohmann-json, Node with npm for its chart library and its
# tests, chromium for the browser tests) need on a fresh Debian 12; then the
# dashboard's npm packages (`npm ci` in tools/vexan/web) when they are missing
# or older than its package-lock.json.
# With --windows: what scripts/windows.sh needs instead (MinGW-w64 cross compilers,
# GoogleTest's sources to build for Windows, and Wine to run the 64-bit tests).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config
  clang-format clang-tidy libcli11-dev libedit-dev dpkg-dev file python3 python3-pytest python3-setuptools
  python3-wheel python3-pip python3-venv mypy lintian help2man man-db
  libcpp-httplib-dev nlohmann-json3-dev nodejs chromium)
recommends=(--no-install-recommends)
if [ "${1:-}" = "--windows" ]; then
  packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
    binutils-mingw-w64-i686 googletest wine64)
  recommends=()  # Wine's recommended libraries; 32-bit Wine is not installable here and is skipped
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Debian's nodejs comes without npm; a Node from elsewhere may bring its own.
if [ "${1:-}" != "--windows" ] && ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y "${recommends[@]}" "${missing[@]}"
fi
[ "${1:-}" = "--windows" ] && exit 0

# The dashboard's npm packages, exactly as package-lock.json names them.
web=$(cd "$(dirname "$0")/../tools/vexan/web" && pwd)
stamp="$web/node_modules/.package-lock.json"
if [ ! -f "$stamp" ] || [ "$web/package-lock.json" -nt "$stamp" ]; then
  (cd "$web" && npm ci --no-audit --no-fund)
fi
