#include <algorithm>
#include <string>

#include "core/Logger.h"
#include "core/Timer.h"
#include "stacking/ByteKernels.h"
#include "stacking/ImageStacker.h"
#include "stacking/StackingSteps.h"

// Adds the frame, scaled to its share of the mean, into result; false when
// the quality gate skips it. The gate comes before the size check, so a frame
// that could not be aligned (quality 0) is skipped rather than an error.
bool ImageStacker::addToMean(const ByteImagePtr& frame, int position, float scale, ByteImage& result,
                             std::vector<std::uint8_t>& scratch)
{
    const std::string number = std::to_string(position);
    const ByteImagePtr prepared = prepareFrame(frame, "Align frame " + number);
    const float quality = calculateFrameQuality(prepared);
    if (quality < settings_->qualityThreshold) {
        logWarn("Skipping frame " + number + " due to poor quality: " + std::to_string(quality));
        skippedFrames_.push_back({position, quality});
        return false;
    }
    requireReferenceSize(*prepared, result, position);

    Timer timer("Add frame " + number + " to result");
    std::copy(prepared->data(), prepared->data() + result.size(), scratch.data());
    scaleBytes(scratch.data(), result.size(), scale);
    addSaturate(result.data(), scratch.data(), result.size());
    return true;
}

ByteImagePtr ImageStacker::stackMean()
{
    Timer timer("stackMean");
    const Clock::time_point start = Clock::now();
    const ByteImagePtr result = startStacking();
    skippedFrames_.clear();
    const float scale = 1.0f / float(frames_.size());
    std::vector<std::uint8_t> scratch(result->size());
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        const int position = int(i) + 1;
        Timer frameTimer("Frame " + std::to_string(position));
        if (addToMean(frames_[i], position, scale, *result, scratch))
            saveIntermediate(result, position);
    }
    return finishStacking(result, start);
}
