#include <algorithm>

#include "stacking/BlockKernels.h"

namespace {

void addPortable(std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        a[i] = static_cast<std::uint8_t>(std::min(int(a[i]) + int(b[i]), 255));
}

// The zero test also sends NaN and negative products to 0, where a plain
// conversion to an unsigned byte would be undefined.
std::uint8_t scaledTruncated(std::uint8_t sample, float s)
{
    const float x = std::min(float(sample) * s, 255.0f);
    return x > 0.0f ? static_cast<std::uint8_t>(x) : 0;
}

void scalePortable(std::uint8_t* a, std::size_t n, float s)
{
    for (std::size_t i = 0; i < n; ++i)
        a[i] = scaledTruncated(a[i], s);
}

std::uint64_t sumPortable(const std::uint8_t* a, std::size_t n)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += a[i];
    return sum;
}

float squaredDeviationsPortable(const std::uint8_t* a, std::size_t n, float mean)
{
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float d = float(a[i]) - mean;
        sum += d * d;
    }
    return sum;
}

}  // namespace

const RewriteKernels portableRewriteKernels{1, addPortable, scalePortable};
const StatisticsKernels portableStatisticsKernels{1, sumPortable, squaredDeviationsPortable};
