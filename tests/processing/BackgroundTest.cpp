#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "core/Logger.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "processing/BackgroundAdjustment.h"
#include "processing/BackgroundExtractor.h"
#include "processing/Compression.h"
#include "stacking/ImageStacker.h"
#include "support/TestSupport.h"

namespace {

using Lines = std::vector<std::string>;

std::string outputOf(const std::function<void()>& run)
{
    Logger::instance().setVerbose();
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

Lines infoLines(const std::string& output) { return logMessages(output, "[INFO] "); }
Lines warnLines(const std::string& output) { return logMessages(output, "[WARN] "); }

bool contains(const Lines& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool anyStartsWith(const Lines& lines, const std::string& start)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.compare(0, start.size(), start) == 0; });
}

// The number after `start` on the first line that begins with it.
double loggedValue(const Lines& lines, const std::string& start)
{
    for (const std::string& line : lines)
        if (line.compare(0, start.size(), start) == 0)
            return std::stod(line.substr(start.size()));
    ADD_FAILURE() << "no line starting with " << start;
    return -1.0;
}

template <typename F>
std::string errorOf(F run)
{
    try {
        run();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

// A buffer whose sample (x, y, c) is value(x, y, c).
ByteImagePtr imageFrom(int width, int height, int channels, const std::function<int(int, int, int)>& value)
{
    auto image = std::make_shared<ByteImage>(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                image->setPixel(x, y, static_cast<unsigned char>(value(x, y, c)), c);
    return image;
}

struct Star {
    double x, y, peak;
};

// Sky of 30 + 40 x / (width - 1) (channel c 4 levels above the last) with
// Gaussian noise of 1 level and round Gaussian stars (sigma 1.5 pixels).
ByteImagePtr gradientSky(int width, int height, int channels, const std::vector<Star>& stars, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    return imageFrom(width, height, channels, [&](int x, int y, int c) {
        double value = 30.0 + 4.0 * c + 40.0 * x / (width - 1) + noise(random);
        for (const Star& s : stars) {
            const double r2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
            value += s.peak * std::exp(-r2 / (2 * 1.5 * 1.5));
        }
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

bool nearAnyStar(int x, int y, const std::vector<Star>& stars, double radius)
{
    return std::any_of(stars.begin(), stars.end(),
                       [&](const Star& s) { return std::hypot(x - s.x, y - s.y) < radius; });
}

BackgroundExtractorParams withDegree(int degree)
{
    BackgroundExtractorParams params;
    params.setPolyDegree(degree);
    return params;
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

// Degree, grid size, protection threshold, smoothness.
using ParamValues = std::tuple<int, int, float, float>;

ParamValues valuesOf(const BackgroundExtractorParams& p)
{
    return {p.polyDegree(), p.gridSize(), p.protectionThreshold(), p.smoothness()};
}

void set(BackgroundExtractorParams& params, const ParamValues& values)
{
    params.setPolyDegree(std::get<0>(values));
    params.setGridSize(std::get<1>(values));
    params.setProtectionThreshold(std::get<2>(values));
    params.setSmoothness(std::get<3>(values));
}

using GridValues = std::tuple<int, int, int, int>;

GridValues valuesOf(const SamplingGrid& g) { return {g.stepX, g.stepY, g.offsetX, g.offsetY}; }

ImageStacker stackerWithCachedNebulosity(bool detected, float score)
{
    ImageStacker stacker;
    stacker.settings()->nebulosityChecked = true;
    stacker.settings()->nebulosityDetected = detected;
    stacker.settings()->nebulosityScore = score;
    return stacker;
}

}  // namespace

TEST(BackgroundExtractorParams, ClampEverySetter)
{
    BackgroundExtractorParams params;
    set(params, {0, 7, -0.1f, -2.0f});
    EXPECT_EQ(valuesOf(params), (ParamValues{1, 8, 0.0f, 0.0f}));
    set(params, {5, 65, 1.5f, 3.0f});
    EXPECT_EQ(valuesOf(params), (ParamValues{4, 64, 1.0f, 1.0f}));
}

TEST(BackgroundSampling, FirstPassVisitsTheGridCentres)
{
    EXPECT_EQ(valuesOf(samplingGrid(1920, 1080, 16)), (GridValues{120, 67, 60, 33}));
    EXPECT_EQ(valuesOf(samplingGrid(10, 5, 16)), (GridValues{1, 1, 0, 0}));

    const ByteImagePtr image = imageFrom(1920, 1080, 1, [](int x, int y, int) { return (x + 2 * y) % 256; });
    const cv::Mat open = cv::Mat::zeros(1080, 1920, CV_8U);
    std::vector<BackgroundSample> samples;
    const std::string out =
        outputOf([&] { samples = sampleBackgroundPoints(BackgroundExtractorParams(), matView(*image), open); });

    // Columns 60, 180, ..., 1860 and rows 33, 100, ..., 1038: 16 x 16.
    std::set<float> columns, rows;
    for (const BackgroundSample& s : samples) {
        columns.insert(s.x);
        rows.insert(s.y);
        EXPECT_EQ(s.value, float((int(s.x) + 2 * int(s.y)) % 256));
    }
    ASSERT_EQ(samples.size(), 256u);
    EXPECT_EQ(*columns.begin(), 60.0f);
    EXPECT_EQ(*columns.rbegin(), 1860.0f);
    EXPECT_EQ(*rows.begin(), 33.0f);
    EXPECT_EQ(*rows.rbegin(), 1038.0f);
    EXPECT_TRUE(contains(infoLines(out), "First pass: Sampled 256 background points out of 256 total points")) << out;
    EXPECT_TRUE(contains(infoLines(out), "Masked points: 0 (0.000000%)")) << out;
    EXPECT_FALSE(anyStartsWith(infoLines(out), "Not enough background points")) << out;
}

TEST(BackgroundSampling, FullyMaskedImageRunsAllPassesUpToEachDegreesMinimum)
{
    const ByteImagePtr image = noiseFrame(200, 150, 3, 100, 20, 3);
    const cv::Mat masked(150, 200, CV_8U, cv::Scalar(255));
    const std::size_t minimum[] = {6, 10, 16, 24};
    for (int degree : {1, 4}) {
        EXPECT_EQ(minimumSampleCount(degree), int(minimum[degree - 1]));
        std::vector<BackgroundSample> samples;
        const std::string out =
            outputOf([&] { samples = sampleBackgroundPoints(withDegree(degree), matView(*image), masked); });
        ASSERT_EQ(samples.size(), minimum[degree - 1]) << out;

        const Lines info = infoLines(out);
        // 17 columns (6 + 12k) by 17 rows (4 + 9k), all masked.
        EXPECT_TRUE(contains(info, "First pass: Sampled 0 background points out of 289 total points")) << out;
        EXPECT_TRUE(contains(info, "Masked points: 289 (100.000000%)"));
        EXPECT_TRUE(contains(info, "Not enough background points. Trying with a finer grid..."));
        EXPECT_TRUE(contains(info, "Second pass: Now have 0 background points"));
        EXPECT_TRUE(contains(info, "Still not enough background points. Adding edge and corner points..."));
        EXPECT_TRUE(contains(info, "After adding edge points: Now have 0 background points"));
        EXPECT_TRUE(
            contains(warnLines(out), "Warning: Still not enough background points. Using some masked points..."));
        EXPECT_TRUE(contains(info, "Final count: " + std::to_string(minimum[degree - 1]) + " background points"));
        // Masked points come from the finer grid: steps 6 and 4, offsets 3 and 2.
        for (const BackgroundSample& s : samples) {
            EXPECT_EQ(int(s.x) % 6, 3);
            EXPECT_EQ(int(s.y) % 4, 2);
        }
    }
}

TEST(BackgroundSampling, FinerGridThenEdgePointsFillInBeforeMaskedPoints)
{
    const ByteImagePtr image = flatFrame(200, 150, 1, 50);
    const SamplingGrid grid = samplingGrid(200, 150, 16);

    // Only the first pass's grid masked: the finer grid (x = 3 + 6k, y = 2 + 4k) gives 33 x 37.
    cv::Mat gridMask = cv::Mat::zeros(150, 200, CV_8U);
    for (int y = grid.offsetY; y < 150; y += grid.stepY)
        for (int x = grid.offsetX; x < 200; x += grid.stepX)
            gridMask.at<unsigned char>(y, x) = 255;
    std::string out = outputOf([&] { sampleBackgroundPoints(withDegree(4), matView(*image), gridMask); });
    EXPECT_TRUE(contains(infoLines(out), "Second pass: Now have 1221 background points")) << out;
    EXPECT_FALSE(anyStartsWith(infoLines(out), "Still not enough")) << out;

    // Everything masked but the 36 edge and corner candidates, none on the finer grid.
    cv::Mat edgesOpen(150, 200, CV_8U, cv::Scalar(255));
    std::vector<cv::Point> open{{10, 10}, {10, 140}, {190, 10}, {190, 140}};
    for (int i = 1; i <= 8; ++i)
        open.insert(open.end(),
                    {{20 * i + 10, 10}, {20 * i + 10, 140}, {10, 130 * i / 9 + 10}, {190, 130 * i / 9 + 10}});
    for (const cv::Point& p : open)
        edgesOpen.at<unsigned char>(p) = 0;
    std::vector<BackgroundSample> samples;
    out = outputOf([&] { samples = sampleBackgroundPoints(withDegree(4), matView(*image), edgesOpen); });
    EXPECT_TRUE(contains(infoLines(out), "After adding edge points: Now have 36 background points")) << out;
    EXPECT_FALSE(anyStartsWith(infoLines(out), "Final count")) << out;
    ASSERT_EQ(samples.size(), 36u);
    for (const BackgroundSample& s : samples)
        EXPECT_EQ(edgesOpen.at<unsigned char>(int(s.y), int(s.x)), 0) << s.x << "," << s.y;

    // Smaller than the edge margin: masked points make up the count.
    const ByteImagePtr tiny = flatFrame(8, 8, 1, 50);
    out = outputOf([&] {
        samples = sampleBackgroundPoints(withDegree(1), matView(*tiny), cv::Mat(8, 8, CV_8U, cv::Scalar(255)));
    });
    EXPECT_TRUE(contains(infoLines(out), "After adding edge points: Now have 0 background points")) << out;
    EXPECT_EQ(samples.size(), 6u);
}

TEST(BackgroundModel, FitRecoversAKnownCubicSurface)
{
    const std::vector<double> cubicSurface{40.0, 12.0, -8.0, 5.0, -3.0, 6.0, 2.5, -1.5, 4.0, -2.0};
    // Noise-free samples every 8th pixel of 129x65, where x = col / 128 and y = row / 64 are exact.
    std::vector<BackgroundSample> samples;
    for (int row = 0; row <= 64; row += 8)
        for (int col = 0; col <= 128; col += 8)
            samples.push_back({float(col), float(row), float(cubic(cubicSurface, col / 128.0, row / 64.0))});
    const std::vector<double> fittedCubic = fitBackgroundModel(withDegree(3), samples, 129, 65);
    ASSERT_EQ(fittedCubic.size(), 10u);
    for (std::size_t t = 0; t < 10; ++t)
        EXPECT_NEAR(fittedCubic[t], cubicSurface[t], 1e-6) << "term " << t;

    const cv::Mat model = evaluateBackgroundModel(withDegree(3), cubicSurface, 129, 65);
    ASSERT_EQ(model.type(), CV_32F);
    ASSERT_EQ(model.rows, 65);
    ASSERT_EQ(model.cols, 129);
    for (int row = 0; row < 65; row += 7)
        for (int col = 0; col < 129; col += 11)
            EXPECT_NEAR(model.at<float>(row, col), cubic(cubicSurface, col / 128.0, row / 64.0), 1e-4);
}

TEST(BackgroundModel, NormalisedCoordinatesPutTheFarCornerAtOne)
{
    // The x*y term alone on a 5x3 image: x = col / 4, y = row / 2.
    const cv::Mat xy = evaluateBackgroundModel(withDegree(2), {0, 0, 0, 0, 1, 0}, 5, 3);
    EXPECT_EQ(xy.at<float>(2, 4), 1.0f);
    EXPECT_EQ(xy.at<float>(0, 4), 0.0f);
    EXPECT_EQ(xy.at<float>(2, 0), 0.0f);
    EXPECT_FLOAT_EQ(xy.at<float>(1, 2), 0.25f);
    const cv::Mat x4 = evaluateBackgroundModel(withDegree(4), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 5, 3);
    EXPECT_EQ(x4.at<float>(1, 4), 1.0f);
    EXPECT_FLOAT_EQ(x4.at<float>(1, 2), 0.0625f);
    const cv::Mat y1 = evaluateBackgroundModel(withDegree(1), {0, 0, 1}, 5, 3);
    EXPECT_EQ(y1.at<float>(2, 0), 1.0f);
    EXPECT_EQ(y1.at<float>(1, 3), 0.5f);

    // Samples of value 100 * x at both ends of the row fit a slope of 100.
    const std::vector<double> slope =
        fitBackgroundModel(withDegree(1), {{0, 0, 0}, {99, 0, 100}, {0, 49, 0}, {99, 49, 100}}, 100, 50);
    EXPECT_NEAR(slope[1], 100.0, 1e-9);
    EXPECT_NEAR(slope[2], 0.0, 1e-9);
}

TEST(BackgroundModel, RefusesImagesBelowTwoByTwoAndTooFewSamples)
{
    const ByteImagePtr narrow = flatFrame(1, 300, 1, 20);
    EXPECT_EQ(errorOf([&] { extractBackground(BackgroundExtractorParams(), *narrow); }),
              "Background model needs an image at least 2x2, got 1x300");
    const std::vector<BackgroundSample> four{{0, 0, 1}, {5, 0, 2}, {0, 5, 3}, {5, 5, 4}};
    EXPECT_EQ(errorOf([&] { fitBackgroundModel(withDegree(1), four, 300, 1); }),
              "Background model needs an image at least 2x2, got 300x1");
    EXPECT_EQ(errorOf([&] { evaluateBackgroundModel(withDegree(1), {1, 2, 3}, 1, 1); }),
              "Background model needs an image at least 2x2, got 1x1");

    EXPECT_EQ(errorOf([&] { fitBackgroundModel(withDegree(2), four, 10, 10); }),
              "Too few background samples (4) for a degree-2 model with 6 terms");
    EXPECT_EQ(errorOf([&] { fitBackgroundModel(withDegree(2), {}, 10, 10); }), "No background points to fit");
    EXPECT_THROW(evaluateBackgroundModel(withDegree(2), {1, 2, 3}, 10, 10), std::invalid_argument);

    // 9 pixels for 15 terms; the finer pass over the same pixels must not count them twice.
    const ByteImagePtr tiny = flatFrame(3, 3, 1, 20);
    std::vector<BackgroundSample> samples;
    const std::string out =
        outputOf([&] { samples = sampleBackgroundPoints(withDegree(4), matView(*tiny), cv::Mat::zeros(3, 3, CV_8U)); });
    EXPECT_TRUE(contains(infoLines(out), "Second pass: Now have 9 background points")) << out;
    EXPECT_EQ(errorOf([&] { fitBackgroundModel(withDegree(4), samples, 3, 3); }),
              "Too few background samples (9) for a degree-4 model with 15 terms");
}

TEST(ProtectionMask, FallbackStarMaskCoversTheStarsAndNothingFarFromThem)
{
    const std::vector<Star> stars{{40, 30, 180}, {150, 40, 150}, {100, 100, 200}, {30, 120, 160}, {170, 130, 120}};
    const ByteImagePtr sky = imageFrom(200, 150, 1, [&](int x, int y, int) {
        double value = 20.0;
        for (const Star& s : stars)
            value += s.peak * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (2 * 1.5 * 1.5));
        return int(std::min(value, 255.0));
    });
    const cv::Mat mask = createFallbackStarMask(matView(*sky));
    ASSERT_EQ(mask.type(), CV_8UC1);
    ASSERT_EQ(mask.size(), cv::Size(200, 150));
    for (const Star& s : stars)
        EXPECT_EQ(mask.at<unsigned char>(int(s.y), int(s.x)), 255) << s.x << "," << s.y;
    int strayMarks = 0;
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x)
            strayMarks += !nearAnyStar(x, y, stars, 20.0) && mask.at<unsigned char>(y, x) != 0;
    EXPECT_EQ(strayMarks, 0);
}

TEST(ProtectionMask, CoverageAboveEightyPercentFallsBackToBrightAreasAndStars)
{
    // Strong noise trips the local threshold almost everywhere.
    const ByteImagePtr noisy = noiseFrame(160, 120, 1, 100, 60, 17);
    cv::Mat mask;
    const std::string out =
        outputOf([&] { mask = createProtectionMask(BackgroundExtractorParams(), matView(*noisy)); });

    const Lines info = infoLines(out);
    EXPECT_GT(loggedValue(info, "Protection mask covers "), 80.0) << out;
    EXPECT_TRUE(contains(warnLines(out), "Warning: Protection mask covers too much of the image. Adjusting...")) << out;
    const double adjusted = loggedValue(info, "Adjusted protection mask covers ");
    EXPECT_NEAR(adjusted, cv::countNonZero(mask) * 100.0 / (160 * 120), 1e-5);

    // Every pixel of the equalised image above 1.2 x Otsu's threshold stays.
    cv::Mat enhanced, unused, bright;
    cv::createCLAHE(2.0, cv::Size(8, 8))->apply(matView(*noisy), enhanced);
    const double otsu = cv::threshold(enhanced, unused, 0, 255, cv::THRESH_OTSU);
    cv::threshold(enhanced, bright, 1.2 * otsu, 255, cv::THRESH_BINARY);
    EXPECT_EQ(cv::countNonZero(bright & ~mask), 0);
    EXPECT_GT(cv::countNonZero(bright), 0);
}

TEST(BackgroundSubtraction, NeverWrapsBelowZeroAndTakesTheSameModelFromEachChannel)
{
    const ByteImagePtr grey = imageFrom(4, 1, 1, [](int x, int, int) { return std::vector<int>{10, 50, 200, 255}[x]; });
    const ByteImagePtr model = imageFrom(4, 1, 1, [](int x, int, int) { return std::vector<int>{30, 50, 20, 0}[x]; });
    const ByteImagePtr darker = subtractBackground(*grey, *model);
    ASSERT_EQ(darker->channels(), 1);
    EXPECT_EQ(std::vector<int>(darker->data(), darker->data() + 4), (std::vector<int>{0, 0, 180, 255}));

    const ByteImagePtr colour = imageFrom(4, 1, 3, [](int x, int, int c) { return 20 * x + 60 * c; });
    const ByteImagePtr result = subtractBackground(*colour, *model);
    ASSERT_EQ(result->channels(), 3);
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(result->getPixel(x, 0, c), std::max(20 * x + 60 * c - model->getPixel(x, 0), 0))
                << x << "," << c;
    EXPECT_EQ(colour->getPixel(0, 0, 2), 120);  // the input is untouched

    // A flat model of another size is stretched over the image.
    const ByteImagePtr small = flatFrame(2, 1, 1, 15);
    const ByteImagePtr stretched = subtractBackground(*colour, *small);
    EXPECT_EQ(stretched->getPixel(3, 0, 2), 20 * 3 + 120 - 15);
    EXPECT_EQ(stretched->getPixel(1, 0, 0), 20 - 15);
    EXPECT_EQ(stretched->getPixel(0, 0, 0), 0);
}

TEST(BackgroundAdjustment, PercentageChoosesDegreeAndGridSize)
{
    const struct {
        float percent;
        int degree, grid;
    } cases[] = {{0, 3, 16}, {15, 3, 18}, {70, 3, 27}, {71, 4, 27}, {100, 4, 32}};
    for (const auto& c : cases)
        EXPECT_EQ(valuesOf(backgroundParamsForPercentage(c.percent)), (ParamValues{c.degree, c.grid, 0.5f, 0.5f}))
            << c.percent;
    EXPECT_EQ(valuesOf(conservativeBackgroundParams()), (ParamValues{1, 32, 0.8f, 0.8f}));
}

TEST(BackgroundAdjustment, CachedNoNebulosityResultSkipsDetection)
{
    ImageStacker stacker = stackerWithCachedNebulosity(false, 0.1f);
    stacker.settings()->nebulosityDetection = true;
    const ByteImagePtr sky = gradientSky(160, 120, 3, randomStars(8, 160, 120, 5), 5);
    ByteImagePtr result;
    const std::string out = outputOf([&] { result = stacker.applyBackgroundAdjustment(sky, 15.0f); });

    const Lines info = infoLines(out);
    const Lines expected{"Background adjustment percentage: 15.000000",
                         "Using cached nebulosity detection results: no nebulosity, score: 0.100000",
                         "Using BackgroundExtractor with parameters:",
                         "  Polynomial degree: 3",
                         "  Grid size: 18",
                         "  Protection threshold: 0.500000",
                         "  Smoothness factor: 0.500000",
                         "Generating background model..."};
    ASSERT_GE(info.size(), expected.size()) << out;
    EXPECT_EQ(Lines(info.begin(), info.begin() + 8), expected) << out;
    EXPECT_EQ(Lines(info.end() - 3, info.end()),
              (Lines{"Background model generated successfully", "Applying pure background subtraction...",
                     "Pure background subtraction applied successfully"}));
    EXPECT_FALSE(contains(info, "Checking for extensive nebulosity...")) << out;
    EXPECT_FALSE(contains(info, "Nebulosity detection results:")) << out;
    ASSERT_EQ(result->width(), 160);
    ASSERT_EQ(result->channels(), 3);
}

TEST(BackgroundAdjustment, DetectedNebulosityFlattensTheModelOrSkipsItAboveEightTenths)
{
    const ByteImagePtr sky = gradientSky(160, 120, 1, randomStars(8, 160, 120, 6), 6);

    ImageStacker moderate = stackerWithCachedNebulosity(true, 0.5f);
    std::string out = outputOf([&] { moderate.applyBackgroundAdjustment(sky, 15.0f); });
    Lines info = infoLines(out);
    EXPECT_TRUE(contains(warnLines(out),
                         "Extensive nebulosity detected! Adjusting background extraction to preserve details."));
    EXPECT_TRUE(contains(info, "Adjusted background percentage: 9.000000")) << out;  // (1 - 0.8 * 0.5) * 15
    EXPECT_TRUE(contains(info, "  Polynomial degree: 1"));
    EXPECT_TRUE(contains(info, "  Grid size: 32"));
    EXPECT_TRUE(contains(info, "  Protection threshold: 0.800000"));
    EXPECT_TRUE(contains(info, "  Smoothness factor: 0.800000"));
    EXPECT_TRUE(contains(info, "  Using conservative settings due to detected nebulosity (score: 0.500000)"));

    ImageStacker atLimit = stackerWithCachedNebulosity(true, 0.8f);
    out = outputOf([&] { atLimit.applyBackgroundAdjustment(sky, 15.0f); });
    EXPECT_TRUE(contains(infoLines(out), "Pure background subtraction applied successfully")) << out;
    EXPECT_FALSE(anyStartsWith(warnLines(out), "Very high nebulosity score")) << out;

    ImageStacker overwhelming = stackerWithCachedNebulosity(true, 0.81f);
    ByteImagePtr result;
    out = outputOf([&] { result = overwhelming.applyBackgroundAdjustment(sky, 15.0f); });
    EXPECT_TRUE(contains(warnLines(out),
                         "Very high nebulosity score (0.810000). Disabling background adjustment completely."))
        << out;
    EXPECT_FALSE(contains(infoLines(out), "Generating background model..."));
    EXPECT_NE(result, sky);
    EXPECT_TRUE(std::equal(sky->data(), sky->data() + sky->size(), result->data()));
}

TEST(BackgroundAdjustment, FreshDetectionIsCachedAndItsVisualisationSaved)
{
    const TempDir dir;
    const ByteImagePtr sky = gradientSky(120, 90, 3, randomStars(6, 120, 90, 7), 7);
    ImageStacker stacker;
    stacker.settings()->diagnostic = true;
    stacker.settings()->diagnosticPrefix = dir.file("run_");
    stacker.settings()->nebulosityThreshold = 1.0f;  // never extensive
    const std::string out = outputOf([&] { stacker.applyBackgroundAdjustment(sky, 15.0f); });

    const Lines info = infoLines(out);
    EXPECT_TRUE(contains(info, "Checking for extensive nebulosity...")) << out;
    EXPECT_TRUE(contains(info, "Extensive nebulosity detected: NO"));
    EXPECT_TRUE(stacker.settings()->nebulosityChecked);
    EXPECT_FALSE(stacker.settings()->nebulosityDetected);
    EXPECT_NEAR(stacker.settings()->nebulosityScore, loggedValue(info, "  Nebulosity score: "), 1e-6);
    const std::string path = dir.file("run_nebulosity_detection.jpg");
    EXPECT_TRUE(contains(info, "Saved nebulosity detection visualization to " + path));
    const ByteImagePtr saved = loadImage(path);
    EXPECT_EQ(saved->width(), 2 * 120 + 20);
    EXPECT_EQ(saved->height(), 2 * 90 + 20);

    // The second call takes the cached result.
    const std::string again = outputOf([&] { stacker.applyBackgroundAdjustment(sky, 15.0f); });
    EXPECT_FALSE(contains(infoLines(again), "Checking for extensive nebulosity..."));
    EXPECT_TRUE(anyStartsWith(infoLines(again), "Using cached nebulosity detection results: no nebulosity"));

    // Detection off and nothing cached: subtract with the percentage's model.
    ImageStacker undetected;
    undetected.settings()->nebulosityDetection = false;
    const std::string skipped = outputOf([&] { undetected.applyBackgroundAdjustment(sky, 15.0f); });
    EXPECT_FALSE(anyStartsWith(infoLines(skipped), "Checking for")) << skipped;
    EXPECT_FALSE(undetected.settings()->nebulosityChecked);
    EXPECT_TRUE(contains(infoLines(skipped), "  Polynomial degree: 3"));
}

TEST(BackgroundAdjustment, FailedVisualisationWriteIsLoggedAndTheSubtractionGoesOn)
{
    const TempDir dir;
    const ByteImagePtr sky = gradientSky(120, 90, 1, randomStars(6, 120, 90, 8), 8);
    ImageStacker stacker;
    stacker.settings()->diagnostic = true;
    stacker.settings()->diagnosticPrefix = dir.file("missing/run_");
    ByteImagePtr result;
    const std::string out = outputOf([&] { result = stacker.applyBackgroundAdjustment(sky, 15.0f); });

    const std::string path = dir.file("missing/run_nebulosity_detection.jpg");
    const std::string start = "Could not save nebulosity detection visualization to " + path + ": ";
    EXPECT_TRUE(anyStartsWith(logMessages(out, "[ERRO] "), start)) << out;
    EXPECT_FALSE(contains(infoLines(out), "Saved nebulosity detection visualization to " + path));
    EXPECT_FALSE(fileExists(path));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->width(), 120);
}

TEST(BackgroundAdjustment, RemovesALinearGradientAndKeepsTheStars)
{
    const int width = 240, height = 180;
    const std::vector<Star> stars = randomStars(25, width, height, 11);
    const ByteImagePtr sky = gradientSky(width, height, 3, stars, 11);
    ImageStacker stacker = stackerWithCachedNebulosity(false, 0.0f);
    ByteImagePtr result;
    outputOf([&] { result = stacker.applyBackgroundAdjustment(sky, 15.0f); });

    // Background means of vertical strips: 40 levels apart before, flat after.
    for (int c = 0; c < 3; ++c) {
        std::vector<double> stripMeans;
        for (int strip = 0; strip < 6; ++strip) {
            double sum = 0.0;
            int count = 0;
            for (int y = 0; y < height; ++y)
                for (int x = strip * 40; x < strip * 40 + 40; ++x)
                    if (!nearAnyStar(x, y, stars, 8.0)) {
                        sum += result->getPixel(x, y, c);
                        ++count;
                    }
            stripMeans.push_back(sum / count);
        }
        const auto [low, high] = std::minmax_element(stripMeans.begin(), stripMeans.end());
        EXPECT_LT(*high - *low, 2.0) << "channel " << c;
        EXPECT_LT(*high, 12.0) << "channel " << c;
    }
    for (const Star& s : stars)
        EXPECT_GT(result->getPixel(int(std::lround(s.x)), int(std::lround(s.y)), 1), 40) << s.x << "," << s.y;
}

TEST(PostProcess, BackgroundAdjustmentRunsFirstWhenSetWithAPositivePercentage)
{
    const ByteImagePtr sky = gradientSky(120, 90, 3, randomStars(6, 120, 90, 9), 9);
    ImageStacker stacker = stackerWithCachedNebulosity(false, 0.0f);
    stacker.settings()->backgroundPercent = 20.0f;
    EXPECT_EQ(stacker.postProcess(sky), sky);
    stacker.settings()->backgroundSet = true;
    stacker.settings()->backgroundPercent = 0.0f;
    EXPECT_EQ(stacker.postProcess(sky), sky);

    // k-means seeds from OpenCV's per-thread generator: same state, same model.
    stacker.settings()->backgroundPercent = 20.0f;
    stacker.settings()->compressionSet = true;
    ByteImagePtr subtracted, processed;
    outputOf([&] {
        cv::theRNG().state = 2024;
        subtracted = stacker.applyBackgroundAdjustment(sky, 20.0f);
        cv::theRNG().state = 2024;
        processed = stacker.postProcess(sky);
    });
    const ByteImagePtr expected = applyCompression(*subtracted, stacker.settings()->compression);
    EXPECT_TRUE(std::equal(expected->data(), expected->data() + expected->size(), processed->data()));
    EXPECT_FALSE(std::equal(sky->data(), sky->data() + sky->size(), processed->data()));
}
