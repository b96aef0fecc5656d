#include <climits>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>

#include <opencv2/core.hpp>

#include "alignment/Registration.h"
#include "alignment/WarpFrame.h"
#include "core/Logger.h"
#include "core/Timer.h"
#include "image/BayerMosaic.h"
#include "processing/AutoStretch.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

// The path of a linear frame: every step reads float samples on the frame's
// own scale, so nothing of a deep frame's faint signal is rounded away.

namespace {

// As for 8-bit frames: above this many samples the spread is measured on
// every fourth one.
constexpr std::size_t kSamplingThreshold = 2000000;
constexpr std::size_t kSamplingStride = 4;

float spread(const FloatImage& image)
{
    const std::size_t stride = image.size() > kSamplingThreshold ? kSamplingStride : 1;
    double sum = 0.0;
    double squares = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < image.size(); i += stride) {
        const double sample = image.data()[i];
        sum += sample;
        squares += sample * sample;
        count += 1;
    }
    const double mean = sum / double(count);
    return float(std::sqrt(std::max(squares / double(count) - mean * mean, 0.0)));
}

// The quality gate of 8-bit frames on float samples: the ratio of the smaller
// to the larger spread; a frame spreading wider than a stacked reference
// (whose noise is averaged away) passes; two flat images give NaN, which
// passes.
float linearQuality(const FloatImage& frame, const FloatImage& reference, bool referenceIsStack)
{
    if (!frame.sameDimensions(reference)) {
        logWarn("Frame dimensions do not match reference frame dimensions");
        return 0.0f;
    }
    const float frameSpread = spread(frame);
    const float referenceSpread = spread(reference);
    if (referenceIsStack && frameSpread >= referenceSpread)
        return 1.0f;
    if (frameSpread == 0.0f && referenceSpread == 0.0f)
        return std::numeric_limits<float>::quiet_NaN();
    return std::min(frameSpread, referenceSpread) / std::max(frameSpread, referenceSpread);
}

cv::Mat matView(const FloatImage& image)
{
    return cv::Mat(image.height(), image.width(), CV_32FC(image.channels()), const_cast<float*>(image.data()));
}

}  // namespace

// Like an 8-bit frame's: registered, then gated against the reference; null
// when turned away (the reason kept). A mosaic is registered on its grey,
// and debayered only then, so the colour frame and the stack are never both
// held while stars are extracted.
FloatImagePtr Stacker::alignLinearFrame(CameraFrame& frame, const std::string& inputPath)
{
    State& s = *state_;
    const FloatImage& reference = *s.linearReference;
    logInfo("Performing frame alignment...");
    {
        Timer timer("alignFrame");
        const FloatImagePtr grey =
            frame.bayer ? debayeredGrey(*frame.pixels, *frame.bayer, s.options.settings.debayerMethod) : nullptr;
        s.registration = registerOntoReference(matView(reference), matView(grey ? *grey : *frame.pixels));
    }
    if (s.registration.transform.empty()) {
        rejectUnregistered(inputPath);
        return nullptr;
    }
    const FloatImagePtr colour = colourOf(frame);
    const FloatImagePtr aligned = warpFrame(*colour, s.registration.transform, reference.width(), reference.height(),
                                            reference.channels());
    s.coverage = warpCoverage(colour->width(), colour->height(), s.registration.transform, reference.width(),
                              reference.height());
    s.frameQuality = linearQuality(*aligned, reference, s.frameCount > 1);
    logInfo("Frame quality: " + std::to_string(s.frameQuality));
    if (s.frameQuality < s.options.settings.qualityThreshold) {
        rejectFrame(inputPath, s.frameQuality);
        return nullptr;
    }
    return aligned;
}

void Stacker::stackLinearFrame(CameraFrame& frame, const std::string& inputPath)
{
    State& s = *state_;
    FloatImagePtr aligned;
    if (s.options.alignmentEnabled && s.linearReference) {
        logInfo("Aligning frame");
        aligned = alignLinearFrame(frame, inputPath);
    } else {
        aligned = colourOf(frame);
        if (!s.linearReference) {
            // The first frame is its own reference: there is nothing to register.
            logInfo("Setting reference frame");
            s.linearReference = aligned;
        }
    }
    if (!aligned)
        return;
    if (!s.stackedFrame || s.options.settings.diagnostic) {
        const ByteImagePtr picture = autoStretch(*aligned);
        if (!s.stackedFrame)
            detectNebulosity(*picture);
        saveAlignedFrame(*picture);
    }
    addLinearToStack(aligned, frame.header);
}
