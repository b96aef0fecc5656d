#include <algorithm>

#include "stacking/ImageStacker.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

namespace {

// Only what the methods read is handed over; the sigma-clip values keep the
// settings' defaults, and post-processing stays off so the stack holds the
// raw combination.
void handOverOptions(const StackerOptions& options, StackerSettings& settings)
{
    settings.alignFrames = options.alignmentEnabled;
    settings.maxStars = std::max(options.maxStars, 3);
    if (options.diagnostic) {
        settings.diagnostic = true;
        settings.diagnosticPrefix = options.diagnosticPrefix;
    }
    settings.qualityThreshold = std::clamp(options.qualityThreshold, 0.0f, 1.0f);
    settings.benchmark = options.benchmark;
}

ByteImagePtr runMethod(StackingMethod method, ImageStacker& stacker)
{
    switch (method) {
    case StackingMethod::Median:
        return stacker.stackMedian();
    case StackingMethod::SigmaClip:
        return stacker.stackSigmaClip();
    case StackingMethod::Mean:
        return stacker.stackMean();
    }
    return nullptr;
}

}  // namespace

void Stacker::stackAllFrames()
{
    State& s = *state_;
    ImageStacker stacker;
    stacker.referenceFrame() = s.referenceFrame;
    if (s.options.darkSubtractionEnabled && s.darkFrame)
        stacker.darkFrame() = s.darkFrame;
    handOverOptions(s.options, *stacker.settings());
    stacker.frames() = s.frames;

    const ByteImagePtr result = runMethod(s.options.method, stacker);
    if (result)
        s.stackedFrame = toFloat(*result);
}
