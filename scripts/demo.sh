#!/usr/bin/env bash
# Simulates a short night of frames and feeds them to pelorum one at a time,
# as a capture program would, then says where the result is.
set -euo pipefail
build=${1:-build/release}
out=demo/out
frames=$out/frames
rm -rf "$out"
mkdir -p "$frames"

# A mount that drifts and a field that slowly turns, as at a real telescope,
# under a light-polluted sky with a faint nebula and vignetting optics.
"$build/tools/skysim" --out "$frames" --frames 30 --width 1280 --height 720 --seed 42 \
  --drift-x 1.5 --drift-y -0.8 --rotation-per-frame 0.04 \
  --gradient 30 --vignetting 0.2 --nebula 25 --nebula-size 120

start=$(date +%s%N)
count=0
for frame in "$frames"/frame_*.jpg; do
  # Background removal, a contrast and colour stretch, and bilateral denoising.
  "$build/pelorum" -o "$out/stack.jpg" -e "$out/state.fits" -b 15 -c 60 -t 70 -D 2 "$frame"
  count=$((count + 1))
done
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
"$build/tools/sidebyside" "$frames/frame_0001.jpg" "$out/stack.jpg" "$out/first_vs_stack.jpg"

echo "Stacked $count frames in ${elapsed_ms} ms ($((elapsed_ms / count)) ms per frame)."
echo "Result: $out/stack.jpg"
echo "First frame beside the stack: $out/first_vs_stack.jpg"
