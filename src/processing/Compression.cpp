#include "processing/Compression.h"

#include <cmath>

#include "processing/ByteTables.h"

ByteImagePtr applyCompression(const ImageBuffer<unsigned char>& image, float percent)
{
    const float gamma = (0.9f - percent * 0.009f) + 0.1f;
    ByteTable table;
    // 255 * (v / 255)^gamma is v^gamma * 255 / 255^gamma, written so that
    // full scale maps to exactly 255: the quotient form lands on 254.99998 for
    // some percentages and white would be truncated to 254.
    for (int v = 0; v < 256; ++v)
        table[v] = truncateToByte(255.0f * powf(float(v) / 255.0f, gamma));
    return mapSamples(image, std::vector<ByteTable>(std::size_t(image.channels()), table));
}
