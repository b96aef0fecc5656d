#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <QMetaType>
#include <QRect>
#include <QSharedPointer>
#include <QVariant>

#include <fitsio.h>
#include <opencv2/core.hpp>

#include "fits/FITSData.h"

namespace {

// A record describing width x height samples per channel of type T.
template <typename T>
FITSImage::Statistic recordOf(uint32_t dataType, int width, int height, int channels)
{
    FITSImage::Statistic record;
    record.dataType = dataType;
    record.bytesPerPixel = sizeof(T);
    record.width = static_cast<uint16_t>(width);
    record.height = static_cast<uint16_t>(height);
    record.channels = static_cast<uint8_t>(channels);
    record.samples_per_channel = static_cast<uint32_t>(width * height);
    record.size = int64_t(width) * height * channels * int64_t(sizeof(T));
    return record;
}

// An object holding the given planar samples, with statistics computed.
template <typename T>
QSharedPointer<FITSData> imageOf(const FITSImage::Statistic& record, const std::vector<T>& samples)
{
    EXPECT_EQ(samples.size(), std::size_t(record.samples_per_channel) * record.channels);
    auto data = QSharedPointer<FITSData>::create();
    auto* bytes = new uint8_t[samples.size() * sizeof(T)];
    std::memcpy(bytes, samples.data(), samples.size() * sizeof(T));
    data->setImageBuffer(bytes);
    data->restoreStatistics(record);
    data->calculateStats();
    return data;
}

template <typename T>
QSharedPointer<FITSData> imageOf(uint32_t dataType, int width, int height, int channels, const std::vector<T>& samples)
{
    return imageOf(recordOf<T>(dataType, width, height, channels), samples);
}

// Row-major 0, 1, 2, ... as an 8-bit grey matrix.
cv::Mat rampMat(int width, int height)
{
    cv::Mat ramp(height, width, CV_8UC1);
    for (int i = 0; i < width * height; ++i)
        ramp.at<uint8_t>(i / width, i % width) = static_cast<uint8_t>(i);
    return ramp;
}

QSharedPointer<FITSData> loadedFrom(const cv::Mat& image)
{
    auto data = QSharedPointer<FITSData>::create(FITSMode::Normal);
    EXPECT_TRUE(data->loadFromMat(image, "frame.fits"));
    return data;
}

std::vector<uint8_t> bufferBytes(FITSData& data, std::size_t count)
{
    const uint8_t* buffer = data.getImageBuffer();
    return std::vector<uint8_t>(buffer, buffer + count);
}

// 2, 4, 4, 4, 5, 5, 7, 9: mean 5, population variance 32 / 8, median (4 + 5) / 2.
template <typename T>
void expectSmallImageStatistics(uint32_t dataType)
{
    SCOPED_TRACE(dataType);
    const std::vector<T> samples = {T(5), T(2), T(9), T(4), T(4), T(7), T(4), T(5)};
    const auto data = imageOf(dataType, 4, 2, 1, samples);
    const auto& stats = data->getStatistics();
    EXPECT_EQ(stats.min[0], 2.0);
    EXPECT_EQ(stats.max[0], 9.0);
    EXPECT_DOUBLE_EQ(stats.mean[0], 5.0);
    EXPECT_DOUBLE_EQ(stats.stddev[0], 2.0);
    EXPECT_EQ(stats.median[0], 4.5);
    EXPECT_DOUBLE_EQ(stats.SNR, 2.5);
}

} // namespace

TEST(FITSDataLoad, RampGivesHandComputedStatistics)
{
    const auto data = loadedFrom(rampMat(4, 4));
    const auto& stats = data->getStatistics();
    EXPECT_EQ(stats.min[0], 0.0);
    EXPECT_EQ(stats.max[0], 15.0);
    EXPECT_DOUBLE_EQ(stats.mean[0], 7.5);
    // Squared deviations 2 * (0.25 + 2.25 + ... + 56.25) = 340, / 16.
    EXPECT_DOUBLE_EQ(stats.stddev[0], std::sqrt(21.25));
    EXPECT_EQ(stats.median[0], 7.5);
    EXPECT_DOUBLE_EQ(stats.SNR, 7.5 / std::sqrt(21.25));
}

