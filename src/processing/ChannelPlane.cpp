#include "processing/ChannelPlane.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

void checkChannel(const ImageBuffer<unsigned char>& image, int channel)
{
    if (channel < 0 || channel >= image.channels())
        throw std::out_of_range("Channel " + std::to_string(channel) + " is outside the image's " +
                                std::to_string(image.channels()) + " channels");
}

}  // namespace

cv::Mat channelPlane(const ImageBuffer<unsigned char>& image, int channel)
{
    checkChannel(image, channel);
    cv::Mat plane(image.height(), image.width(), CV_8UC1);
    const std::uint8_t* samples = image.data();
    const std::size_t stride = std::size_t(image.channels());
    std::size_t i = std::size_t(channel);
    for (int y = 0; y < plane.rows; ++y) {
        std::uint8_t* row = plane.ptr<std::uint8_t>(y);
        for (int x = 0; x < plane.cols; ++x, i += stride)
            row[x] = samples[i];
    }
    return plane;
}

void storeChannelPlane(const cv::Mat& plane, ImageBuffer<unsigned char>& image, int channel)
{
    checkChannel(image, channel);
    if (plane.type() != CV_8UC1 || plane.rows != image.height() || plane.cols != image.width())
        throw std::invalid_argument("Expected an 8-bit single-channel plane of the image's size");
    std::uint8_t* samples = image.data();
    const std::size_t stride = std::size_t(image.channels());
    std::size_t i = std::size_t(channel);
    for (int y = 0; y < plane.rows; ++y) {
        const std::uint8_t* row = plane.ptr<std::uint8_t>(y);
        for (int x = 0; x < plane.cols; ++x, i += stride)
            samples[i] = row[x];
    }
}
