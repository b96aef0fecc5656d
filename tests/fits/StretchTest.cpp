#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include <fitsio.h>

#include "fits/FITSHistogram.h"
#include "fits/Stretch.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const int kAllTypes[] = {TBYTE, TSHORT, TUSHORT, TLONG, TULONG, TFLOAT, TLONGLONG, TDOUBLE};

template <typename T>
std::vector<uint8_t> bytesOf(const std::vector<double>& values)
{
    const std::vector<T> samples(values.begin(), values.end());
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    return {bytes, bytes + samples.size() * sizeof(T)};
}

// The values as raw samples of the CFITSIO type.
std::vector<uint8_t> bufferOf(int dataType, const std::vector<double>& values)
{
    switch (dataType) {
    case TBYTE: return bytesOf<uint8_t>(values);
    case TSHORT: return bytesOf<int16_t>(values);
    case TUSHORT: return bytesOf<uint16_t>(values);
    case TLONG: return bytesOf<int32_t>(values);
    case TULONG: return bytesOf<uint32_t>(values);
    case TFLOAT: return bytesOf<float>(values);
    case TLONGLONG: return bytesOf<int64_t>(values);
    default: return bytesOf<double>(values);
    }
}

// The record of a width x height image whose channel c spans ranges[c].
FITSImage::Statistic recordOf(int dataType, int width, int height, const std::vector<std::pair<double, double>>& ranges)
{
    FITSImage::Statistic record;
    record.dataType = uint32_t(dataType);
    record.width = uint16_t(width);
    record.height = uint16_t(height);
    record.channels = uint8_t(ranges.size());
    for (std::size_t c = 0; c < ranges.size(); ++c)
        std::tie(record.min[c], record.max[c]) = ranges[c];
    return record;
}

// A one-channel image rendered with the parameters, its bytes row by row.
std::vector<uint8_t> renderGrey(int dataType, const std::vector<double>& values, int width,
                                const StretchParams1Channel& params, int sampling = 1)
{
    const int height = int(values.size()) / width;
    QImage image((width + sampling - 1) / sampling, (height + sampling - 1) / sampling, QImage::Format_Indexed8);
    Stretch stretch(width, height, 1, dataType);
    stretch.setParams({params, {}, {}});
    stretch.run(bufferOf(dataType, values).data(), &image, sampling);
    std::vector<uint8_t> bytes;
    for (int y = 0; y < image.height(); ++y)
        bytes.insert(bytes.end(), image.constScanLine(y), image.constScanLine(y) + image.width());
    return bytes;
}

} // namespace

TEST(FITSHistogram, BinCountComesFromChannelZerosRangeAndBinsHaveAMinimumWidth)
{
    struct Case { double min, max; int bins; double width; };
    for (const Case& c : {Case{10, 200, 190, 1.0}, Case{0, 255, 255, 1.0}, Case{7, 7, 256, 1.0},
                          Case{0, 1000, 256, 3.90625}, Case{0, 0.5, 256, 0.5 / 256},
                          Case{0, 0.01, 256, 0.0001}, Case{0, 1, 1, 1.0}}) {
        const auto buffer = bufferOf(TDOUBLE, {c.min});
        const FITSHistogram h = constructHistogram(buffer.data(), recordOf(TDOUBLE, 1, 1, {{c.min, c.max}}));
        EXPECT_EQ(h.binCount, c.bins) << c.min << " ... " << c.max;
        EXPECT_DOUBLE_EQ(h.binWidth[0], c.width) << c.min << " ... " << c.max;
    }
}

