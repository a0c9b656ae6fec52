#!/usr/bin/env bash
# Builds the fuzzers with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer) and runs each for the given seconds (default 60). Usage:
#   fuzz/run.sh [seconds]
# BUILD_DIR overrides the build directory (default build/fuzz). Each fuzzer
# starts from its seeds in fuzz/corpus/<target> and keeps what it finds in
# <build>/corpus/<target>; a crash input is written to <build>/artifacts/ and
# fails the run.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
seconds="${1:-60}"
build="${BUILD_DIR:-$root/build/fuzz}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"  # absolute: the stream fuzzer runs its inputs elsewhere

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVEXAN_FUZZ=ON -DVEXAN_SANITIZE=address,undefined -DVEXAN_WERROR=ON \
  -DBUILD_TESTING=OFF -DVEXAN_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target vexan_fuzz_stream vexan_fuzz_events vexan_fuzz_eds --parallel

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for target in stream events eds; do
  name="vexan_fuzz_$target"
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts"
  mkdir -p "$corpus" "$artifacts"
  echo "== $name for ${seconds}s"
  max_len=2048
  [ "$target" = eds ] && max_len=16384  # EDS files are larger than module frames
  "$build/fuzz/$name" -max_len="$max_len" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "$corpus" "$here/corpus/$target" \
    $([ "$target" = eds ] && [ -d "$root/../shared/eds" ] && echo "$root/../shared/eds")
done

# The device model's reader: its own fuzzer, seeded with fuzz/corpus/od and the real files.
cmake --build "$build" --target vexan_fuzz_od --parallel
mkdir -p "$build/corpus/od" "$build/artifacts"
echo "== vexan_fuzz_od for ${seconds}s"
"$build/fuzz/vexan_fuzz_od" -max_len=65536 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/vexan_fuzz_od-" "$build/corpus/od" "$here/corpus/od" \
  $([ -d "$root/../shared/eds" ] && echo "$root/../shared/eds")
