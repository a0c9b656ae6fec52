#!/usr/bin/env bash
# Builds the fuzzers with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer) and runs them for four and two thirds times the given seconds
# in all (default 60): the fast targets of the pure parts, framing and
# dispatch (frames) and the EDS reader's lookups (eds_reader), the given
# seconds each; the event replies (events) and the EDS value texts (eds_value),
# which reach all their paths within a second, the whole-run targets (stream,
# eds: far fewer inputs a second) and the gateway's command lines (gateway) a
# third of them each; the device model's reader (od) the given seconds.
# Usage:
#   fuzz/run.sh [seconds]
# BUILD_DIR overrides the build directory (default build/fuzz). Each fuzzer
# starts from its seeds in fuzz/corpus/<seeds> (targets with the same input
# format share them) and keeps what it finds in <build>/corpus/<target>; a
# crash input is written to <build>/artifacts/ and fails the run.
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
# target, seeds, longest input, share of the seconds in thirds. Inputs of the
# fast targets are kept short: what they fuzz needs no more, and each input
# then costs little.
targets=(
  "frames stream 512 3"  # holds the longest frame with others around it
  "stream stream 2048 1"
  "events events 2048 1"
  "eds_reader eds 1024 3"
  "eds_value eds_value 128 1"  # a value text is at most 99 characters
  "eds eds 16384 1"  # EDS files are larger than module frames
  "gateway gateway 8192 1"  # vexan serve's command lines, over the 4 KiB limit
)
names=()
for entry in "${targets[@]}"; do
  read -r target _ <<<"$entry"
  names+=("vexan_fuzz_$target")
done
cmake --build "$build" --target "${names[@]}" --parallel

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for entry in "${targets[@]}"; do
  read -r target seeds max_len thirds <<<"$entry"
  name="vexan_fuzz_$target"
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts"
  mkdir -p "$corpus" "$artifacts"
  inputs=("$corpus" "$here/corpus/$seeds")
  # The EDS targets also start from the real files of the shared folder, where there.
  [ "$seeds" = eds ] && [ -d "$root/../shared/eds" ] && inputs+=("$root/../shared/eds")
  time=$(( (seconds * thirds + 2) / 3 ))
  echo "== $name for ${time}s"
  "$build/fuzz/$name" -max_len="$max_len" -max_total_time="$time" -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "${inputs[@]}"
done

# The device model's reader: its own fuzzer, seeded with fuzz/corpus/od and the
# real files (of which the first 4 KiB are read: see fuzz_od.cpp).
cmake --build "$build" --target vexan_fuzz_od --parallel
mkdir -p "$build/corpus/od" "$build/artifacts"
echo "== vexan_fuzz_od for ${seconds}s"
"$build/fuzz/vexan_fuzz_od" -max_len=4096 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/vexan_fuzz_od-" "$build/corpus/od" "$here/corpus/od" \
  $([ -d "$root/../shared/eds" ] && echo "$root/../shared/eds")
