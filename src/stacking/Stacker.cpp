#include "stacking/Stacker.h"

#include <algorithm>
#include <exception>

#include "image/ImageFile.h"
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
void Stacker::setDarkSubtraction(bool enabled) { state_->options.darkSubtractionEnabled = enabled; }
void Stacker::setAlignment(bool enabled) { state_->options.alignmentEnabled = enabled; }
void Stacker::setMaxStars(int count) { state_->options.maxStars = std::max(count, 3); }

void Stacker::setBackground(float percent)
{
    state_->options.backgroundPercent = clampTo(percent, 0.0f, 100.0f);
    state_->options.backgroundSet = true;
}

void Stacker::setContrast(float percent)
{
    state_->options.contrast = clampTo(percent / 100.0f * 190.0f + 10.0f, 10.0f, 200.0f);
    state_->options.contrastSet = true;
}

void Stacker::setSaturation(float percent)
{
    state_->options.saturation = clampTo(percent / 100.0f * 200.0f, 0.0f, 200.0f);
    state_->options.saturationSet = true;
}

void Stacker::setCompression(float percent)
{
    state_->options.compression = clampTo(percent, 0.0f, 100.0f);
    state_->options.compressionSet = true;
}

void Stacker::setMedianFilter(int size)
{
    state_->options.medianFilterSize = std::max(size, 0);
    state_->options.medianFilterSet = true;
}

void Stacker::setLocalHistEq(bool enabled, int window, float clip)
{
    state_->options.histEqWindow = enabled ? std::max(window, 3) : 0;
    state_->options.histEqClip = clampTo(clip, 0.0f, 4.0f);
    state_->options.histEqSet = true;
}

void Stacker::setDenoise(int method, int strength)
{
    state_->options.denoiseMethod = method >= 2 ? 2 : (method == 1 ? 1 : 0);
    state_->options.denoiseStrength = clampTo(strength, 1, 30);
    state_->options.denoiseSet = true;
}

void Stacker::setSigmaClip(int frames, float low, float high)
{
    state_->options.sigmaClipFrames = std::max(frames, 3);
    state_->options.sigmaLow = clampTo(low, 1.0f, 7.0f);
    state_->options.sigmaHigh = clampTo(high, 1.0f, 7.0f);
}

void Stacker::setQualityThreshold(float threshold) { state_->options.qualityThreshold = clampTo(threshold, 0.0f, 1.0f); }
void Stacker::setPolyDegree(int degree) { state_->options.polyDegree = clampTo(degree, 1, 4); }
void Stacker::setGridSize(int size) { state_->options.gridSize = clampTo(size, 8, 64); }
void Stacker::setProtection(float threshold) { state_->options.protectionThreshold = clampTo(threshold, 0.0f, 1.0f); }
void Stacker::setSmoothness(float smoothness) { state_->options.smoothness = clampTo(smoothness, 0.0f, 1.0f); }
void Stacker::setBenchmark(bool enabled) { state_->options.benchmark = enabled; }

void Stacker::setDiagnostic(bool enabled, const std::string& prefix)
{
    state_->options.diagnostic = enabled;
    state_->options.diagnosticPrefix = prefix;
}

bool Stacker::loadDarkFrame(const std::string& path)
{
    try {
        state_->darkFrame = loadImage(path);
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
    state_->referenceFrame.reset();
}

std::string Stacker::lastError() const { return state_->lastError; }
const StackerOptions& Stacker::options() const { return state_->options; }
int Stacker::frameCount() const { return state_->frameCount; }
float Stacker::orientation() const { return state_->orientation; }
NebulosityCache Stacker::nebulosity() const { return state_->nebulosity; }
std::shared_ptr<const ImageBuffer<float>> Stacker::stackedFrame() const { return state_->stackedFrame; }
std::shared_ptr<const ImageBuffer<unsigned char>> Stacker::referenceFrame() const { return state_->referenceFrame; }
std::size_t Stacker::frameListSize() const { return state_->frames.size(); }
bool Stacker::lastFrameAccepted() const { return state_->lastFrameAccepted; }
