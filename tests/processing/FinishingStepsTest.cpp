#include <cmath>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "processing/BackgroundAdjustment.h"
#include "processing/Compression.h"
#include "processing/ContrastAdjustment.h"
#include "processing/LocalHistogramEqualization.h"
#include "processing/MedianFilter.h"
#include "processing/ProcessingTestHelpers.h"
#include "processing/SaturationAdjustment.h"

namespace {

// Every post-processing step flagged (or not), with these values.
void setSteps(StackerSettings& s, bool flagged, float background, float contrast, float saturation, float compression,
              int window, int median, int denoise)
{
    s.backgroundSet = s.contrastSet = s.saturationSet = s.compressionSet = flagged;
    s.histEqSet = s.medianFilterSet = s.denoiseSet = flagged;
    s.backgroundPercent = background;
    s.contrast = contrast;
    s.saturation = saturation;
    s.compression = compression;
    s.histEqWindow = window;
    s.medianFilterSize = median;
    s.denoiseMethod = denoise;
}

// Standard deviation of all samples.
double deviation(const ByteImage& image)
{
    cv::Scalar mean, deviation;
    cv::meanStdDev(matView(image).reshape(1), mean, deviation);
    return deviation[0];
}

// The image repeated 50 x 40 times: past the threading threshold the loops
// split into shares, and every share must map like the first.
ByteImagePtr tiled(const ByteImage& image)
{
    cv::Mat tiles;
    cv::repeat(matView(image), 50, 40, tiles);
    return bufferFromMat(tiles);
}

// Percentiles 3rd and 17th of 20: L = 10 q, H = 200 q (q = 255/256), M = (L + H) / 2; out = M + k (v - M) up to H.
const Samples kStretchChannel = {10, 10, 10, 50, 50, 50, 50, 100, 100, 100,
                                 100, 100, 150, 150, 150, 150, 200, 230, 250, 255};
// L = q, H = 40 q.
const Samples kDarkChannel = {0, 0, 0, 0, 20, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 120, 120, 120};

}  // namespace

TEST(ContrastAdjustment, StretchesEachChannelAroundItsOwnPercentiles)
{
    // Channels: the stretch example, the dark one and a flat 77 (L == H: nothing to stretch, no division by zero).
    const Samples channels[] = {kStretchChannel, kDarkChannel, Samples(20, 77)};
    const ByteImagePtr image = imageFrom(5, 4, 3, [&](int x, int y, int c) { return channels[c][y * 5 + x]; });
    const ByteImagePtr result = applyContrastAdjustment(*image, 50.0f);  // k = 0.5
    // M + 0.5 (v - M) up to H; above it blended towards v by w = (v - H) / (255 - H): 230 -> 201.90.
    EXPECT_EQ(channelOf(*result, 0), (Samples{57, 57, 57, 77, 77, 77, 77, 102, 102, 102,
                                              102, 102, 127, 127, 127, 127, 152, 201, 243, 255}));
    // M = 20.5 q: 0 -> 10.21, 40 (above H) -> 30.22, 120 -> 88.76 (L = 0 would give 9, 19, 29).
    EXPECT_EQ(channelOf(*result, 1), (Samples{10, 10, 10, 10, 20, 30, 30, 30, 30, 30,
                                              30, 30, 30, 30, 30, 30, 30, 88, 88, 88}));
    EXPECT_EQ(channelOf(*result, 2), channels[2]);
    // Tiling keeps every percentile.
    EXPECT_EQ(samplesOf(*applyContrastAdjustment(*tiled(*image), 50.0f)), samplesOf(*tiled(*result)));

    // The weakest setting, k = 0.1, is lifted to 0.2: 100 -> M - 0.2 (M - 100) = 103.67 (104.13 with 0.1).
    const ByteImagePtr weak = applyContrastAdjustment(*imageOf(5, 4, 1, kStretchChannel), 10.0f);
    EXPECT_EQ(weak->data()[7], 103);
    EXPECT_EQ(weak->data()[19], 255);
}

TEST(SaturationAdjustment, ScalesSaturationByBrightnessBandAndLeavesGreyAlone)
{
    // (m, m, V) with S = 102: S' = S x band factor, B = V (1 - S' / 255); 140 -> 38, 185 -> 74, 250 floored at 0.2.
    const Samples pixels = {84, 84, 140, 111, 111, 185, 138, 138, 230, 150, 150, 250, 24, 24, 40};
    const Samples expected = {38, 38, 140, 74, 74, 185, 168, 168, 230, 221, 221, 250, 16, 16, 40};
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*imageOf(5, 1, 3, pixels), 150.0f)), expected);
    // Past the threading threshold every share maps alike: full saturation turns (40, 40, 140) into (0, 0, 140).
    const ByteImagePtr strong = tiled(*imageOf(2, 1, 3, {40, 40, 140, 90, 90, 90}));
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*strong, 200.0f)),
              samplesOf(*tiled(*imageOf(2, 1, 3, {0, 0, 140, 90, 90, 90}))));

    // Grey levels in every brightness band, black and white included, stay grey.
    Samples grey;
    for (int v : {0, 30, 51, 120, 179, 190, 201, 255})
        grey.insert(grey.end(), {v, v, v});
    for (float saturation : {0.0f, 200.0f})
        EXPECT_EQ(samplesOf(*applySaturationAdjustment(*imageOf(8, 1, 3, grey), saturation)), grey) << saturation;
    // One channel has no colour: copied unchanged.
    const ByteImagePtr single = imageOf(6, 1, 1, {0, 40, 90, 120, 200, 255});
    EXPECT_EQ(samplesOf(*applySaturationAdjustment(*single, 200.0f)), samplesOf(*single));
}

