#include "core/ImageLimits.h"

#include <algorithm>
#include <stdexcept>

bool isLoadableSize(std::int64_t width, std::int64_t height, std::int64_t channels)
{
    if (width < 0 || height < 0 || channels < 0 || width > kLargestSide || height > kLargestSide)
        return false;
    // Both sides are at most 65535 here, so the product cannot overflow.
    return channels <= kLargestSampleCount && width * height <= kLargestSampleCount / std::max<std::int64_t>(channels, 1);
}

void requireLoadableSize(std::int64_t width, std::int64_t height, std::int64_t channels, const std::string& path)
{
    if (isLoadableSize(width, height, channels))
        return;
    throw std::runtime_error("Image of " + std::to_string(width) + " x " + std::to_string(height) + " x " +
                             std::to_string(channels) + " samples is too large to load (at most " +
                             std::to_string(kLargestSide) + " pixels a side and " +
                             std::to_string(kLargestSampleCount) + " samples): " + path);
}
