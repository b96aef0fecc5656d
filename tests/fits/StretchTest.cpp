#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <tuple>
#include <vector>

#include <fitsio.h>

#include "fits/FITSHistogram.h"
#include "fits/Stretch.h"

namespace {

// The raw bytes of the samples.
template <typename T>
std::vector<uint8_t> bytesOf(const std::vector<T>& samples)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    return {bytes, bytes + samples.size() * sizeof(T)};
}

// The histogram of a width x height image whose channel c spans ranges[c].
FITSHistogram histogramOf(int type, const uint8_t* buffer, int width, int height,
                          const std::vector<std::pair<double, double>>& ranges)
{
    FITSImage::Statistic record;
    std::tie(record.dataType, record.width, record.height, record.channels) =
        std::tuple(uint32_t(type), uint16_t(width), uint16_t(height), uint8_t(ranges.size()));
    for (std::size_t c = 0; c < ranges.size(); ++c)
        std::tie(record.min[c], record.max[c]) = ranges[c];
    return constructHistogram(buffer, record);
}

// The image rendered with the parameters, row by row: palette indices of one channel, RGB32 values of three.
std::vector<uint32_t> render(int type, const std::vector<uint8_t>& buffer, int width, int height, int channels,
                             const StretchParams& params, int sampling = 1)
{
    QImage image((width + sampling - 1) / sampling, (height + sampling - 1) / sampling,
                 channels == 1 ? QImage::Format_Indexed8 : QImage::Format_RGB32);
    Stretch stretch(width, height, channels, type);
    stretch.setParams(params);
    stretch.run(buffer.data(), &image, sampling);
    std::vector<uint32_t> pixels;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            pixels.push_back(channels == 1 ? uint32_t(image.pixelIndex(x, y))
                                           : reinterpret_cast<const QRgb*>(image.constScanLine(y))[x]);
    return pixels;
}

} // namespace

TEST(FITSHistogram, BinsCountsRunningTotalsThinningNaNStaleStatisticsAndUnusableInput)
{
    // One bin per whole value of a range of 1 ... 255, else 256; bins at least 1 wide for a maximum above 1.1,
    // else at least 0.0001.
    for (const auto& [min, max, count, width] : {std::tuple(10.0, 200.0, 190, 1.0), {0, 255, 255, 1}, {7, 7, 256, 1},
         {0, 1, 1, 1}, {0, 1000, 256, 3.90625}, {0, 0.5, 256, 0.5 / 256}, {0, 0.01, 256, 0.0001}}) {
        const FITSHistogram h = histogramOf(TDOUBLE, bytesOf<double>({min}).data(), 1, 1, {{min, max}});
        EXPECT_EQ(std::pair(int(h.binCount), h.binWidth[0]), std::pair(count, width)) << min << " ... " << max;
    }

    // Channel 0 spans 2 ... 6: four bins of width 1 for every channel. Channel 1 spans 0 ... 100 in bins of 25,
    // its samples at 0, 0.48, 0.52, 1.48, 2, 2.52, 3.52 and 4 bin widths; channel 2 is constant. jmIndex is
    // bin 0 over bins 0 ... 1.
    const auto channels = bytesOf<int32_t>({2, 3, 3, 4, 6, 6, 6, 5,  0, 12, 13, 37, 50, 63, 88, 100,
                                            200, 200, 200, 200, 200, 200, 200, 200});
    const FITSHistogram h = histogramOf(TLONG, channels.data(), 4, 2, {{2, 6}, {0, 100}, {200, 200}});
    ASSERT_EQ(std::pair(int(h.binCount), h.binWidth), std::pair(4, std::array<double, 3>{1, 25, 1}));
    EXPECT_EQ(h.intensity[1], (std::vector<double>{0, 25, 50, 75, 0}));
    EXPECT_EQ(h.frequency, (std::array<std::vector<double>, 3>{{{1, 2, 1, 1, 3}, {2, 2, 1, 1, 2}, {8, 0, 0, 0, 0}}}));
    EXPECT_EQ(std::pair(h.cumulativeFrequency[0], h.jmIndex), std::pair(std::vector<uint32_t>{1, 3, 4, 5, 8}, 1.0 / 3));

    // Sample i is 1 when i is a multiple of period, else 0, in bins 0 and 1; every step-th sample counts
    // step times, step 1 up to 500000 samples.
    for (const auto& [width, height, period, zeros, ones] :
         {std::tuple(1000, 500, 2, 250000.0, 250000.0), {1000, 1000, 2, 0, 1000000}, {1500, 1000, 3, 0, 1500000}}) {
        std::vector<uint8_t> buffer(std::size_t(width) * height);
        for (std::size_t i = 0; i < buffer.size(); i += period)
            buffer[i] = 1;
        EXPECT_EQ(histogramOf(TBYTE, buffer.data(), width, height, {{0, 1}}).frequency[0],
                  (std::vector<double>{zeros, ones}));
    }

    // Range 0 ... 0.5: 256 bins of 1/512; positions 2.5 and 3.5 round to even. NaN counts nowhere, samples
    // outside the range in the first or last bin.
    const auto buffer = bytesOf<float>({0, 2.5 / 512, 3.5 / 512, NAN, 0.5, 0.75, -0.1, HUGE_VALF});
    const FITSHistogram s = histogramOf(TFLOAT, buffer.data(), 4, 2, {{0, 0.5}});
    const std::vector<double>& f = s.frequency[0];
    EXPECT_EQ(std::tuple(f[0], f[2], f[4], f[256], s.cumulativeFrequency[0][256]), std::tuple(2.0, 1.0, 1.0, 3.0, 7u));
    EXPECT_EQ(histogramOf(TSTRING, buffer.data(), 4, 2, {{0, 0.5}}).binCount, 0);
    EXPECT_EQ(histogramOf(TFLOAT, buffer.data(), 4, 2, {}).binCount, 0);
    EXPECT_EQ(histogramOf(TFLOAT, nullptr, 4, 2, {{0, 0.5}}).binCount, 0);
}

