#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <set>
#include <sstream>
#include <utility>

#include "FrameTransforms.h"
#include "SkySimulator.h"
#include "image/ImageFile.h"
#include "support/TestSupport.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// Registration is measured to a few hundredths of a pixel; renders must hold to a fraction of that.
constexpr double kPositionTolerance = 0.002;

// A sky of nothing at all: no stars, no background, no noise.
SkySimSettings emptySky(int width, int height, int channels)
{
    SkySimSettings s;
    s.width = width;
    s.height = height;
    s.channels = channels;
    s.frames = 1;
    s.starField.starsPerFrame = 0;
    s.background.sky = 0;
    s.background.gradient = 0;
    s.noise.readNoise = 0;
    s.noise.gain = 0;
    return s;
}

SkyModel singleStarSky(const Star& star, double fwhm = 3.0, double beta = 3.0)
{
    BackgroundSettings dark;
    dark.sky = 0;
    dark.gradient = 0;
    return SkyModel({star}, MoffatProfile(fwhm, beta), SkyBackground(dark, 1, 1, {}));
}

Star starAt(double x, double y, double flux)
{
    Star star;
    star.position = cv::Point2d(x, y);
    star.flux = flux;
    return star;
}

// Intensity-weighted mean position of channel 0 within radius of centre.
cv::Point2d centreOfLight(const FloatImage& image, cv::Point2d centre, double radius)
{
    double sum = 0, sumX = 0, sumY = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (std::hypot(x - centre.x, y - centre.y) > radius)
                continue;
            const double v = image.getPixel(x, y);
            sum += v;
            sumX += v * x;
            sumY += v * y;
        }
    return cv::Point2d(sumX / sum, sumY / sum);
}

double channelSum(const FloatImage& image, int channel)
{
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += image.getPixel(x, y, channel);
    return sum;
}

struct Moments {
    double mean;
    double sigma;
};

Moments channelMoments(const ByteImage& image, int channel)
{
    double sum = 0, sum2 = 0;
    const double n = double(image.width()) * image.height();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const double v = image.getPixel(x, y, channel);
            sum += v;
            sum2 += v * v;
        }
    const double mean = sum / n;
    return {mean, std::sqrt((sum2 - n * mean * mean) / (n - 1))};
}

// Inverse of a pose by hand: undo shift, rotate back, undo turn and mirror.
cv::Point2d framePositionOf(cv::Point2d reference, const FramePose& pose, cv::Point2d centre)
{
    const double x = reference.x - centre.x - pose.shift[0];
    const double y = reference.y - centre.y - pose.shift[1];
    const double t = -pose.angle * kPi / 180.0;
    double fx = std::cos(t) * x - std::sin(t) * y;
    double fy = std::sin(t) * x + std::cos(t) * y;
    if (pose.turned) {
        fx = -fx;
        fy = -fy;
    }
    if (pose.mirrored)
        fx = -fx;
    return centre + cv::Point2d(fx, fy);
}

double determinant2x2(const cv::Matx33d& t) { return t(0, 0) * t(1, 1) - t(0, 1) * t(1, 0); }

// No other star's light reaches within `radius` of this one.
bool isolated(const Star& star, double radius, const SkyModel& sky)
{
    for (const Star& other : sky.stars()) {
        const double reach = radius + sky.profile().cutFor(other.flux).radius + 1;
        if (&other != &star && cv::norm(other.position - star.position) < reach)
            return false;
    }
    return true;
}

}  // namespace

TEST(SkyStar, CentreOfLightIsTheSubPixelPosition)
{
    const cv::Point2d positions[] = {{40.0, 30.0}, {40.73, 29.37}, {41.5, 30.91}};
    for (const double fwhm : {1.5, 5.0})
        for (const cv::Point2d& p : positions) {
            const FloatImagePtr image = singleStarSky(starAt(p.x, p.y, 4000), fwhm).render(cv::Matx33d::eye(), 80, 60, 1);
            const cv::Point2d centre = centreOfLight(*image, p, 1000);
            EXPECT_NEAR(centre.x, p.x, kPositionTolerance) << "FWHM " << fwhm;
            EXPECT_NEAR(centre.y, p.y, kPositionTolerance) << "FWHM " << fwhm;
        }
}

