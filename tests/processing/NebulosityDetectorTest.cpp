#include <cmath>
#include <stdexcept>

#include "processing/NebulosityDetector.h"
#include "processing/ProcessingTestHelpers.h"

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

const cv::Vec3b kGreen(0, 255, 0);
const cv::Vec3b kRed(255, 0, 0);  // R, G, B: the mosaic is saved in the buffers' order

}  // namespace

TEST(NebulosityDetector, BrightRegionsOfTheFourByFourGridSetTheConcentrationAndAFlatImageHasOnlyItsTextureBoost)
{
    // No deviation and no bright pixel: base score 0, leaving only the full texture boost, 0.3.
    EXPECT_EQ(resultsOf(patchImage(64, 48, 100)).score, 0.3f);
    // Centre regions at 200, the rest 50: mean 87.5, deviation 150 sqrt(1/4 x 3/4), bright above 105,
    // Nc = 4, Np = 0, so the ratio counts as 10.
    const NebulosityResults centre = resultsOf(patchImage(64, 64, 50, {16, 16, 32, 32}, 200));
    EXPECT_DOUBLE_EQ(centre.meanIntensity, 87.5);
    EXPECT_NEAR(centre.stdDev, 150 * std::sqrt(0.25 * 0.75), 1e-9);
    EXPECT_EQ(centre.pixelPercentage, 25.0);
    EXPECT_EQ(centre.centerPeripheryRatio, 10.0);
    // One centre and two periphery regions bright: Nc / Np = 1 / 2.
    cv::Mat mixed = patchImage(64, 64, 50, {16, 16, 16, 16}, 200);
    mixed(cv::Rect(0, 0, 16, 16)).setTo(200);
    mixed(cv::Rect(48, 48, 16, 16)).setTo(200);
    EXPECT_EQ(resultsOf(mixed).centerPeripheryRatio, 0.5);
    // 90 is exactly 1.2 x the mean 75: not bright; 91 (limit 90.075) is.
    EXPECT_EQ(resultsOf(patchImage(64, 64, 74, {16, 16, 16, 16}, 90)).centerPeripheryRatio, 0.0);
    EXPECT_EQ(resultsOf(patchImage(64, 64, 74, {16, 16, 16, 16}, 91)).centerPeripheryRatio, 10.0);

    // Remainder rows/columns at 255; were they part of the last regions, the ratio would be 1.
    cv::Mat image = patchImage(66, 66, 20, {16, 16, 32, 32}, 40);
    image.colRange(64, 66).setTo(255);
    image.rowRange(64, 66).setTo(255);
    const NebulosityResults r = resultsOf(image);
    const double mean = (3072 * 20 + 1024 * 40 + 260 * 255) / 4356.0;
    EXPECT_NEAR(r.meanIntensity, mean, 1e-9);
    EXPECT_NEAR(r.stdDev, std::sqrt((3072 * 400 + 1024 * 1600 + 260 * 65025) / 4356.0 - mean * mean), 1e-9);
    EXPECT_EQ(r.centerPeripheryRatio, 10.0);
}

TEST(NebulosityDetector, BoostsStartStrictlyAboveTheirPixelPercentages)
{
    // A faint patch covering exactly 15, 20 or 25 % of the image, then one pixel more.
    const struct {
        cv::Rect patch;
        double NebulosityResults::*boost;
    } cases[] = {{{25, 24, 30, 32}, &NebulosityResults::pixelBoost},
                 {{24, 20, 32, 40}, &NebulosityResults::haBoost},
                 {{20, 20, 40, 40}, &NebulosityResults::extensiveBoost}};
    for (const auto& c : cases)
        for (bool extraPixel : {false, true}) {
            cv::Mat image = patchImage(80, 80, 150, c.patch, 200);
            image.at<std::uint8_t>(c.patch.y, c.patch.x + c.patch.width) = extraPixel ? 200 : 150;
            const NebulosityResults r = resultsOf(image);
            EXPECT_EQ(r.pixelPercentage, c.patch.area() / 64.0 + (extraPixel ? 1.0 / 64 : 0.0));
            EXPECT_EQ(r.*c.boost > 0.0, extraPixel) << c.patch.area() / 64.0;
        }
    // On a background of 50 (mean 80, deviation 60) contrast withholds the HA boost.
    cv::Mat contrasted = patchImage(80, 80, 50, {24, 20, 32, 40}, 200);
    contrasted.at<std::uint8_t>(20, 56) = 200;
    EXPECT_EQ(resultsOf(contrasted).haBoost, 0.0);
    // Enhanced dark noise has local deviation above its mean: no texture terms.
    const NebulosityResults textured = resultsOf(noiseImage(96, 80, 10, 10, 5));
    ASSERT_GE(textured.textureUniformity, 1.0);
    EXPECT_EQ(textured.textureBoost, 0.0);
}

