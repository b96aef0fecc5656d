#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "processing/BackgroundAdjustment.h"
#include "processing/ProcessingTestHelpers.h"

namespace {

struct Star {
    double x, y, peak;
};

// Sky of 30 + slope x / (width - 1) (channel c 4 levels above the last) with
// Gaussian noise of 1 level and round Gaussian stars (sigma 1.5 pixels).
ByteImagePtr sky(int width, int height, int channels, const std::vector<Star>& stars, unsigned seed,
                 double slope = 40.0)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    return imageFrom(width, height, channels, [&](int x, int y, int c) {
        double value = 30.0 + 4.0 * c + slope * x / (width - 1) + noise(random);
        for (const Star& s : stars)
            value += s.peak * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (2 * 1.5 * 1.5));
        return int(std::clamp(std::lround(value), 0L, 255L));
    });
}

std::vector<Star> randomStars(int count, int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> x(10, width - 10), y(10, height - 10), peak(80, 200);
    std::vector<Star> stars;
    for (int i = 0; i < count; ++i)
        stars.push_back({x(random), y(random), peak(random)});
    return stars;
}

// 255 within radius of a star, else 0.
cv::Mat nearStars(int width, int height, const std::vector<Star>& stars, int radius)
{
    cv::Mat near = cv::Mat::zeros(height, width, CV_8U);
    for (const Star& s : stars)
        cv::circle(near, cv::Point(int(std::lround(s.x)), int(std::lround(s.y))), radius, cv::Scalar(255), cv::FILLED);
    return near;
}

BackgroundExtractorParams withDegree(int degree, int gridSize = 16, float protectionThreshold = 0.5f)
{
    BackgroundExtractorParams params;
    params.setPolyDegree(degree);
    params.setGridSize(gridSize);
    params.setProtectionThreshold(protectionThreshold);
    return params;
}

std::vector<BackgroundSample> backgroundSamples(int degree, const ByteImage& image, const cv::Mat& mask)
{
    return sampleBackgroundPoints(withDegree(degree), matView(image), mask);
}

// Sum of c[t] * x^i * y^j over the terms 1, x, y, x^2, xy, y^2, x^3, x^2y, xy^2, y^3.
double cubic(const std::vector<double>& c, double x, double y)
{
    const double terms[] = {1, x, y, x * x, x * y, y * y, x * x * x, x * x * y, x * y * y, y * y * y};
    double sum = 0.0;
    for (std::size_t t = 0; t < c.size(); ++t)
        sum += c[t] * terms[t];
    return sum;
}

ImageStacker stackerWithCachedNebulosity(bool detected, float score)
{
    ImageStacker stacker;
    stacker.settings()->nebulosityChecked = true;
    stacker.settings()->nebulosityDetected = detected;
    stacker.settings()->nebulosityScore = score;
    return stacker;
}

}  // namespace

TEST(BackgroundSampling, OpenGridThenFinerGridThenEdgesThenMaskedPointsFillInUpToTheMinimum)
{
    // Open: 200x150 on 16 cells has steps 12 and 9, offsets 6 and 4, so 17 x 17 points.
    const ByteImagePtr image = imageFrom(200, 150, 3, [](int x, int y, int c) { return (x + 2 * y) % 250 + c; });
    const auto samples = backgroundSamples(2, *image, cv::Mat::zeros(150, 200, CV_8U));
    ASSERT_EQ(samples.size(), 289u);
    for (const BackgroundSample& s : samples) {
        EXPECT_TRUE(int(s.x) % 12 == 6 && int(s.y) % 9 == 4) << s.x << "," << s.y;
        // Grey of (v, v + 1, v + 2) read as B, G, R: v + 0.587 + 2 x 0.299, rounded.
        EXPECT_EQ(s.value, float((int(s.x) + 2 * int(s.y)) % 250 + 1)) << s.x << "," << s.y;
    }
    // Fewer pixels than cells: a step of 1 (never 0) visits every pixel.
    EXPECT_EQ(backgroundSamples(2, *flatFrame(10, 5, 1, 9), cv::Mat::zeros(5, 10, CV_8U)).size(), 50u);

    // Only the first pass's points masked: the finer grid (x = 3 + 6k, y = 2 + 4k) gives 33 x 37.
    const ByteImagePtr gridMask =
        imageFrom(200, 150, 1, [](int x, int y, int) { return x % 12 == 6 && y % 9 == 4 ? 255 : 0; });
    EXPECT_EQ(backgroundSamples(4, *image, matView(*gridMask)).size(), 1221u);

    // Open only along the lines through the 36 edge and corner candidates, and not where the finer grid crosses them.
    const ByteImagePtr edgesOpen = imageFrom(200, 150, 1, [](int x, int y, int) {
        return (x == 10 || x == 190 || y == 10 || y == 140) && !(x % 6 == 3 && y % 4 == 2) ? 0 : 255;
    });
    EXPECT_EQ(backgroundSamples(4, *image, matView(*edgesOpen)).size(), 36u);

    // All masked: masked points of the finer grid make up the minimum, 24 for 15 terms.
    const auto fallback = backgroundSamples(4, *image, cv::Mat(150, 200, CV_8U, cv::Scalar(255)));
    EXPECT_EQ(fallback.size(), 24u);
    for (const BackgroundSample& s : fallback)
        EXPECT_TRUE(int(s.x) % 6 == 3 && int(s.y) % 4 == 2) << s.x << "," << s.y;
    // Smaller than the edge margin: no edge candidate may fall outside the image; 6 make the minimum for 3 terms.
    EXPECT_EQ(backgroundSamples(1, *flatFrame(8, 8, 1, 50), cv::Mat(8, 8, CV_8U, cv::Scalar(255))).size(), 6u);
}

