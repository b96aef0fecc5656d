#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <QVariant>
#include <fitsio.h>

#include "fits/FITSData.h"

namespace {

// An object holding the planar samples of type T, statistics computed. The
// statistics read only the sample count, so a width past 16 bits still works.
template <typename T>
QSharedPointer<FITSData> imageOf(uint32_t dataType, int width, int height, int channels, const std::vector<T>& samples)
{
    // Statistics, SNR, data type, bytes per pixel, axes, size, samples per channel, width, height, channels.
    const FITSImage::Statistic record{{}, {}, {}, {}, {}, 0.0, dataType, int(sizeof(T)), 2, 0,
                                      uint32_t(width * height), uint16_t(width), uint16_t(height), uint8_t(channels)};
    auto data = QSharedPointer<FITSData>::create();
    data->setImageBuffer(new uint8_t[samples.size() * sizeof(T)]);
    std::memcpy(data->getImageBuffer(), samples.data(), samples.size() * sizeof(T));
    data->restoreStatistics(record);
    data->calculateStats();
    return data;
}

// 2, 4, 4, 4, 5, 5, 7, 9 as samples of type T.
template <typename T>
QSharedPointer<FITSData> eightSamples(uint32_t type) { return imageOf<T>(type, 4, 2, 1, {5, 2, 9, 4, 4, 7, 4, 5}); }

// Row-major 0, 1, 2, ... as an 8-bit grey matrix.
cv::Mat rampMat(int width, int height)
{
    cv::Mat ramp(height, width, CV_8UC1);
    for (int i = 0; i < width * height; ++i)
        ramp.at<uint8_t>(i / width, i % width) = uint8_t(i);
    return ramp;
}

// Minimum, maximum, mean, deviation and median of channel c.
void expectChannel(const FITSImage::Statistic& s, int c, double min, double max, double mean, double sd, double median)
{
    EXPECT_EQ(s.min[c], min) << "channel " << c;
    EXPECT_EQ(s.max[c], max) << "channel " << c;
    EXPECT_NEAR(s.mean[c], mean, 1e-9) << "channel " << c;
    EXPECT_NEAR(s.stddev[c], sd, 1e-9) << "channel " << c;
    EXPECT_EQ(s.median[c], median) << "channel " << c;
}

}  // namespace

TEST(FITSDataLoad, MatsBecomeOneChannelByteRecordsOfTheirGreyAndOthersAreRefusedWithoutChange)
{
    FITSData data;
    ASSERT_TRUE(data.loadFromMat(rampMat(4, 4), "/somewhere/Reference.FITS"));
    EXPECT_EQ(data.property("extension").toString(), "fits");
    EXPECT_EQ(data.property("size").toLongLong(), 16);
    EXPECT_EQ(data.property("height").toUInt(), 4u);
    EXPECT_EQ(data.property("bpp").toUInt(), 1u);

    // B, G, R: grey = 0.114 B + 0.587 G + 0.299 R, rounded: 29.07, 149.685, 76.245, 21.85.
    const cv::Mat colour = (cv::Mat_<cv::Vec3b>(1, 4) << cv::Vec3b(255, 0, 0), cv::Vec3b(0, 255, 0),
                            cv::Vec3b(0, 0, 255), cv::Vec3b(10, 20, 30));
    const cv::Mat wide = (cv::Mat_<uint16_t>(1, 6) << 0, 200, 255, 256, 1000, 65535);  // saturated, not scaled
    using Bytes = std::vector<uint8_t>;
    const cv::Mat view(rampMat(5, 4), cv::Rect(1, 1, 3, 2));
    for (const auto& [image, bytes] : {std::pair(colour, Bytes{29, 150, 76, 22}),
                                       std::pair(wide, Bytes{0, 200, 255, 255, 255, 255}),
                                       std::pair(view, Bytes{6, 7, 8, 11, 12, 13})}) {
        ASSERT_TRUE(data.loadFromMat(image, "kept.png"));
        EXPECT_EQ(data.getStatistics().channels, 1);
        // A non-continuous view is copied row by row.
        EXPECT_EQ(Bytes(data.getImageBuffer(), data.getImageBuffer() + data.getStatistics().size), bytes);
    }

    const uint8_t* kept = data.getImageBuffer();
    for (const cv::Mat& refused : {cv::Mat(1, 65536, CV_8UC1), cv::Mat(65536, 1, CV_8UC1), cv::Mat(),
                                   cv::Mat(2, 2, CV_8UC2), cv::Mat(2, 2, CV_64FC3)})
        EXPECT_FALSE(data.loadFromMat(refused, "refused.fits")) << refused.size << " of type " << refused.type();
    EXPECT_EQ(data.filename(), "kept.png");
    EXPECT_EQ(data.getImageBuffer(), kept);
    // The widest row the record holds is still taken.
    EXPECT_TRUE(data.loadFromMat(cv::Mat(1, 65535, CV_8UC1, cv::Scalar(7)), "widest.fits"));
    EXPECT_EQ(data.getStatistics().samples_per_channel, 65535u);
}

