#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "core/Logger.h"
#include "core/Timer.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "processing/Compression.h"
#include "processing/Denoising.h"
#include "processing/LocalHistogramEqualization.h"
#include "processing/MedianFilter.h"
#include "stacking/ImageStacker.h"
#include "support/TestSupport.h"

namespace {

using Samples = std::vector<int>;

Samples samplesOf(const ByteImage& image) { return Samples(image.data(), image.data() + image.size()); }
Samples samplesOf(const cv::Mat& mat) { return Samples(mat.data, mat.data + mat.total() * mat.channels()); }

Samples channelOf(const ByteImage& image, int channel)
{
    Samples samples;
    for (std::size_t i = std::size_t(channel); i < image.size(); i += std::size_t(image.channels()))
        samples.push_back(image.data()[i]);
    return samples;
}

// A buffer whose sample (x, y, c) is value(x, y, c).
ByteImagePtr imageFrom(int width, int height, int channels, const std::function<int(int, int, int)>& value)
{
    auto image = std::make_shared<ByteImage>(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                image->data()[(y * width + x) * channels + c] = static_cast<std::uint8_t>(value(x, y, c));
    return image;
}

std::string outputOf(const std::function<void()>& run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> infoLines(const std::string& output) { return logMessages(output, "[INFO] "); }

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The three-channel planes of the median tests: 10 + x, 20 + y and a flat
// 200; withOutliers puts 255, 255 and 0 at the centre (2, 2) of a 5x5 image.
int gradient(int x, int y, int c) { return c == 0 ? 10 + x : (c == 1 ? 20 + y : 200); }
int withOutliers(int x, int y, int c) { return x == 2 && y == 2 ? (c == 2 ? 0 : 255) : gradient(x, y, c); }

}  // namespace

TEST(LocalHistogramEqualization, TileCountIsWidthOverOddWindowWithinTwoToEight)
{
    EXPECT_EQ(claheTileCount(1000, 63), 8);  // 15, clamped
    EXPECT_EQ(claheTileCount(100, 63), 2);   // 1, raised
    // 310 / 63 = 4.9 gives 4; the even window taken as it is would give 5.
    EXPECT_EQ(claheTileCount(310, 62), 4);
    EXPECT_EQ(claheTileCount(188, 63), 2);  // 2.98 truncates to 2
    EXPECT_EQ(claheTileCount(189, 63), 3);
}

TEST(LocalHistogramEqualization, EachChannelDependsOnlyOnItself)
{
    const ByteImagePtr image = noiseFrame(96, 64, 3, 110, 90, 41);
    const Samples before = samplesOf(*image);
    const ByteImagePtr result = applyLocalHistogramEqualization(*image, 31, 2.0f);
    EXPECT_EQ(samplesOf(*image), before);
    for (int c = 0; c < 3; ++c) {
        const ByteImagePtr plane = imageFrom(96, 64, 1, [&](int x, int y, int) { return image->getPixel(x, y, c); });
        const ByteImagePtr alone = applyLocalHistogramEqualization(*plane, 31, 2.0f);
        EXPECT_EQ(channelOf(*result, c), samplesOf(*alone)) << "channel " << c;
    }

    // New noise in channels 0 and 2 leaves channel 1's result as it was.
    const ByteImagePtr other = noiseFrame(96, 64, 3, 60, 60, 42);
    const ByteImagePtr mixed = imageFrom(96, 64, 3, [&](int x, int y, int c) {
        return c == 1 ? image->getPixel(x, y, 1) : other->getPixel(x, y, c);
    });
    const ByteImagePtr mixedResult = applyLocalHistogramEqualization(*mixed, 31, 2.0f);
    EXPECT_EQ(channelOf(*mixedResult, 1), channelOf(*result, 1));
    EXPECT_NE(channelOf(*mixedResult, 0), channelOf(*result, 0));
}

TEST(LocalHistogramEqualization, ClipLimitZeroReachesClaheUnchanged)
{
    // 64 px wide with window 31: 2 tiles across and down (the height would give 5).
    const ByteImagePtr image = imageFrom(64, 160, 1, [](int x, int y, int) { return 40 + x + (x * y * 7) % 23; });
    const ByteImagePtr result = applyLocalHistogramEqualization(*image, 31, 0.0f);

    cv::Mat equalized;
    cv::createCLAHE(0.0, cv::Size(2, 2))->apply(matView(*image), equalized);
    cv::GaussianBlur(equalized, equalized, cv::Size(3, 3), 0.5);
    const Samples plain = samplesOf(*image);
    const Samples blurred = samplesOf(equalized);
    const Samples output = samplesOf(*result);
    ASSERT_EQ(output.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        // 0.7 e + 0.3 b in tenths, rounded; an exact half may go either way
        // in OpenCV's single-precision blend.
        const int tenths = 7 * blurred[i] + 3 * plain[i];
        const int rounded = (tenths + 5) / 10;
        if (tenths % 10 == 5)
            EXPECT_TRUE(output[i] == rounded || output[i] == rounded - 1) << i;
        else
            EXPECT_EQ(output[i], rounded) << i;
    }
    EXPECT_NE(samplesOf(*applyLocalHistogramEqualization(*image, 31, 1.0f)), output);
}

TEST(MedianFilter, EvenSizeIsAppliedAsTheNextOddAndLogged)
{
    EXPECT_EQ(medianKernelSize(4), 5);
    EXPECT_EQ(medianKernelSize(5), 5);
    EXPECT_EQ(medianKernelSize(1), 1);

    // A 3x3 block of 255: a 3x3 median keeps its centre, a 5x5 one sees at most 9 of 25.
    const ByteImagePtr image = imageFrom(7, 7, 1, [](int x, int y, int) {
        return x >= 2 && x <= 4 && y >= 2 && y <= 4 ? 255 : 10;
    });
    Logger::instance().setVerbose();
    benchmarkEnabled = true;
    ByteImagePtr result;
    const std::string out = outputOf([&] { result = applyMedianFilter(*image, 4); });
    benchmarkEnabled = false;
    EXPECT_EQ(samplesOf(*result), Samples(49, 10));
    std::vector<std::string> steps;
    for (const std::string& line : infoLines(out))
        steps.push_back(line.substr(0, line.find(':')));
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "Applying median filter with size 5", "Timer [medianFilter_copyToMat]",
                         "Timer [medianFilter_blur]", "Timer [medianFilter_copyBack]",
                         "Timer [medianFilter_channel0]", "Timer [applyMedianFilter]"}));
    EXPECT_EQ(applyMedianFilter(*image, 3)->getPixel(3, 3), 255);
    EXPECT_EQ(image->getPixel(3, 3), 255);
}

