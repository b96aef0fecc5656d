#include "SensorNoise.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "Random.h"

namespace {

// Half to full scale: a hot pixel stands out of any sky, often saturated.
constexpr float kLeastExcess = 128.0f;
constexpr float kMostExcess = 255.0f;

// Rounds half up, which for the clamped, non-negative values is rounding to nearest.
unsigned char toByte(double value)
{
    return static_cast<unsigned char>(std::clamp(value, 0.0, 255.0) + 0.5);
}

void exposeRow(const FloatImage& sky, const NoiseSettings& noise, std::uint64_t rowSeed, int y, ByteImage& frame)
{
    NormalDeviates unit(rowSeed);
    const std::size_t samples = std::size_t(sky.width()) * sky.channels();
    const float* in = sky.data() + std::size_t(y) * samples;
    unsigned char* out = frame.data() + std::size_t(y) * samples;
    const double readVariance = noise.readNoise * noise.readNoise;
    for (std::size_t i = 0; i < samples; ++i) {
        const double signal = in[i];
        const double sigma = std::sqrt(std::max(signal, 0.0) * noise.gain + readVariance);
        out[i] = toByte(signal + sigma * unit.next());
    }
}

}  // namespace

std::vector<HotPixel> randomHotPixels(int count, int width, int height, std::uint64_t seed)
{
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    if (count < 0 || std::size_t(count) > pixels)
        throw std::invalid_argument("More hot pixels than pixels");
    SplitMix64 random(streamSeed(seed, RandomStream::HotPixels));
    std::uniform_int_distribution<std::size_t> index(0, pixels - 1);
    std::uniform_real_distribution<float> excess(kLeastExcess, kMostExcess);
    std::vector<bool> taken(pixels, false);
    std::vector<HotPixel> hot;
    while (hot.size() < std::size_t(count)) {
        const std::size_t i = index(random);
        if (taken[i])
            continue;
        taken[i] = true;
        hot.push_back({int(i % std::size_t(width)), int(i / std::size_t(width)), excess(random)});
    }
    return hot;
}

ByteImagePtr exposeFrame(const FloatImage& sky, const NoiseSettings& noise, const std::vector<HotPixel>& hotPixels,
                         std::uint64_t seed, int frame)
{
    auto exposure = std::make_shared<ByteImage>(sky.width(), sky.height(), sky.channels());
#pragma omp parallel for schedule(static)
    for (int y = 0; y < sky.height(); ++y)
        exposeRow(sky, noise, streamSeed(seed, RandomStream::Noise, std::uint64_t(frame), std::uint64_t(y)), y,
                  *exposure);
    for (const HotPixel& hot : hotPixels)
        for (int c = 0; c < sky.channels(); ++c) {
            const int i = exposure->getIndex(hot.x, hot.y, c);
            exposure->data()[i] = toByte(exposure->data()[i] + double(hot.excess));
        }
    return exposure;
}
