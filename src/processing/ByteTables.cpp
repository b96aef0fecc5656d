#include "processing/ByteTables.h"

#include "stacking/ParallelShares.h"

ByteImagePtr mapSamples(const ImageBuffer<unsigned char>& image, const std::vector<ByteTable>& tables)
{
    auto result = std::make_shared<ByteImage>(image.width(), image.height(), image.channels());
    const std::size_t channels = std::size_t(image.channels());
    const std::size_t pixels = image.size() / channels;
    const std::uint8_t* in = image.data();
    std::uint8_t* out = result->data();
    const ByteTable* table = tables.data();
    forEachShare(pixels, worthSplitting(image.size()), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin * channels; i < end * channels; i += channels)
            for (std::size_t c = 0; c < channels; ++c)
                out[i + c] = table[c][in[i + c]];
    });
    return result;
}