TEST(StretchParams, MedianAndMadOfEachChannelSetTheClipAndMidtonesAndNaNIsLeftOut)
{
    // Median 20 and MAD 2 (deviations 2, 2, 3, 0, 1), median 200 and MAD 2, and a constant 200.
    const auto buffer = bytesOf<uint8_t>({22, 18, 23, 20, 19,  202, 198, 203, 200, 199,  200, 200, 200, 200, 200});
    const StretchParams p = Stretch(5, 1, 3, TBYTE).computeParams(buffer.data());
    // Either side clips x = 2.8 MADN = 2.8 x 1.4826 x 2 / 256 from the median m. Dark: MTF(0.25, x) =
    // 3x / (2x + 1). Bright: MTF(x, 0.25) = (1 - x) / (1 + 2x). No spread: no clipping, and MTF(1 - m, 0.25)
    // with 1 - m = 0.21875.
    const double x = 2.8 * 1.4826 * 2 / 256, y = x / 256;
    EXPECT_NEAR(p.grey_red.shadows, 20.0 / 256 - x, 1e-7);
    EXPECT_NEAR(p.grey_red.midtones, 3 * x / (2 * x + 1), 1e-7);
    EXPECT_NEAR(p.green.highlights, 200.0 / 256 + x, 1e-7);
    EXPECT_NEAR(p.green.midtones, (1 - x) / (1 + 2 * x), 1e-7);
    EXPECT_NEAR(p.blue.midtones, 0.78125 / 1.4375, 1e-7);
    EXPECT_EQ(std::tuple(p.grey_red.highlights, p.green.shadows, p.blue.shadows, p.blue.highlights),
              std::tuple(1.0f, 0.0f, 0.0f, 1.0f));

    // The dark samples again among NaN, now of a 16-bit range (the probe reads 18), so y = x / 256; a channel
    // of NaN alone and the unused ones keep the defaults.
    const StretchParams f = Stretch(6, 1, 1, TFLOAT).computeParams(bytesOf<float>({18, NAN, 19, 20, 22, 23}).data());
    EXPECT_NEAR(f.grey_red.shadows, 20.0 / 65536 - y, 1e-9);
    EXPECT_NEAR(f.grey_red.midtones, 3 * y / (2 * y + 1), 1e-9);
    const StretchParams blank = Stretch(2, 1, 1, TFLOAT).computeParams(bytesOf<float>({NAN, NAN}).data());
    EXPECT_EQ(std::tuple(blank.grey_red.shadows, blank.grey_red.highlights, blank.grey_red.midtones, f.green.midtones),
              std::tuple(0.0f, 1.0f, 0.5f, 0.5f));
}

