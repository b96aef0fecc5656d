#include "stacking/Stacker.h"

#include <algorithm>
#include <exception>

#include "core/Logger.h"
#include "image/ImageFile.h"
#include "processing/MedianFilter.h"
#include "stacking/FrameAhead.h"
#include "stacking/StackerState.h"

namespace {

template <typename T>
T clampTo(T value, T low, T high)
{
    if (value <= low)
        return low;
    if (value >= high)
        return high;
    return value;
}

}  // namespace

Stacker::Stacker() : state_(std::make_unique<State>()) {}
Stacker::~Stacker() = default;

void Stacker::setMethod(StackingMethod method) { state_->options.method = method; }
void Stacker::setDarkSubtraction(bool enabled)
{
    state_->options.darkSubtractionEnabled = enabled;
    state_->calibration.setDarkEnabled(enabled);
}
void Stacker::setAlignment(bool enabled) { state_->options.alignmentEnabled = enabled; }
void Stacker::setMaxStars(int count) { settings().maxStars = std::max(count, 3); }

void Stacker::setBackground(float percent)
{
    settings().backgroundPercent = clampTo(percent, 0.0f, 100.0f);
    settings().backgroundSet = true;
}

void Stacker::setContrast(float percent)
{
    settings().contrast = clampTo(percent / 100.0f * 190.0f + 10.0f, 10.0f, 200.0f);
    settings().contrastSet = true;
}

void Stacker::setSaturation(float percent)
{
    settings().saturation = clampTo(percent / 100.0f * 200.0f, 0.0f, 200.0f);
    settings().saturationSet = true;
}

void Stacker::setCompression(float percent)
{
    settings().compression = clampTo(percent, 0.0f, 100.0f);
    settings().compressionSet = true;
}

void Stacker::setMedianFilter(int size)
{
    int odd = std::max(size, 0);
    if (odd > 0 && odd % 2 == 0)
        odd += 1;
    if (odd > kLargestMedianKernel) {
        // Larger kernels make OpenCV wrong or fail; the run goes on with the largest.
        logWarn("Median filter size " + std::to_string(odd) + " is too large, using " +
                std::to_string(kLargestMedianKernel));
        odd = kLargestMedianKernel;
    }
    settings().medianFilterSize = odd;
    settings().medianFilterSet = true;
}

void Stacker::setLocalHistEq(bool enabled, int window, float clip)
{
    const int atLeastThree = std::max(window, 3);
    settings().histEqWindow = !enabled ? 0 : atLeastThree % 2 == 0 ? atLeastThree + 1 : atLeastThree;
    settings().histEqClip = clampTo(clip, 0.0f, 4.0f);
    settings().histEqSet = true;
}

void Stacker::setDenoise(int method, int strength)
{
    settings().denoiseMethod = method >= 2 ? 2 : (method == 1 ? 1 : 0);
    settings().denoiseStrength = clampTo(strength, 1, 30);
    settings().denoiseSet = true;
}

void Stacker::setSigmaClip(int frames, float low, float high)
{
    settings().sigmaClipFrames = std::max(frames, 3);
    settings().sigmaLow = clampTo(low, 1.0f, 7.0f);
    settings().sigmaHigh = clampTo(high, 1.0f, 7.0f);
}

void Stacker::setQualityThreshold(float threshold) { settings().qualityThreshold = clampTo(threshold, 0.0f, 1.0f); }
void Stacker::setPolyDegree(int degree) { settings().polyDegree = clampTo(degree, 1, 4); }
void Stacker::setGridSize(int size) { settings().gridSize = clampTo(size, 8, 64); }
void Stacker::setProtection(float threshold) { settings().protectionThreshold = clampTo(threshold, 0.0f, 1.0f); }
void Stacker::setSmoothness(float smoothness) { settings().smoothness = clampTo(smoothness, 0.0f, 1.0f); }
void Stacker::setBenchmark(bool enabled) { settings().benchmark = enabled; }

