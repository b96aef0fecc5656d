#!/usr/bin/env bash
# Runs every benchmark of the release build.
set -euo pipefail
build=${1:-build/release}
"$build/bench/pelorum_bench_kernels" --benchmark_counters_tabular=true
"$build/bench/pelorum_bench_skysim"
