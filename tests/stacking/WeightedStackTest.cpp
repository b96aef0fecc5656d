#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "SkySimulator.h"
#include "alignment/WarpFrame.h"
#include "image/FitsFile.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "stacking/RunningMean.h"
#include "support/TestSupport.h"

namespace {

// The darkest of the four border strips, 5 % of the frame wide, against the centre, by their medians.
float edgeToCentre(const FloatImage& stack)
{
    const int w = stack.width(), h = stack.height(), band = h / 20;
    const auto median = [&](const cv::Rect& area) {
        const cv::Mat part = cv::Mat(h, w, CV_32F, const_cast<float*>(stack.data()))(area).clone();
        std::vector<float> samples(part.begin<float>(), part.end<float>());
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        return samples[samples.size() / 2];
    };
    float darkest = 1e9f;
    for (const cv::Rect& strip : {cv::Rect(0, 0, w, band), cv::Rect(0, h - band, w, band), cv::Rect(0, 0, band, h),
                                  cv::Rect(w - band, 0, band, h)})
        darkest = std::min(darkest, median(strip));
    return darkest / median(cv::Rect(w / 4, h / 4, w / 2, h / 2));
}

}  // namespace

TEST(WeightedStack, CoverageIsWhereTheBilinearWarpReadsOnlyInsideTheFrame)
{
    const ByteImagePtr flat = flatFrame(20, 10, 1, 200);
    for (const auto& [dx, dy, covered] :
         {std::tuple(0.0, 0.0, 200), {3.0, 0.0, 170}, {2.5, 0.0, 170}, {-2.5, 1.0, 153}}) {
        const cv::Mat shift(cv::Matx33d(1, 0, dx, 0, 1, dy, 0, 0, 1));
        const ByteImagePtr coverage = warpCoverage(20, 10, shift, 20, 10);
        const ByteImagePtr warped = warpFrame(matView(*flat), shift, 20, 10, 1);
        EXPECT_EQ(cv::countNonZero(matView(*coverage)), covered) << dx;
        for (std::size_t i = 0; i < warped->size(); ++i)
            EXPECT_EQ(coverage->data()[i] != 0, warped->data()[i] == 200) << dx << " at " << i;
    }
}

// One pixel, clipped beyond 2 sigma once it holds 3 samples.
TEST(WeightedStack, FoldCountsCoveredSamplesAndClipsOnlyOnceThePixelHasItsFrames)
{
    FloatImage mean(1, 1, 1);
    StackPlanes planes;
    completePlanes(planes, mean, 0, true);
    const ClipBounds clip{3, 2.0f, 2.0f, 0.0f};
    const ByteImage uncovered(1, 1, 1);
    // After 10, 14, 12: mean 12, M2 8, sigma 2, so 17 lies beyond 16 and 8 on the lower bound.
    for (const auto& [x, covers, expectedMean, weight, clipped] :
         {std::tuple(10.0f, true, 10.0f, 1.0f, 0u), {14.0f, true, 12.0f, 2.0f, 0u}, {12.0f, true, 12.0f, 3.0f, 0u},
          {17.0f, true, 12.0f, 3.0f, 1u}, {8.0f, true, 11.0f, 4.0f, 0u}, {90.0f, false, 11.0f, 4.0f, 0u}}) {
        const FloatImage frame(&x, 1, 1, 1, true);
        EXPECT_EQ(foldFrame(mean, planes, frame, covers ? nullptr : &uncovered, clip), clipped) << x;
        EXPECT_EQ(mean.data()[0], expectedMean) << x;
        EXPECT_EQ(planes.weight->data()[0], weight) << x;
    }
    EXPECT_EQ(planes.m2->data()[0], 20.0f);  // 8 + (8 - 12) * (8 - 11)
}

