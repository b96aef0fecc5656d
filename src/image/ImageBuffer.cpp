#include "image/ImageBuffer.h"

namespace {

template <typename To, typename From, typename Map>
std::shared_ptr<ImageBuffer<To>> convert(const ImageBuffer<From>& image, Map map)
{
    auto result = std::make_shared<ImageBuffer<To>>(image.width(), image.height(), image.channels());
    const From* in = image.data();
    To* out = result->data();
    const std::size_t count = image.size();
    // Runs on every frame and every output image, a few million samples each.
#pragma omp parallel for schedule(static) if (count > 100000)
    for (std::size_t i = 0; i < count; ++i)
        out[i] = map(in[i]);
    return result;
}

}  // namespace

std::shared_ptr<ImageBuffer<unsigned char>> toEightBit(const ImageBuffer<unsigned short>& image)
{
    return convert<unsigned char>(image, [](unsigned short v) { return static_cast<unsigned char>(v / 257); });
}

std::shared_ptr<ImageBuffer<unsigned char>> toEightBit(const ImageBuffer<float>& image)
{
    // Clamped to 0..255 first (NaN to 0); adding one half and truncating is
    // then rounding to nearest, halves up, without a library call per sample.
    return convert<unsigned char>(image, [](float v) {
        const float clamped = v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f;
        return static_cast<unsigned char>(clamped + 0.5f);
    });
}

std::shared_ptr<ImageBuffer<unsigned short>> toSixteenBit(const ImageBuffer<unsigned char>& image)
{
    return convert<unsigned short>(image, [](unsigned char v) { return static_cast<unsigned short>(v * 257); });
}

std::shared_ptr<ImageBuffer<float>> toFloat(const ImageBuffer<unsigned char>& image)
{
    return convert<float>(image, [](unsigned char v) { return float(v); });
}
