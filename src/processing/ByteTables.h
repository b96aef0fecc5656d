#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "image/ImageBuffer.h"

// Per-value lookup tables for the tone steps whose result depends only on the
// sample: the arithmetic runs once for each of the 256 values instead of once
// per sample.

using ByteTable = std::array<std::uint8_t, 256>;

// 255 at or above 255, truncated toward zero above 0, else 0 (NaN included).
inline std::uint8_t truncateToByte(float value)
{
    if (value >= 255.0f)
        return 255;
    return value > 0.0f ? static_cast<std::uint8_t>(value) : 0;
}

// A new buffer whose sample of channel c is tables[c][sample]; one table per
// channel of the image.
ByteImagePtr mapSamples(const ImageBuffer<unsigned char>& image, const std::vector<ByteTable>& tables);
