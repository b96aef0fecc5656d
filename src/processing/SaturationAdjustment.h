#pragma once

#include "image/ImageBuffer.h"

// Scales the HSV saturation of every pixel by k = saturation / 100 times a
// weight set by its value v: 1 + 0.3 * (1 - |v - 120| / 70) for 51 <= v <= 179
// (mid-tones boosted up to 1.3 at 120), 1 - (v - 200) / 55 but at least 0.2
// for v > 200 (highlights muted), 1 otherwise. The new saturation is
// truncated and saturated to 0..255. Three channels go through OpenCV's
// BGR/HSV conversions in the buffer's own order (OpenCV 4.6 converts back by
// rounding in its scalar path, but may come out one lower in its vector
// blocks); a buffer with fewer channels is copied unchanged. saturation is
// expected in 0..200.
ByteImagePtr applySaturationAdjustment(const ImageBuffer<unsigned char>& image, float saturation);