TEST(MedianFilter, RemovesOutliersFromEachChannelOnItsOwn)
{
    // With edges replicated the 13th of 25 in column x's window is 10 + x, outlier or not.
    const ByteImagePtr image = imageFrom(5, 5, 3, withOutliers);
    const Samples clean = samplesOf(*imageFrom(5, 5, 3, gradient));
    EXPECT_EQ(samplesOf(*applyMedianFilter(*image, 5)), clean);
    // A kernel wider than the image: 9 replicated columns, the middle one still x.
    EXPECT_EQ(samplesOf(*applyMedianFilter(*image, 9)), clean);
}

TEST(MedianFilter, KernelsBeyondWhatOpenCvFiltersCorrectlyAreRefused)
{
    const ByteImagePtr image = noiseFrame(6, 4, 1, 128, 100, 51);
    EXPECT_NO_THROW(applyMedianFilter(*image, 254));  // applied as 255
    try {
        applyMedianFilter(*image, 256);
        ADD_FAILURE() << "no exception for size 256";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "Median filter size 257 is outside 1..255");
    }
    EXPECT_THROW(applyMedianFilter(*image, -3), std::invalid_argument);
}

TEST(Denoising, StrengthMapsToFilterParameters)
{
    EXPECT_FLOAT_EQ(nonLocalMeansH(1), 3.0f);
    EXPECT_FLOAT_EQ(nonLocalMeansH(30), 20.4f);

    EXPECT_DOUBLE_EQ(bilateralSigmas(1).color, 6.0);
    EXPECT_DOUBLE_EQ(bilateralSigmas(1).space, 5.5);
    EXPECT_DOUBLE_EQ(bilateralSigmas(30).color, 35.0);
    EXPECT_DOUBLE_EQ(bilateralSigmas(30).space, 20.0);
}