TEST(BackgroundModel, FitAndEvaluationRecoverAKnownSurfaceOverCoordinatesEndingAtOne)
{
    const std::vector<double> surface{40.0, 12.0, -8.0, 5.0, -3.0, 6.0, 2.5, -1.5, 4.0, -2.0};
    // Noise-free samples every 8th pixel of 129x65, where x = col / 128 and y = row / 64 are exact.
    std::vector<BackgroundSample> samples;
    for (int row = 0; row <= 64; row += 8)
        for (int col = 0; col <= 128; col += 8)
            samples.push_back({float(col), float(row), float(cubic(surface, col / 128.0, row / 64.0))});
    const std::vector<double> fitted = fitBackgroundModel(withDegree(3), samples, 129, 65);
    ASSERT_EQ(fitted.size(), 10u);
    for (std::size_t t = 0; t < 10; ++t)
        EXPECT_NEAR(fitted[t], surface[t], 1e-6) << "term " << t;

    const cv::Mat model = evaluateBackgroundModel(withDegree(3), surface, 129, 65);
    ASSERT_TRUE(model.type() == CV_32F && model.size() == cv::Size(129, 65));
    for (int row = 0; row < 65; row += 7)
        for (int col = 0; col < 129; col += 11)
            EXPECT_NEAR(model.at<float>(row, col), cubic(surface, col / 128.0, row / 64.0), 1e-4);

    // The x^4 term alone on a 5x3 image: 1 at the last column, (1/2)^4 halfway.
    const cv::Mat x4 = evaluateBackgroundModel(withDegree(4), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 5, 3);
    EXPECT_EQ(x4.at<float>(1, 4), 1.0f);
    EXPECT_FLOAT_EQ(x4.at<float>(1, 2), 0.0625f);
}

// A bowl sampled on an 11 x 11 grid over 101 x 101 pixels: 50 + 80 ((x - 0.5)^2 + (y - 0.5)^2), that is
// 90 - 80 x - 80 y + 80 x^2 + 80 y^2.
TEST(BackgroundModel, SmoothnessZeroIsPlainLeastSquaresAndMoreFlattensTheBendSteadily)
{
    std::vector<BackgroundSample> bowl;
    for (int y = 0; y <= 100; y += 10)
        for (int x = 0; x <= 100; x += 10)
            bowl.push_back({float(x), float(y), float(50 + 80 * (std::pow(x / 100.0 - 0.5, 2) + std::pow(y / 100.0 - 0.5, 2)))});
    const auto fitted = [&](int degree, float smoothness) {
        BackgroundExtractorParams params = withDegree(degree);
        params.setSmoothness(smoothness);
        return fitBackgroundModel(params, bowl, 101, 101);
    };
    const auto bend = [](const std::vector<double>& c) { return std::hypot(c[3], c[4], c[5]); };
    const std::vector<double> exact{90, -80, -80, 80, 0, 80}, plain = fitted(2, 0.0f);
    for (std::size_t t = 0; t < exact.size(); ++t)
        EXPECT_NEAR(plain[t], exact[t], 1e-6) << t;

    double previous = bend(plain);
    for (float smoothness : {0.25f, 0.5f, 0.75f, 1.0f}) {
        const std::vector<double> c = fitted(2, smoothness);
        EXPECT_LT(bend(c), previous) << smoothness;
        previous = bend(c);
        // The plane is never penalised, so the model still averages to the samples' mean, 50 + 80 (0.1 + 0.1):
        // over the grid u^2 averages 1.1 / 11, x and y 0.5, x^2 and y^2 0.35 and xy 0.25.
        EXPECT_NEAR(c[0] + 0.5 * (c[1] + c[2]) + 0.35 * (c[3] + c[5]) + 0.25 * c[4], 66.0, 1e-6) << smoothness;
    }
    EXPECT_LT(previous, 0.02 * bend(plain));  // all but flat at 1
    const std::vector<double> stiff = fitted(1, 0.0f), smoothed = fitted(1, 1.0f);  // a plane has nothing to smooth
    for (std::size_t t = 0; t < 3; ++t)
        EXPECT_NEAR(stiff[t], smoothed[t], 1e-9) << t;
}

