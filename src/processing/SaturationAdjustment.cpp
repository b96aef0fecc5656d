#include "processing/SaturationAdjustment.h"

#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "core/Timer.h"
#include "image/MatView.h"
#include "processing/ByteTables.h"
#include "stacking/ParallelShares.h"

namespace {

using FactorTable = std::array<float, 256>;

float brightnessWeight(float value)
{
    if (value > 200.0f) {
        // Near white the colour channels clip; strong saturation there gives colour fringes.
        const float fade = 1.0f - (value - 200.0f) / 55.0f;
        return fade > 0.2f ? fade : 0.2f;
    }
    if (value >= 51.0f && value <= 179.0f)
        return (1.0f - std::abs(value - 120.0f) / 70.0f) * 0.3f + 1.0f;
    return 1.0f;
}

FactorTable factorsByValue(float k)
{
    FactorTable factors;
    for (int v = 0; v < 256; ++v)
        factors[v] = brightnessWeight(float(v)) * k;
    return factors;
}

// hsv is a continuous CV_8UC3 matrix of H, S, V triples.
void scaleSaturation(cv::Mat& hsv, const FactorTable& factors)
{
    std::uint8_t* samples = hsv.data;
    const std::size_t pixels = hsv.total();
    forEachShare(pixels, worthSplitting(pixels * 3), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin * 3; i < end * 3; i += 3)
            samples[i + 1] = truncateToByte(factors[samples[i + 2]] * float(samples[i + 1]));
    });
}

}  // namespace

ByteImagePtr applySaturationAdjustment(const ImageBuffer<unsigned char>& image, float saturation)
{
    Timer timer("applySaturationAdjustment");
    if (image.channels() < 3)
        return image.clone();

    cv::Mat hsv;
    cv::cvtColor(matView(image), hsv, cv::COLOR_BGR2HSV);
    scaleSaturation(hsv, factorsByValue(saturation / 100.0f));

    auto result = std::make_shared<ByteImage>(image.width(), image.height(), image.channels());
    cv::Mat target = matView(*result);
    cv::cvtColor(hsv, target, cv::COLOR_HSV2BGR);
    return result;
}