TEST(SkyStar, TotalFluxIsTheFluxParameterInEveryChannel)
{
    for (const double flux : {200.0, 200000.0}) {
        const FloatImagePtr grey = singleStarSky(starAt(60.3, 50.6, flux)).render(cv::Matx33d::eye(), 120, 100, 1);
        EXPECT_NEAR(channelSum(*grey, 0), flux, 0.002 * flux);
    }
    Star orange = starAt(60.3, 50.6, 5000);
    orange.colour = {1.2, 1.0, 0.8};
    const FloatImagePtr colour = singleStarSky(orange).render(cv::Matx33d::eye(), 120, 100, 3);
    EXPECT_NEAR(channelSum(*colour, 0), 6000, 12);
    EXPECT_NEAR(channelSum(*colour, 1), 5000, 10);
    EXPECT_NEAR(channelSum(*colour, 2), 4000, 8);
}

TEST(SkyStar, ProfileHasTheMoffatShapeOfItsFwhmAndBeta)
{
    // Half the peak at r = FWHM / 2; at r = FWHM, (1 + 4 (2^(1/3) - 1))^-3 = 0.117837.
    const FloatImagePtr image = singleStarSky(starAt(100, 100, 1e6), 12.0, 3.0).render(cv::Matx33d::eye(), 201, 201, 1);
    const double peak = image->getPixel(100, 100);
    EXPECT_NEAR(image->getPixel(106, 100) / peak, 0.5, 0.005);
    EXPECT_NEAR(image->getPixel(100, 94) / peak, 0.5, 0.005);
    EXPECT_NEAR(image->getPixel(112, 100) / peak, 0.117837, 0.002);
    EXPECT_NEAR(image->getPixel(100, 112) / peak, 0.117837, 0.002);
}

TEST(SkyStar, CentreOfLightFollowsTheFramePose)
{
    const cv::Point2d centre(59.5, 44.5);  // of a 120 x 90 frame
    const cv::Point2d reference(61.37, 47.81);
    const SkyModel sky = singleStarSky(starAt(reference.x, reference.y, 5000));
    FramePose poses[4];
    poses[0].shift = cv::Vec2d(3.25, -1.6);
    poses[1].angle = 12.5;
    poses[1].shift = cv::Vec2d(-7.1, 2.3);
    poses[2].angle = -4.0;
    poses[2].turned = true;
    poses[3].angle = 31.0;
    poses[3].mirrored = true;
    poses[3].shift = cv::Vec2d(0.4, 0.7);
    for (const FramePose& pose : poses) {
        const FloatImagePtr frame = sky.render(poseTransform(pose, centre), 120, 90, 1);
        const cv::Point2d expected = framePositionOf(reference, pose, centre);
        const cv::Point2d measured = centreOfLight(*frame, expected, 1000);
        EXPECT_NEAR(measured.x, expected.x, kPositionTolerance) << "angle " << pose.angle;
        EXPECT_NEAR(measured.y, expected.y, kPositionTolerance) << "angle " << pose.angle;
    }
}

TEST(SkyBackground, GradientRisesByItsAmplitudeAndEachPartTakesItsTint)
{
    SkySimSettings s = emptySky(101, 61, 3);
    s.background.sky = 30;
    s.background.gradient = 20;
    s.background.gradientAngle = 0;
    s.background.skyTint = {1.0, 0.5, 2.0};
    s.background.gradientTint = {2.0, 1.0, 0.0};
    FloatImagePtr truth = SkySimulator(s).truth(1);
    // Sky x its tint at the centre; across the frame the gradient's 20 x its tint.
    EXPECT_NEAR(truth->getPixel(50, 30, 2), 60.0f, 1e-4f);
    EXPECT_NEAR(truth->getPixel(100, 7, 0) - truth->getPixel(0, 7, 0), 40.0f, 1e-4f);
    EXPECT_NEAR(truth->getPixel(100, 7, 1) - truth->getPixel(0, 7, 1), 20.0f, 1e-4f);
    EXPECT_NEAR(truth->getPixel(100, 7, 2) - truth->getPixel(0, 7, 2), 0.0f, 1e-4f);

    s.background.gradientAngle = 90;
    truth = SkySimulator(s).truth(1);
    EXPECT_NEAR(truth->getPixel(3, 60, 1) - truth->getPixel(3, 0, 1), 20.0f, 1e-4f);
    EXPECT_NEAR(truth->getPixel(100, 30, 1) - truth->getPixel(0, 30, 1), 0.0f, 1e-4f);
}

