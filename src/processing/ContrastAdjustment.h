#pragma once

#include "image/ImageBuffer.h"

// Stretches each channel around its own low point L and high point H, the
// 15th and 85th percentiles of a 256-bin histogram whose bins are 255/256
// wide (a point never falls below the first bin, so L, H >= 255/256).
// With t = (v - L) / (H - L) and strength k = contrast / 100 (values below 0.2
// lifted to (k - 0.1) / 2 + 0.2), s = (t - 0.5) * k + 0.5; samples above H
// blend s back towards t as they approach 255. The result (H - L) * s + L is
// truncated and saturated to 0..255, in single precision. A flat channel
// (L == H) is copied unchanged. contrast is expected in 10..200.
ByteImagePtr applyContrastAdjustment(const ImageBuffer<unsigned char>& image, float contrast);
