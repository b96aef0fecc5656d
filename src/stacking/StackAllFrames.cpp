#include "stacking/ImageStacker.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

namespace {

ByteImagePtr runMethod(StackingMethod method, ImageStacker& stacker)
{
    switch (method) {
    case StackingMethod::Median:
        return stacker.stackMedian();
    case StackingMethod::SigmaClip:
        return stacker.stackSigmaClip();
    case StackingMethod::Mean:
        break;
    }
    return stacker.stackMean();
}

}  // namespace

bool Stacker::stackAllFrames()
{
    State& s = *state_;
    try {
        ImageStacker stacker;
        stacker.referenceFrame() = s.referenceFrame;
        if (s.options.darkSubtractionEnabled && s.darkFrame)
            stacker.darkFrame() = s.darkFrame;
        *stacker.settings() = stackingSettings();
        stacker.frames() = s.frames;
        s.stackedFrame = toFloat(*runMethod(s.options.method, stacker));
        return true;
    } catch (const std::exception& e) {
        s.lastError = e.what();
        return false;
    }
}
