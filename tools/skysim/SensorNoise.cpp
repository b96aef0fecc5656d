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

// The excess is drawn in 8-bit ADU; 257 maps 8-bit full scale onto 16-bit full scale.
constexpr double kSixteenBitPerEightBit = 257.0;

// Rounds half up, which for the clamped, non-negative values is rounding to nearest.
template <typename Sample>
Sample saturated(double value)
{
    return static_cast<Sample>(std::clamp(value, 0.0, double(ImageBuffer<Sample>::MAX)) + 0.5);
}

std::uint64_t rowSeed(std::uint64_t seed, int frame, int y)
{
    return streamSeed(seed, RandomStream::Noise, std::uint64_t(frame), std::uint64_t(y));
}

// One deviate per output sample, in order, from the row's own stream;
// signalAt(i) is the noise-free level of output sample i.
template <typename Sample, typename SignalAt>
void exposeRow(const NoiseSettings& noise, std::uint64_t seed, std::size_t samples, SignalAt signalAt, Sample* out)
{
    NormalDeviates unit(seed);
    const double readVariance = noise.readNoise * noise.readNoise;
    for (std::size_t i = 0; i < samples; ++i) {
        const double signal = signalAt(i);
        const double sigma = std::sqrt(std::max(signal, 0.0) * noise.gain + readVariance);
        out[i] = saturated<Sample>(signal + sigma * unit.next());
    }
}

// The channel a camera pixel sees: RGGB for colour, the only one for grey.
int cameraChannel(std::size_t x, int y, int channels)
{
    return channels == 1 ? 0 : int(std::size_t(y) % 2 + x % 2);
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
    const std::size_t samples = std::size_t(sky.width()) * sky.channels();
#pragma omp parallel for schedule(static)
    for (int y = 0; y < sky.height(); ++y) {
        const float* in = sky.data() + std::size_t(y) * samples;
        exposeRow(noise, rowSeed(seed, frame, y), samples, [in](std::size_t i) { return double(in[i]); },
                  exposure->data() + std::size_t(y) * samples);
    }
    for (const HotPixel& hot : hotPixels)
        for (int c = 0; c < sky.channels(); ++c) {
            const int i = exposure->getIndex(hot.x, hot.y, c);
            exposure->data()[i] = saturated<unsigned char>(exposure->data()[i] + double(hot.excess));
        }
    return exposure;
}

CameraImagePtr exposeCameraFrame(const FloatImage& sky, const NoiseSettings& noise,
                                 const std::vector<HotPixel>& hotPixels, std::uint64_t seed, int frame)
{
    auto exposure = std::make_shared<ImageBuffer<unsigned short>>(sky.width(), sky.height(), 1);
    const std::size_t width = std::size_t(sky.width());
    const int channels = sky.channels();
#pragma omp parallel for schedule(static)
    for (int y = 0; y < sky.height(); ++y) {
        const float* in = sky.data() + std::size_t(y) * width * channels;
        const auto signalAt = [in, y, channels](std::size_t x) {
            return double(in[x * channels + cameraChannel(x, y, channels)]);
        };
        exposeRow(noise, rowSeed(seed, frame, y), width, signalAt, exposure->data() + std::size_t(y) * width);
    }
    for (const HotPixel& hot : hotPixels) {
        const double excess = double(hot.excess) * kSixteenBitPerEightBit;
        exposure->setPixel(hot.x, hot.y, saturated<unsigned short>(exposure->getPixel(hot.x, hot.y) + excess));
    }
    return exposure;
}
