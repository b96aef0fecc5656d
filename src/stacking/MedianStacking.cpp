#include "core/Logger.h"
#include "core/Timer.h"
#include "stacking/ByteKernels.h"
#include "stacking/ImageStacker.h"
#include "stacking/StackingSteps.h"

namespace {

// medianBytes of bytes lies in 0..255, so the narrowing is exact.
std::uint8_t medianOf(std::uint8_t* samples, std::size_t count)
{
    return static_cast<std::uint8_t>(medianBytes(samples, count));
}

}  // namespace

ByteImagePtr ImageStacker::stackMedian()
{
    Timer timer("stackMedian");
    const Clock::time_point start = Clock::now();
    const ByteImagePtr result = startStacking();
    logInfo("Pre-processing frames for median stacking...");
    const std::vector<ByteImagePtr> prepared = prepareAllFrames();
    {
        Timer pixelTimer("Processing all pixels");
        combinePerSample(prepared, *result, medianOf);
    }
    return finishStacking(result, start);
}
