#include "processing/Compression.h"

#include <cmath>

#include "processing/ByteTables.h"

ByteImagePtr applyCompression(const ImageBuffer<unsigned char>& image, float percent)
{
    const float gamma = (0.9f - percent * 0.009f) + 0.1f;
    const float norm = powf(255.0f, gamma);
    ByteTable table;
    for (int v = 0; v < 256; ++v)
        table[v] = truncateToByte(powf(float(v), gamma) * 255.0f / norm);
    return mapSamples(image, std::vector<ByteTable>(std::size_t(image.channels()), table));
}