TEST(FITSHistogram, CountsAndRunningTotalsOfEachChannelForEverySampleType)
{
    // Channel 0 spans 2 ... 6: four bins of width 1 for every channel. Channel 1 spans 0 ... 100 in bins of 25,
    // its samples at 0, 0.48, 0.52, 1.48, 2, 2.52, 3.52 and 4 bin widths; channel 2 is constant.
    const std::vector<double> samples = {2, 3, 3, 4, 6, 6, 6, 5,  0, 12, 13, 37, 50, 63, 88, 100,
                                         200, 200, 200, 200, 200, 200, 200, 200};
    for (const int type : kAllTypes) {
        const auto buffer = bufferOf(type, samples);
        const FITSHistogram h = constructHistogram(buffer.data(), recordOf(type, 4, 2, {{2, 6}, {0, 100}, {200, 200}}));
        ASSERT_EQ(h.binCount, 4) << type;
        EXPECT_EQ(h.binWidth, (std::array<double, 3>{1, 25, 1})) << type;
        EXPECT_EQ(h.intensity[1], (std::vector<double>{0, 25, 50, 75, 0})) << type;
        EXPECT_EQ(h.frequency[0], (std::vector<double>{1, 2, 1, 1, 3})) << type;
        EXPECT_EQ(h.frequency[1], (std::vector<double>{2, 2, 1, 1, 2})) << type;
        EXPECT_EQ(h.frequency[2], (std::vector<double>{8, 0, 0, 0, 0})) << type;
        EXPECT_EQ(h.cumulativeFrequency[0], (std::vector<uint32_t>{1, 3, 4, 5, 8})) << type;
        EXPECT_DOUBLE_EQ(h.jmIndex, 1.0 / 3.0) << type;  // bin 0 over bins 0 ... 1
    }
}

TEST(FITSHistogram, AboveHalfAMillionSamplesEveryStepthSampleCountsStepTimes)
{
    // Sample i is 1 when i is a multiple of period, else 0; range 0 ... 1 gives bins 0 and 1.
    struct Case { int width, height, period; double zeros, ones; };
    for (const Case& c : {Case{1000, 500, 2, 250000, 250000}, Case{1000, 1000, 2, 0, 1000000},
                          Case{1500, 1000, 3, 0, 1500000}}) {
        std::vector<uint8_t> buffer(std::size_t(c.width) * c.height);
        for (std::size_t i = 0; i < buffer.size(); ++i)
            buffer[i] = i % c.period == 0 ? 1 : 0;
        const FITSHistogram h = constructHistogram(buffer.data(), recordOf(TBYTE, c.width, c.height, {{0, 1}}));
        EXPECT_EQ(h.frequency[0], (std::vector<double>{c.zeros, c.ones})) << c.width << "x" << c.height;
    }
}

TEST(FITSHistogram, NaNCountsNowhereStaleStatisticsStayInsideAndUnusableInputGivesTheEmptyHistogram)
{
    // Range 0 ... 0.5: 256 bins of 1/512. Positions 2.5 and 3.5 round to even.
    const double bin = 1.0 / 512;
    const auto buffer = bufferOf(TFLOAT, {0, 2.5 * bin, 3.5 * bin, kNaN, 0.5, 0.75, -0.1, HUGE_VAL});
    const FITSHistogram h = constructHistogram(buffer.data(), recordOf(TFLOAT, 4, 2, {{0, 0.5}}));
    for (const auto& [index, count] : {std::pair(0, 2.0), std::pair(2, 1.0), std::pair(4, 1.0), std::pair(256, 3.0)})
        EXPECT_EQ(h.frequency[0][index], count) << index;
    EXPECT_EQ(h.cumulativeFrequency[0].back(), 7u);  // and nowhere else

    EXPECT_EQ(constructHistogram(buffer.data(), recordOf(TSTRING, 4, 2, {{0, 0.5}})).binCount, 0);
    EXPECT_EQ(constructHistogram(buffer.data(), recordOf(TFLOAT, 4, 2, {})).binCount, 0);
    EXPECT_EQ(constructHistogram(nullptr, recordOf(TFLOAT, 4, 2, {{0, 0.5}})).binCount, 0);
}

