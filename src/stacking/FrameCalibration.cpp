#include "stacking/FrameCalibration.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/Logger.h"

namespace {

// Robust deviations are measured on at most this many pixels per colour.
constexpr std::size_t kDeviationSamples = 200000;
// The median absolute deviation of Gaussian noise times this is its sigma.
constexpr float kMadToSigma = 1.4826f;

using Offsets = std::array<std::array<int, 2>, 8>;

// The eight nearest neighbours of the same colour. Green sits on a
// checkerboard (four diagonal neighbours, then four two steps away); red and
// blue, and every colour of a grey or colour frame (where each channel is
// read on its own), two steps away on the colour's own grid.
constexpr Offsets kGreenOffsets{{{-1, -1}, {1, -1}, {-1, 1}, {1, 1}, {-2, 0}, {2, 0}, {0, -2}, {0, 2}}};
constexpr Offsets kBayerOffsets{{{-2, -2}, {0, -2}, {2, -2}, {-2, 0}, {2, 0}, {-2, 2}, {0, 2}, {2, 2}}};
constexpr Offsets kPlainOffsets{{{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}}};

std::string sizeText(const FloatImage& image)
{
    return std::to_string(image.width()) + "x" + std::to_string(image.height()) + "x" +
           std::to_string(image.channels());
}

void requireMatching(const CameraFrame& master, const std::string& masterPath, const char* what,
                     const CameraFrame& frame, const std::string& path)
{
    const bool sameSize = master.pixels->sameDimensions(*frame.pixels);
    if (sameSize && master.linear == frame.linear)
        return;
    throw std::runtime_error(std::string(what) + " " + masterPath + " (" + sizeText(*master.pixels) + ", " +
                             kindName(master.linear) + ") does not fit frame " + path + " (" +
                             sizeText(*frame.pixels) + ", " + kindName(frame.linear) +
                             "); use a master taken with the same camera settings");
}

float median(std::vector<float>& values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Neighbourhood of (x, y) in channel c: the median of its eight neighbours.
struct Neighbourhood {
    const FloatImage& image;
    const std::optional<BayerLayout>& bayer;

    const Offsets& offsetsAt(int x, int y) const
    {
        if (!bayer)
            return kPlainOffsets;
        return bayer->colourAt(x, y) == 1 ? kGreenOffsets : kBayerOffsets;
    }

    int colourAt(int x, int y, int c) const { return bayer ? bayer->colourAt(x, y) : c; }

    // Unchecked: every caller stays two pixels inside the image.
    float sample(int x, int y, int c) const
    {
        return image.data()[(std::size_t(y) * std::size_t(image.width()) + std::size_t(x)) *
                                std::size_t(image.channels()) +
                            std::size_t(c)];
    }

    float medianAround(int x, int y, int c) const
    {
        std::array<float, 8> values{};
        const Offsets& offsets = offsetsAt(x, y);
        for (std::size_t i = 0; i < offsets.size(); ++i)
            values[i] = sample(x + offsets[i][0], y + offsets[i][1], c);
        std::nth_element(values.begin(), values.begin() + 4, values.end());
        const float upper = values[4];
        return (upper + *std::max_element(values.begin(), values.begin() + 4)) / 2.0f;
    }
};

// Per colour, the robust deviation of the pixels' excess over their neighbours.
std::array<float, 3> robustDeviations(const Neighbourhood& around)
{
    const FloatImage& image = around.image;
    const std::size_t inner = std::size_t(image.width() - 4) * std::size_t(image.height() - 4);
    const std::size_t stride = std::max<std::size_t>(1, inner * std::size_t(image.channels()) / kDeviationSamples);
    std::array<std::vector<float>, 3> excess;
    std::size_t index = 0;
    for (int y = 2; y < image.height() - 2; ++y)
        for (int x = 2; x < image.width() - 2; ++x)
            for (int c = 0; c < image.channels(); ++c, ++index)
                if (index % stride == 0)
                    excess[std::size_t(around.colourAt(x, y, c))].push_back(around.sample(x, y, c) -
                                                                            around.medianAround(x, y, c));
    std::array<float, 3> deviations{0, 0, 0};
    for (std::size_t colour = 0; colour < 3; ++colour) {
        std::vector<float>& values = excess[colour];
        if (values.empty())
            continue;
        const float centre = median(values);
        for (float& value : values)
            value = std::fabs(value - centre);
        deviations[colour] = kMadToSigma * median(values);
    }
    return deviations;
}

}  // namespace

void correctHotPixels(FloatImage& image, const std::optional<BayerLayout>& bayer, float sigma)
{
    if (image.width() < 5 || image.height() < 5)
        return;
    const FloatImage original = image;
    const Neighbourhood around{original, bayer};
    const std::array<float, 3> deviations = robustDeviations(around);
    int replaced = 0;
#pragma omp parallel for schedule(static) reduction(+ : replaced)
    for (int y = 2; y < image.height() - 2; ++y)
        for (int x = 2; x < image.width() - 2; ++x)
            for (int c = 0; c < image.channels(); ++c) {
                const float neighbours = around.medianAround(x, y, c);
                const float deviation = deviations[std::size_t(around.colourAt(x, y, c))];
                if (around.sample(x, y, c) - neighbours > sigma * deviation) {
                    image.data()[(std::size_t(y) * std::size_t(image.width()) + std::size_t(x)) *
                                     std::size_t(image.channels()) +
                                 std::size_t(c)] = neighbours;
                    replaced += 1;
                }
            }
    logInfo("Hot pixels replaced: " + std::to_string(replaced));
}

void FrameCalibration::setDark(const std::string& path, CameraFrame master)
{
    floatPixels(master);
    dark_ = Master{path, std::move(master)};
}

void FrameCalibration::setFlat(const std::string& path, CameraFrame master)
{
    Master flat{path, std::move(master)};
    floatPixels(flat.frame);
    const float mean = flat.frame.pixels->mean();
    if (!(mean > 0.0f))
        throw std::runtime_error("Flat frame " + path + " has no light (mean " + std::to_string(mean) + ")");
    float* samples = flat.frame.pixels->data();
    for (std::size_t i = 0; i < flat.frame.pixels->size(); ++i)
        samples[i] /= mean;
    flat_ = std::move(flat);
}

void FrameCalibration::apply(CameraFrame& frame, const std::string& path) const
{
    const bool subtractDark = dark_ && darkEnabled_;
    if (!subtractDark && !flat_ && !hotPixelSigma_)
        return;
    floatPixels(frame);
    if (subtractDark)
        requireMatching(dark_->frame, dark_->path, "Dark frame", frame, path);
    if (flat_)
        requireMatching(flat_->frame, flat_->path, "Flat frame", frame, path);
    float* samples = frame.pixels->data();
    const std::size_t count = frame.pixels->size();
    const float ceiling = frame.linear ? std::numeric_limits<float>::infinity() : 255.0f;
    if (subtractDark) {
        const float* dark = dark_->frame.pixels->data();
        for (std::size_t i = 0; i < count; ++i)
            samples[i] = frame.linear ? samples[i] - dark[i] : std::max(samples[i] - dark[i], 0.0f);
    }
    if (flat_) {
        // A dead pixel of the flat (no light) cannot be corrected; it is left as it is.
        const float* flat = flat_->frame.pixels->data();
        for (std::size_t i = 0; i < count; ++i)
            if (flat[i] > 0.0f)
                samples[i] = std::min(samples[i] / flat[i], ceiling);
    }
    if (hotPixelSigma_)
        correctHotPixels(*frame.pixels, frame.bayer, *hotPixelSigma_);
}
