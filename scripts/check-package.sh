#!/usr/bin/env bash
# Builds the Debian packages (libvexan2, libvexan-dev, vexan) with CPack from a
# Release build configured for /usr, and checks them:
#   - their control fields, dependencies, shlibs and ldconfig trigger;
#   - their contents: multiarch library directory, stripped binaries, vexan.pc
#     with /usr paths, copyright and changelog.Debian.gz, compressed manual pages;
#   - lintian: any error fails, its other findings are printed;
#   - unpacked into a scratch root: `vexan --sim info` on the package's own
#     library (RPATH $ORIGIN/../lib/<multiarch>), and `import vexan` in python3
#     finding that library without VEXAN_LIBRARY, and the device model's
#     libvexan_od.so beside the package reading an EDS file (vexan.read_eds);
#   - installed with apt (as root, or with sudo without a password): vexan from
#     the PATH, `man vexan`, a C program built with pkg-config and one with
#     CMake's find_package(vexan), `import vexan`; then `apt-get remove` must
#     leave none of the packages' files, nor the library in the loader's cache,
#     and dpkg must keep nothing of them.
#     Skipped (and said so) without root, or when one of the packages is
#     already installed on the machine; --no-install skips it too.
# Any failure fails; whatever the check installed is purged on every exit.
# Usage: scripts/check-package.sh [--no-install] [build-dir [extra cmake arguments...]]
# The build directory (default build/package) is configured as a Release build
# for /usr without tests or benchmarks; one configured otherwise is refused.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
install_check=yes
if [ "${1:-}" = "--no-install" ]; then
  install_check=no
  shift
fi
build=${1:-$root/build/package}
shift || true
build=$(mkdir -p "$build" && cd "$build" && pwd)

scratch=$(mktemp -d)
installed=()  # packages this run installed, purged on exit
as_root=()

fail() {
  echo "check-package: $*" >&2
  exit 1
}

apt_get() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o DPkg::Lock::Timeout=300 "$@"
}