TEST(NebulosityDetector, SixteenBitInputIsStretchedToItsEightBitGrey)
{
    // 1000 + 200 v spans 1000..52000; its min-max stretch is exactly v.
    cv::Mat grey = noiseImage(96, 80, 128, 127, 3), wide;
    grey.at<std::uint8_t>(0, 0) = 0;
    grey.at<std::uint8_t>(1, 0) = 255;
    grey.convertTo(wide, CV_16U, 200.0, 1000.0);
    const NebulosityResults expected = resultsOf(grey), r = resultsOf(wide);
    EXPECT_EQ(r.meanIntensity, expected.meanIntensity);
    EXPECT_EQ(r.score, expected.score);
}

TEST(NebulosityDetector, ExtensiveOnlyAboveTheThresholdAndScoresZeroWhenBlackOrUnderFourPixelsAcross)
{
    // Mean 0 leaves the texture and deviation ratios undefined; the score falls to 0.
    EXPECT_EQ(resultsOf(patchImage(32, 32, 0)).score, 0.0f);
    const cv::Mat image = noiseImage(96, 80, 130, 30, 21);
    NebulosityDetector detector;
    float score = 0.0f;
    detectExtensiveNebulosity(detector, image, score);
    ASSERT_TRUE(score > 0.0f && score < 1.0f) << score;
    detector.setThreshold(score);
    EXPECT_FALSE(detector.analyzeNebulosity(image));
    detector.setThreshold(std::nextafter(score, 0.0f));
    EXPECT_TRUE(detectExtensiveNebulosity(detector, image, score));

    // Under four pixels across, regions of the grid would be empty: score 0, earlier results cleared.
    detector.setThreshold(0.0f);
    EXPECT_TRUE(detectExtensiveNebulosity(detector, noiseImage(4, 4, 100, 50, 1), score));
    for (const cv::Mat& tiny : {noiseImage(3, 200, 100, 50, 1), noiseImage(200, 3, 100, 50, 1), cv::Mat()}) {
        EXPECT_FALSE(detectExtensiveNebulosity(detector, tiny, score));
        const NebulosityResults& r = detector.getResults();
        EXPECT_TRUE(score == 0.0f && r.score == 0.0f && r.meanIntensity == 0.0 && r.stdDev == 0.0 &&
                    r.pixelPercentage == 0.0 && r.baseScore == 0.0 && r.textureBoost == 0.0);
    }
}

TEST(NebulosityVisualization, MosaicHoldsTheInputAndIsFramedGreenWhenExtensiveAndRedWhenNot)
{
    const cv::Mat image = patchImage(400, 150, 100);
    NebulosityDetector detector;
    for (float score : {0.5f, 0.4f}) {
        const cv::Mat mosaic = detector.createNebulosityVisualization(image, score);
        ASSERT_TRUE(mosaic.type() == CV_8UC3 && mosaic.size() == cv::Size(2 * 400 + 20, 2 * 150 + 20));
        for (cv::Point p : {cv::Point(0, 0), cv::Point(819, 319), cv::Point(5, 160)})
            EXPECT_EQ(mosaic.at<cv::Vec3b>(p), score > 0.4f ? kGreen : kRed) << score << " at " << p;
        // A flat image: every gradient is low, so the mask quadrant is white.
        EXPECT_EQ(mosaic.at<cv::Vec3b>(10 + 150 + 60, 10 + 400 + 200), cv::Vec3b(255, 255, 255));
    }
    // The decision reads the detector's threshold.
    detector.setThreshold(0.05f);
    EXPECT_EQ(detector.createNebulosityVisualization(image, 0.1f).at<cv::Vec3b>(0, 0), kGreen);
    // Colour input keeps its own channel order in the first quadrant.
    const cv::Mat colour(160, 200, CV_8UC3, cv::Scalar(10, 60, 110));
    EXPECT_EQ(detector.createNebulosityVisualization(colour, 0.0f).at<cv::Vec3b>(70, 50), cv::Vec3b(10, 60, 110));
    EXPECT_THROW(detector.createNebulosityVisualization(cv::Mat(20, 20, CV_8UC2), 0.0f), std::invalid_argument);
}
