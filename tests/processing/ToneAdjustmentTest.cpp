#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/MatView.h"
#include "processing/Compression.h"
#include "processing/ContrastAdjustment.h"
#include "processing/SaturationAdjustment.h"
#include "stacking/ImageStacker.h"

namespace {

using Samples = std::vector<int>;

ByteImagePtr imageOf(int width, int height, int channels, const Samples& samples)
{
    auto image = std::make_shared<ByteImage>(width, height, channels);
    for (std::size_t i = 0; i < samples.size(); ++i)
        image->data()[i] = static_cast<std::uint8_t>(samples[i]);
    return image;
}

Samples samplesOf(const ByteImage& image) { return Samples(image.data(), image.data() + image.size()); }

Samples channelOf(const ByteImage& image, int channel)
{
    Samples samples;
    for (std::size_t i = std::size_t(channel); i < image.size(); i += std::size_t(image.channels()))
        samples.push_back(image.data()[i]);
    return samples;
}

// Interleaves equally long channels into one sample list.
Samples interleave(const std::vector<Samples>& channels)
{
    Samples samples;
    for (std::size_t i = 0; i < channels[0].size(); ++i)
        for (const Samples& channel : channels)
            samples.push_back(channel[i]);
    return samples;
}

// The samples one after another, `times` over: past the threading threshold
// the loops split into shares, and every share must map like the first.
Samples repeated(const Samples& samples, int times)
{
    Samples all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(), samples.begin(), samples.end());
    return all;
}

// Saturation scaled by hand in OpenCV's HSV planes, one pixel at a time.
Samples saturatedInHsv(const ByteImage& image, float k)
{
    cv::Mat hsv;
    cv::cvtColor(matView(image), hsv, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    for (int y = 0; y < hsv.rows; ++y)
        for (int x = 0; x < hsv.cols; ++x) {
            const int v = planes[2].at<std::uint8_t>(y, x);
            float factor = k;
            if (v > 200)
                factor = std::max(1.0f - (v - 200) / 55.0f, 0.2f) * k;
            else if (v >= 51 && v <= 179)
                factor = ((1.0f - std::abs(v - 120) / 70.0f) * 0.3f + 1.0f) * k;
            const float s = factor * planes[1].at<std::uint8_t>(y, x);
            planes[1].at<std::uint8_t>(y, x) = std::uint8_t(std::min(s, 255.0f));
        }
    cv::merge(planes, hsv);
    cv::Mat bgr;
    cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
    return Samples(bgr.data, bgr.data + bgr.total() * 3);
}

ByteImagePtr randomImage(int width, int height, int channels, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> sample(0, 255);
    Samples samples(std::size_t(width) * height * channels);
    for (int& s : samples)
        s = sample(rng);
    return imageOf(width, height, channels, samples);
}

// Percentiles 3rd and 17th of 20: L = 10 q, H = 200 q (q = 255/256), M = (L + H) / 2; out = M + k (v - M) up to H.
const Samples kStretchChannel = {10, 10, 10, 50, 50, 50, 50, 100, 100, 100,
                                 100, 100, 150, 150, 150, 150, 200, 230, 250, 255};
// L = q, H = 40 q.
const Samples kDarkChannel = {0, 0, 0, 0, 20, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 120, 120, 120};

}  // namespace

TEST(ContrastAdjustment, StretchesEachChannelAroundItsOwnPercentiles)
{
    const ByteImagePtr image = imageOf(5, 4, 2, interleave({kStretchChannel, kDarkChannel}));
    const ByteImagePtr result = applyContrastAdjustment(*image, 50.0f);  // k = 0.5

    // M + 0.5 (v - M) up to H; above it blended towards v by w = (v - H) / (255 - H): 230 -> 201.90.
    EXPECT_EQ(channelOf(*result, 0), (Samples{57, 57, 57, 77, 77, 77, 77, 102, 102, 102,
                                              102, 102, 127, 127, 127, 127, 152, 201, 243, 255}));

    // M = 20.5 q: 0 -> 10.21, 40 (above H) -> 30.22, 120 -> 88.76 (L = 0 would give 9, 19, 29).
    EXPECT_EQ(channelOf(*result, 1), (Samples{10, 10, 10, 10, 20, 30, 30, 30, 30, 30,
                                              30, 30, 30, 30, 30, 30, 30, 88, 88, 88}));
    EXPECT_EQ(samplesOf(*image), interleave({kStretchChannel, kDarkChannel}));

    // 1000 copies keep both percentiles (3000 and 17000 of 20000 samples).
    const Samples pattern = interleave({kStretchChannel, kDarkChannel});
    const ByteImagePtr large = imageOf(200, 100, 2, repeated(pattern, 1000));
    EXPECT_EQ(samplesOf(*applyContrastAdjustment(*large, 50.0f)), repeated(samplesOf(*result), 1000));
}

TEST(ContrastAdjustment, WeakestSettingKeepsStrengthOfTwoTenths)
{
    // k = 0.1 lifted to 0.2: 100 -> M - 0.2 (M - 100) = 103.67 (104.13 with 0.1).
    const ByteImagePtr result = applyContrastAdjustment(*imageOf(5, 4, 1, kStretchChannel), 10.0f);
    EXPECT_EQ(result->data()[7], 103);
    EXPECT_EQ(result->data()[19], 255);
}

TEST(ContrastAdjustment, FlatChannelIsLeftUnchanged)
{
    const Samples flat(20, 77);
    const Samples samples = interleave({kStretchChannel, flat});
    const ByteImagePtr result = applyContrastAdjustment(*imageOf(5, 4, 2, samples), 200.0f);
    EXPECT_EQ(channelOf(*result, 1), flat);
    EXPECT_NE(channelOf(*result, 0), kStretchChannel);

    const ByteImagePtr black = imageOf(3, 3, 1, Samples(9, 0));
    EXPECT_EQ(samplesOf(*applyContrastAdjustment(*black, 150.0f)), Samples(9, 0));
}