TEST(FITSDataLoad, MatFillsRecordPropertiesAndBuffer)
{
    FITSData data(FITSMode::Align);
    ASSERT_TRUE(data.loadFromMat(rampMat(5, 3), "/somewhere/Reference.FITS"));

    const auto& stats = data.getStatistics();
    EXPECT_EQ(stats.dataType, uint32_t(TBYTE));
    EXPECT_EQ(stats.width, 5);
    EXPECT_EQ(stats.height, 3);
    EXPECT_EQ(stats.samples_per_channel, 15u);
    EXPECT_EQ(stats.size, 15);

    EXPECT_EQ(data.property("filename").toString(), "/somewhere/Reference.FITS");
    EXPECT_EQ(data.property("extension").toString(), "fits");
    EXPECT_EQ(data.property("size").toLongLong(), 15);
    EXPECT_EQ(data.property("height").toUInt(), 3u);
    EXPECT_EQ(data.property("mode").value<FITSMode>(), FITSMode::Align);

    EXPECT_EQ(bufferBytes(data, 15), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

TEST(FITSDataLoad, ColourMatBecomesGreyByBgrWeights)
{
    // Pixels in B, G, R order; grey = 0.114 B + 0.587 G + 0.299 R, rounded.
    cv::Mat colour(2, 2, CV_8UC3);
    colour.at<cv::Vec3b>(0, 0) = {255, 0, 0};  // 29.07
    colour.at<cv::Vec3b>(0, 1) = {0, 255, 0};  // 149.685
    colour.at<cv::Vec3b>(1, 0) = {0, 0, 255};  // 76.245
    colour.at<cv::Vec3b>(1, 1) = {10, 20, 30}; // 1.14 + 11.74 + 8.97 = 21.85
    const auto data = loadedFrom(colour);
    EXPECT_EQ(data->getStatistics().channels, 1);
    EXPECT_EQ(bufferBytes(*data, 4), (std::vector<uint8_t>{29, 150, 76, 22}));
    EXPECT_EQ(data->getStatistics().min[0], 22.0);
    EXPECT_EQ(data->getStatistics().max[0], 150.0);
}

TEST(FITSDataLoad, SixteenBitMatIsSaturatedNotScaled)
{
    const cv::Mat wide = (cv::Mat_<uint16_t>(1, 6) << 0, 200, 255, 256, 1000, 65535);
    const auto data = loadedFrom(wide);
    EXPECT_EQ(bufferBytes(*data, 6), (std::vector<uint8_t>{0, 200, 255, 255, 255, 255}));
    EXPECT_EQ(data->getStatistics().max[0], 255.0);
    EXPECT_EQ(data->getStatistics().dataType, uint32_t(TBYTE));
}

TEST(FITSDataLoad, NonContinuousMatIsCopiedRowByRow)
{
    cv::Mat whole(4, 5, CV_8UC1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            whole.at<uint8_t>(y, x) = uint8_t(10 * y + x);
    const cv::Mat view = whole(cv::Rect(1, 1, 3, 2));
    ASSERT_FALSE(view.isContinuous());
    const auto data = loadedFrom(view);
    EXPECT_EQ(data->getStatistics().width, 3);
    EXPECT_EQ(data->getStatistics().height, 2);
    EXPECT_EQ(bufferBytes(*data, 6), (std::vector<uint8_t>{11, 12, 13, 21, 22, 23}));
}

TEST(FITSDataLoad, MatsTheRecordCannotHoldAreRejectedWithoutChange)
{
    FITSData data;
    ASSERT_TRUE(data.loadFromMat(rampMat(2, 2), "kept.fits"));
    const uint8_t* kept = data.getImageBuffer();

    EXPECT_FALSE(data.loadFromMat(cv::Mat(1, 65536, CV_8UC1, cv::Scalar(1)), "wide.fits"));
    EXPECT_FALSE(data.loadFromMat(cv::Mat(65536, 1, CV_8UC1, cv::Scalar(1)), "tall.fits"));
    EXPECT_FALSE(data.loadFromMat(cv::Mat(), "empty.fits"));
    EXPECT_FALSE(data.loadFromMat(cv::Mat(2, 2, CV_8UC2, cv::Scalar(1, 2)), "two.fits"));
    EXPECT_FALSE(data.loadFromMat(cv::Mat(2, 2, CV_64FC3, cv::Scalar(1, 2, 3)), "double.fits"));

    EXPECT_EQ(data.filename(), "kept.fits");
    EXPECT_EQ(data.getImageBuffer(), kept);
    EXPECT_EQ(data.getStatistics().width, 2);
    EXPECT_EQ(data.getStatistics().max[0], 3.0);

    // The widest row the record holds is still accepted.
    EXPECT_TRUE(data.loadFromMat(cv::Mat(1, 65535, CV_8UC1, cv::Scalar(7)), "widest.fits"));
    EXPECT_EQ(data.getStatistics().width, 65535);
    EXPECT_EQ(data.getStatistics().samples_per_channel, 65535u);
    EXPECT_EQ(data.getStatistics().median[0], 7.0);
}

TEST(FITSDataObject, ModeIsRegisteredAndTheOnlyWritableProperty)
{
    EXPECT_NE(QMetaType::type("FITSMode"), int(QMetaType::UnknownType));

    FITSData data;
    EXPECT_EQ(data.mode(), FITSMode::Normal);
    EXPECT_TRUE(data.setProperty("mode", QVariant::fromValue(FITSMode::Guide)));
    EXPECT_EQ(data.mode(), FITSMode::Guide);
    EXPECT_FALSE(data.setProperty("width", 10));
}

TEST(FITSDataObject, CopyTakesModeStatisticsAndOwnPixels)
{
    auto original = QSharedPointer<FITSData>::create(FITSMode::Focus);
    ASSERT_TRUE(original->loadFromMat(rampMat(3, 2), "frame.png"));

    FITSData copy(original);
    EXPECT_EQ(copy.mode(), FITSMode::Focus);
    EXPECT_EQ(copy.getStatistics().width, 3);
    EXPECT_EQ(copy.getStatistics().max[0], 5.0);
    EXPECT_DOUBLE_EQ(copy.getStatistics().mean[0], 2.5);

    EXPECT_NE(copy.getImageBuffer(), original->getImageBuffer());
    EXPECT_EQ(bufferBytes(copy, 6), bufferBytes(*original, 6));
}

TEST(FITSDataObject, RestoreEmitsDataChangedAndSaveCopiesOut)
{
    FITSData data;
    int changes = 0;
    QObject::connect(&data, &FITSData::dataChanged, [&changes] { ++changes; });

    FITSImage::Statistic record = recordOf<float>(TFLOAT, 7, 9, 3);
    record.mean[2] = 4.25;
    record.SNR = 3.5;
    data.restoreStatistics(record);
    EXPECT_EQ(changes, 1);

    FITSImage::Statistic saved;
    data.saveStatistics(saved);
    EXPECT_EQ(saved.dataType, uint32_t(TFLOAT));
    EXPECT_EQ(saved.channels, 3);
    EXPECT_EQ(saved.samples_per_channel, 63u);
    EXPECT_EQ(saved.mean[2], 4.25);
    EXPECT_EQ(saved.SNR, 3.5);
    EXPECT_EQ(data.property("bpp").toUInt(), 4u);
}

TEST(FITSDataStatistics, EveryDataTypeGivesTheSameStatistics)
{
    expectSmallImageStatistics<uint8_t>(TBYTE);
    expectSmallImageStatistics<int16_t>(TSHORT);
    expectSmallImageStatistics<uint16_t>(TUSHORT);
    expectSmallImageStatistics<int32_t>(TLONG);
    expectSmallImageStatistics<uint32_t>(TULONG);
    expectSmallImageStatistics<float>(TFLOAT);
    expectSmallImageStatistics<int64_t>(TLONGLONG);
    expectSmallImageStatistics<double>(TDOUBLE);
}

TEST(FITSDataStatistics, RunsCoverEverySampleOfTheChannel)
{
    // 35 samples: fifteen runs of 2, the last of 5 (indices 30 ... 34).
    std::vector<int32_t> extremes(35, 0);
    extremes[0] = -1000;
    extremes[34] = 1000;
    const auto data = imageOf(TLONG, 7, 5, 1, extremes);
    EXPECT_EQ(data->getStatistics().min[0], -1000.0);
    EXPECT_EQ(data->getStatistics().max[0], 1000.0);
    EXPECT_DOUBLE_EQ(data->getStatistics().mean[0], 0.0);
    EXPECT_DOUBLE_EQ(data->getStatistics().stddev[0], std::sqrt(2000000.0 / 35.0));
    EXPECT_EQ(data->getStatistics().median[0], 0.0);

    // All in the last run: the empty runs must not pull the minimum to 255 or the maximum to 0.
    const auto few = imageOf(TBYTE, 3, 1, 1, std::vector<uint8_t>{200, 100, 150});
    EXPECT_EQ(few->getStatistics().min[0], 100.0);
    EXPECT_EQ(few->getStatistics().max[0], 200.0);
    EXPECT_EQ(few->getStatistics().median[0], 150.0);
}

TEST(FITSDataStatistics, FlatImageHasZeroDeviationNotNaN)
{
    // Nine copies: the mean square falls just below the squared mean in doubles.
    const double value = 255.0690257394217;
    const auto data = imageOf(TDOUBLE, 3, 3, 1, std::vector<double>(9, value));
    EXPECT_EQ(data->getStatistics().stddev[0], 0.0);
    EXPECT_DOUBLE_EQ(data->getStatistics().mean[0], value);
}

TEST(FITSDataStatistics, EachChannelUsesOnlyItsOwnPlane)
{
    const std::vector<uint16_t> planes = {1, 2, 3, 4, 100, 50, 70, 60, 1000, 0, 500, 20};
    const auto data = imageOf(TUSHORT, 2, 2, 3, planes);
    const auto& stats = data->getStatistics();
    EXPECT_EQ(stats.min[0], 1.0);
    EXPECT_EQ(stats.max[0], 4.0);
    EXPECT_EQ(stats.median[0], 2.5);
    EXPECT_EQ(stats.min[1], 50.0);
    EXPECT_EQ(stats.max[1], 100.0);
    EXPECT_EQ(stats.median[1], 65.0);
    EXPECT_EQ(stats.min[2], 0.0);
    EXPECT_EQ(stats.max[2], 1000.0);
    EXPECT_EQ(stats.median[2], 260.0);
    EXPECT_DOUBLE_EQ(stats.mean[1], 70.0);
    EXPECT_DOUBLE_EQ(stats.mean[2], 380.0);
    // Channel 0 deviations +-1.5 and +-0.5: variance (2.25 + 0.25) / 2.
    EXPECT_DOUBLE_EQ(stats.stddev[0], std::sqrt(1.25));
    EXPECT_DOUBLE_EQ(stats.SNR, 2.5 / std::sqrt(1.25));

    EXPECT_DOUBLE_EQ(data->getAverageMean(), (2.5 + 70.0 + 380.0) / 3.0);
    EXPECT_DOUBLE_EQ(data->getAverageMedian(), (2.5 + 65.0 + 260.0) / 3.0);
}

TEST(FITSDataStatistics, AllNegativeImagesHaveTheLeastNegativeMaximum)
{
    const auto floats = imageOf(TFLOAT, 2, 2, 1, std::vector<float>{-3.5f, -1.25f, -8.0f, -2.0f});
    EXPECT_EQ(floats->getStatistics().max[0], -1.25);
    EXPECT_EQ(floats->getStatistics().min[0], -8.0);
    EXPECT_DOUBLE_EQ(floats->getStatistics().mean[0], -14.75 / 4.0);
    // Truncated to -3, -1, -8, -2: the middle two are -3 and -2.
    EXPECT_EQ(floats->getStatistics().median[0], -2.5);

    const auto shorts = imageOf(TSHORT, 2, 2, 1, std::vector<int16_t>{-5, -300, -2, -32768});
    EXPECT_EQ(shorts->getStatistics().max[0], -2.0);
    EXPECT_EQ(shorts->getStatistics().min[0], -32768.0);
}

TEST(FITSDataStatistics, MedianTakesSamplesAsTruncatedIntegers)
{
    const auto floats = imageOf(TFLOAT, 2, 1, 1, std::vector<float>{1.9f, 2.9f});
    EXPECT_EQ(floats->getStatistics().median[0], 1.5);
    EXPECT_NEAR(floats->getStatistics().mean[0], 2.4, 1e-6);

    // Toward zero, not down: -1.5 and -2.5 become -1 and -2.
    const auto doubles = imageOf(TDOUBLE, 2, 1, 1, std::vector<double>{-1.5, -2.5});
    EXPECT_EQ(doubles->getStatistics().median[0], -1.5);

    // 2^32 + 5 and 2^32 + 7 keep their low 32 bits, 5 and 7.
    const int64_t high = int64_t(1) << 32;
    const auto wide = imageOf(TLONGLONG, 2, 1, 1, std::vector<int64_t>{high + 5, high + 7});
    EXPECT_EQ(wide->getStatistics().median[0], 6.0);
    EXPECT_EQ(wide->getStatistics().min[0], 4294967301.0);
}

TEST(FITSDataStatistics, MedianSamplesEveryStepthValueAboveHalfAMillion)
{
    // Even indices 10, odd 200: all samples give 105, every second one 10.
    const auto alternating = [](std::size_t n) {
        std::vector<uint8_t> samples(n);
        for (std::size_t i = 0; i < n; ++i)
            samples[i] = i % 2 == 0 ? 10 : 200;
        return samples;
    };
    // N = 1 000 000: step floor(2 + 0.999) = 2.
    EXPECT_EQ(imageOf(TBYTE, 1000, 1000, 1, alternating(1000000))->getStatistics().median[0], 10.0);
    // N = 490 000: below the limit, every sample.
    EXPECT_EQ(imageOf(TBYTE, 700, 700, 1, alternating(490000))->getStatistics().median[0], 105.0);

    // N = 500 001: step floor(1.000002 + 0.999) = 1; all samples give 50, every second one 100.
    std::vector<uint8_t> samples(500001);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = i % 2 == 1 ? 0 : 100;
    samples[0] = 50;
    // No 16-bit rectangle has this area; the statistics use only the sample count.
    FITSImage::Statistic record = recordOf<uint8_t>(TBYTE, 1, 1, 1);
    record.samples_per_channel = 500001;
    EXPECT_EQ(imageOf(record, samples)->getStatistics().median[0], 50.0);
}

TEST(FITSDataRoi, CopiesOneBasedInclusiveRectangle)
{
    const auto data = loadedFrom(rampMat(4, 4));
    // Left 1, top 1, two wide, three high: {0, 1, 4, 5, 8, 9}.
    data->makeRoiBuffer(QRect(1, 1, 2, 3));
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 4.5);
    EXPECT_EQ(data->getAverageMedian(true), 4.5);
    // Deviations +-4.5, +-3.5, +-0.5: variance 2 * 32.75 / 6.
    EXPECT_DOUBLE_EQ(data->getAverageStdDev(true), std::sqrt(65.5 / 6.0));

    // The bottom-right corner: {10, 11, 14, 15}.
    data->makeRoiBuffer(QRect(3, 3, 2, 2));
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 12.5);
    EXPECT_EQ(data->getAverageMedian(true), 12.5);
    EXPECT_DOUBLE_EQ(data->getAverageStdDev(true), std::sqrt(4.25));

    // The whole-image record is untouched.
    EXPECT_DOUBLE_EQ(data->getAverageMean(), 7.5);
    EXPECT_EQ(data->getStatistics().width, 4);
}

TEST(FITSDataRoi, EveryChannelOfTheRectangleIsCopied)
{
    // Three 3 x 2 planes; the rectangle is columns 2-3 of row 2 (1-based).
    const std::vector<double> planes = {1, 2, 3, 4, 5, 6, 10, 20, 30, 40, 50, 60, -1, -2, -3, -4, -5, -6};
    const auto data = imageOf(TDOUBLE, 3, 2, 3, planes);
    data->makeRoiBuffer(QRect(2, 2, 2, 1));
    // Channels {5, 6}, {50, 60}, {-5, -6}: means and medians 5.5, 55, -5.5.
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 55.0 / 3.0);
    EXPECT_DOUBLE_EQ(data->getAverageMedian(true), 55.0 / 3.0);
    EXPECT_DOUBLE_EQ(data->getAverageStdDev(true), (0.5 + 5.0 + 0.5) / 3.0);
}

