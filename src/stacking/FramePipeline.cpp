#include <algorithm>
#include <climits>
#include <exception>
#include <limits>
#include <stdexcept>

#include "alignment/Registration.h"
#include "alignment/WarpFrame.h"
#include "core/Logger.h"
#include "core/Timer.h"
#include "image/FitsFile.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "processing/AutoStretch.h"
#include "processing/NebulosityDetector.h"
#include "processing/NebulosityImages.h"
#include "stacking/FrameAhead.h"
#include "stacking/ImageStacker.h"
#include "stacking/RunningMean.h"
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

// 8-bit samples are whole levels: a pixel whose samples were all alike has
// only shown that its spread is below one level.
constexpr float kEightBitMinSigma = 1.0f;

}  // namespace

void Stacker::readFrameAhead(const std::string& inputPath, bool stackExpected)
{
    const State& s = *state_;
    frameAhead_ = std::make_unique<FrameAhead>(inputPath, s.calibration, s.options.settings.debayerMethod,
                                               stackExpected && s.options.alignmentEnabled);
}

CameraFrame Stacker::loadFrame(const std::string& inputPath)
{
    if (frameAhead_ && frameAhead_->path() == inputPath) {
        const std::unique_ptr<FrameAhead> ahead = std::move(frameAhead_);
        PreparedFrame prepared = ahead->take();
        requireKindOf(prepared.frame, inputPath);
        if (prepared.calibrationFailure)
            std::rethrow_exception(prepared.calibrationFailure);
        state_->frameStars = std::move(prepared.stars);
        return std::move(prepared.frame);
    }
    CameraFrame frame;
    {
        Timer timer("Read frame");
        frame = readCameraFrame(inputPath);
    }
    requireKindOf(frame, inputPath);
    state_->calibration.apply(frame, inputPath);
    return frame;
}

FloatImagePtr Stacker::colourOf(CameraFrame& frame) const
{
    if (frame.bayer) {
        Timer timer("Debayer");
        logInfo("Debayering the frame's mosaic");
        frame.pixels = debayer(*frame.pixels, *frame.bayer, state_->options.settings.debayerMethod);
        frame.bayer.reset();
    }
    return frame.pixels;
}

