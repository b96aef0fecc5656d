#include <algorithm>
#include <climits>
#include <exception>
#include <stdexcept>

#include "core/Logger.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "processing/NebulosityDetector.h"
#include "processing/NebulosityImages.h"
#include "stacking/ImageStacker.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

namespace {

std::string nebulosityText(const NebulosityCache& cache)
{
    return std::string(cache.detected ? "nebulosity detected" : "no nebulosity") +
           ", score: " + std::to_string(cache.score);
}

template <typename A, typename B>
bool sameShape(const A& a, const B& b)
{
    return a.width() == b.width() && a.height() == b.height() && a.channels() == b.channels();
}

}  // namespace

ByteImagePtr Stacker::loadFrame(const std::string& inputPath)
{
    ByteImagePtr frame = loadImage(inputPath);
    // Every later step views a frame as grey or colour; anything else (a CMYK
    // JPEG) would be misread.
    if (frame->channels() != 1 && frame->channels() != 3)
        throw std::runtime_error("Unsupported channel count in " + inputPath + ": expected 1 or 3, found " +
                                 std::to_string(frame->channels()));
    return frame;
}

// Scores the first frame of a stack once; the outcome travels with the state
// so later runs reuse it.
void Stacker::detectNebulosity(const ImageBuffer<unsigned char>& frame)
{
    NebulosityCache& cache = state_->nebulosity;
    if (cache.checked)
        return;
    const StackerSettings& settings = state_->options.settings;
    logInfo("Performing nebulosity detection on first frame");
    NebulosityDetector detector;
    detector.setThreshold(settings.nebulosityThreshold);
    const cv::Mat image = matView(frame).clone();
    cache.detected = detectExtensiveNebulosity(detector, image, cache.score);
    cache.checked = true;
    logInfo("Nebulosity detection results: " + nebulosityText(cache));
    if (settings.diagnostic)
        saveNebulosityVisualization(detector, image, cache.score, settings.diagnosticPrefix);
}

ByteImagePtr Stacker::subtractDark(const ByteImagePtr& frame)
{
    if (!state_->darkFrame)
        return frame;
    ImageStacker context;
    context.darkFrame() = state_->darkFrame;
    return context.applyDarkSubtraction(frame);
}

ByteImagePtr Stacker::alignToReference(const ByteImagePtr& frame, float& quality)
{
    ImageStacker context;
    *context.settings() = stackingSettings();
    context.settings()->referenceIsStack = state_->frameCount > 1;
    context.referenceFrame() = state_->referenceFrame;
    context.frames() = {frame};
    logInfo("Performing frame alignment...");
    ByteImagePtr aligned = context.stackMean();
    if (context.skippedFrames().empty())
        return aligned;
    quality = context.skippedFrames().front().quality;
    return nullptr;
}

// The exact running mean, new = old + (sample - old) / n, in single precision
// and never rounded, so the stack keeps improving as frames arrive.
void Stacker::updateRunningMean(const ImageBuffer<unsigned char>& frame)
{
    ImageBuffer<float>& stack = *state_->stackedFrame;
    if (!sameShape(frame, stack))
        throw std::runtime_error("Frame dimensions do not match stacked frame dimensions");
    const float n = float(state_->frameCount);
    const unsigned char* in = frame.data();
    float* mean = stack.data();
    const std::size_t count = stack.size();
#pragma omp parallel for schedule(static) if (count > 100000)
    for (std::size_t i = 0; i < count; ++i)
        mean[i] += (float(in[i]) - mean[i]) / n;
}

void Stacker::addToStack(const ByteImagePtr& frame)
{
    State& s = *state_;
    // Checked before anything changes, so a failure leaves the stack whole.
    if (s.stackedFrame && !sameShape(*frame, *s.stackedFrame))
        throw std::runtime_error("Frame dimensions do not match stacked frame dimensions");
    logInfo("Adding frame to internal list");
    s.frames.push_back(frame);
    if (s.frameCount < INT_MAX)
        s.frameCount += 1;
    logInfo("Frame count: " + std::to_string(s.frameCount));
    if (!s.stackedFrame) {
        logInfo("First frame, cloning as stacked frame");
        s.stackedFrame = toFloat(*frame);
        return;
    }
    logInfo("Updating stacked frame with method: " + std::to_string(int(s.options.method)));
    if (s.options.method != StackingMethod::Mean)
        logWarn("Median and sigma clipping methods are not supported in stateful operation. "
                "Falling back to mean stacking.");
    else
        logInfo("Using mean stacking method");
    updateRunningMean(*frame);
}

// Post-processes an 8-bit copy of the stack (rounded, never truncated) with
// the user's settings and the stack's nebulosity outcome; the stack itself
// stays raw.
ByteImagePtr Stacker::prepareOutput(const ImageBuffer<float>& stack)
{
    ImageStacker context;
    *context.settings() = state_->options.settings;
    StackerSettings& settings = *context.settings();
    const NebulosityCache& cache = state_->nebulosity;
    if (cache.checked)
        logInfo("Using cached nebulosity detection results: " + nebulosityText(cache));
    settings.nebulosityChecked = cache.checked;
    settings.nebulosityDetected = cache.detected;
    settings.nebulosityScore = cache.score;
    return context.postProcess(toEightBit(stack));
}

bool Stacker::processFrame(const std::string& inputPath, const std::string& outputPath)
{
    State& s = *state_;
    s.lastFrameAccepted = true;
    try {
        logInfo("Starting processFrame method...");
        logInfo("Loading frame: " + inputPath);
        ByteImagePtr frame = loadFrame(inputPath);
        logInfo("Frame loaded successfully");
        if (!s.stackedFrame) {
            if (!s.referenceFrame) {
                logInfo("Setting reference frame");
                s.referenceFrame = frame;
            }
            detectNebulosity(*frame);
        }
        if (s.options.darkSubtractionEnabled && s.darkFrame) {
            logInfo("Applying dark subtraction");
            frame = subtractDark(frame);
        }
        if (s.options.alignmentEnabled && s.referenceFrame) {
            logInfo("Aligning frame");
            float quality = 0.0f;
            frame = alignToReference(frame, quality);
            if (!frame) {
                // A rejected frame must not be averaged in as a black image:
                // the stack, its count and reference stay as they were.
                s.lastFrameAccepted = false;
                logWarn("Frame " + inputPath + " rejected: quality " + std::to_string(quality) +
                        " is below the threshold; the stack is left unchanged");
            }
        }
        if (frame)
            addToStack(frame);
        if (!s.stackedFrame)
            throw std::runtime_error("Frame " + inputPath + " was turned away and there is no stack yet to write");
        logInfo("Applying post-processing to output image only");
        ByteImagePtr result = prepareOutput(*s.stackedFrame);
        logInfo("Saving result to " + outputPath);
        saveImage(outputPath, result);
        logInfo("Result saved successfully");
        return true;
    } catch (const std::exception& e) {
        logError(std::string("Exception in processFrame method: ") + e.what());
        s.lastError = e.what();
        return false;
    }
}
