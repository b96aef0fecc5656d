#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build in turn, FUZZ_SECONDS seconds each
# (default 60), one at a time. Each keeps a working corpus under
# BUILD/corpus/TARGET, started from the seeds the build generates; what it
# finds (crash-*, leak-*, oom-*, timeout-*) goes to BUILD/artifacts/TARGET and
# libFuzzer's output to BUILD/logs/TARGET.log. Prints the executions and the
# outcome of every target; exits 1 when any target found something.
#
# Usage: scripts/fuzz.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: scripts/fuzz.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-60}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
targets=(fuzz_jpeg_frame fuzz_fits_frame fuzz_fits_header fuzz_xisf fuzz_state_image fuzz_state_sidecar
         fuzz_camera_frame fuzz_frame_record)

# UBSan findings abort (the build does not recover), with their stack in the log.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

rm -rf "$build/seeds"
"$build/fuzz/fuzz_seeds" "$build/seeds"
mkdir -p "$build/logs"

# Executions: libFuzzer's final "Done N runs", or its final statistics when it stopped on a finding.
executions() {
  local runs
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$1" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$1" | tail -n 1)
  echo "$runs"
}

run_target() {
  local target=$1 corpus=$build/corpus/$1 artifacts=$build/artifacts/$1 log=$build/logs/$1.log
  local dictionary=$source_dir/fuzz/$target.dict
  mkdir -p "$corpus" "$artifacts"
  cp "$build/seeds/$target"/* "$corpus"/
  local options=(-max_total_time="$seconds" -rss_limit_mb=4096 -malloc_limit_mb=2560 -timeout=20
                 -max_len=65536 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ -f "$dictionary" ] && options+=(-dict="$dictionary")
  echo "Fuzzing $target for $seconds s (log: $log)" >&2
  local status=0
  "$build/fuzz/$target" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
  local runs artifact
  runs=$(executions "$log")
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    printf '%-20s %12s runs  no finding\n' "$target" "${runs:-?}"
  elif [ -n "$artifact" ]; then
    printf '%-20s %12s runs  FOUND %s\n' "$target" "${runs:-?}" "$artifact"
  else
    printf '%-20s %12s runs  FAILED with status %s, see %s\n' "$target" "${runs:-?}" "$status" "$log"
  fi
  return "$status"
}

failed=0
summary=()
for target in "${targets[@]}"; do
  line=$(run_target "$target") || failed=1
  summary+=("$line")
done
printf '%s\n' "${summary[@]}"
exit "$failed"