// Checked before anything is written: a stack holds one kind of frame, and
// a JPEG state cannot hold a linear stack.
void Stacker::requireKindOf(const CameraFrame& frame, const std::string& inputPath) const
{
    const State& s = *state_;
    const std::string kind = frame.linear ? "a linear frame" : "an 8-bit frame";
    if (s.stackedFrame && frame.linear != s.record.linear)
        throw std::runtime_error("Frame " + inputPath + " is " + kind + " but the stack holds " +
                                 kindName(s.record.linear) +
                                 " frames; start a new stack with -x or use another state file");
    if (!s.stackedFrame && (frame.linear ? s.referenceFrame != nullptr : s.linearReference != nullptr))
        throw std::runtime_error("Frame " + inputPath + " is " + kind + " but the reference frame is not; "
                                 "give a reference of the frames' kind");
    if (frame.linear && !s.eightBitStateFile.empty())
        throw std::runtime_error("A linear stack cannot be kept in the JPEG state file " + s.eightBitStateFile +
                                 "; use a .fits state file");
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

// The reference's stars are measured again once the stack has grown by half
// since they were (it has changed enough to find more), or when the frame
// does not register against them.
RegistrationReport Stacker::registerOntoReference(const cv::Mat& reference, const cv::Mat& frame)
{
    State& s = *state_;
    const bool cached = !s.referenceStars.empty() && 2 * s.frameCount < 3 * s.referenceStarsFrames;
    std::vector<ExtractedStar> stars = cached ? s.referenceStars : std::vector<ExtractedStar>{};
    RegistrationReport report = registerFrame(reference, frame, s.options.settings.maxStars, stars, s.frameStars);
    if (report.transform.empty() && cached) {
        logInfo("Measuring the reference's stars again");
        stars.clear();
        report = registerFrame(reference, frame, s.options.settings.maxStars, stars, s.frameStars);
    } else if (cached) {
        return report;
    }
    s.referenceStars = stars;
    s.referenceStarsFrames = s.frameCount;
    return report;
}

// Registered, warped onto the reference's grid and gated; null when turned
// away (the reason kept).
ByteImagePtr Stacker::alignToReference(const ByteImagePtr& frame, const std::string& inputPath)
{
    State& s = *state_;
    const ByteImage& reference = *s.referenceFrame;
    logInfo("Performing frame alignment...");
    {
        Timer timer("alignFrame");
        s.registration = registerOntoReference(matView(reference), matView(*frame));
    }
    if (s.registration.transform.empty()) {
        rejectUnregistered(inputPath);
        return nullptr;
    }
    const ByteImagePtr aligned = warpFrame(matView(*frame), s.registration.transform, reference.width(),
                                           reference.height(), reference.channels());
    s.coverage = warpCoverage(frame->width(), frame->height(), s.registration.transform, reference.width(),
                              reference.height());
    ImageStacker gate;
    *gate.settings() = stackingSettings();
    gate.settings()->referenceIsStack = s.frameCount > 1;
    gate.referenceFrame() = s.referenceFrame;
    s.frameQuality = gate.calculateFrameQuality(aligned);
    if (s.frameQuality < s.options.settings.qualityThreshold) {
        rejectFrame(inputPath, s.frameQuality);
        return nullptr;
    }
    return aligned;
}

void Stacker::countFrame(const FrameHeader& header, bool linear)
{
    State& s = *state_;
    if (s.frameCount < INT_MAX)
        s.frameCount += 1;
    logInfo("Frame count: " + std::to_string(s.frameCount));
    addToRecord(s.record, header, !s.stackedFrame);
    s.record.linear = linear;
}

// A JPEG state cannot hold the planes: there every frame counts at every
// pixel, as it always did. A stack loaded without them gets the weight of its
// frame count; a sigma clip starts the variance it lacks, and a variance
// once started is kept up to date with every method.
std::optional<ClipBounds> Stacker::readyPlanes(int framesBefore)
{
    State& s = *state_;
    const bool clipping = s.options.method == StackingMethod::SigmaClip;
    if (!s.eightBitStateFile.empty()) {
        if (clipping)
            logWarn("Sigma clipping needs a FITS state: the JPEG state file " + s.eightBitStateFile +
                    " cannot hold the variance. Falling back to mean stacking.");
        s.planes = StackPlanes{};
        return std::nullopt;
    }
    completePlanes(s.planes, *s.stackedFrame, framesBefore, clipping);
    if (!clipping)
        return std::nullopt;
    const StackerSettings& settings = s.options.settings;
    return ClipBounds{settings.sigmaClipFrames, settings.sigmaLow, settings.sigmaHigh,
                      s.record.linear ? 0.0f : kEightBitMinSigma};
}

// The first frame is folded into an empty stack of its shape, so that with
// weights the pixels it does not cover (registered onto a -r reference) start
// with none.
template <typename T>
void Stacker::foldIntoStack(const ImageBuffer<T>& frame, const FrameHeader& header, bool linear)
{
    State& s = *state_;
    if (s.beforeStackChanges)
        s.beforeStackChanges();
    const int framesBefore = s.stackedFrame ? s.frameCount : 0;
    countFrame(header, linear);
    if (!s.stackedFrame) {
        logInfo("First frame, starting the stack");
        s.stackedFrame = std::make_shared<FloatImage>(frame.width(), frame.height(), frame.channels());
    }
    if (s.options.method == StackingMethod::Median)
        logWarn("Median stacking is not supported in stateful operation. Falling back to mean stacking.");
    const std::optional<ClipBounds> clip = readyPlanes(framesBefore);
    if (!s.planes.weight) {
        logInfo("Using mean stacking method");
        foldUniform(*s.stackedFrame, frame, s.frameCount);
        return;
    }
    logInfo(clip ? "Using sigma clipping" : "Using mean stacking method, weighted by coverage");
    const std::size_t clipped = foldFrame(*s.stackedFrame, s.planes, frame, s.coverage.get(), clip);
    if (clip)
        logInfo("Pixels left out by the sigma clip: " + std::to_string(clipped));
}

void Stacker::addToStack(const ByteImagePtr& frame, const FrameHeader& header)
{
    State& s = *state_;
    // Checked before anything changes, so a failure leaves the stack whole.
    if (s.stackedFrame && !sameShape(*frame, *s.stackedFrame))
        throw std::runtime_error("Frame dimensions do not match stacked frame dimensions");
    logInfo("Adding frame to internal list");
    s.frames.push_back(frame);
    foldIntoStack(*frame, header, false);
}

void Stacker::addLinearToStack(const FloatImagePtr& frame, const FrameHeader& header)
{
    State& s = *state_;
    if (s.stackedFrame && !frame->sameDimensions(*s.stackedFrame))
        throw std::runtime_error("Frame dimensions do not match stacked frame dimensions");
    foldIntoStack(*frame, header, true);
}

// Post-processes an 8-bit picture of the stack with the user's settings and
// the stack's nebulosity outcome: its automatic stretch for a linear stack
// (or when asked), else a copy rounded, never truncated. The stack itself
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
    const bool stretch = state_->record.linear || settings.autoStretch;
    return context.postProcess(stretch ? autoStretch(stack) : toEightBit(stack));
}

