#!/usr/bin/env bash
# Lint: the formatting of every C and C++ file in the project's own folders
# (clang-format, .clang-format), then clang-tidy (.clang-tidy) on the library's
# sources. Any finding fails. Usage: scripts/lint.sh [build-dir]
# The build directory (default build/lint) is only configured, to give
# clang-tidy its compile_commands.json; nothing is built. clang-tidy is told to
# pass over the g++-only warning options the build gives (it parses as clang).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/lint}
cd "$root"
"$root/scripts/install-deps.sh"

echo "== clang-format"
folders=()
for folder in src include tests sim bench fuzz examples tools; do
  [ -d "$folder" ] && folders+=("$folder")
done
mapfile -d '' sources < <(find "${folders[@]}" -type f \
  \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' \) -print0 | sort -z)
clang-format --dry-run --Werror "${sources[@]}"
echo "${#sources[@]} files formatted as .clang-format asks"

echo "== clang-tidy"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVEXAN_WERROR=ON \
  -DBUILD_TESTING=OFF -DVEXAN_BENCHMARKS=OFF >/dev/null
# Only the library's own sources (src/, not sim/src/): anchor on the root.
root_re=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|]/\\&/g')
run-clang-tidy -p "$build" -j 2 -quiet -extra-arg=-Wno-unknown-warning-option "^$root_re/src/.*\.cpp\$" >"$build/clang-tidy.log" 2>&1 || {
  # Without the colours clang-tidy 14 always adds, the invocations and counts.
  sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" |
    grep -v -E '^(clang-tidy|[0-9]+ warnings? generated\.|Suppressed [0-9]+ warnings|Use -header-filter)' >&2 || true
  echo "clang-tidy found problems (full output: $build/clang-tidy.log)" >&2
  exit 1
}
checked=$(grep -c '^clang-tidy' "$build/clang-tidy.log" || true)
[ "$checked" -gt 0 ] || { echo "clang-tidy found no source of src/ in $build/compile_commands.json" >&2; exit 1; }
echo "$checked files clean"