TEST(SkyBackground, VignettingDimsTheCornersByItsFractionAndStaysWithTheSensor)
{
    SkySimSettings s = emptySky(101, 61, 1);
    s.background.sky = 100;
    s.noise.vignetting = 0.3;
    s.frames = 2;
    s.motion.driftX = 7;  // the sky moves, the falloff does not
    const SkySimulator simulator(s);
    for (int frame : {1, 2}) {
        const FloatImagePtr truth = simulator.truth(frame);
        EXPECT_NEAR(truth->getPixel(50, 30), 100.0f, 1e-3f);
        EXPECT_NEAR(truth->getPixel(0, 0), 70.0f, 1e-3f);
        EXPECT_NEAR(truth->getPixel(100, 60), 70.0f, 1e-3f);
        // r^2 here is 25^2 / (50^2 + 30^2) of the corner's.
        EXPECT_NEAR(truth->getPixel(75, 30), 100.0f * (1.0f - 0.3f * 625.0f / 3400.0f), 1e-3f);
    }
}

TEST(SkyBackground, NebulaReachesItsAmplitudeAndIsAbsentAtZero)
{
    SkySimSettings s = emptySky(200, 160, 1);
    s.background.sky = 10;
    s.background.nebula = 50;
    s.background.nebulaSize = 25;
    const FloatImagePtr truth = SkySimulator(s).truth(1);
    const float* begin = truth->data();
    const float brightest = *std::max_element(begin, begin + truth->size());
    EXPECT_GE(brightest, 10 + 50 - 0.2);
    EXPECT_LT(brightest, 10 + 50 * 4);

    s.background.nebula = 0;
    const FloatImagePtr plain = SkySimulator(s).truth(1);
    EXPECT_EQ(plain->min(), 10.0f);
    EXPECT_EQ(plain->max(), 10.0f);
}

TEST(SkySequence, WholePixelShiftMovesTheWholeSkyByWholePixels)
{
    SkySimSettings s = emptySky(120, 90, 3);
    s.frames = 2;
    s.starField.starsPerFrame = 40;
    s.background.sky = 20;
    s.background.gradient = 15;
    s.background.nebula = 30;
    s.background.nebulaSize = 20;
    s.motion.driftX = 7;
    s.motion.driftY = -4;
    const SkySimulator simulator(s);
    const FloatImagePtr first = simulator.truth(1);
    const FloatImagePtr second = simulator.truth(2);
    // Frame 2's pixel (x, y) sees the reference at (x + 7, y - 4).
    double largest = 0;
    for (int y = 4; y < 90; ++y)
        for (int x = 0; x + 7 < 120; ++x)
            for (int c = 0; c < 3; ++c)
                largest = std::max<double>(largest, std::abs(second->getPixel(x, y, c) - first->getPixel(x + 7, y - 4, c)));
    EXPECT_LT(largest, 1e-3);
    EXPECT_GT(first->max(), 100.0f);  // the stars are there
}

TEST(SkySequence, WrittenTransformMapsStarsInEachFrameToTheirReferencePositions)
{
    SkySimSettings s = emptySky(160, 120, 1);
    s.frames = 6;
    s.starField.starsPerFrame = 8;
    s.motion.driftX = 1.3;
    s.motion.driftY = -0.7;
    s.motion.shiftMax = 2;
    s.motion.rotationPerFrame = 3;
    s.motion.flipAtFrame = 5;
    s.noise.readNoise = 3;
    const SkySimulator simulator(s);
    TempDir dir;
    writeSequence(simulator, {dir.path(), FrameFormat::Fits, true});

    const std::vector<std::string> transforms = lines(readFile(dir.file("transforms.txt")));
    ASSERT_EQ(transforms.size(), 6u);
    EXPECT_EQ(transforms[0], "frame_0001.fits 1 0 0 0 1 0 0 0 1");
    int measured = 0;
    for (int k = 1; k <= 6; ++k) {
        std::istringstream in(transforms[k - 1]);
        std::string name;
        cv::Matx33d toReference;
        in >> name;
        for (double& value : toReference.val)
            in >> value;
        ASSERT_FALSE(in.fail()) << transforms[k - 1];
        EXPECT_EQ(name, frameFileName(k, FrameFormat::Fits));
        const FloatImagePtr truth = loadFloatImage(dir.file("truth_000" + std::to_string(k) + ".fits"));
        const cv::Matx33d toFrame = toReference.inv();
        for (const Star& star : simulator.model().stars()) {
            const double radius = simulator.model().profile().cutFor(star.flux).radius + 1;
            const cv::Point2d p = applyTransform(toFrame, star.position);
            const bool inside = p.x > radius && p.y > radius && p.x < 159 - radius && p.y < 119 - radius;
            if (!inside || !isolated(star, radius, simulator.model()))
                continue;
            const cv::Point2d back = applyTransform(toReference, centreOfLight(*truth, p, radius));
            EXPECT_NEAR(back.x, star.position.x, kPositionTolerance) << "frame " << k;
            EXPECT_NEAR(back.y, star.position.y, kPositionTolerance) << "frame " << k;
            ++measured;
        }
        const ByteImagePtr frame = loadImage(dir.file(frameFileName(k, FrameFormat::Fits)));
        EXPECT_TRUE(std::equal(frame->data(), frame->data() + frame->size(), simulator.exposure(k)->data()));
    }
    EXPECT_GE(measured, 6);
    EXPECT_TRUE(fileExists(dir.file("sky_truth.fits")));
}