TEST(Compression, KeepsBlackAndWhiteAndLiftsMidTones)
{
    const ByteImagePtr image = imageOf(4, 1, 1, {0, 1, 64, 128});
    // 255 (v / 255)^gamma: gamma 0.82 gives 2.71, 82.08, 144.91; gamma 0.1 gives 146.52, 222.08, 238.02.
    EXPECT_EQ(samplesOf(*applyCompression(*image, 20.0f)), (Samples{0, 2, 82, 144}));
    EXPECT_EQ(samplesOf(*applyCompression(*image, 100.0f)), (Samples{0, 146, 222, 238}));
    // White stays white at every setting (the quotient form gave 254 at P = 8, 9, 11, 23, ...).
    const ByteImagePtr white = imageOf(1, 1, 1, {255});
    for (int percent = 0; percent <= 100; ++percent)
        EXPECT_EQ(applyCompression(*white, float(percent))->data()[0], 255) << percent;
}

TEST(LocalHistogramEqualization, LiftsFaintLocalContrastInEachChannelOnAGridSetByTheOddWindow)
{
    // 310 / 63 = 4.9 gives 4 tiles; the even window 62 taken as it is would give 5.
    EXPECT_EQ(claheTileCount(310, 62), 4);

    // A faint slope of 7 levels across each channel, on a different level per channel.
    const ByteImagePtr image =
        imageFrom(64, 64, 3, [](int x, int y, int c) { return 57 + 50 * c + (x + y) / 18; });
    const ByteImagePtr result = applyLocalHistogramEqualization(*image, 31, 4.0f);
    for (int c = 0; c < 3; ++c) {
        const Samples before = channelOf(*image, c), after = channelOf(*result, c);
        cv::Scalar mean, spreadBefore, spreadAfter;
        cv::meanStdDev(before, mean, spreadBefore);
        cv::meanStdDev(after, mean, spreadAfter);
        EXPECT_GT(spreadAfter[0], 2.0 * spreadBefore[0]) << c;
    }
    EXPECT_NE(samplesOf(*applyLocalHistogramEqualization(*image, 31, 1.0f)), samplesOf(*result));
}

TEST(MedianFilter, RemovesOutliersPerChannelWithEvenSizesMadeOddAndRefusesSizesPast255)
{
    // Planes 10 + x, 20 + y and 200, with outliers 255, 255 and 0 at the centre: with edges
    // replicated the 13th of 25 in column x's window is 10 + x, outlier or not.
    const auto gradient = [](int x, int y, int c) { return c == 0 ? 10 + x : (c == 1 ? 20 + y : 200); };
    const ByteImagePtr image =
        imageFrom(5, 5, 3, [&](int x, int y, int c) { return x == 2 && y == 2 ? 255 * (c < 2) : gradient(x, y, c); });
    const Samples clean = samplesOf(*imageFrom(5, 5, 3, gradient));
    EXPECT_EQ(samplesOf(*applyMedianFilter(*image, 5)), clean);
    // A kernel wider than the image: 9 replicated columns, the middle one still x.
    EXPECT_EQ(samplesOf(*applyMedianFilter(*image, 9)), clean);

    // A 3x3 block of 255: a 3x3 median keeps its centre, a 5x5 one (asked as 4) sees at most 9 of 25.
    const ByteImagePtr block =
        imageFrom(7, 7, 1, [](int x, int y, int) { return x >= 2 && x <= 4 && y >= 2 && y <= 4 ? 255 : 10; });
    EXPECT_EQ(samplesOf(*applyMedianFilter(*block, 4)), Samples(49, 10));
    EXPECT_EQ(applyMedianFilter(*block, 3)->getPixel(3, 3), 255);

    // OpenCV's median goes wrong for larger kernels on noisy planes.
    EXPECT_NO_THROW(applyMedianFilter(*image, 254));  // applied as 255
    EXPECT_THROW(applyMedianFilter(*image, 256), std::invalid_argument);
    EXPECT_THROW(applyMedianFilter(*image, -3), std::invalid_argument);
}

