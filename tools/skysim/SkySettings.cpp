#include "SkySettings.h"

#include <cmath>
#include <stdexcept>

namespace {

// Larger frames would not fit the 32-bit sample index of an image buffer.
constexpr int kMaxSide = 30000;
// Longer is a mistyped value; the bound also keeps every frame's start time
// within reach of the calendar functions.
constexpr double kLongestExposure = 86400.0;

void require(bool condition, const std::string& message)
{
    if (!condition)
        throw std::invalid_argument(message);
}

void requireFinite(double value, const std::string& option)
{
    require(std::isfinite(value), option + " must be a finite number");
}

void validateFrameSize(const SkySimSettings& s)
{
    require(s.frames >= 1, "--frames must be at least 1");
    require(s.width >= 1 && s.width <= kMaxSide, "--width must be between 1 and " + std::to_string(kMaxSide));
    require(s.height >= 1 && s.height <= kMaxSide, "--height must be between 1 and " + std::to_string(kMaxSide));
    require(s.channels == 1 || s.channels == 3, "--channels must be 1 or 3");
}

void validateStarField(const StarFieldSettings& s)
{
    require(s.starsPerFrame >= 0, "--stars must not be negative");
    require(s.fwhm > 0 && std::isfinite(s.fwhm), "--fwhm must be positive");
    require(s.beta > 1 && std::isfinite(s.beta), "--beta must be greater than 1");
    require(s.faintestFlux > 0 && std::isfinite(s.faintestFlux), "--flux-scale must be positive");
    require(s.fluxSlope > 0 && std::isfinite(s.fluxSlope), "--flux-slope must be positive");
}

void validateBackground(const BackgroundSettings& s)
{
    require(s.sky >= 0 && std::isfinite(s.sky), "--sky must not be negative");
    require(s.gradient >= 0 && std::isfinite(s.gradient), "--gradient must not be negative");
    requireFinite(s.gradientAngle, "--gradient-angle");
    require(s.nebula >= 0 && std::isfinite(s.nebula), "--nebula must not be negative");
    require(s.nebulaSize > 0 && std::isfinite(s.nebulaSize), "--nebula-size must be positive");
}

void validateNoise(const NoiseSettings& s, int width, int height)
{
    require(s.vignetting >= 0 && s.vignetting < 1, "--vignetting must be at least 0 and below 1");
    require(s.readNoise >= 0 && std::isfinite(s.readNoise), "--read-noise must not be negative");
    require(s.gain >= 0 && std::isfinite(s.gain), "--gain must not be negative");
    require(s.hotPixels >= 0 && double(s.hotPixels) <= double(width) * height,
            "--hot-pixels must be between 0 and the number of pixels");
}

// Frame 1 is the reference and stays untransformed.
void validateTurnFrame(int frame, int frames, const std::string& message)
{
    require(frame == 0 || (frame >= 2 && frame <= frames), message);
}

void validateMotion(const MotionSettings& s, int frames)
{
    requireFinite(s.driftX, "--drift-x");
    requireFinite(s.driftY, "--drift-y");
    require(s.shiftMax >= 0 && std::isfinite(s.shiftMax), "--shift-max must not be negative");
    requireFinite(s.rotationPerFrame, "--rotation-per-frame");
    validateTurnFrame(s.flipAtFrame, frames, "--flip-at must be between 2 and the number of frames");
    validateTurnFrame(s.mirrorAtFrame, frames, "--mirror needs a frame after the first to mirror");
}

}  // namespace

void validate(const SkySimSettings& settings)
{
    validateFrameSize(settings);
    validateStarField(settings.starField);
    validateBackground(settings.background);
    validateNoise(settings.noise, settings.width, settings.height);
    validateMotion(settings.motion, settings.frames);
}

void validate(const OutputSettings& output)
{
    require(output.exposureSeconds > 0 && output.exposureSeconds <= kLongestExposure,
            "--exposure must be above 0 and at most " + std::to_string(int(kLongestExposure)) + " seconds");
}
