#!/usr/bin/env bash
# Runs every benchmark of the release build: the whole-run table, the
# camera-frame table, the registration table, the killed-runs table, the watch-mode table, the post-processing tables,
# then the byte kernels at each vector level.
set -euo pipefail
build=${1:-build/release}
"$build/bench/pelorum_bench_pipeline" "$build"
echo
"$build/bench/pelorum_bench_camera" "$build"
echo
"$build/bench/pelorum_bench_registration"
echo
"$build/bench/pelorum_bench_kills" "$build"
echo
"$build/bench/pelorum_bench_watch" "$build"
echo
"$build/bench/pelorum_bench_postprocessing"
echo
"$build/bench/pelorum_bench_kernels" --benchmark_counters_tabular=true