TEST(SaturationAdjustment, GreyBlackAndWhiteStayUnsaturated)
{
    Samples samples = {0, 0, 0, 255, 255, 255};
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> level(0, 255);
    for (int i = 0; i < 98; ++i) {
        const int v = level(rng);
        samples.insert(samples.end(), {v, v, v});
    }
    const ByteImagePtr grey = imageOf(10, 10, 3, samples);
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*grey, 200.0f)), samples);
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*grey, 0.0f)), samples);

    const ByteImagePtr single = randomImage(6, 5, 1, 12);
    const ByteImagePtr copy = applySaturationAdjustment(*single, 200.0f);
    EXPECT_NE(copy, single);
    EXPECT_EQ(samplesOf(*copy), samplesOf(*single));
}

TEST(SaturationAdjustment, ScalesSaturationByBrightnessBand)
{
    // (m, m, V) with S = 102: S' = S x band factor, B = V (1 - S' / 255); 140 -> 38, 185 -> 74, 250 floored at 0.2.
    const Samples pixels = {84, 84, 140, 111, 111, 185, 138, 138, 230, 150, 150, 250, 24, 24, 40};
    const Samples expected = {38, 38, 140, 74, 74, 185, 168, 168, 230, 221, 221, 250, 16, 16, 40};
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*imageOf(5, 1, 3, pixels), 150.0f)), expected);

    // Past the threading threshold, every share against the per-pixel recipe.
    const ByteImagePtr large = randomImage(120, 100, 3, 13);
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*large, 150.0f)), saturatedInHsv(*large, 1.5f));
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*large, 40.0f)), saturatedInHsv(*large, 0.4f));
}

TEST(Compression, KeepsBlackAndLiftsMidTones)
{
    const ByteImagePtr image = imageOf(4, 1, 1, {0, 1, 64, 128});
    for (float percent : {0.5f, 100.0f})
        EXPECT_EQ(applyCompression(*image, percent)->data()[0], 0) << percent;
    // White stays white at every setting (the quotient form gave 254 at P = 8, 9, 11, 23, ...).
    const ByteImagePtr white = imageOf(1, 1, 1, {255});
    for (int percent = 0; percent <= 100; ++percent)
        EXPECT_EQ(applyCompression(*white, float(percent))->data()[0], 255) << percent;

    // 255 (v / 255)^gamma: gamma 0.82 gives 2.71, 82.08, 144.91; gamma 0.1 gives 1 -> 146.52.
    EXPECT_EQ(samplesOf(*applyCompression(*image, 20.0f)), (Samples{0, 2, 82, 144}));
    EXPECT_EQ(applyCompression(*image, 100.0f)->data()[1], 146);
    const ByteImagePtr large = imageOf(100, 100, 3, repeated({0, 1, 64, 128}, 7500));
    EXPECT_EQ(samplesOf(*applyCompression(*large, 20.0f)), repeated({0, 2, 82, 144}, 7500));
}

TEST(PostProcess, NeutralOrUnsetStepsReturnTheInputItself)
{
    const ByteImagePtr image = randomImage(8, 6, 3, 21);
    ImageStacker stacker;
    EXPECT_EQ(stacker.postProcess(image), image);  // default values, no flags

    StackerSettings& settings = *stacker.settings();
    settings.contrastSet = settings.saturationSet = settings.compressionSet = true;
    settings.contrast = 100.009f;
    settings.saturation = 99.991f;
    settings.compression = 0.0f;
    EXPECT_EQ(stacker.postProcess(image), image);

    settings.contrast = 100.02f;
    EXPECT_NE(stacker.postProcess(image), image);
}

TEST(PostProcess, StretchesBeforeCompressingAndLeavesTheInputAlone)
{
    // The stretch test's output through gamma 0.82; compressing first would give 64, 89, 115, ...
    const ByteImagePtr image = imageOf(5, 4, 1, kStretchChannel);
    ImageStacker stacker;
    StackerSettings& settings = *stacker.settings();
    settings.contrastSet = settings.saturationSet = settings.compressionSet = true;
    settings.contrast = 50.0f;
    settings.saturation = 150.0f;  // one channel: no colour to change
    settings.compression = 20.0f;
    EXPECT_EQ(samplesOf(*stacker.postProcess(image)), (Samples{74, 74, 74, 95, 95, 95, 95, 120, 120, 120,
                                                               120, 120, 143, 143, 143, 143, 166, 209, 245, 255}));
    EXPECT_EQ(samplesOf(*image), kStretchChannel);
}

TEST(PostProcess, RunsContrastThenSaturationThenCompression)
{
    const ByteImagePtr image = randomImage(16, 12, 3, 31);
    const Samples before = samplesOf(*image);
    ImageStacker stacker;
    StackerSettings& settings = *stacker.settings();
    settings.contrastSet = settings.saturationSet = settings.compressionSet = true;
    settings.contrast = 150.0f;
    settings.saturation = 160.0f;
    settings.compression = 40.0f;

    const Samples result = samplesOf(*stacker.postProcess(image));
    const ByteImagePtr inOrder =
        applyCompression(*applySaturationAdjustment(*applyContrastAdjustment(*image, 150.0f), 160.0f), 40.0f);
    const ByteImagePtr saturationFirst =
        applyCompression(*applyContrastAdjustment(*applySaturationAdjustment(*image, 160.0f), 150.0f), 40.0f);
    EXPECT_EQ(result, samplesOf(*inOrder));
    EXPECT_NE(result, samplesOf(*saturationFirst));
    EXPECT_EQ(samplesOf(*image), before);
}
