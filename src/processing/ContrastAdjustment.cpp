#include "processing/ContrastAdjustment.h"

#include <algorithm>

#include "core/Timer.h"
#include "processing/ByteTables.h"

namespace {

// Bins are 255/256 wide; a point found at bin b lies at b times this width.
constexpr float kBinWidth = 0.99609375f;
constexpr float kLowPercent = 15.0f;
constexpr float kHighPercent = 85.0f;

using Histogram = std::array<std::size_t, 256>;

struct StretchPoints {
    float low;
    float high;
};

std::vector<Histogram> valueCounts(const ImageBuffer<unsigned char>& image)
{
    const std::size_t channels = std::size_t(image.channels());
    std::vector<Histogram> counts(channels, Histogram{});
    const std::uint8_t* samples = image.data();
    for (std::size_t i = 0; i < image.size(); i += channels)
        for (std::size_t c = 0; c < channels; ++c)
            ++counts[c][samples[i + c]];
    return counts;
}

Histogram binned(const Histogram& counts)
{
    Histogram bins{};
    for (int v = 0; v < 256; ++v)
        bins[std::min(255, int(float(v) / kBinWidth))] += counts[v];
    return bins;
}

// The first bin whose running count reaches target; a point at bin 0 would be
// 0 and is taken at the next bin instead.
int pointBin(const Histogram& bins, int target)
{
    std::size_t running = 0;
    for (int b = 0; b < 255; ++b) {
        running += bins[b];
        if (running >= std::size_t(target))
            return std::max(b, 1);
    }
    return 255;
}

StretchPoints stretchPoints(const Histogram& counts, float pixels)
{
    const Histogram bins = binned(counts);
    const int lowTarget = int(pixels * kLowPercent / 100.0f);
    const int highTarget = int(pixels * kHighPercent / 100.0f);
    return {float(pointBin(bins, lowTarget)) * kBinWidth, float(pointBin(bins, highTarget)) * kBinWidth};
}

// Weak settings are lifted to at least 0.2, so even the weakest keeps some
// separation between faint and bright parts.
float strength(float contrast)
{
    const float k = contrast / 100.0f;
    return k < 0.2f ? (k - 0.1f) * 0.5f + 0.2f : k;
}

ByteTable identityTable()
{
    ByteTable table;
    for (int v = 0; v < 256; ++v)
        table[v] = std::uint8_t(v);
    return table;
}

ByteTable stretchTable(StretchPoints points, float k)
{
    // L == H would divide by zero; a flat channel has nothing to stretch.
    if (points.low == points.high)
        return identityTable();
    const float range = points.high - points.low;
    const float highlightRange = 255.0f - points.high;
    ByteTable table;
    for (int v = 0; v < 256; ++v) {
        const float value = float(v);
        const float t = (value - points.low) / range;
        float s = (t - 0.5f) * k + 0.5f;
        if (value > points.high) {
            // Highlights return to the linear stretch so bright stars are not clipped early.
            const float w = std::min((value - points.high) / highlightRange, 1.0f);
            s = s * (1.0f - w) + t * w;
        }
        table[v] = truncateToByte(range * s + points.low);
    }
    return table;
}

}  // namespace

ByteImagePtr applyContrastAdjustment(const ImageBuffer<unsigned char>& image, float contrast)
{
    Timer timer("applyContrastAdjustment");
    const float pixels = float(image.width() * image.height());
    const float k = strength(contrast);
    std::vector<ByteTable> tables;
    for (const Histogram& counts : valueCounts(image))
        tables.push_back(stretchTable(stretchPoints(counts, pixels), k));
    return mapSamples(image, tables);
}