TEST(StretchParams, MedianAndMadOfEachChannelSetTheClipAndMidtonesAndNaNIsLeftOut)
{
    // Median 20 and MAD 2 (deviations 2, 2, 3, 0, 1), median 200 and MAD 2, and a constant 200.
    const auto buffer = bufferOf(TBYTE, {22, 18, 23, 20, 19,  202, 198, 203, 200, 199,  200, 200, 200, 200, 200});
    const StretchParams p = Stretch(5, 1, 3, TBYTE).computeParams(buffer.data());
    const double madn = 1.4826 * 2 / 256;
    // Dark: shadows 2.8 MADN below the median; MTF(0.25, x) = 3x / (2x + 1) with x = m - shadows.
    const double dark = 20.0 / 256, shadows = dark - 2.8 * madn, x = dark - shadows;
    EXPECT_NEAR(p.grey_red.shadows, shadows, 1e-7);
    EXPECT_EQ(p.grey_red.highlights, 1.0f);
    EXPECT_NEAR(p.grey_red.midtones, 3 * x / (2 * x + 1), 1e-7);
    // Bright: highlights 2.8 MADN above; MTF(a, 0.25) = (1 - a) / (1 + 2a) with a = highlights - m.
    const double bright = 200.0 / 256, highlights = bright + 2.8 * madn, a = highlights - bright;
    EXPECT_EQ(p.green.shadows, 0.0f);
    EXPECT_NEAR(p.green.highlights, highlights, 1e-7);
    EXPECT_NEAR(p.green.midtones, (1 - a) / (1 + 2 * a), 1e-7);
    // No spread: no clipping; a = 1 - 200/256 = 0.21875.
    EXPECT_EQ(p.blue.highlights, 1.0f);
    EXPECT_NEAR(p.blue.midtones, 0.78125 / 1.4375, 1e-7);

    // The dark samples again among NaN, now of a 16-bit range (the probe reads 18).
    const auto floating = bufferOf(TFLOAT, {18, kNaN, 19, kNaN, 20, 22, kNaN, 23});
    const StretchParams f = Stretch(8, 1, 1, TFLOAT).computeParams(floating.data());
    const double y = 2.8 * 1.4826 * 2 / 65536;
    EXPECT_NEAR(f.grey_red.shadows, 20.0 / 65536 - y, 1e-9);
    EXPECT_NEAR(f.grey_red.midtones, 3 * y / (2 * y + 1), 1e-9);
    EXPECT_EQ(f.green.midtones, 0.5f);

    const StretchParams blank = Stretch(2, 1, 1, TFLOAT).computeParams(bufferOf(TFLOAT, {kNaN, kNaN}).data());
    EXPECT_EQ(std::tie(blank.grey_red.shadows, blank.grey_red.highlights, blank.grey_red.midtones),
              std::tuple(0.0f, 1.0f, 0.5f));
}

