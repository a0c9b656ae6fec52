#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it without touching the
# system: its control fields, its contents unpacked into a scratch root, and
# the unpacked vexan tool running `vexan --sim info` on the package's own
# library (found through its RPATH, $ORIGIN/../lib). Any failure fails.
# Usage: scripts/check-package.sh [build-dir]
# Without a build directory, build/package is configured as a Release build
# without tests or benchmarks; a given one (e.g. CI's build/ci) is used as it is
# configured, after building what is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [ -z "$build" ]; then
  build=$root/build/package
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVEXAN_BENCHMARKS=OFF \
    >/dev/null
fi
cmake --build "$build" --parallel 2 >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "check-package: $*" >&2
  exit 1
}

echo "== cpack -G DEB ($build)"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
debs=("$scratch"/out/vexan_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one vexan_*.deb, found: ${debs[*]}"
deb=${debs[0]}
echo "$(basename "$deb")"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = vexan ] || fail "package name is '$(field Package)'"
version=$(sed -n 's/^project(Vexan VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
case "$(field Version)" in "$version" | "$version"-*) ;; *) fail "version '$(field Version)', project $version" ;; esac
[ -n "$(field Maintainer)" ] || fail "no maintainer"
[ -n "$(field Description)" ] || fail "no description"
depends=$(field Depends)
for dependency in libc6 libedit2 libstdc++6; do
  grep -q "\b$dependency\b" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done

echo "== unpacked into a scratch root"
dpkg -x "$deb" "$scratch/root"
for file in usr/bin/vexan usr/bin/vexan-sim usr/include/vexan.h usr/include/vexan_results.h \
  usr/lib/libvexan.so usr/lib/pkgconfig/vexan.pc usr/lib/cmake/vexan/vexanConfig.cmake; do
  [ -e "$scratch/root/$file" ] || fail "the package lacks /$file"
done
# No file of the package may depend on where it was built: none names the
# source or the build directory (a default file path, a build RPATH, debug
# information left in).
no_build_paths() {
  local dir found
  for dir in "$root" "$(cd "$build" && pwd -P)"; do
    found=$(grep -rlF -- "$dir" "$scratch/root" || true)
    [ -z "$found" ] || fail "files of the package contain the path $dir: ${found//$scratch\/root/}"
  done
}
no_build_paths
tool=$scratch/root/usr/bin/vexan
# The tool must take the package's library, not one found elsewhere.
resolved=$(env -u LD_LIBRARY_PATH ldd "$tool" | awk '/libvexan\.so/ {print $3}')
case "$resolved" in "$scratch"/root/*) ;; *) fail "the unpacked tool loads libvexan from '$resolved'" ;; esac

echo "== vexan --sim info (unpacked)"
out=$(cd "$scratch" && env -u LD_LIBRARY_PATH timeout 60 "$tool" --sim info) || fail "vexan --sim info failed"
echo "$out"
grep -q '^library [0-9]' <<<"$out" || fail "unexpected output of vexan --sim info"
"$scratch/root/usr/bin/vexan-sim" --help >/dev/null || fail "vexan-sim --help failed"
echo "== package checked"
