#pragma once

#include <array>
#include <cstdint>
#include <string>

// Everything that defines a simulated sequence. Brightness is in the ADU of
// the frames written (0..255 for 8-bit frames, 0..65535 for 16-bit ones; the
// noise-free values before any clipping), lengths in pixels, angles in
// degrees. A colour frame multiplies each brightness by its tint for
// channel c (R, G, B); a grey frame uses the values as they are.

using ChannelTint = std::array<double, 3>;

struct StarFieldSettings {
    // Expected count over the area of one frame; the field beyond the frame,
    // which drift and rotation bring into view, has the same density.
    int starsPerFrame = 300;
    double fwhm = 3.0;
    double beta = 3.0;  // Moffat exponent; above 1, or the flux would be infinite
    // Fluxes follow a power law from this faintest flux: N(> F) ~ F^-fluxSlope.
    double faintestFlux = 200.0;
    double fluxSlope = 1.0;
};

struct BackgroundSettings {
    double sky = 30.0;
    // Rise of the sky across the reference frame, from the corner it is
    // lowest to the opposite one, towards gradientAngle (0 = +x, 90 = +y).
    double gradient = 20.0;
    double gradientAngle = 30.0;
    double nebula = 0.0;  // peak of the main blob; 0 for none
    double nebulaSize = 60.0;  // standard deviation of the main blob's long axis
    // Light pollution is warm and an emission nebula red; both only slightly.
    ChannelTint skyTint{1.06, 1.0, 0.92};
    ChannelTint gradientTint{1.15, 1.0, 0.8};
    ChannelTint nebulaTint{1.3, 0.8, 0.95};
};

struct NoiseSettings {
    // Optics dim the frame towards its corners: the light falls by this
    // fraction at a corner, as 1 - v * (r / rCorner)^2, fixed to the sensor.
    double vignetting = 0.0;
    double readNoise = 4.0;  // standard deviation
    double gain = 1.0;  // shot-noise variance per ADU of signal
    int hotPixels = 0;
};

// Frame k sees the sky shifted by (k - 1) times the drift plus a bounded
// random walk, and turned about the image centre by (k - 1) times the
// rotation. From flipAtFrame on it is also turned by 180 degrees, as after a
// meridian flip, and from mirrorAtFrame on mirrored left to right; 0 turns
// either off.
struct MotionSettings {
    double driftX = 0.0;
    double driftY = 0.0;
    double shiftMax = 0.0;  // bound of the random walk on each axis; 0 for none
    double rotationPerFrame = 0.0;
    int flipAtFrame = 0;
    int mirrorAtFrame = 0;
};

struct SkySimSettings {
    int frames = 10;
    int width = 640;
    int height = 480;
    int channels = 3;
    std::uint64_t seed = 1;
    StarFieldSettings starField;
    BackgroundSettings background;
    NoiseSettings noise;
    MotionSettings motion;
};

// 8-bit JPEG or FITS frames, or a camera's 16-bit FITS frames: a colour
// sequence then comes as the Bayer mosaic a one-shot-colour sensor records.
enum class FrameFormat { Jpeg, Fits, Fits16 };

struct OutputSettings {
    std::string directory;
    FrameFormat format = FrameFormat::Jpeg;
    bool truthPerFrame = false;
    // The exposure time of every frame, each starting as the one before ends;
    // recorded in the headers of 16-bit frames.
    double exposureSeconds = 10.0;
};

// Throws std::invalid_argument naming the first setting out of range, in the
// command line's terms ("--beta must be greater than 1").
void validate(const SkySimSettings& settings);
void validate(const OutputSettings& output);