TEST(SkySequence, SameSeedGivesTheSameFramesOnAnyThreadCountAndAnotherSeedOthers)
{
    SkySimSettings s;
    s.width = 200;
    s.height = 150;
    s.frames = 3;
    s.motion.shiftMax = 5;
    s.motion.rotationPerFrame = 1;
    s.noise.hotPixels = 10;
    s.background.nebula = 20;
    s.seed = 77;
    const ByteImagePtr first = SkySimulator(s).exposure(3);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    const ByteImagePtr alone = SkySimulator(s).exposure(3);
    omp_set_num_threads(std::max(threads, 3));
    const ByteImagePtr many = SkySimulator(s).exposure(3);
    omp_set_num_threads(threads);
    EXPECT_TRUE(std::equal(first->data(), first->data() + first->size(), alone->data()));
    EXPECT_TRUE(std::equal(first->data(), first->data() + first->size(), many->data()));

    s.seed = 78;
    const ByteImagePtr other = SkySimulator(s).exposure(3);
    const auto differing = std::inner_product(first->data(), first->data() + first->size(), other->data(), std::size_t(0),
                                              std::plus<>(), std::not_equal_to<>());
    EXPECT_GT(differing, first->size() / 2);
}

TEST(SensorNoise, FlatSkyVarianceIsGainTimesLevelPlusReadNoiseSquared)
{
    SkySimSettings s = emptySky(300, 200, 3);
    s.background.sky = 100;
    s.background.skyTint = {1.0, 0.5, 1.5};
    s.noise.gain = 2;
    s.noise.readNoise = 5;
    const ByteImagePtr frame = SkySimulator(s).exposure(1);
    // Levels 100, 50 and 150; rounding to whole values adds 1/12 to each variance.
    const double levels[] = {100, 50, 150};
    for (int c = 0; c < 3; ++c) {
        const Moments m = channelMoments(*frame, c);
        EXPECT_NEAR(m.mean, levels[c], 0.3) << "channel " << c;
        EXPECT_NEAR(m.sigma, std::sqrt(levels[c] * 2 + 25 + 1.0 / 12), 0.02 * m.sigma) << "channel " << c;
    }

    s.channels = 1;
    s.noise.gain = 0;
    s.noise.readNoise = 3;
    const Moments readOnly = channelMoments(*SkySimulator(s).exposure(1), 0);
    EXPECT_NEAR(readOnly.sigma, std::sqrt(9 + 1.0 / 12), 0.02 * 3);
}

TEST(SensorNoise, NoiselessExposureIsTheTruthRoundedAndClipped)
{
    SkySimSettings s = emptySky(100, 80, 3);
    s.starField.starsPerFrame = 30;
    s.background.sky = 12.3;
    s.background.gradient = 5;
    const SkySimulator simulator(s);
    const FloatImagePtr truth = simulator.truth(1);
    const ByteImagePtr frame = simulator.exposure(1, *truth);
    int clipped = 0;
    for (std::size_t i = 0; i < truth->size(); ++i) {
        const double expected = std::min(255.0, std::floor(truth->data()[i] + 0.5));
        ASSERT_EQ(frame->data()[i], expected) << "sample " << i;
        clipped += truth->data()[i] > 255.5f;
    }
    EXPECT_GT(clipped, 0);
}

TEST(SensorNoise, HotPixelsStayOnTheSameSensorPixelsWhileTheSkyDrifts)
{
    SkySimSettings s = emptySky(150, 100, 1);
    s.frames = 3;
    s.background.sky = 40;
    s.noise.readNoise = 2;
    s.noise.hotPixels = 15;
    s.motion.driftX = 5;
    const SkySimulator simulator(s);
    std::set<std::pair<int, int>> expected;
    for (const HotPixel& hot : simulator.hotPixels())
        expected.insert({hot.x, hot.y});
    ASSERT_EQ(expected.size(), 15u);
    for (const int k : {1, 3}) {
        const ByteImagePtr frame = simulator.exposure(k);
        std::set<std::pair<int, int>> found;
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 150; ++x)
                if (frame->getPixel(x, y) > 40 + 50)
                    found.insert({x, y});
        EXPECT_EQ(found, expected) << "frame " << k;
    }
}