TEST(BackgroundModel, RefusesImagesBelowTwoByTwoAndTooFewSamples)
{
    const std::vector<BackgroundSample> four{{0, 0, 1}, {5, 0, 2}, {0, 5, 3}, {5, 5, 4}};
    EXPECT_THROW(extractBackground(BackgroundExtractorParams(), *flatFrame(1, 300, 1, 20)), std::runtime_error);
    EXPECT_THROW(fitBackgroundModel(withDegree(1), four, 300, 1), std::runtime_error);
    EXPECT_THROW(evaluateBackgroundModel(withDegree(1), {1, 2, 3}, 1, 1), std::runtime_error);
    EXPECT_THROW(fitBackgroundModel(withDegree(2), four, 10, 10), std::runtime_error);  // 6 terms
    EXPECT_THROW(fitBackgroundModel(withDegree(2), {}, 10, 10), std::runtime_error);
    EXPECT_THROW(evaluateBackgroundModel(withDegree(2), {1, 2, 3}, 10, 10), std::invalid_argument);

    // 9 pixels for 15 terms; the finer pass over the same pixels must not count them twice.
    const auto nine = backgroundSamples(4, *flatFrame(3, 3, 1, 20), cv::Mat::zeros(3, 3, CV_8U));
    EXPECT_EQ(nine.size(), 9u);
    EXPECT_THROW(fitBackgroundModel(withDegree(4), nine, 3, 3), std::runtime_error);
}

TEST(ProtectionMask, FallbackStarMaskFindsTheStarsAndCoverageAboveEightyPercentKeepsOnlyBrightAreas)
{
    const std::vector<Star> stars{{40, 30, 180}, {150, 40, 150}, {100, 100, 200}, {30, 120, 160}, {170, 130, 120}};
    const cv::Mat starMask = createFallbackStarMask(matView(*sky(200, 150, 1, stars, 1, 0.0)));
    ASSERT_EQ(starMask.size(), cv::Size(200, 150));
    for (const Star& s : stars)
        EXPECT_EQ(starMask.at<unsigned char>(int(s.y), int(s.x)), 255) << s.x << "," << s.y;
    EXPECT_EQ(cv::countNonZero(starMask & ~nearStars(200, 150, stars, 20)), 0);

    // Strong noise trips the local threshold almost everywhere; the replacement keeps every
    // pixel of the equalised image above 1.2 x Otsu's threshold.
    const ByteImagePtr noisy = noiseFrame(160, 120, 1, 100, 60, 17);
    const cv::Mat mask = createProtectionMask(BackgroundExtractorParams(), matView(*noisy));
    EXPECT_LE(cv::countNonZero(mask), 160 * 120 * 8 / 10);
    cv::Mat enhanced, unused, bright;
    cv::createCLAHE(2.0, cv::Size(8, 8))->apply(matView(*noisy), enhanced);
    cv::threshold(enhanced, bright, 1.2 * cv::threshold(enhanced, unused, 0, 255, cv::THRESH_OTSU), 255,
                  cv::THRESH_BINARY);
    EXPECT_TRUE(cv::countNonZero(bright & ~mask) == 0 && cv::countNonZero(bright) > 0);
}

TEST(BackgroundSubtraction, NeverWrapsBelowZeroAndTakesTheSameModelFromEachChannel)
{
    const ByteImagePtr model = imageOf(4, 1, 1, {30, 50, 20, 0});
    const ByteImagePtr grey = imageOf(4, 1, 1, {10, 50, 200, 255});
    EXPECT_EQ(samplesOf(*subtractBackground(*grey, *model)), (Samples{0, 0, 180, 255}));
    // Colour 20 x + 60 c less a grey model of another size, stretched linearly over the image (40, 30, 10, 0)
    // and taken from each channel.
    const ByteImagePtr colour = imageFrom(4, 1, 3, [](int x, int, int c) { return 20 * x + 60 * c; });
    EXPECT_EQ(samplesOf(*subtractBackground(*colour, *imageOf(2, 1, 1, {40, 0}))),
              (Samples{0, 20, 80, 0, 50, 110, 30, 90, 150, 60, 120, 180}));
}

