#pragma once

#include "image/ImageBuffer.h"

// The CLAHE tile grid is tiles x tiles with tiles = clamp(width / w, 2, 8),
// where w is the window made odd (an even window is increased by 1). Only
// the width counts, whatever the height.
int claheTileCount(int width, int window);

// Contrast-limited local histogram equalisation of every channel on its own
// (colour channels are never combined): OpenCV's CLAHE with clipLimit passed
// through unchanged (0 means no clipping) on the tile grid above, a 3x3
// Gaussian blur with sigma 0.5, then 70 % of that blended with 30 % of the
// unequalised channel, rounded and saturated to 8 bits. clipLimit is
// expected in 0..4.
ByteImagePtr applyLocalHistogramEqualization(const ImageBuffer<unsigned char>& image, int window, float clipLimit);