TEST(FrameTransforms, FirstFrameIsTheIdentityAndRotationTurnsAboutTheCentre)
{
    MotionSettings motion;
    motion.rotationPerFrame = 2.5;
    motion.driftX = 1.5;
    motion.driftY = -0.5;
    const std::vector<cv::Matx33d> t = frameTransforms(motion, 4, 101, 81, 1);
    ASSERT_EQ(t.size(), 4u);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(t[0].val[i], cv::Matx33d::eye().val[i]);
    // Frame 4 is turned by 7.5 degrees and its centre (50, 40) drifts by three steps.
    const cv::Matx33d& a = t[3];
    EXPECT_NEAR(a(1, 0), std::sin(7.5 * kPi / 180), 1e-12);
    EXPECT_NEAR(a(1, 1), std::cos(7.5 * kPi / 180), 1e-12);
    const cv::Point2d moved = applyTransform(a, cv::Point2d(50, 40));
    EXPECT_NEAR(moved.x, 54.5, 1e-9);
    EXPECT_NEAR(moved.y, 38.5, 1e-9);
}

TEST(FrameTransforms, TurnKeepsDeterminantPlusOneAndMirrorMakesItMinusOne)
{
    MotionSettings motion;
    motion.flipAtFrame = 3;
    std::vector<cv::Matx33d> t = frameTransforms(motion, 4, 64, 48, 1);
    EXPECT_EQ(determinant2x2(t[1]), 1.0);
    EXPECT_EQ(determinant2x2(t[2]), 1.0);
    EXPECT_EQ(t[2](0, 0), -1.0);
    EXPECT_EQ(t[2](1, 1), -1.0);
    // The corner pixel (0, 0) lands on the opposite corner (63, 47).
    EXPECT_EQ(applyTransform(t[3], {0, 0}), cv::Point2d(63, 47));

    motion.mirrorAtFrame = 2;
    motion.rotationPerFrame = 7;
    t = frameTransforms(motion, 4, 64, 48, 1);
    EXPECT_NEAR(determinant2x2(t[0]), 1.0, 1e-12);
    for (int k = 2; k <= 4; ++k)
        EXPECT_NEAR(determinant2x2(t[k - 1]), -1.0, 1e-12) << "frame " << k;
}

TEST(FrameTransforms, RandomWalkStaysWithinItsBoundAndWanders)
{
    MotionSettings motion;
    motion.shiftMax = 4;
    const std::vector<cv::Matx33d> t = frameTransforms(motion, 300, 64, 48, 9);
    double lowest = 0, highest = 0;
    for (const cv::Matx33d& a : t) {
        for (const double shift : {a(0, 2), a(1, 2)}) {
            EXPECT_LE(std::abs(shift), 4.0);
            lowest = std::min(lowest, shift);
            highest = std::max(highest, shift);
        }
    }
    EXPECT_LT(lowest, -3.0);
    EXPECT_GT(highest, 3.0);
}

TEST(StarField, CountScalesWithAreaAndFluxesFollowThePowerLaw)
{
    StarFieldSettings settings;
    settings.starsPerFrame = 5000;
    settings.faintestFlux = 150;
    settings.fluxSlope = 1.0;
    const FieldBounds bounds{-100, -50, 300, 350};  // 400 x 400, four frames of 200 x 200
    std::vector<Star> stars = randomStarField(settings, bounds, 200.0 * 200.0, 3);
    ASSERT_EQ(stars.size(), 20000u);
    for (const Star& star : stars) {
        EXPECT_TRUE(star.position.x >= -100 && star.position.x <= 300 && star.position.y >= -50 && star.position.y <= 350);
        EXPECT_TRUE(star.flux >= 150 && star.flux <= 150 * 1000.0);
    }
    // N(> F) ~ 1 / F: half above 2x the faintest, a tenth above 10x (fewer for the 1000x cut).
    std::sort(stars.begin(), stars.end(), [](const Star& a, const Star& b) { return a.flux < b.flux; });
    EXPECT_NEAR(stars[10000].flux, 300, 15);
    EXPECT_NEAR(stars[18000].flux, 1500, 120);
}