TEST(StretchRun, CurveForEveryDataTypeAndInputRange)
{
    // Shadows 0.25 and highlights 0.75 with a linear midtone: 2 x (sample - S) x 255 / maxInput.
    // 8-bit: S = 63, H = 191. Other integers: S = 16383, H = 49151. Floating data: 16383.75 and 49151.25
    // untruncated, or 0.25 and 0.75 when the probe peaks at no more than 1.01.
    const StretchParams1Channel clip{0.25f, 0.75f, 0.5f};
    struct Case {
        const char* name; int type; StretchParams1Channel curve; std::vector<double> in; std::vector<uint8_t> out;
    };
    const Case cases[] = {
        {"8-bit", TBYTE, clip, {62, 63, 64, 127, 190, 191, 255}, {0, 0, 2, 128, 254, 255, 255}},
        {"16-bit", TUSHORT, clip, {16382, 16383, 32767, 49150, 49151}, {0, 0, 127, 254, 255}},
        {"signed 16-bit", TSHORT, clip, {-5, 16383, 32767}, {0, 0, 127}},
        {"32-bit", TLONG, clip, {-100000, 32767, 100000}, {0, 127, 255}},
        {"unsigned 32-bit", TULONG, clip, {0, 32767, 4e9}, {0, 127, 255}},
        {"64-bit", TLONGLONG, clip, {-1, 32767, 1e12}, {0, 127, 255}},
        {"float to 5000", TFLOAT, clip, {5000, 16383.75, 32767.75, 49151, 49151.25, kNaN}, {0, 0, 127, 254, 255, 0}},
        {"normalised float", TFLOAT, clip, {0.2, 0.25, 0.5, 0.74, 0.75, kNaN}, {0, 0, 127, 249, 255, 0}},
        {"double peaking 1.01", TDOUBLE, clip, {1.01, 0.5}, {255, 127}},
        {"double peaking 1.02", TDOUBLE, clip, {1.02, 0.5}, {0, 0}},
        // 255 MTF(0.25, 51/255) = 255 x 0.6 / 1.4 = 109.3.
        {"midtones 0.25", TBYTE, {0.0f, 1.0f, 0.25f}, {0, 51, 255}, {0, 109, 255}},
        {"shadows at highlights", TBYTE, {0.5f, 0.5f, 0.5f}, {126, 127}, {0, 255}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(renderGrey(c.type, c.in, int(c.in.size()), c.curve), c.out) << c.name;
}

TEST(StretchRun, SamplingTwoReadsOnlyEvenCoordinatesOfA101By101Frame)
{
    // Even coordinates (2x, 2y) hold (x + y) % 250, odd ones 255; the default curve keeps 8-bit values.
    std::vector<double> samples;
    for (int y = 0; y < 101; ++y)
        for (int x = 0; x < 101; ++x)
            samples.push_back(x % 2 || y % 2 ? 255 : (x / 2 + y / 2) % 250);
    const std::vector<uint8_t> bytes = renderGrey(TBYTE, samples, 101, {}, 2);
    ASSERT_EQ(bytes.size(), 51u * 51u);
    for (int y = 0; y < 51; ++y)
        for (int x = 0; x < 51; ++x)
            ASSERT_EQ(bytes[std::size_t(y) * 51 + x], (x + y) % 250) << x << ", " << y;
}

TEST(StretchRun, ThreeChannelsPackOpaqueRgbEachThroughItsOwnCurve)
{
    // Planes R, G, B; green clips at 63 and 191, so 20 -> 0 and 100 -> 74 (0x4a).
    const auto buffer = bufferOf(TBYTE, {10, 200,  20, 100,  30, 0});
    QImage image(2, 1, QImage::Format_RGB32);
    Stretch stretch(2, 1, 3, TBYTE);
    stretch.setParams({{}, {0.25f, 0.75f, 0.5f}, {}});
    stretch.run(buffer.data(), &image, 1);
    const auto* pixels = reinterpret_cast<const QRgb*>(image.constScanLine(0));
    EXPECT_EQ(pixels[0], 0xff0a001eu);
    EXPECT_EQ(pixels[1], 0xffc84a00u);
}

TEST(StretchRun, LeavesOutputOfTheWrongSizeOrFormatAndUnrenderedChannelCountsUntouched)
{
    const auto buffer = bufferOf(TBYTE, std::vector<double>(18, 100));
    struct Case { int channels; QImage image; int sampling; };
    const auto grey = [](int width, int height) { return QImage(width, height, QImage::Format_Indexed8); };
    for (Case c : {Case{1, grey(2, 3), 1}, Case{1, grey(3, 2), 1}, Case{1, QImage(3, 3, QImage::Format_RGB32), 1},
                   Case{3, grey(3, 3), 1}, Case{1, grey(3, 3), 0}, Case{2, grey(3, 3), 1}}) {
        c.image.fill(7);
        const QImage before = c.image.copy();
        Stretch(3, 3, c.channels, TBYTE).run(buffer.data(), &c.image, c.sampling);
        EXPECT_EQ(c.image, before) << c.channels << " channels, " << c.image.width() << "x" << c.image.height();
    }
}

TEST(StretchedImage, PreparesTheSampledImageAndRendersTheAutomaticStretch)
{
    // The dark channel above, three rows: shadows 0.0456931 -> S = 11, midtones 0.0913691, so sample v
    // renders as 255 MTF(0.0913691, (v - 11) / (255 x 0.9543069)).
    const auto buffer = bufferOf(TBYTE, {22, 18, 23, 20, 19,  22, 18, 23, 20, 19,  22, 18, 23, 20, 19});
    const QImage grey = stretchedImage(buffer.data(), 5, 3, 1, TBYTE, 2);
    ASSERT_EQ(grey.format(), QImage::Format_Indexed8);
    ASSERT_EQ(grey.size(), QSize(3, 2));
    EXPECT_EQ(grey.color(37), qRgb(37, 37, 37));
    const std::vector<uint8_t> row(grey.constScanLine(1), grey.constScanLine(1) + 3);
    EXPECT_EQ(row, (std::vector<uint8_t>{81, 86, 64}));  // samples 22, 23, 19

    EXPECT_EQ(stretchedImage(buffer.data(), 5, 1, 3, TBYTE).format(), QImage::Format_RGB32);
    EXPECT_TRUE(stretchedImage(buffer.data(), 5, 1, 2, TBYTE).isNull());
    EXPECT_TRUE(stretchedImage(buffer.data(), 15, 1, 1, TSTRING).isNull());
}