TEST(Denoising, NonLocalMeansUsesOneStrengthForLuminanceAndColour)
{
    Logger::instance().setVerbose();
    ImageStacker stacker;
    const ByteImagePtr grey = noiseFrame(32, 24, 1, 120, 8, 61);
    ByteImagePtr result;
    const std::string out = outputOf([&] { result = stacker.applyDenoising(grey, 1, 10); });
    cv::Mat expected;
    cv::fastNlMeansDenoising(matView(*grey), expected, 8.4f, 7, 21);
    EXPECT_EQ(samplesOf(*result), samplesOf(expected));
    EXPECT_NE(samplesOf(*result), samplesOf(*grey));
    EXPECT_TRUE(contains(infoLines(out), "Applying Non-Local Means denoising with strength 10")) << out;

    const ByteImagePtr colour = noiseFrame(32, 24, 3, 120, 40, 62);
    const Samples before = samplesOf(*colour);
    cv::fastNlMeansDenoisingColored(matView(*colour), expected, 20.4f, 20.4f, 7, 21);
    EXPECT_EQ(samplesOf(*stacker.applyDenoising(colour, 1, 30)), samplesOf(expected));
    EXPECT_EQ(samplesOf(*colour), before);
}

TEST(Denoising, BilateralFiltersEachPlaneAndSurvivesAFailedDiagnosticSave)
{
    const TempDir dir;
    Logger::instance().setVerbose();
    ImageStacker stacker;
    stacker.settings()->diagnostic = true;
    stacker.settings()->diagnosticPrefix = dir.file("missing/run_");
    const std::string path = dir.file("missing/run_denoised.jpg");

    const ByteImagePtr image = noiseFrame(30, 20, 3, 100, 60, 71);
    ByteImagePtr result;
    const std::string out = outputOf([&] { result = stacker.applyDenoising(image, 2, 1); });

    std::vector<cv::Mat> planes;
    cv::split(matView(*image), planes);
    for (int c = 0; c < 3; ++c) {
        cv::Mat filtered;
        cv::bilateralFilter(planes[c], filtered, 9, 6.0, 5.5);
        EXPECT_EQ(channelOf(*result, c), samplesOf(filtered)) << "channel " << c;
    }
    const auto errors = logMessages(out, "[ERRO] ");
    ASSERT_EQ(errors.size(), 1u) << out;
    const std::string start = "Could not save denoised image to " + path + ": ";
    EXPECT_EQ(errors[0].substr(0, start.size()), start);
    EXPECT_GT(errors[0].size(), start.size());
    EXPECT_FALSE(contains(infoLines(out), "Saved denoised image to " + path));
    EXPECT_TRUE(contains(infoLines(out), "Applying Bilateral Filter denoising with strength 1")) << out;
}

TEST(Denoising, OtherMethodsCopyUnchangedAndStillSaveTheDiagnosticImage)
{
    const TempDir dir;
    Logger::instance().setVerbose();
    ImageStacker stacker;
    stacker.settings()->diagnostic = true;
    stacker.settings()->diagnosticPrefix = dir.file("run_");
    const std::string path = dir.file("run_denoised.jpg");

    const ByteImagePtr image = noiseFrame(24, 16, 3, 128, 100, 81);
    for (int method : {3, -1}) {
        ByteImagePtr result;
        const std::string out = outputOf([&] { result = stacker.applyDenoising(image, method, 10); });
        EXPECT_NE(result, image);
        EXPECT_EQ(samplesOf(*result), samplesOf(*image));
        EXPECT_EQ(infoLines(out), std::vector<std::string>{"Saved denoised image to " + path}) << out;
        ASSERT_TRUE(fileExists(path));
        const ByteImagePtr saved = loadImage(path);
        EXPECT_EQ(saved->width(), 24);
        EXPECT_EQ(saved->height(), 16);
        EXPECT_EQ(saved->channels(), 3);
        std::remove(path.c_str());
    }

    // No diagnostic mode, or no prefix: nothing is written or reported.
    stacker.settings()->diagnostic = false;
    std::string out = outputOf([&] { stacker.applyDenoising(image, 3, 10); });
    EXPECT_TRUE(infoLines(out).empty()) << out;
    EXPECT_FALSE(fileExists(path));
    stacker.settings()->diagnostic = true;
    stacker.settings()->diagnosticPrefix = "";
    out = outputOf([&] { stacker.applyDenoising(image, 3, 10); });
    EXPECT_TRUE(infoLines(out).empty()) << out;
}