TEST(FITSDataRoi, RejectedRectanglesKeepThePreviousRoi)
{
    FITSData none;
    none.makeRoiBuffer(QRect(1, 1, 2, 2));
    EXPECT_EQ(none.getAverageMean(true), 0.0);

    const auto data = loadedFrom(rampMat(4, 4));
    data->makeRoiBuffer(QRect(3, 3, 2, 2));
    ASSERT_DOUBLE_EQ(data->getAverageMean(true), 12.5);

    data->makeRoiBuffer(QRect(2, 2, 1, 1));               // a single pixel
    data->makeRoiBuffer(QRect(2, 2, 0, 3));               // empty
    data->makeRoiBuffer(QRect(QPoint(3, 3), QPoint(1, 1))); // right before left
    data->makeRoiBuffer(QRect(0, 1, 2, 2));               // column 0 is outside
    data->makeRoiBuffer(QRect(1, 0, 2, 2));               // row 0 is outside
    data->makeRoiBuffer(QRect(4, 1, 2, 2));               // reaches column 5
    data->makeRoiBuffer(QRect(1, 4, 2, 2));               // reaches row 5
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 12.5);

    // The whole image is a valid rectangle.
    data->makeRoiBuffer(QRect(1, 1, 4, 4));
    EXPECT_DOUBLE_EQ(data->getAverageMean(true), 7.5);
}