cleanup() {
  local status=$?
  if [ ${#installed[@]} -gt 0 ]; then
    echo "== purging what the check installed: ${installed[*]}"
    "${as_root[@]}" dpkg --purge "${installed[@]}" >/dev/null 2>&1 || echo "check-package: could not purge ${installed[*]}" >&2
  fi
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$root/scripts/install-deps.sh"
version=$(sed -n 's/^project(Vexan VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
major=${version%%.*}
packages=("libvexan$major" libvexan-dev vexan)
ldconfig=$(command -v ldconfig || echo /sbin/ldconfig)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

# The Release build the packages come from.
build_release() {
  local cache=$build/CMakeCache.txt
  if [ -f "$cache" ]; then
    local type prefix
    type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$cache")
    prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$cache")
    if [ "$type" != Release ] || [ "$prefix" != /usr ]; then
      fail "$build is a $type build for $prefix; the packages come from a Release build for /usr (give a directory of its own)"
    fi
  fi
  echo "== Release build ($build)"
  # Debian's build flags with its hardening (fortified functions, stack
  # protector, read-only relocations bound at start), less -g (the packages
  # carry no debug information) and -O2 (the Release build's -O3 stays).
  buildflags() {
    local flag out=()
    for flag in $(cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$@"); do
      case "$flag" in -g | -O2) ;; *) out+=("$flag") ;; esac
    done
    echo "${out[*]}"
  }
  local cflags cxxflags ldflags
  cflags="$(buildflags CPPFLAGS) $(buildflags CFLAGS)"
  cxxflags="$(buildflags CPPFLAGS) $(buildflags CXXFLAGS)"
  ldflags=$(buildflags LDFLAGS)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DVEXAN_BENCHMARKS=OFF -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" "$@" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log" >&2; fail "cmake could not configure $build"; }
  cmake --build "$build" --parallel 2 >"$scratch/build.log" 2>&1 ||
    { tail -n 60 "$scratch/build.log" >&2; fail "the Release build failed"; }
  if grep -q -- '-Werror' "$build/build.ninja"; then echo "(warnings are errors in this build)"; fi
}

# cpack -G DEB into $scratch/out; sets deb_<name> to each package's file.
make_packages() {
  echo "== cpack -G DEB"
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
  local count
  count=$(find "$scratch/out" -maxdepth 1 -name '*.deb' | wc -l)
  [ "$count" -eq 3 ] || fail "expected three packages, found: $(ls "$scratch/out")"
  deb_libvexan2=$(ls "$scratch"/out/libvexan"${major}"_*_*.deb) || fail "no libvexan$major package"
  deb_libvexan_dev=$(ls "$scratch"/out/libvexan-dev_*_*.deb) || fail "no libvexan-dev package"
  deb_vexan=$(ls "$scratch"/out/vexan_*_*.deb) || fail "no vexan package"
  local deb
  for deb in "$deb_libvexan2" "$deb_libvexan_dev" "$deb_vexan"; do
    printf '%-36s %8s bytes, %6s KiB installed\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
      "$(dpkg-deb --field "$deb" Installed-Size)"
  done
}

field() { dpkg-deb --field "$1" "$2"; }

# Control fields, dependencies, shlibs and maintainer scripts.
check_control() {
  echo "== control fields"
  local deb name
  for deb in "$deb_libvexan2" "$deb_libvexan_dev" "$deb_vexan"; do
    name=$(field "$deb" Package)
    case "$(field "$deb" Version)" in "$version"-*) ;; *) fail "$name: version '$(field "$deb" Version)', project $version" ;; esac
    [ "$(field "$deb" Source)" = vexan ] || fail "$name: source is not vexan"
    [ -n "$(field "$deb" Maintainer)" ] || fail "$name: no maintainer"
    [ "$(dpkg-deb --info "$deb" | grep -c '^  ')" -ge 2 ] || fail "$name: no extended description"
  done
  [ "$(field "$deb_libvexan2" Package)" = "libvexan$major" ] || fail "the runtime package is not libvexan$major"
  local debversion
  debversion=$(field "$deb_vexan" Version)
  has_depends() {
    local deb=$1 dependency=$2 depends
    depends=$(field "$deb" Depends)
    grep -q -E "(^|, )$dependency( |,|$)" <<<"$depends" || fail "$(field "$deb" Package): Depends lacks $dependency: $depends"
  }
  for dependency in libc6 libstdc\\+\\+6; do has_depends "$deb_libvexan2" "$dependency"; done
  for dependency in libc6 libstdc\\+\\+6 libedit2 "libvexan$major"; do has_depends "$deb_vexan" "$dependency"; done
  field "$deb_libvexan_dev" Depends | grep -q -F "libvexan$major (= $debversion)" ||
    fail "libvexan-dev does not depend on exactly libvexan$major $debversion: $(field "$deb_libvexan_dev" Depends)"
  if field "$deb_libvexan2" Depends | grep -q libvexan; then fail "libvexan$major depends on itself"; fi

  mkdir -p "$scratch/control"
  dpkg-deb --control "$deb_libvexan2" "$scratch/control/runtime"
  grep -q -E "^libvexan $major libvexan$major \(>= " "$scratch/control/runtime/shlibs" 2>/dev/null ||
    fail "libvexan$major's shlibs file is missing or wrong: $(cat "$scratch/control/runtime/shlibs" 2>/dev/null)"
  grep -q -x 'activate-noawait ldconfig' "$scratch/control/runtime/triggers" 2>/dev/null ||
    fail "libvexan$major does not activate the ldconfig trigger"
  if grep -l -s ldconfig "$scratch"/control/runtime/post* "$scratch"/control/runtime/pre*; then
    fail "a maintainer script of libvexan$major calls ldconfig (the trigger does)"
  fi
}