// The field drifts 4 px right and 3 px down a frame: the strips along two
// edges are seen by one to three of the six frames only.
TEST(WeightedStack, EdgesOfADriftingStackStayAsBrightAsItsCentreWithAFitsState)
{
    SkySimSettings settings;
    std::tie(settings.width, settings.height, settings.channels, settings.frames, settings.seed) =
        std::make_tuple(320, 240, 1, 6, 7);
    settings.background.gradient = 0.0;
    settings.starField.starsPerFrame = 80;
    std::tie(settings.motion.driftX, settings.motion.driftY) = std::make_tuple(4.0, 3.0);
    const SkySimulator sky(settings);
    TempDir dir;
    // A JPEG state cannot hold weights: uncovered pixels are averaged in as black.
    for (const auto& [state, low, high] : {std::tuple("state.fits", 0.97f, 1.03f), {"state.jpg", 0.0f, 0.6f}}) {
        for (int k = 1; k <= settings.frames; ++k) {
            saveImage(dir.file("frame.fits"), sky.exposure(k));
            ASSERT_EQ(runPelorum({"-o", dir.file("o.jpg"), "-e", dir.file(state), dir.file("frame.fits")}).exitCode, 0);
        }
        const float ratio = edgeToCentre(*loadFloatImage(dir.file(state)));
        EXPECT_TRUE(ratio >= low && ratio <= high) << state << ": " << ratio;
    }
}

// An older state of four frames of 100, then 130 twice (with the same stars,
// to register by): with the mean (weight 5, mean 106), then with the sigma
// clip, whose variance starts on that sample.
TEST(WeightedStack, AStateWithoutPlanesTakesItsCountAsWeightAndStartsAVariance)
{
    TempDir dir;
    const std::string state = dir.file("state.fits"), frame = dir.file("f.fits");
    saveImage(state, toFloat(*withStars(flatFrame(64, 48, 1, 100))));
    writeFile(state + ".meta", "4");
    saveImage(frame, withStars(flatFrame(64, 48, 1, 130)));
    for (const std::string method : {"mean", "sigmaclip"})
        ASSERT_EQ(runPelorum({"-m", method, "-o", dir.file("out.jpg"), "-e", state, frame}).exitCode, 0);
    // Away from the stars and from the border, which a registration a hair
    // off the identity leaves uncovered.
    const auto at = [&](const FloatImagePtr& plane) { return plane->getPixel(5, 5); };
    const float mean = at(loadFloatImage(state));
    EXPECT_FLOAT_EQ(mean, 106.0f + (130.0f - 106.0f) / 6.0f);
    EXPECT_EQ(at(readFloatFitsExtension(state, "WEIGHT")), 6.0f);
    EXPECT_EQ(at(readFloatFitsExtension(state, "M2COUNT")), 1.0f);
    EXPECT_FLOAT_EQ(at(readFloatFitsExtension(state, "M2")), (130.0f - 106.0f) * (130.0f - mean));
}

// Ten still frames of noise about 100, the second 10 brighter all over: it
// comes before the clip has 5 samples and is kept. A trail 150 above the sky
// crosses the eighth.
TEST(WeightedStack, SigmaClipKeepsATrailOutOfTheStack)
{
    TempDir dir;
    const std::string frame = dir.file("frame.jpg"), out = dir.file("o.jpg");
    const auto stackOf = [&](const std::string& state, bool trail) {
        for (int k = 1; k <= 10; ++k) {
            const ByteImagePtr image = withStars(noiseFrame(96, 64, 3, k == 2 ? 110 : 100, 8, unsigned(k)));
            for (int x = 0; trail && k == 8 && x < 96; ++x)
                for (int c = 0; c < 3; ++c)
                    image->setPixel(x, 30, 250, c);
            saveImage(frame, image);
            EXPECT_EQ(runPelorum({"-m", "sigmaclip", "-g", "5,2,2", "-o", out, "-e", state, frame}).exitCode, 0);
        }
        return loadFloatImage(state);
    };
    const FloatImagePtr clean = stackOf(dir.file("clean.fits"), false), trailed = stackOf(dir.file("trail.fits"), true);
    double along = 0.0;
    for (int x = 0; x < 96; ++x)
        for (int c = 0; c < 3; ++c)
            along += (trailed->getPixel(x, 30, c) - clean->getPixel(x, 30, c)) / (96.0 * 3.0);
    EXPECT_LE(std::abs(along), 2.0);  // averaged in, the trail would add about 10
    std::vector<float> samples(clean->data(), clean->data() + clean->size());
    std::nth_element(samples.begin(), samples.begin() + std::ptrdiff_t(samples.size() / 2), samples.end());
    EXPECT_NEAR(samples[samples.size() / 2], 101.0, 0.5);  // the sky, with the brighter frame in
}