TEST(StretchRun, CurveOfEachInputRangeOpaqueRgbAndSamplingTwoOfA101By101Frame)
{
    // Shadows 0.25 and highlights 0.75 with a linear midtone: 2 x (sample - S) x 255 / maxInput.
    const StretchParams clip{{0.25f, 0.75f, 0.5f}, {}, {}};
    struct Case { int type, channels; StretchParams params; std::vector<uint8_t> in; std::vector<uint32_t> out; };
    const Case cases[] = {
        // 8-bit: S = 63, H = 191.
        {TBYTE, 1, clip, bytesOf<uint8_t>({62, 63, 64, 127, 190, 191, 255}), {0, 0, 2, 128, 254, 255, 255}},
        // Other integers: S = 16383, H = 49151.
        {TUSHORT, 1, clip, bytesOf<uint16_t>({16382, 16383, 32767, 49150, 49151, 65535}), {0, 0, 127, 254, 255, 255}},
        {TLONG, 1, clip, bytesOf<int32_t>({-1, 16382, 32767, 49150, 49151, 70000}), {0, 0, 127, 254, 255, 255}},
        // Floating data: 16383.75 and 49151.25 untruncated, or 0.25 and 0.75 when the probe (sample 0) peaks at
        // no more than 1.01. NaN renders black.
        {TFLOAT, 1, clip, bytesOf<float>({5000, 16383.75, 32767.75, 49151, 49151.25, NAN}), {0, 0, 127, 254, 255, 0}},
        {TFLOAT, 1, clip, bytesOf<float>({0.2, 0.25, 0.5, 0.74, 0.75, NAN}), {0, 0, 127, 249, 255, 0}},
        {TDOUBLE, 1, clip, bytesOf<double>({1.01, 0.5}), {255, 127}},
        {TDOUBLE, 1, clip, bytesOf<double>({1.02, 0.5}), {0, 0}},
        // 255 MTF(0.25, 51/255) = 255 x 0.6 / 1.4 = 109.3.
        {TBYTE, 1, {{0.0f, 1.0f, 0.25f}, {}, {}}, bytesOf<uint8_t>({0, 51, 255}), {0, 109, 255}},
        {TBYTE, 1, {{0.5f, 0.5f, 0.5f}, {}, {}}, bytesOf<uint8_t>({126, 127}), {0, 255}},
        // Planes R, G, B; only green clips, so 20 -> 0 and 100 -> 74 (0x4a).
        {TBYTE, 3, {{}, clip.grey_red, {}}, bytesOf<uint8_t>({10, 200,  20, 100,  30, 0}), {0xff0a001e, 0xffc84a00}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(render(c.type, c.in, int(c.out.size()), 1, c.channels, c.params), c.out) << "case " << &c - cases;

    // Even coordinates (x, y) hold (x + y) / 2, odd ones 255; the default curve keeps 8-bit values, so output
    // (x, y) is x + y.
    std::vector<uint8_t> frame;
    for (int i = 0; i < 101 * 101; ++i)
        frame.push_back(i % 101 % 2 || i / 101 % 2 ? 255 : (i % 101 + i / 101) / 2);
    const std::vector<uint32_t> sampled = render(TBYTE, frame, 101, 101, 1, {}, 2);
    ASSERT_EQ(sampled.size(), 51u * 51u);
    for (uint32_t i = 0; i < sampled.size(); ++i)
        ASSERT_EQ(sampled[i], i % 51 + i / 51) << i;
}

TEST(StretchedImage, RendersTheAutomaticStretchAndUnfitOutputOrInputIsRefused)
{
    // The dark channel above, three rows: shadows 0.0456931 -> S = 11, midtones 0.0913691, so sample v
    // renders as 255 MTF(0.0913691, (v - 11) / (255 x 0.9543069)); row 1 samples 22, 23 and 19.
    const auto buffer = bytesOf<uint8_t>({22, 18, 23, 20, 19,  22, 18, 23, 20, 19,  22, 18, 23, 20, 19});
    const QImage shown = stretchedImage(buffer.data(), 5, 3, 1, TBYTE, 2);
    ASSERT_EQ(std::tuple(shown.format(), shown.width(), shown.height()), std::tuple(QImage::Format_Indexed8, 3, 2));
    EXPECT_EQ(std::tuple(shown.color(37), shown.pixelIndex(0, 1), shown.pixelIndex(1, 1), shown.pixelIndex(2, 1)),
              std::tuple(qRgb(37, 37, 37), 81, 86, 64));
    EXPECT_EQ(stretchedImage(buffer.data(), 5, 1, 3, TBYTE).format(), QImage::Format_RGB32);
    EXPECT_TRUE(stretchedImage(buffer.data(), 5, 1, 2, TBYTE).isNull());
    EXPECT_TRUE(stretchedImage(buffer.data(), 15, 1, 1, TSTRING).isNull());

    // Run leaves output of the wrong size or format, or for a channel count it does not render, untouched.
    for (const auto& [channels, width, height, rgb, sampling] : {std::tuple(1, 2, 3, false, 1), {1, 3, 2, false, 1},
         {1, 3, 3, true, 1}, {3, 3, 3, false, 1}, {1, 3, 3, false, 0}, {2, 3, 3, false, 1}}) {
        QImage image(width, height, rgb ? QImage::Format_RGB32 : QImage::Format_Indexed8);
        image.fill(7);
        const QImage before = image.copy();
        Stretch(3, 3, channels, TBYTE).run(buffer.data(), &image, sampling);
        EXPECT_EQ(image, before) << channels << " channels, " << width << "x" << height << ", sampling " << sampling;
    }
}
