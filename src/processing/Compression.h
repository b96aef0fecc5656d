#pragma once

#include "image/ImageBuffer.h"

// Dynamic-range compression by a gamma curve that keeps 0 and lifts
// mid-tones: gamma = (0.9 - percent * 0.009) + 0.1 (0.82 at 20, 0.1 at 100),
// out = v^gamma * 255 / 255^gamma in single precision, truncated and
// saturated to 0..255. percent is expected in 0..100.
ByteImagePtr applyCompression(const ImageBuffer<unsigned char>& image, float percent);
