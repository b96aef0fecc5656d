#include "stacking/RunningMean.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Below this many pixels the threads cost more than they save.
constexpr std::ptrdiff_t kParallelPixels = 30000;

// Raw views of the planes for the per-pixel loop.
struct PlaneView {
    float* mean;
    float* weight;
    float* m2;  // null without a variance
    float* m2Count;
    std::size_t channels;
};

FloatImagePtr filledPlane(const FloatImage& mean, int channels, float value)
{
    auto plane = std::make_shared<FloatImage>(mean.width(), mean.height(), channels);
    plane->fill(value);
    return plane;
}

template <typename A, typename B>
void requireGrid(const A& image, const B& stack, int channels, const char* what)
{
    if (image.width() != stack.width() || image.height() != stack.height() || image.channels() != channels)
        throw std::runtime_error(std::string(what) + " dimensions do not match stacked frame dimensions");
}

PlaneView viewOf(FloatImage& mean, StackPlanes& planes)
{
    return {mean.data(), planes.weight->data(), planes.m2 ? planes.m2->data() : nullptr,
            planes.m2 ? planes.m2Count->data() : nullptr, std::size_t(mean.channels())};
}

template <typename T>
bool outsideBounds(const PlaneView& view, const T* sample, std::size_t pixel, const ClipBounds& clip)
{
    const float samples = view.m2Count[pixel];
    if (samples < float(clip.frames))
        return false;
    const std::size_t first = pixel * view.channels;
    for (std::size_t c = 0; c < view.channels; ++c) {
        const float mean = view.mean[first + c];
        const float sigma = std::max(std::sqrt(view.m2[first + c] / (samples - 1.0f)), clip.minSigma);
        const float x = float(sample[c]);
        if (x < mean - clip.low * sigma || x > mean + clip.high * sigma)
            return true;
    }
    return false;
}

// Welford's step for one pixel, the weight shared by its channels.
template <typename T>
void addSample(const PlaneView& view, const T* sample, std::size_t pixel)
{
    const float weight = view.weight[pixel] += 1.0f;
    const std::size_t first = pixel * view.channels;
    for (std::size_t c = 0; c < view.channels; ++c) {
        const float x = float(sample[c]);
        float& mean = view.mean[first + c];
        const float delta = x - mean;
        mean += delta / weight;
        if (view.m2)
            view.m2[first + c] += delta * (x - mean);
    }
    if (view.m2)
        view.m2Count[pixel] += 1.0f;
}

}  // namespace

void completePlanes(StackPlanes& planes, const FloatImage& mean, int frames, bool withVariance)
{
    if (!planes.weight)
        planes.weight = filledPlane(mean, 1, float(frames));
    if (withVariance && !planes.m2) {
        planes.m2 = filledPlane(mean, mean.channels(), 0.0f);
        planes.m2Count = filledPlane(mean, 1, 0.0f);
    }
}

template <typename T>
std::size_t foldFrame(FloatImage& mean, StackPlanes& planes, const ImageBuffer<T>& frame, const ByteImage* coverage,
                      const std::optional<ClipBounds>& clip)
{
    requireGrid(frame, mean, mean.channels(), "Frame");
    if (coverage)
        requireGrid(*coverage, mean, 1, "Coverage");
    const PlaneView view = viewOf(mean, planes);
    const T* in = frame.data();
    const unsigned char* covered = coverage ? coverage->data() : nullptr;
    const std::ptrdiff_t pixels = std::ptrdiff_t(mean.width()) * mean.height();
    std::size_t clipped = 0;
#pragma omp parallel for schedule(static) reduction(+ : clipped) if (pixels > kParallelPixels)
    for (std::ptrdiff_t p = 0; p < pixels; ++p) {
        const std::size_t pixel = std::size_t(p);
        const T* sample = in + pixel * view.channels;
        if (covered && covered[pixel] == 0)
            continue;
        if (clip && outsideBounds(view, sample, pixel, *clip)) {
            clipped += 1;
            continue;
        }
        addSample(view, sample, pixel);
    }
    return clipped;
}

template <typename T>
void foldUniform(FloatImage& mean, const ImageBuffer<T>& frame, int n)
{
    requireGrid(frame, mean, mean.channels(), "Frame");
    const T* in = frame.data();
    float* out = mean.data();
    const std::size_t count = mean.size();
#pragma omp parallel for schedule(static) if (count > 100000)
    for (std::size_t i = 0; i < count; ++i)
        out[i] += (float(in[i]) - out[i]) / float(n);
}

template std::size_t foldFrame(FloatImage&, StackPlanes&, const ByteImage&, const ByteImage*,
                               const std::optional<ClipBounds>&);
template std::size_t foldFrame(FloatImage&, StackPlanes&, const FloatImage&, const ByteImage*,
                               const std::optional<ClipBounds>&);
template void foldUniform(FloatImage&, const ByteImage&, int);
template void foldUniform(FloatImage&, const FloatImage&, int);