void Stacker::setDiagnostic(bool enabled, const std::string& prefix)
{
    settings().diagnostic = enabled;
    settings().diagnosticPrefix = prefix;
}

bool Stacker::loadDarkFrame(const std::string& path)
{
    try {
        CameraFrame dark = readCameraFrame(path);
        state_->darkFrame = dark.linear ? nullptr : eightBitPixels(dark);
        state_->calibration.setDark(path, std::move(dark));
        return true;
    } catch (const std::exception& e) {
        state_->lastError = e.what();
        return false;
    }
}

bool Stacker::loadFlatFrame(const std::string& path)
{
    try {
        state_->calibration.setFlat(path, readCameraFrame(path));
        return true;
    } catch (const std::exception& e) {
        state_->lastError = e.what();
        return false;
    }
}

void Stacker::setHotPixels(float sigma) { state_->calibration.setHotPixelSigma(std::max(sigma, 0.0f)); }
void Stacker::setDebayerMethod(DebayerMethod method) { settings().debayerMethod = method; }
void Stacker::setAutoStretch(bool enabled) { settings().autoStretch = enabled; }

void Stacker::addStateFile(const std::string& path)
{
    const std::string extension = fileExtension(path);
    if (state_->eightBitStateFile.empty() && (extension == "jpg" || extension == "jpeg"))
        state_->eightBitStateFile = path;
}

bool Stacker::loadReferenceFrame(const std::string& path)
{
    try {
        CameraFrame reference = readCameraFrame(path);
        floatPixels(reference);
        if (reference.bayer)
            reference.pixels = debayer(*reference.pixels, *reference.bayer, settings().debayerMethod);
        state_->referenceFrame = reference.linear ? nullptr : toEightBit(*reference.pixels);
        state_->referenceStars.clear();
        state_->linearReference = reference.linear ? reference.pixels : nullptr;
        return true;
    } catch (const std::exception& e) {
        state_->lastError = e.what();
        return false;
    }
}

void Stacker::resetState()
{
    state_->frames.clear();
    state_->frameCount = 0;
    state_->stackedFrame.reset();
    state_->planes = StackPlanes{};
    state_->referenceFrame.reset();
    state_->linearReference.reset();
    state_->record = StackRecord{};
    state_->referenceStars.clear();
}

StackerSettings& Stacker::settings() { return state_->options.settings; }

// Post-processing runs on the output picture only, never inside a stack.
StackerSettings Stacker::stackingSettings() const
{
    StackerSettings settings = state_->options.settings;
    settings.alignFrames = state_->options.alignmentEnabled;
    settings.backgroundSet = false;
    settings.contrastSet = false;
    settings.saturationSet = false;
    settings.compressionSet = false;
    settings.medianFilterSet = false;
    settings.histEqSet = false;
    settings.denoiseSet = false;
    return settings;
}

std::string Stacker::lastError() const { return state_->lastError; }
const StackerOptions& Stacker::options() const { return state_->options; }
int Stacker::frameCount() const { return state_->frameCount; }
float Stacker::orientation() const { return state_->orientation; }
NebulosityCache Stacker::nebulosity() const { return state_->nebulosity; }
std::shared_ptr<const ImageBuffer<float>> Stacker::stackedFrame() const { return state_->stackedFrame; }
std::shared_ptr<const ImageBuffer<unsigned char>> Stacker::referenceFrame() const { return state_->referenceFrame; }
bool Stacker::isLinear() const { return state_->record.linear; }
std::size_t Stacker::frameListSize() const { return state_->frames.size(); }
bool Stacker::lastFrameAccepted() const { return state_->lastFrameAccepted; }
std::string Stacker::lastRejectionReason() const { return state_->rejectionReason; }
const RegistrationReport& Stacker::lastRegistration() const { return state_->registration; }
float Stacker::lastFrameQuality() const { return state_->frameQuality; }