TEST(Denoising, BothFiltersSmoothGreyAndColourNoiseAndOtherMethodsCopy)
{
    ImageStacker stacker;
    for (int channels : {1, 3}) {
        const ByteImagePtr noisy = noiseFrame(48, 32, channels, 120, 30, 61);
        for (int method : {1, 2})
            EXPECT_LT(deviation(*stacker.applyDenoising(noisy, method, 20)), deviation(*noisy) / 2)
                << "method " << method << ", " << channels << " channels";
        const ByteImagePtr copy = stacker.applyDenoising(noisy, 3, 20);
        EXPECT_NE(copy, noisy);
        EXPECT_EQ(samplesOf(*copy), samplesOf(*noisy));
    }
}

TEST(DiagnosticImages, NeedDiagnosticModeAndAPrefixAndAFailedSaveIsOnlyLogged)
{
    // Written under the prefix, the denoised image and the first detection's mosaic are seen by the
    // command-line tests; here the cases where nothing may be written.
    const TempDir dir;
    const ByteImagePtr image = noiseFrame(48, 32, 3, 128, 100, 81);
    // Each step still hands back its result.
    using Step = std::function<bool(ImageStacker&)>;
    const std::pair<Step, std::string> steps[] = {
        {[&](ImageStacker& s) { return samplesOf(*s.applyDenoising(image, 3, 10)) == samplesOf(*image); },
         "denoised.jpg"},
        {[&](ImageStacker& s) { return s.applyBackgroundAdjustment(image, 15.0f) != nullptr; },
         "nebulosity_detection.jpg"}};
    for (const auto& [step, name] : steps)
        for (const auto& [diagnostic, prefix] : {std::pair(false, dir.file("off_")), std::pair(true, std::string()),
                                                 std::pair(true, dir.file("missing/run_"))}) {
            ImageStacker stacker;
            stacker.settings()->diagnostic = diagnostic;
            stacker.settings()->diagnosticPrefix = prefix;
            testing::internal::CaptureStdout();
            EXPECT_TRUE(step(stacker));
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_FALSE(fileExists(prefix + name)) << prefix + name;
            // The unwritable folder is reported, not thrown.
            EXPECT_EQ(out.find(prefix + name) != std::string::npos, diagnostic && !prefix.empty()) << out;
        }
}

TEST(PostProcess, StepsRunOnlyWhenFlaggedAndAwayFromNeutralEachInItsOwnPlace)
{
    const ByteImagePtr image = noiseFrame(40, 30, 3, 100, 90, 92);
    const Samples before = samplesOf(*image);
    ImageStacker stacker;
    StackerSettings& s = *stacker.settings();
    s.nebulosityChecked = true;  // no nebulosity, without a detection per run
    setSteps(s, false, 15.0f, 150.0f, 150.0f, 30.0f, 15, 3, 2);
    EXPECT_EQ(stacker.postProcess(image), image);
    // Within 0.01 of 100 % counts as no change.
    setSteps(s, true, 0.0f, 100.009f, 99.991f, 0.0f, 0, 0, 0);
    EXPECT_EQ(stacker.postProcess(image), image);
    setSteps(s, true, 0.0f, 100.02f, 100.0f, 0.0f, 0, 0, 0);
    EXPECT_EQ(samplesOf(*stacker.postProcess(image)), samplesOf(*applyContrastAdjustment(*image, 100.02f)));
    // Any denoising method but 0 reaches the step, which copies for unknown ones.
    setSteps(s, true, 0.0f, 100.0f, 100.0f, 0.0f, 0, 0, -1);
    EXPECT_NE(stacker.postProcess(image), image);

    setSteps(s, true, 20.0f, 150.0f, 160.0f, 30.0f, 11, 3, 2);
    using Step = std::function<ByteImagePtr(const ByteImagePtr&)>;
    const std::vector<Step> steps = {
        [&](const ByteImagePtr& i) { return stacker.applyBackgroundAdjustment(i, 20.0f); },
        [](const ByteImagePtr& i) { return applyContrastAdjustment(*i, 150.0f); },
        [](const ByteImagePtr& i) { return applySaturationAdjustment(*i, 160.0f); },
        [](const ByteImagePtr& i) { return applyCompression(*i, 30.0f); },
        [](const ByteImagePtr& i) { return applyLocalHistogramEqualization(*i, 11, 1.0f); },
        [](const ByteImagePtr& i) { return applyMedianFilter(*i, 3); },
        [&](const ByteImagePtr& i) { return stacker.applyDenoising(i, 2, 10); }};
    const auto inOrder = [&](const std::vector<Step>& order) {
        ByteImagePtr current = image;
        for (const Step& step : order)
            current = seeded([&] { return step(current); });
        return samplesOf(*current);
    };
    const Samples result = samplesOf(*seeded([&] { return stacker.postProcess(image); }));
    EXPECT_EQ(result, inOrder(steps));
    // Each pair of neighbours gives another result when swapped, so the order above is the one taken.
    for (std::size_t i = 0; i + 1 < steps.size(); ++i) {
        std::vector<Step> swapped = steps;
        std::swap(swapped[i], swapped[i + 1]);
        EXPECT_NE(result, inOrder(swapped)) << "steps " << i << " and " << i + 1;
    }
    EXPECT_EQ(samplesOf(*image), before);
}