# Every package unpacked into its own root, and all into one.
unpack() {
  echo "== contents"
  local deb
  mkdir -p "$scratch/pkg" "$scratch/root"
  for deb in "$deb_libvexan2" "$deb_libvexan_dev" "$deb_vexan"; do
    dpkg-deb -x "$deb" "$scratch/pkg/$(field "$deb" Package)"
    dpkg-deb -x "$deb" "$scratch/root"
  done
}

# Which files are where, stripped binaries, documentation, vexan.pc.
check_contents() {
  local libdir=usr/lib/$multiarch file package
  expect() {
    package=$1
    shift
    for file in "$@"; do
      [ -e "$scratch/pkg/$package/$file" ] || [ -L "$scratch/pkg/$package/$file" ] || fail "$package lacks /$file"
    done
  }
  expect "libvexan$major" "$libdir/libvexan.so.$major" "$libdir/libvexan.so.$version"
  expect libvexan-dev usr/include/vexan.h usr/include/vexan_results.h "$libdir/libvexan.so" "$libdir/libvexan.a" \
    "$libdir/pkgconfig/vexan.pc" "$libdir/cmake/vexan/vexanConfig.cmake" "$libdir/cmake/vexan/vexanConfigVersion.cmake" \
    "$libdir/cmake/vexan/vexanTargets.cmake"
  expect vexan usr/bin/vexan usr/bin/vexan-sim usr/share/man/man1/vexan.1.gz usr/share/man/man1/vexan-sim.1.gz \
    usr/lib/python3/dist-packages/vexan/__init__.py usr/lib/python3/dist-packages/vexan/_library.py \
    usr/lib/python3/dist-packages/vexan/libvexan_od.so usr/lib/systemd/system/vexan-serve@.service
  # Nothing outside /usr, no library outside the multiarch directory, nothing
  # in /usr/local, no byte-compiled Python.
  local stray
  stray=$(cd "$scratch/root" && find . -mindepth 1 \( -path ./usr -prune \) -o -print)
  [ -z "$stray" ] || fail "files outside /usr: $stray"
  stray=$(cd "$scratch/root" && find usr/lib -maxdepth 1 -name 'libvexan*')
  [ -z "$stray" ] || fail "library files outside /$libdir: $stray"
  stray=$(cd "$scratch/root" && find . \( -path ./usr/local -o -name __pycache__ -o -name '*.pyc' \) -print)
  [ -z "$stray" ] || fail "unexpected files: $stray"
  # Each package's file in one package only.
  local dupes
  dupes=$(for package in "${packages[@]}"; do (cd "$scratch/pkg/$package" && find . ! -type d); done | sort | uniq -d)
  [ -z "$dupes" ] || fail "files in more than one package: $dupes"

  # Binaries without symbol tables or debug information.
  local elf
  while IFS= read -r -d '' elf; do
    if file -b "$elf" | grep -q 'ELF.*not stripped'; then fail "/${elf#"$scratch"/root/} is not stripped"; fi
    if readelf -S -W "$elf" | grep -q -E '\.(debug_info|symtab) '; then fail "/${elf#"$scratch"/root/} has debug information or a symbol table"; fi
  done < <(find "$scratch/root" -type f \( -path '*/usr/bin/*' -o -name '*.so*' \) -print0)

  # copyright (naming the license) and changelog (of this version) in each package's folder.
  for package in "${packages[@]}"; do
    local doc=$scratch/pkg/$package/usr/share/doc/$package
    grep -q '^License: ' "$doc/copyright" 2>/dev/null || fail "$package: no copyright file naming the license"
    local top
    top=$(zcat "$doc/changelog.Debian.gz" 2>/dev/null | head -n 1) || true
    [ "$top" = "vexan ($(field "$deb_vexan" Version)) unstable; urgency=medium" ] ||
      fail "$package: changelog.Debian.gz does not begin with this version: '$top'"
  done

  # Manual pages that name their program.
  zcat "$scratch/pkg/vexan/usr/share/man/man1/vexan.1.gz" | grep -q '^\.TH VEXAN ' || fail "vexan.1.gz is not vexan's page"
  zcat "$scratch/pkg/vexan/usr/share/man/man1/vexan-sim.1.gz" | grep -q '^\.TH VEXAN-SIM ' || fail "vexan-sim.1.gz is not vexan-sim's page"

  # vexan.pc with the prefix's own paths.
  local pc=$scratch/pkg/libvexan-dev/$libdir/pkgconfig/vexan.pc
  grep -q -x 'prefix=/usr' "$pc" || fail "vexan.pc: prefix is not /usr"
  [ "$(PKG_CONFIG_PATH="${pc%/*}" pkg-config --variable=libdir vexan)" = "/$libdir" ] || fail "vexan.pc: libdir is not /$libdir"
  [ "$(PKG_CONFIG_PATH="${pc%/*}" pkg-config --variable=includedir vexan)" = /usr/include ] || fail "vexan.pc: includedir is not /usr/include"
  if grep -q -E 'pcfiledir|\.\.' "$pc"; then fail "vexan.pc has relative paths: $(cat "$pc")"; fi
  echo "files, symbols, documentation and vexan.pc as expected"
}

# Debian's own checker: errors fail, its other findings are shown.
check_lintian() {
  echo "== lintian"
  local status=0
  lintian --fail-on error --display-info "$deb_libvexan2" "$deb_libvexan_dev" "$deb_vexan" >"$scratch/lintian.log" 2>&1 ||
    status=$?
  grep -v -x 'running with root privileges is not recommended!' "$scratch/lintian.log" || true
  [ "$status" -eq 0 ] || fail "lintian reports errors (exit $status)"
  echo "lintian: $(grep -c '^E: ' "$scratch/lintian.log" || true) errors, $(grep -c '^W: ' "$scratch/lintian.log" || true) warnings"
}

# The unpacked programs and Python package on the unpacked library.
check_unpacked() {
  echo "== vexan --sim info (unpacked)"
  local tool=$scratch/root/usr/bin/vexan resolved out
  resolved=$(env -u LD_LIBRARY_PATH ldd "$tool" | awk '/libvexan\.so/ {print $3}')
  case "$resolved" in "$scratch"/root/*) ;; *) fail "the unpacked tool loads libvexan from '$resolved'" ;; esac
  out=$(cd "$scratch" && env -u LD_LIBRARY_PATH timeout 60 "$tool" --sim info) || fail "vexan --sim info failed"
  echo "$out"
  grep -q '^library [0-9]' <<<"$out" || fail "unexpected output of vexan --sim info"
  "$scratch/root/usr/bin/vexan-sim" --help >/dev/null || fail "vexan-sim --help failed"

  echo "== python3 -c 'import vexan' (unpacked)"
  out=$(cd "$scratch" && env -u VEXAN_LIBRARY -u LD_LIBRARY_PATH PYTHONDONTWRITEBYTECODE=1 \
    PYTHONPATH="$scratch/root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
    'import vexan; print(vexan.__file__); print(vexan.library_path()); print(vexan.library_version())') ||
    fail "import vexan failed on the unpacked package"
  echo "$out"
  [ "$(sed -n 1p <<<"$out")" = "$scratch/root/usr/lib/python3/dist-packages/vexan/__init__.py" ] ||
    fail "python3 imported vexan from elsewhere"
  case "$(sed -n 2p <<<"$out")" in
    "$scratch/root/usr/lib/$multiarch/libvexan.so.$major"*) ;;
    *) fail "the unpacked Python package loads the library from elsewhere" ;;
  esac
  read_eds "$scratch/root/usr/lib/python3/dist-packages" "$scratch/root/usr/lib/python3/dist-packages/vexan/libvexan_od.so"
}

# vexan.read_eds on a small EDS file, with PYTHONPATH $1 (none when empty):
# the device model's library must be $2, found without VEXAN_OD_LIBRARY.
read_eds() {
  local out eds=$scratch/node.eds
  # shellcheck disable=SC2016 # $NODEID is the file's own text
  printf '[1017]\nParameterName=Producer heartbeat time\nObjectType=0x7\nDataType=0x0006\nAccessType=rw\nDefaultValue=$NODEID+100\n' >"$eds"
  out=$(cd "$scratch" && env -u VEXAN_LIBRARY -u VEXAN_OD_LIBRARY -u PYTHONPATH -u LD_LIBRARY_PATH \
    PYTHONDONTWRITEBYTECODE=1 ${1:+PYTHONPATH="$1"} /usr/bin/python3 -c \
    'import sys, vexan, vexan._library as l; print(vexan.read_eds(sys.argv[1], node=5)[0x1017].default); print(l.od_library_path())' \
    "$eds") || fail "vexan.read_eds failed"
  echo "$out"
  [ "$(sed -n 1p <<<"$out")" = 105 ] || fail "vexan.read_eds read a wrong default"
  [ "$(sed -n 2p <<<"$out")" = "$2" ] || fail "the Python package loads the device model's library from elsewhere"
}

# Whether this run may install the packages on the machine.
can_install() {
  [ "$install_check" = yes ] || { echo "== install check skipped (--no-install)"; return 1; }
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then as_root=(sudo); else
      echo "== install check skipped (needs root or sudo without a password)"
      return 1
    fi
  fi
  command -v apt-get >/dev/null || { echo "== install check skipped (no apt-get)"; return 1; }
  local package
  for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q -v 'not-installed'; then
      echo "== install check skipped ($package is already on this machine; the check leaves it alone)"
      return 1
    fi
  done
}

# Installed with apt: the programs, the manual page, building against the
# library, Python; then removed, leaving nothing behind.
check_installed() {
  echo "== apt-get install ./libvexan${major}_*.deb ./libvexan-dev_*.deb ./vexan_*.deb"
  installed=("${packages[@]}")
  apt_get install --no-install-recommends "$deb_libvexan2" "$deb_libvexan_dev" "$deb_vexan" >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log" >&2; fail "apt-get install failed"; }
  local package
  for package in "${packages[@]}"; do
    dpkg-query -L "$package" >"$scratch/files.$package"
  done
  local libdir=/usr/lib/$multiarch out library
  library=$(readlink -f "$libdir/libvexan.so.$major")
  # (/lib and /usr/lib are one folder on a merged-/usr system: paths are compared resolved.)
  [ "$(readlink -f "$("$ldconfig" -p | awk '/libvexan\.so\.'"$major"' / {print $NF; exit}')")" = "$library" ] ||
    fail "the loader's cache lacks $libdir/libvexan.so.$major"

  [ "$(command -v vexan)" = /usr/bin/vexan ] || fail "vexan on the PATH is $(command -v vexan)"
  out=$(cd "$scratch" && env -u LD_LIBRARY_PATH timeout 60 vexan --sim info) || fail "the installed vexan --sim info failed"
  grep -q '^library [0-9]' <<<"$out" || fail "unexpected output of the installed vexan --sim info"

  echo "== man vexan"
  [ "$(man -w vexan)" = /usr/share/man/man1/vexan.1.gz ] || fail "man -w vexan: $(man -w vexan 2>&1)"
  out=$(MANPAGER=cat MANWIDTH=80 man vexan 2>/dev/null) || fail "man vexan failed"
  grep -q 'drive CANopen master modules' <<<"$out" || fail "man vexan does not show the tool's page"
  head -n 8 <<<"$out"
  env MANPAGER=cat man vexan-sim 2>/dev/null | grep -q 'simulate a CANopen master module' || fail "man vexan-sim does not show its page"

  echo "== a C program built with pkg-config and with CMake's find_package(vexan)"
  local app=$scratch/app
  mkdir -p "$app"
  cat >"$app/version.c" <<'EOF'
#include <stdio.h>
#include <vexan.h>
int main(void) {
    unsigned v = Vexan_GetVersion();
    printf("%u\n", v);
    return v == 0;
}
EOF
  cat >"$app/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(version_check C CXX)
find_package(vexan 2 REQUIRED)
add_executable(version_shared version.c)
target_link_libraries(version_shared PRIVATE vexan::vexan)
add_executable(version_static version.c)
target_link_libraries(version_static PRIVATE vexan::vexan_static)
# The static library is C++: linked by the C++ compiler for its runtime.
set_target_properties(version_static PROPERTIES LINKER_LANGUAGE CXX)
EOF
  # shellcheck disable=SC2046
  cc -o "$app/version_pc" "$app/version.c" $(pkg-config --cflags --libs vexan) || fail "building with pkg-config failed"
  (cd "$app" && env -u CMAKE_PREFIX_PATH cmake -S . -B build -G Ninja >"$scratch/app.log" 2>&1 &&
    cmake --build build >>"$scratch/app.log" 2>&1) || { cat "$scratch/app.log" >&2; fail "building with CMake failed"; }
  local program expected
  expected=$("$app/version_pc") || fail "the pkg-config build does not run"
  for program in version_pc build/version_shared; do
    [ "$(readlink -f "$(env -u LD_LIBRARY_PATH ldd "$app/$program" | awk '/libvexan\.so/ {print $3}')")" = "$library" ] ||
      fail "$program does not load $libdir/libvexan.so.$major"
  done
  for program in version_pc build/version_shared build/version_static; do
    [ "$("$app/$program")" = "$expected" ] || fail "$program prints '$("$app/$program")', not $expected"
  done
  echo "library $expected: pkg-config, find_package (shared and static) builds run"

  echo "== python3 -c 'import vexan' (installed, no VEXAN_LIBRARY)"
  out=$(cd "$scratch" && env -u VEXAN_LIBRARY -u PYTHONPATH -u LD_LIBRARY_PATH /usr/bin/python3 -c \
    'import vexan; print(vexan.__file__); print(vexan.library_path()); print(vexan.library_version())') ||
    fail "import vexan failed"
  echo "$out"
  [ "$(sed -n 1p <<<"$out")" = /usr/lib/python3/dist-packages/vexan/__init__.py ] || fail "python3 imported another vexan"
  [ "$(readlink -f "$(sed -n 2p <<<"$out")")" = "$library" ] || fail "Python loads another library"
  read_eds "" /usr/lib/python3/dist-packages/vexan/libvexan_od.so

  echo "== apt-get remove leaves nothing behind"
  apt_get remove "${packages[@]}" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; fail "apt-get remove failed"; }
  local path left=()
  for package in "${packages[@]}"; do
    while IFS= read -r path; do
      [ -e "$path" ] || [ -L "$path" ] || continue
      # A folder the packages shared with the system (/usr/bin) stays; one of their own must go.
      if [ -d "$path" ] && [ ! -L "$path" ]; then
        case "${path##*/}" in *vexan*) ;; *) continue ;; esac
      fi
      left+=("$path")
    done <"$scratch/files.$package"
  done
  [ ${#left[@]} -eq 0 ] || fail "left behind after apt-get remove: ${left[*]}"
  if "$ldconfig" -p | grep -q libvexan; then fail "the loader's cache still lists libvexan"; fi
  # Without conffiles or a postrm nothing is kept for a purge: dpkg forgets them.
  for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q -v 'not-installed'; then
      fail "$package is still known to dpkg after apt-get remove: $(dpkg-query -W -f='${Status}' "$package")"
    fi
  done
  installed=()
  echo "removed; nothing left"
}

# Nothing in the packages may name the source or build directory: an
# installed program must not depend on where it was built.
no_build_paths() {
  echo "== no build paths in the packages"
  local dir found
  for dir in "$root" "$(cd "$build" && pwd -P)"; do
    found=$(grep -rlF -- "$dir" "$scratch/root" || true)
    [ -z "$found" ] || fail "files of the package contain the path $dir: ${found//$scratch\/root/}"
  done
}

build_release "$@"
make_packages
check_control
unpack
check_contents
no_build_paths
check_lintian
check_unpacked
if can_install; then check_installed; fi
echo "== packages checked"
