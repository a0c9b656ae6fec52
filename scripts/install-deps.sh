#!/usr/bin/env bash
# Installs what the build, the tests, the lint, the package check (lintian, help2man for the manual
# pages, man-db to read them), the demo and the Python package (its
# tests and its install into a scratch venv) need on a fresh Debian 12.
# With --windows: what scripts/windows.sh needs instead (MinGW-w64 cross compilers,
# GoogleTest's sources to build for Windows, and Wine to run the 64-bit tests).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config
  clang-format clang-tidy libcli11-dev libedit-dev dpkg-dev file python3 python3-pytest python3-setuptools
  python3-wheel python3-pip python3-venv mypy lintian help2man man-db)
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
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y "${recommends[@]}" "${missing[@]}"