void Stacker::rejectFrame(const std::string& inputPath, float quality)
{
    turnAway(inputPath, "quality " + std::to_string(quality) + " is below the threshold");
}

void Stacker::rejectUnregistered(const std::string& inputPath)
{
    turnAway(inputPath, "it could not be registered (" + state_->registration.failure + ")");
}

// A turned-away frame must never be averaged in: the stack, its count and
// reference stay as they were.
void Stacker::turnAway(const std::string& inputPath, const std::string& reason)
{
    state_->lastFrameAccepted = false;
    state_->rejectionReason = reason;
    logWarn("Frame " + inputPath + " rejected: " + reason + "; the stack is left unchanged");
}

void Stacker::stackEightBitFrame(ByteImagePtr frame, const FrameHeader& header, const std::string& inputPath)
{
    State& s = *state_;
    if (!s.stackedFrame) {
        if (!s.referenceFrame) {
            logInfo("Setting reference frame");
            s.referenceFrame = frame;
        }
        detectNebulosity(*frame);
    }
    // The first frame is its own reference: there is nothing to register.
    if (s.options.alignmentEnabled && s.referenceFrame != frame) {
        logInfo("Aligning frame");
        frame = alignToReference(frame, inputPath);
    }
    if (!frame)
        return;
    saveAlignedFrame(*frame);
    addToStack(frame, header);
}

// Diagnostic output is optional: a failure to write it must not end the run.
void Stacker::saveAlignedFrame(const ByteImage& frame) const
{
    const StackerSettings& settings = state_->options.settings;
    if (!settings.diagnostic)
        return;
    const std::string path = settings.diagnosticPrefix + "1.jpg";
    try {
        logInfo("Saving intermediate result to " + path);
        saveImage(path, frame.clone());
    } catch (const std::exception& e) {
        logError(std::string("Error saving intermediate result: ") + e.what());
    }
}

void Stacker::writeOutput(const std::string& outputPath)
{
    State& s = *state_;
    if (s.record.linear && isFitsFile(outputPath)) {
        logInfo("Saving the linear stack with its header to " + outputPath);
        Timer timer("Write output");
        writeFits(outputPath, s.stackedFrame, stackKeywords(s.record, s.frameCount));
        return;
    }
    logInfo("Applying post-processing to output image only");
    ByteImagePtr result = prepareOutput(*s.stackedFrame);
    logInfo("Saving result to " + outputPath);
    Timer timer("Write output");
    saveImage(outputPath, result);
    logInfo("Result saved successfully");
}

bool Stacker::processFrame(const std::string& inputPath, const std::string& outputPath)
{
    State& s = *state_;
    s.lastFrameAccepted = true;
    s.rejectionReason.clear();
    s.registration = RegistrationReport{};
    s.frameStars.reset();
    s.frameQuality = std::numeric_limits<float>::quiet_NaN();
    s.coverage.reset();
    try {
        logInfo("Starting processFrame method...");
        logInfo("Loading frame: " + inputPath);
        {
            // Scoped, so the frame's samples are freed before the output is made.
            CameraFrame frame = loadFrame(inputPath);
            logInfo("Frame loaded successfully");
            if (frame.linear)
                stackLinearFrame(frame, inputPath);
            else
                stackEightBitFrame(eightBitPixels(frame), frame.header, inputPath);
        }
        if (!s.stackedFrame)
            throw std::runtime_error("Frame " + inputPath + " was turned away and there is no stack yet to write");
        writeOutput(outputPath);
        return true;
    } catch (const std::exception& e) {
        logError(std::string("Exception in processFrame method: ") + e.what());
        s.lastError = e.what();
        return false;
    }
}