TEST(FITSDataObject, CopySaveAndRestoreCarryModeRecordAndOwnPixels)
{
    auto original = QSharedPointer<FITSData>::create();
    EXPECT_TRUE(original->setProperty("mode", QVariant::fromValue(FITSMode::Focus)));
    ASSERT_TRUE(original->loadFromMat(rampMat(3, 2), "frame.png"));
    FITSData copy(original);
    EXPECT_TRUE(copy.mode() == FITSMode::Focus && copy.getImageBuffer() != original->getImageBuffer() &&
                std::memcmp(copy.getImageBuffer(), original->getImageBuffer(), 6) == 0);

    int changes = 0;
    QObject::connect(&copy, &FITSData::dataChanged, [&changes] { ++changes; });
    FITSImage::Statistic record = original->getStatistics();
    record.SNR = 3.5;
    copy.restoreStatistics(record);
    copy.saveStatistics(record);
    EXPECT_TRUE(changes == 1 && record.SNR == 3.5 && record.samples_per_channel == 6u && record.mean[0] == 2.5);
}

TEST(FITSDataStatistics, EveryDataTypeAndChannelUsesEverySampleOfItsOwnPlane)
{
    // Mean 5, population deviation 2, median (4 + 5) / 2, SNR 5 / 2. Eight samples lie wholly in the last of
    // the sixteen runs: the empty runs must not pull the minimum or the maximum.
    for (const auto& data : {eightSamples<uint8_t>(TBYTE), eightSamples<int16_t>(TSHORT),
                             eightSamples<uint16_t>(TUSHORT), eightSamples<int32_t>(TLONG),
                             eightSamples<uint32_t>(TULONG), eightSamples<float>(TFLOAT),
                             eightSamples<int64_t>(TLONGLONG), eightSamples<double>(TDOUBLE)}) {
        expectChannel(data->getStatistics(), 0, 2, 9, 5, 2, 4.5);
        EXPECT_DOUBLE_EQ(data->getStatistics().SNR, 2.5);
    }

    // Three 2x2 planes; channel 0 deviates by +-1.5 and +-0.5.
    const auto planes = imageOf<uint16_t>(TUSHORT, 2, 2, 3, {1, 2, 3, 4, 100, 50, 70, 60, 1000, 0, 500, 20});
    expectChannel(planes->getStatistics(), 0, 1, 4, 2.5, std::sqrt(1.25), 2.5);
    expectChannel(planes->getStatistics(), 1, 50, 100, 70, std::sqrt(350.0), 65);
    expectChannel(planes->getStatistics(), 2, 0, 1000, 380, std::sqrt(168200.0), 260);
    // 35 samples: fifteen runs of 2, the last of 5; the extremes sit in the first and last.
    std::vector<int32_t> extremes(35, 0);
    extremes[0] = -1000;
    extremes[34] = 1000;
    expectChannel(imageOf(TLONG, 7, 5, 1, extremes)->getStatistics(), 0, -1000, 1000, 0, std::sqrt(2000000.0 / 35), 0);
    // All negative: the maximum is the least negative, not 0.
    expectChannel(imageOf<int16_t>(TSHORT, 2, 2, 1, {-5, -300, -2, -32768})->getStatistics(), 0, -32768, -2,
                  -33075 / 4.0, std::sqrt(200085736.6875), -152.5);
    // Nine equal doubles: the mean square falls just below the squared mean, yet the deviation is 0, not NaN.
    const double value = 255.0690257394217;
    expectChannel(imageOf(TDOUBLE, 3, 3, 1, std::vector<double>(9, value))->getStatistics(), 0, value, value, value,
                  0, 255);
}

