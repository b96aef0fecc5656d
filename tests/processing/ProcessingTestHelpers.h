#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "image/MatView.h"
#include "stacking/ImageStacker.h"
#include "support/TestSupport.h"

// Small builders and readers the processing tests share.

using Samples = std::vector<int>;

inline Samples samplesOf(const ByteImage& image) { return Samples(image.data(), image.data() + image.size()); }
inline Samples samplesOf(const cv::Mat& mat) { return Samples(mat.data, mat.data + mat.total() * mat.channels()); }

inline Samples channelOf(const ByteImage& image, int channel)
{
    Samples samples;
    for (std::size_t i = std::size_t(channel); i < image.size(); i += std::size_t(image.channels()))
        samples.push_back(image.data()[i]);
    return samples;
}

// A buffer whose sample (x, y, c) is value(x, y, c).
inline ByteImagePtr imageFrom(int width, int height, int channels, const std::function<int(int, int, int)>& value)
{
    auto image = std::make_shared<ByteImage>(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                image->setPixel(x, y, static_cast<unsigned char>(value(x, y, c)), c);
    return image;
}

// A buffer holding the interleaved samples in order.
inline ByteImagePtr imageOf(int width, int height, int channels, const Samples& samples)
{
    return imageFrom(width, height, channels,
                     [&](int x, int y, int c) { return samples[std::size_t((y * width + x) * channels + c)]; });
}

// Background adjustment's k-means seeds from OpenCV's per-thread generator:
// the same state gives the same protection mask.
inline ByteImagePtr seeded(const std::function<ByteImagePtr()>& run)
{
    cv::theRNG().state = 2024;
    return run();
}
