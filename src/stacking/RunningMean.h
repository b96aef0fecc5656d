#pragma once

#include <cstddef>
#include <optional>

#include "image/ImageBuffer.h"

// The running mean of a stack and what a FITS state keeps beside it, per
// pixel: how many frames covered the pixel, and for the sigma clip the
// spread of its samples (Welford's M2). The weight and M2's sample count
// are one plane shared by the channels; M2 has the mean's channels.
struct StackPlanes {
    FloatImagePtr weight;   // null: every frame counts at every pixel
    FloatImagePtr m2;       // null until a sigma clip starts the variance
    FloatImagePtr m2Count;  // the samples M2 holds; set with m2
};

// The image extensions that hold the planes in a FITS state.
constexpr const char* kWeightExtension = "WEIGHT";
constexpr const char* kM2Extension = "M2";
constexpr const char* kM2CountExtension = "M2COUNT";

// A sample is left out when any channel lies outside mean - low * sigma ..
// mean + high * sigma, sigma taken as at least minSigma, once the pixel's
// variance holds `frames` samples.
struct ClipBounds {
    int frames;
    float low;
    float high;
    float minSigma;
};

// Gives the stack of `frames` frames the planes it lacks: the weight
// `frames` at every pixel (a stack kept without weights counted every frame
// everywhere) and, when withVariance, a variance that starts now with no
// samples, so no pixel is clipped on a spread it has not yet seen.
void completePlanes(StackPlanes& planes, const FloatImage& mean, int frames, bool withVariance);

// Folds the frame into the stack at the pixels coverage marks (every pixel
// when it is null): w += 1, then mean += (x - mean) / w and, where the
// variance is kept, M2 += (x - old mean) * (x - new mean). With a clip, a
// sample outside its bounds leaves the pixel as it was. Returns the pixels
// the clip left out. Throws std::runtime_error when the frame or the
// coverage does not fit the stack.
template <typename T>
std::size_t foldFrame(FloatImage& mean, StackPlanes& planes, const ImageBuffer<T>& frame, const ByteImage* coverage,
                      const std::optional<ClipBounds>& clip);

// The mean of a stack without weights: mean += (x - mean) / n at every
// pixel, covered or not, in single precision and never rounded.
template <typename T>
void foldUniform(FloatImage& mean, const ImageBuffer<T>& frame, int n);