TEST(FITSDataStatistics, MedianTakesEveryStepthSampleAboveHalfAMillionAsATruncatedInteger)
{
    EXPECT_EQ(imageOf<float>(TFLOAT, 2, 1, 1, {1.9f, 2.9f})->getStatistics().median[0], 1.5);
    // Toward zero, not down: -1.5 and -2.5 become -1 and -2.
    EXPECT_EQ(imageOf<double>(TDOUBLE, 2, 1, 1, {-1.5, -2.5})->getStatistics().median[0], -1.5);
    // 2^32 + 5 and 2^32 + 7 keep their low 32 bits, 5 and 7.
    const int64_t high = int64_t(1) << 32;
    EXPECT_EQ(imageOf<int64_t>(TLONGLONG, 2, 1, 1, {high + 5, high + 7})->getStatistics().median[0], 6.0);

    // Alternately 10 and 200: every sample gives 105, every second one 10.
    std::vector<uint8_t> samples(1000000, 200);
    for (std::size_t i = 0; i < samples.size(); i += 2)
        samples[i] = 10;
    // N = 1 000 000: step floor(2 + 0.999) = 2. N = 490 000: every sample.
    EXPECT_EQ(imageOf(TBYTE, 1000, 1000, 1, samples)->getStatistics().median[0], 10.0);
    EXPECT_EQ(imageOf(TBYTE, 700, 700, 1, samples)->getStatistics().median[0], 105.0);
    // N = 500 001: step floor(1.000002 + 0.999) = 1. With the first sample raised to 255, every sample
    // gives 200; every second one would give 10.
    samples[0] = 255;
    EXPECT_EQ(imageOf(TBYTE, 500001, 1, 1, samples)->getStatistics().median[0], 200.0);
}

TEST(FITSDataRoi, CopiesTheOneBasedInclusiveRectangleOfEveryChannelAndRefusesOthers)
{
    auto data = QSharedPointer<FITSData>::create();
    data->makeRoiBuffer(QRect(1, 1, 2, 2));  // nothing loaded: ignored
    EXPECT_EQ(data->getAverageMean(true), 0.0);
    ASSERT_TRUE(data->loadFromMat(rampMat(4, 4), "frame.fits"));
    // Left 1, top 1, two wide, three high: {0, 1, 4, 5, 8, 9}; deviations +-4.5, +-3.5, +-0.5.
    data->makeRoiBuffer(QRect(1, 1, 2, 3));
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 4.5);
    EXPECT_DOUBLE_EQ(data->getAverageStdDev(true), std::sqrt(65.5 / 6.0));
    // The bottom-right corner, {10, 11, 14, 15} with mean 12.5; the rectangles below keep it.
    data->makeRoiBuffer(QRect(3, 3, 2, 2));
    for (const QRect& refused : {QRect(2, 2, 1, 1), QRect(2, 2, 0, 3), QRect(QPoint(3, 3), QPoint(1, 1)),
                                 QRect(0, 1, 2, 2), QRect(1, 0, 2, 2), QRect(4, 1, 2, 2), QRect(1, 4, 2, 2)})
        data->makeRoiBuffer(refused);
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 12.5);
    // The whole image's record is untouched.
    EXPECT_DOUBLE_EQ(data->getAverageMean(), 7.5);
    EXPECT_EQ(data->getAverageMedian(), 7.5);

    // Three 3x2 planes; columns 2-3 of row 2 hold {5, 6}, {50, 60} and {-5, -6}.
    const auto planes =
        imageOf<double>(TDOUBLE, 3, 2, 3, {1, 2, 3, 4, 5, 6, 10, 20, 30, 40, 50, 60, -1, -2, -3, -4, -5, -6});
    planes->makeRoiBuffer(QRect(2, 2, 2, 1));
    EXPECT_DOUBLE_EQ(planes->getAverageMean(true), 55.0 / 3.0);
    EXPECT_DOUBLE_EQ(planes->getAverageMedian(true), 55.0 / 3.0);
    EXPECT_DOUBLE_EQ(planes->getAverageStdDev(true), (0.5 + 5.0 + 0.5) / 3.0);
}
