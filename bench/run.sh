#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them. Extra arguments go to the
# idle benchmark (e.g. --seconds 3). UPLOAD_ARGS go to the upload benchmark
# (e.g. UPLOAD_ARGS=--quick). BUILD_DIR overrides the build directory.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${BUILD_DIR:-$here/../build/bench}"
cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target vexan_bench_round_trip vexan_bench_idle vexan_bench_upload vexan_bench_eds_load vexan_bench_od_load vexan_bench_serve -j "$(nproc)" >/dev/null
"$build/bench/vexan_bench_round_trip"
"$build/bench/vexan_bench_idle" "$@"
# shellcheck disable=SC2086
"$build/bench/vexan_bench_upload" ${UPLOAD_ARGS:-}
"$build/bench/vexan_bench_eds_load"
"$build/bench/vexan_bench_od_load"
"$build/bench/vexan_bench_serve"
