#include <cmath>

#include "processing/Compression.h"
#include "processing/ContrastAdjustment.h"
#include "processing/LocalHistogramEqualization.h"
#include "processing/MedianFilter.h"
#include "processing/SaturationAdjustment.h"
#include "stacking/ImageStacker.h"

namespace {

// Values within this of 100 % are treated as "no change".
constexpr float kNeutralTolerance = 0.01f;

bool changesFromNeutral(float percent) { return std::abs(percent - 100.0f) > kNeutralTolerance; }

}  // namespace

ByteImagePtr ImageStacker::postProcess(const ByteImagePtr& image)
{
    const StackerSettings& settings = *settings_;
    ByteImagePtr current = image;
    if (settings.backgroundSet && settings.backgroundPercent > 0.0f)
        current = applyBackgroundAdjustment(current, settings.backgroundPercent);
    if (settings.contrastSet && changesFromNeutral(settings.contrast))
        current = applyContrastAdjustment(*current, settings.contrast);
    if (settings.saturationSet && changesFromNeutral(settings.saturation))
        current = applySaturationAdjustment(*current, settings.saturation);
    if (settings.compressionSet && settings.compression > 0.0f)
        current = applyCompression(*current, settings.compression);
    if (settings.histEqSet && settings.histEqWindow > 0)
        current = applyLocalHistogramEqualization(*current, settings.histEqWindow, settings.histEqClip);
    if (settings.medianFilterSet && settings.medianFilterSize > 0)
        current = applyMedianFilter(*current, settings.medianFilterSize);
    if (settings.denoiseSet && settings.denoiseMethod != 0)
        current = applyDenoising(current, settings.denoiseMethod, settings.denoiseStrength);
    return current;
}