TEST(PostProcess, FinishingStepsRunOnlyWhenFlaggedAndPositive)
{
    const ByteImagePtr image = noiseFrame(40, 30, 3, 120, 80, 91);
    ImageStacker stacker;
    StackerSettings& settings = *stacker.settings();

    // Flags without values, then values without flags.
    settings.histEqSet = settings.medianFilterSet = settings.denoiseSet = true;
    settings.histEqWindow = 0;
    settings.medianFilterSize = 0;
    settings.denoiseMethod = 0;
    EXPECT_EQ(stacker.postProcess(image), image);
    settings.histEqSet = settings.medianFilterSet = settings.denoiseSet = false;
    settings.histEqWindow = 15;
    settings.histEqClip = 3.0f;
    settings.medianFilterSize = 3;
    settings.denoiseMethod = 2;
    settings.denoiseStrength = 4;
    EXPECT_EQ(stacker.postProcess(image), image);

    settings.histEqSet = true;
    EXPECT_EQ(samplesOf(*stacker.postProcess(image)),
              samplesOf(*applyLocalHistogramEqualization(*image, 15, 3.0f)));
    settings.histEqSet = false;
    settings.medianFilterSet = true;
    EXPECT_EQ(samplesOf(*stacker.postProcess(image)), samplesOf(*applyMedianFilter(*image, 3)));
    settings.medianFilterSet = false;
    settings.denoiseSet = true;
    EXPECT_EQ(samplesOf(*stacker.postProcess(image)), samplesOf(*stacker.applyDenoising(image, 2, 4)));

    // Any method other than 0 reaches the step, which copies for unknown ones.
    settings.denoiseMethod = 7;
    const ByteImagePtr copy = stacker.postProcess(image);
    EXPECT_NE(copy, image);
    EXPECT_EQ(samplesOf(*copy), samplesOf(*image));
}

TEST(PostProcess, EqualisesThenFiltersThenDenoisesAfterCompression)
{
    const ByteImagePtr image = noiseFrame(40, 30, 3, 100, 90, 92);
    const Samples before = samplesOf(*image);
    ImageStacker stacker;
    StackerSettings& settings = *stacker.settings();
    settings.compressionSet = settings.histEqSet = settings.medianFilterSet = settings.denoiseSet = true;
    settings.compression = 30.0f;
    settings.histEqWindow = 11;
    settings.histEqClip = 2.0f;
    settings.medianFilterSize = 3;
    settings.denoiseMethod = 2;
    settings.denoiseStrength = 12;

    const Samples result = samplesOf(*stacker.postProcess(image));
    const ByteImagePtr compressed = applyCompression(*image, 30.0f);
    const ByteImagePtr inOrder =
        stacker.applyDenoising(applyMedianFilter(*applyLocalHistogramEqualization(*compressed, 11, 2.0f), 3), 2, 12);
    const ByteImagePtr filterFirst =
        stacker.applyDenoising(applyLocalHistogramEqualization(*applyMedianFilter(*compressed, 3), 11, 2.0f), 2, 12);
    const ByteImagePtr equaliseFirst = applyCompression(
        *stacker.applyDenoising(applyMedianFilter(*applyLocalHistogramEqualization(*image, 11, 2.0f), 3), 2, 12),
        30.0f);
    EXPECT_EQ(result, samplesOf(*inOrder));
    EXPECT_NE(result, samplesOf(*filterFirst));
    EXPECT_NE(result, samplesOf(*equaliseFirst));
    EXPECT_EQ(samplesOf(*image), before);
}
