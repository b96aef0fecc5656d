#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/Logger.h"
#include "image/MatView.h"
#include "processing/NebulosityDetector.h"
#include "support/TestSupport.h"

namespace {

// A flat background with an optional rectangle at another level.
cv::Mat patchImage(int width, int height, int background, cv::Rect patch = {}, int level = 0)
{
    cv::Mat image(height, width, CV_8UC1, cv::Scalar(background));
    image(patch).setTo(level);
    return image;
}

cv::Mat noiseImage(int width, int height, int level, int spread, unsigned seed)
{
    return matView(*noiseFrame(width, height, 1, level, spread, seed)).clone();
}

NebulosityResults resultsOf(const cv::Mat& image)
{
    NebulosityDetector detector;
    detector.analyzeNebulosity(image);
    return detector.getResults();
}

std::string outputOf(const std::function<void()>& run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

std::vector<double> fieldsOf(const NebulosityResults& r)
{
    return {r.meanIntensity, r.stdDev, r.pixelPercentage, r.textureUniformity, r.lowGradientPercentage,
            r.diffuseFactor, r.spatialUniformity, r.spatialDistribution, r.centerPeripheryRatio,
            r.concentrationFactor, r.pixelFactor, r.textureFactor, r.stdDevFactor, r.baseScore, r.pixelBoost,
            r.textureBoost, r.haBoost, r.extensiveBoost, r.score};
}

// Standard deviation of n1 pixels at v1, n2 at v2 and n3 at v3.
double deviationOf(double n1, double v1, double n2, double v2, double n3 = 0, double v3 = 0)
{
    const double n = n1 + n2 + n3;
    const double mean = (n1 * v1 + n2 * v2 + n3 * v3) / n;
    return std::sqrt((n1 * v1 * v1 + n2 * v2 * v2 + n3 * v3 * v3) / n - mean * mean);
}

int countColour(const cv::Mat& area, cv::Vec3b colour)
{
    const cv::Scalar bound(colour[0], colour[1], colour[2]);
    cv::Mat matches;
    cv::inRange(area, bound, bound, matches);
    return cv::countNonZero(matches);
}

const cv::Vec3b kGreen(0, 255, 0);
const cv::Vec3b kRed(255, 0, 0);  // R, G, B: the mosaic is saved in the buffers' order

}  // namespace

TEST(NebulosityDetector, ThresholdIsClampedToTheUnitRange)
{
    NebulosityDetector detector;
    detector.setThreshold(-0.5f);
    EXPECT_EQ(detector.getThreshold(), 0.0f);
    detector.setThreshold(2.0f);
    EXPECT_EQ(detector.getThreshold(), 1.0f);
}

TEST(NebulosityDetector, FlatImageScoresOnlyItsSmoothTextureAndBlackScoresZero)
{
    // No deviation and no bright pixel: base score 0, full texture boost 0.3, every gradient low.
    Logger::instance().setVerbose();
    NebulosityDetector detector;
    bool extensive = true;
    const std::string out = outputOf([&] { extensive = detector.analyzeNebulosity(patchImage(64, 48, 100)); });
    EXPECT_FALSE(extensive);
    const std::vector<std::string> expected = {
        "Nebulosity detection results:", "  Mean pixel value: 100.000000", "  Standard deviation: 0.000000",
        "  Pixel percentage above threshold: 0.000000", "  Texture uniformity: 0.000000",
        "  Nebulosity score: 0.300000", "  Enhanced pixel percentage factor: 0.000000",
        "  Enhanced texture uniformity factor: 1.000000", "  Enhanced standard deviation factor: 0.000000",
        "  Low gradient percentage: 100.000000", "  Diffuse factor: 1.000000", "  Spatial uniformity factor: 0.000000",
        "  Spatial distribution factor: 1.000000", "  Center/periphery ratio: 0.000000",
        "  Concentration factor: 1.000000", "  Base score: 0.000000", "  Pixel boost: 0.000000",
        "  Texture boost: 0.300000", "  HA boost: 0.000000", "  Extensive boost: 0.000000",
        "Extensive nebulosity detected: NO"};
    EXPECT_EQ(logMessages(out, "[INFO] "), expected) << out;
    EXPECT_EQ(detector.getResults().spatialUniformity, 0.0);

    // Mean 0 leaves the texture and deviation ratios undefined; the score falls to 0.
    float score = -1.0f;
    EXPECT_FALSE(detectExtensiveNebulosity(detector, patchImage(32, 32, 0), score));
    EXPECT_EQ(score, 0.0f);
}

TEST(NebulosityDetector, BrightRegionsInCentreAndPeripherySetTheConcentration)
{
    // Centre regions at 200, the rest 50: mean 87.5, bright above 105, Nc = 4, Np = 0.
    const NebulosityResults centre = resultsOf(patchImage(64, 64, 50, {16, 16, 32, 32}, 200));
    EXPECT_DOUBLE_EQ(centre.meanIntensity, 87.5);
    EXPECT_NEAR(centre.stdDev, deviationOf(3072, 50, 1024, 200), 1e-9);
    EXPECT_EQ(centre.pixelPercentage, 25.0);
    EXPECT_NEAR(centre.pixelFactor, std::pow(0.25, 0.7), 1e-12);
    EXPECT_EQ(centre.stdDevFactor, 1.0);
    EXPECT_EQ(centre.centerPeripheryRatio, 10.0);
    EXPECT_NEAR(centre.concentrationFactor, 1.0 / 11.0, 1e-12);
    EXPECT_GT(centre.baseScore, 0.0);
    EXPECT_NEAR(centre.baseScore,
                centre.pixelFactor * centre.textureFactor * centre.diffuseFactor * centre.spatialDistribution / 121.0,
                1e-12);

    // One centre and two periphery regions bright: Nc / Np = 1 / 2, squared factor 4 / 9.
    cv::Mat mixed = patchImage(64, 64, 50, {16, 16, 16, 16}, 200);
    mixed(cv::Rect(0, 0, 16, 16)).setTo(200);
    mixed(cv::Rect(48, 48, 16, 16)).setTo(200);
    const NebulosityResults r = resultsOf(mixed);
    EXPECT_EQ(r.centerPeripheryRatio, 0.5);
    EXPECT_NEAR(r.baseScore,
                r.pixelFactor * r.textureFactor * r.stdDevFactor * r.diffuseFactor * r.spatialDistribution * 4 / 9,
                1e-12);

    // 90 is exactly 1.2 x the mean 75: not bright; 91 (limit 90.075) is.
    EXPECT_EQ(resultsOf(patchImage(64, 64, 74, {16, 16, 16, 16}, 90)).centerPeripheryRatio, 0.0);
    EXPECT_EQ(resultsOf(patchImage(64, 64, 74, {16, 16, 16, 16}, 91)).centerPeripheryRatio, 10.0);
}

TEST(NebulosityDetector, BoostsStartStrictlyAboveTheirPixelPercentages)
{
    // The patch's share is the pixel percentage; one pixel more adds 1/64 %.
    struct Case {
        cv::Rect patch;
        double percent;
    };
    for (const Case& c : {Case{{25, 24, 30, 32}, 15.0}, Case{{24, 20, 32, 40}, 20.0}, Case{{20, 20, 40, 40}, 25.0}})
        for (bool extraPixel : {false, true}) {
            cv::Mat image = patchImage(80, 80, 150, c.patch, 200);
            image.at<std::uint8_t>(c.patch.y, c.patch.x + c.patch.width) = extraPixel ? 200 : 150;
            const double percent = c.percent + (extraPixel ? 1.0 / 64 : 0.0);
            const NebulosityResults r = resultsOf(image);
            SCOPED_TRACE(percent);
            ASSERT_DOUBLE_EQ(r.pixelPercentage, percent);
            ASSERT_LT(r.stdDev / r.meanIntensity, 0.3);
            ASSERT_LT(r.textureUniformity, 0.8);
            const double k = r.concentrationFactor;
            EXPECT_NEAR(r.pixelBoost, percent > 15 ? (percent - 15) / 85 * 0.3 * k : 0.0, 1e-12);
            EXPECT_EQ(r.haBoost, percent > 20 ? 0.3 * k : 0.0);
            EXPECT_EQ(r.extensiveBoost, percent > 25 ? 0.25 * k : 0.0);
            EXPECT_NEAR(r.textureBoost, (0.8 - r.textureUniformity) / 0.8 * 0.3 * k, 1e-12);
            EXPECT_NEAR(r.score, r.baseScore + r.pixelBoost + r.textureBoost + r.haBoost + r.extensiveBoost, 1e-6);
        }

    // On a background of 50 (mean 80, deviation 60) contrast withholds the HA boost.
    cv::Mat contrasted = patchImage(80, 80, 50, {24, 20, 32, 40}, 200);
    contrasted.at<std::uint8_t>(20, 56) = 200;
    EXPECT_EQ(resultsOf(contrasted).haBoost, 0.0);
    // Enhanced dark noise has local deviation above its mean: no texture terms.
    const NebulosityResults textured = resultsOf(noiseImage(96, 80, 10, 10, 5));
    ASSERT_GE(textured.textureUniformity, 1.0);
    EXPECT_EQ(textured.textureFactor, 0.0);
    EXPECT_EQ(textured.textureBoost, 0.0);
}

TEST(NebulosityDetector, ScoreEqualToTheThresholdIsNotExtensive)
{
    Logger::instance().setVerbose();
    const cv::Mat image = noiseImage(96, 80, 130, 30, 21);
    NebulosityDetector detector;
    float score = 0.0f;
    detectExtensiveNebulosity(detector, image, score);
    ASSERT_GT(score, 0.0f);
    ASSERT_LT(score, 1.0f);
    EXPECT_EQ(score, detector.getResults().score);

    detector.setThreshold(score);
    bool extensive = true;
    std::string out = outputOf([&] { extensive = detector.analyzeNebulosity(image); });
    EXPECT_FALSE(extensive);
    EXPECT_EQ(logMessages(out, "[INFO] ").back(), "Extensive nebulosity detected: NO");

    detector.setThreshold(std::nextafter(score, 0.0f));
    out = outputOf([&] { extensive = detectExtensiveNebulosity(detector, image, score); });
    EXPECT_TRUE(extensive);
    EXPECT_EQ(logMessages(out, "[INFO] ").back(), "Extensive nebulosity detected: YES");
}

TEST(NebulosityDetector, SixteenBitAndColourInputsMatchTheirEightBitGrey)
{
    // 1000 + 200 v spans 1000..52000; its min-max stretch is exactly v.
    cv::Mat grey = noiseImage(96, 80, 128, 127, 3);
    grey.at<std::uint8_t>(0, 0) = 0;
    grey.at<std::uint8_t>(1, 0) = 255;
    cv::Mat wide, colour;
    grey.convertTo(wide, CV_16U, 200.0, 1000.0);
    const std::vector<double> expected = fieldsOf(resultsOf(grey));
    EXPECT_EQ(fieldsOf(resultsOf(wide)), expected);
    // Equal channels convert to the same grey level.
    cv::merge(std::vector<cv::Mat>{grey, grey, grey}, colour);
    EXPECT_EQ(fieldsOf(resultsOf(colour)), expected);
}

TEST(NebulosityDetector, RemainderColumnsAndRowsCountGloballyButBelongToNoRegion)
{
    // Remainder rows/columns at 255; were they part of the last regions, the ratio would be 1.
    cv::Mat image = patchImage(66, 66, 20, {16, 16, 32, 32}, 40);
    image.colRange(64, 66).setTo(255);
    image.rowRange(64, 66).setTo(255);
    const NebulosityResults r = resultsOf(image);
    EXPECT_NEAR(r.meanIntensity, (3072 * 20 + 1024 * 40 + 260 * 255) / 4356.0, 1e-9);
    EXPECT_NEAR(r.stdDev, deviationOf(3072, 20, 1024, 40, 260, 255), 1e-9);
    EXPECT_EQ(r.centerPeripheryRatio, 10.0);
}

TEST(NebulosityDetector, ImagesUnderFourPixelsAcrossScoreZeroWithResultsCleared)
{
    Logger::instance().setVerbose();
    NebulosityDetector detector;
    detector.setThreshold(0.0f);
    float score = -1.0f;
    outputOf([&] { EXPECT_TRUE(detectExtensiveNebulosity(detector, noiseImage(4, 4, 100, 50, 1), score)); });

    for (const cv::Mat& image : {noiseImage(3, 200, 100, 50, 1), noiseImage(200, 3, 100, 50, 1), cv::Mat()}) {
        bool extensive = true;
        const std::string out = outputOf([&] { extensive = detectExtensiveNebulosity(detector, image, score); });
        EXPECT_FALSE(extensive);
        EXPECT_EQ(score, 0.0f);
        EXPECT_EQ(fieldsOf(detector.getResults()), std::vector<double>(19, 0.0));
        const std::string size = std::to_string(image.cols) + "x" + std::to_string(image.rows);
        EXPECT_EQ(logMessages(out, "[INFO] "),
                  std::vector<std::string>{"Image too small for nebulosity detection (" + size + "), score 0"});
    }
}

TEST(NebulosityVisualization, BorderAndDecisionLabelAreGreenWhenExtensiveAndRedWhenNot)
{
    // The decision label lies in the top-left quadrant between rows - 45 and rows - 10.
    const cv::Mat image = patchImage(400, 150, 100);
    const cv::Rect labelArea(10, 10 + 150 - 45, 400, 35);
    NebulosityDetector detector;
    for (float score : {0.5f, 0.4f}) {
        const cv::Mat mosaic = detector.createNebulosityVisualization(image, score);
        ASSERT_EQ(mosaic.type(), CV_8UC3);
        ASSERT_EQ(mosaic.size(), cv::Size(2 * 400 + 20, 2 * 150 + 20));
        const bool extensive = score > 0.4f;
        const cv::Vec3b border = extensive ? kGreen : kRed;
        for (cv::Point p : {cv::Point(0, 0), cv::Point(819, 319), cv::Point(5, 160), cv::Point(400, 315)})
            EXPECT_EQ(mosaic.at<cv::Vec3b>(p), border) << score << " at " << p;
        EXPECT_GT(countColour(mosaic(labelArea), border), 0);
        EXPECT_EQ(countColour(mosaic(labelArea), extensive ? kRed : kGreen), 0);
    }
    // The decision reads the detector's threshold.
    detector.setThreshold(0.05f);
    EXPECT_EQ(detector.createNebulosityVisualization(image, 0.1f).at<cv::Vec3b>(0, 0), kGreen);
}

TEST(NebulosityVisualization, QuadrantsHoldInputEnhancementGradientAndLowGradientMask)
{
    // Colour step at x = 100; row 60 is clear of the titles and score lines.
    cv::Mat image(160, 200, CV_8UC3, cv::Scalar(10, 60, 110));
    image.colRange(100, 200).setTo(cv::Scalar(200, 150, 100));
    const cv::Mat m = NebulosityDetector().createNebulosityVisualization(image, 0.0f);
    const auto at = [&](int x, int y) { return m.at<cv::Vec3b>(10 + y, 10 + x); };
    const int rows = 160, cols = 200, y = 60;

    EXPECT_EQ(at(40, y), cv::Vec3b(10, 60, 110));
    EXPECT_EQ(at(160, y), cv::Vec3b(200, 150, 100));
    const cv::Vec3b dark = at(cols + 40, y), bright = at(cols + 160, y);
    EXPECT_EQ(dark, cv::Vec3b::all(dark[0]));
    EXPECT_LT(dark[0], bright[0]);
    EXPECT_EQ(at(40, rows + y), cv::Vec3b(0, 0, 0));
    EXPECT_GT(at(100, rows + y)[0], 0);
    EXPECT_EQ(at(cols + 40, rows + y), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(at(cols + 100, rows + y), cv::Vec3b(0, 0, 0));

    const cv::Mat grey = NebulosityDetector().createNebulosityVisualization(patchImage(200, 160, 77), 0.0f);
    EXPECT_EQ(grey.at<cv::Vec3b>(10 + y, 10 + 150), cv::Vec3b::all(77));
    EXPECT_THROW(NebulosityDetector().createNebulosityVisualization(cv::Mat(20, 20, CV_8UC2), 0.0f),
                 std::invalid_argument);
}
