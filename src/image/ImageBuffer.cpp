#include "image/ImageBuffer.h"

namespace {

template <typename To, typename From, typename Map>
std::shared_ptr<ImageBuffer<To>> convert(const ImageBuffer<From>& image, Map map)
{
    auto result = std::make_shared<ImageBuffer<To>>(image.width(), image.height(), image.channels());
    const From* in = image.data();
    To* out = result->data();
    for (std::size_t i = 0; i < image.size(); ++i)
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
    return convert<unsigned char>(image, [](float v) {
        if (!(v > 0.0f))
            return static_cast<unsigned char>(0);
        return static_cast<unsigned char>(std::lround(std::min(v, 255.0f)));
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