TEST(BackgroundAdjustment, PercentagesAboveSeventyAskForAQuarticModel)
{
    EXPECT_EQ(backgroundParamsForPercentage(70.0f).polyDegree(), 3);
    EXPECT_EQ(backgroundParamsForPercentage(71.0f).polyDegree(), 4);
}

TEST(BackgroundAdjustment, AFreshDetectionIsCachedAndNoneRunsWhenDetectionIsOff)
{
    const ByteImagePtr image = sky(120, 90, 3, randomStars(6, 120, 90, 7), 7);
    ImageStacker stacker;
    stacker.settings()->nebulosityThreshold = 1.0f;  // never extensive
    ASSERT_TRUE(stacker.applyBackgroundAdjustment(image, 15.0f));
    const StackerSettings& s = *stacker.settings();
    EXPECT_TRUE(s.nebulosityChecked && !s.nebulosityDetected && s.nebulosityScore > 0.0f);
    // Detection off and nothing cached: nothing is checked.
    ImageStacker undetected;
    undetected.settings()->nebulosityDetection = false;
    undetected.applyBackgroundAdjustment(image, 15.0f);
    EXPECT_FALSE(undetected.settings()->nebulosityChecked);
}

TEST(BackgroundAdjustment, CachedNebulosityFitsAPlaneUnlessTheUserChoseAndAboveEightTenthsLeavesTheImageAlone)
{
    // A fresh detection finds no nebulosity here, so only the cached result can change the model.
    const ByteImagePtr image = sky(160, 120, 1, randomStars(8, 160, 120, 6), 6);
    const auto adjusted = [&](ImageStacker& s) {
        return samplesOf(*seeded([&] { return s.applyBackgroundAdjustment(image, 15.0f); }));
    };
    const auto subtracted = [&](const BackgroundExtractorParams& params) {
        return samplesOf(*seeded([&] { return subtractBackground(*image, *extractBackground(params, *image)); }));
    };
    ImageStacker atLimit = stackerWithCachedNebulosity(true, 0.8f);
    const Samples plane = adjusted(atLimit);
    EXPECT_EQ(plane, subtracted(withDegree(1, 32, 0.8f)));
    EXPECT_NE(plane, samplesOf(*image));

    // A degree the user gave replaces the plane; the rest of the choice stays.
    ImageStacker chosen = stackerWithCachedNebulosity(true, 0.8f);
    chosen.settings()->polyDegree = 3;
    EXPECT_EQ(adjusted(chosen), subtracted(withDegree(3, 32, 0.8f)));

    ImageStacker overwhelming = stackerWithCachedNebulosity(true, 0.81f);
    const ByteImagePtr copy = overwhelming.applyBackgroundAdjustment(image, 15.0f);
    EXPECT_NE(copy, image);
    EXPECT_EQ(samplesOf(*copy), samplesOf(*image));
}

TEST(BackgroundAdjustment, RemovesALinearGradientAndKeepsTheStars)
{
    const std::vector<Star> stars = randomStars(25, 240, 180, 11);
    const ByteImagePtr result =
        stackerWithCachedNebulosity(false, 0.0f).applyBackgroundAdjustment(sky(240, 180, 3, stars, 11), 15.0f);
    // Background means of six vertical strips away from the stars: 40 levels apart before, flat after.
    const cv::Mat clear = ~nearStars(240, 180, stars, 8);
    std::vector<cv::Scalar> means;
    for (int x = 0; x < 240; x += 40)
        means.push_back(cv::mean(matView(*result)(cv::Rect(x, 0, 40, 180)), clear(cv::Rect(x, 0, 40, 180))));
    for (int c = 0; c < 3; ++c) {
        const auto [low, high] = std::minmax_element(
            means.begin(), means.end(), [c](const cv::Scalar& a, const cv::Scalar& b) { return a[c] < b[c]; });
        EXPECT_LT((*high)[c] - (*low)[c], 2.0) << "channel " << c;
        EXPECT_LT((*high)[c], 12.0) << "channel " << c;
    }
    for (const Star& s : stars)
        EXPECT_GT(result->getPixel(int(std::lround(s.x)), int(std::lround(s.y)), 1), 40) << s.x << "," << s.y;
}
