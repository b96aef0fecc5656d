#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "core/Timer.h"
#include "stacking/ByteKernels.h"
#include "stacking/ImageStacker.h"

namespace {

// Above this many samples the spread is measured on every fourth sample: the
// ratio of two spreads barely moves, and the measure runs on every frame.
constexpr std::size_t kSamplingThreshold = 2000000;
constexpr std::size_t kSamplingStride = 4;

std::vector<std::uint8_t> everyNthSample(const ByteImage& image, std::size_t stride)
{
    std::vector<std::uint8_t> samples;
    samples.reserve(image.size() / stride);
    for (std::size_t i = 0; i < image.size(); i += stride)
        samples.push_back(image.data()[i]);
    return samples;
}

float standardDeviation(const std::uint8_t* samples, std::size_t count)
{
    return std::sqrt(varianceBytes(samples, count));
}

float spread(const ByteImage& image, bool sampled)
{
    if (!sampled)
        return standardDeviation(image.data(), image.size());
    const std::vector<std::uint8_t> samples = everyNthSample(image, kSamplingStride);
    return standardDeviation(samples.data(), samples.size());
}

// Two flat images have no ratio; their NaN passes the quality gate. It is a
// positive quiet NaN because 0 / 0 on x86 sets the sign bit, which
// std::to_string would log as "-nan".
float spreadRatio(float a, float b)
{
    if (a == 0.0f && b == 0.0f)
        return std::numeric_limits<float>::quiet_NaN();
    return std::min(a, b) / std::max(a, b);
}

}  // namespace

float ImageStacker::calculateFrameQuality(const ByteImagePtr& frame)
{
    Timer timer("calculateFrameQuality");
    if (!referenceFrame_)
        return 1.0f;
    if (!frame->sameDimensions(*referenceFrame_)) {
        logWarn("Frame dimensions do not match reference frame dimensions");
        return 0.0f;
    }

    const bool sampled = frame->size() > kSamplingThreshold;
    if (sampled)
        logInfo("Using sampling (stride=" + std::to_string(kSamplingStride) + ") for large image");
    const float frameSpread = spread(*frame, sampled);
    const float referenceSpread = spread(*referenceFrame_, sampled);
    // A stacked reference has averaged its noise away, so any single frame
    // spreads wider; only a frame that lost contrast against it is poor.
    const bool widerThanStack = settings_->referenceIsStack && frameSpread >= referenceSpread;
    const float quality = widerThanStack ? 1.0f : spreadRatio(frameSpread, referenceSpread);
    logInfo("Frame quality: " + std::to_string(quality));
    return quality;
}
