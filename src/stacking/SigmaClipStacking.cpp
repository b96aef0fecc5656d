#include <cmath>

#include "core/Logger.h"
#include "core/Timer.h"
#include "stacking/ByteKernels.h"
#include "stacking/ImageStacker.h"
#include "stacking/StackingSteps.h"

namespace {

// Up to this many frames the statistics take the portable loop: a vector
// block holds 16 or 32 samples, so a handful of frames gains nothing from it.
constexpr std::size_t kPortableStatisticsFrames = 7;

struct SigmaClip {
    double low;
    double high;

    std::uint8_t operator()(const std::uint8_t* samples, std::size_t count) const
    {
        const bool portable = count <= kPortableStatisticsFrames;
        const float mean = portable ? meanBytes(SimdLevel::None, samples, count) : meanBytes(samples, count);
        const float variance =
            portable ? varianceBytes(SimdLevel::None, samples, count) : varianceBytes(samples, count);
        const double sigma = std::sqrt(variance);
        const double lowest = double(mean) - low * sigma;
        const double highest = double(mean) + high * sigma;

        double keptSum = 0.0;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (samples[i] >= lowest && samples[i] <= highest) {
                keptSum += samples[i];
                ++kept;
            }
        }
        // Every value here lies in 0..255, so truncating to a byte is exact.
        if (kept == 0)
            return static_cast<std::uint8_t>(mean);
        return static_cast<std::uint8_t>(keptSum / double(kept));
    }
};

}  // namespace

ByteImagePtr ImageStacker::stackSigmaClip()
{
    Timer timer("stackSigmaClip");
    const Clock::time_point start = Clock::now();
    const ByteImagePtr result = startStacking();
    if (static_cast<long long>(frames_.size()) < settings_->sigmaClipFrames) {
        logWarn("Not enough frames for sigma clipping, falling back to mean stacking");
        return stackMean();
    }
    logInfo("Pre-processing frames for sigma clipping...");
    const std::vector<ByteImagePtr> prepared = prepareAllFrames();
    {
        Timer pixelTimer("Processing all pixels");
        combinePerSample(prepared, *result, SigmaClip{settings_->sigmaLow, settings_->sigmaHigh});
    }
    return finishStacking(result, start);
}
