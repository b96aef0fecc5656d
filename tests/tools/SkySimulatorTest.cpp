#include <gtest/gtest.h>

#include <fitsio.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>

#include "FrameTransforms.h"
#include "SkySimulator.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "support/TestSupport.h"

namespace {

// Registration is measured to a few hundredths of a pixel; renders must hold to a fraction of that.
constexpr double kPositionTolerance = 0.002;

// A sky with nothing in it but what is asked for: stars per frame, background
// (sky, gradient, its angle, nebula, its size, tints), motion (drift x and y,
// random walk, rotation, flip and mirror from frame) and noise (vignetting,
// read noise, gain, hot pixels). Seed 1.
SkySimSettings sky(int width, int height, int channels, int frames, int stars = 0,
                   BackgroundSettings background = {0, 0}, MotionSettings motion = {}, NoiseSettings noise = {0, 0, 0})
{
    return {frames, width, height, channels, 1, {stars}, background, noise, motion};
}

FloatImagePtr singleStar(const Star& star, double fwhm, int width, int height, int channels = 1)
{
    const SkyModel sky({star}, MoffatProfile(fwhm, 3.0), SkyBackground({0.0, 0.0}, 1, 1, {}));
    return sky.render(cv::Matx33d::eye(), width, height, channels);
}

// Intensity-weighted mean position of channel 0 within radius of centre.
cv::Point2d centreOfLight(const FloatImage& image, cv::Point2d centre, double radius)
{
    cv::Vec3d sum;  // light, light times x, light times y
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (std::hypot(x - centre.x, y - centre.y) <= radius)
                sum += image.getPixel(x, y) * cv::Vec3d(1, x, y);
    return {sum[1] / sum[0], sum[2] / sum[0]};
}

struct FitsCloser {
    void operator()(fitsfile* fits) const { int status = 0; fits_close_file(fits, &status); }
};

// The value as written on the header card, unquoted; empty for a missing keyword.
std::string headerText(fitsfile* fits, const char* key)
{
    char value[FLEN_VALUE] = "";
    int status = 0;
    fits_read_key(fits, TSTRING, key, value, nullptr, &status);
    return value;
}

cv::Mat view(const FloatImage& image)
{
    return cv::Mat(image.height(), image.width(), CV_32FC(image.channels()), const_cast<float*>(image.data()));
}

}  // namespace

TEST(SkyStar, LightCentresOnTheSubPixelPositionAndSumsToTheFluxTimesTheColourInEachChannel)
{
    // Whole and half-pixel positions and fractions between, narrow and wide
    // stars; the faintest and the brightest are cut off at different radii.
    const std::tuple<cv::Point2d, double, double> cases[] = {
        {{60.0, 50.0}, 1.5, 4000}, {{61.5, 50.91}, 1.5, 4000}, {{60.0, 50.0}, 5.0, 4000}, {{61.5, 50.91}, 5.0, 4000},
        {{60.3, 50.6}, 3.0, 200},  {{60.3, 50.6}, 3.0, 200000}};
    for (const auto& [p, fwhm, flux] : cases) {
        const FloatImagePtr image = singleStar({p, flux, {1.2, 1.0, 0.8}}, fwhm, 120, 100, 3);
        EXPECT_LT(cv::norm(centreOfLight(*image, p, 1000) - p), kPositionTolerance) << p << ", FWHM " << fwhm;
        const cv::Scalar sums = cv::sum(view(*image));
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(sums[c] / (flux * (1.2 - 0.2 * c)), 1.0, 0.002) << p << ", FWHM " << fwhm << ", channel " << c;
    }

    // Half the peak at r = FWHM / 2; at r = FWHM, (1 + 4 (2^(1/3) - 1))^-3 = 0.117837.
    const FloatImagePtr wide = singleStar({{100, 100}, 1e6}, 12.0, 201, 201);
    const double peak = wide->getPixel(100, 100);
    EXPECT_NEAR(wide->getPixel(106, 100) / peak, 0.5, 0.005);
    EXPECT_NEAR(wide->getPixel(100, 94) / peak, 0.5, 0.005);
    EXPECT_NEAR(wide->getPixel(112, 100) / peak, 0.117837, 0.002);
}

TEST(SkyBackground, GradientTintVignettingAndNebulaReachTheirLevelsAndMoveWithTheSky)
{
    // Sky 30 tinted 1, 0.5 and 2, and a gradient towards +y (90 degrees) tinted 2, 1 and 0: the sky
    // times its tint at the centre, and from top to bottom the gradient's 20 times its tint.
    FloatImagePtr truth = SkySimulator(sky(101, 61, 3, 1, 0, {30, 20, 90, 0, 60, {1, 0.5, 2}, {2, 1, 0}})).truth(1);
    EXPECT_NEAR(truth->getPixel(50, 30, 2), 60.0f, 1e-4f);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(truth->getPixel(3, 60, c) - truth->getPixel(3, 0, c), 20.0 * (2 - c), 1e-4) << "channel " << c;

    // Vignetting stays with the sensor while the sky drifts: 30 % lost at the
    // corners, and at (75, 30) the share 25^2 / (50^2 + 30^2) of that.
    truth = SkySimulator(sky(101, 61, 1, 2, 0, {100, 0}, {7}, {0.3, 0, 0})).truth(2);
    EXPECT_NEAR(truth->getPixel(100, 60), 70.0f, 1e-3f);
    EXPECT_NEAR(truth->getPixel(75, 30), 100.0f * (1.0f - 0.3f * 625.0f / 3400.0f), 1e-3f);

    // The nebula's brightest point reaches its amplitude above the sky, but
    // its blobs stay within a few times it.
    truth = SkySimulator(sky(200, 160, 1, 1, 0, {10, 0, 0, 50, 25})).truth(1);
    EXPECT_GE(truth->max(), 10 + 50 - 0.2);
    EXPECT_LT(truth->max(), 10 + 50 * 4);

    // Moved by whole pixels, stars, gradient and nebula move with the sky:
    // frame 3's pixel (x, y) sees the reference at (x + 14, y - 8).
    const SkySimulator moving(sky(200, 150, 3, 3, 40, {20, 15, 30, 30, 20}, {7, -4}));
    const FloatImagePtr first = moving.truth(1), third = moving.truth(3);
    ASSERT_GT(first->max(), 100.0f);  // the stars are there
    const cv::Rect overlap(0, 8, 186, 142);
    EXPECT_LT(cv::norm(view(*first)(overlap + cv::Point(14, -8)), view(*third)(overlap), cv::NORM_INF), 1e-3);
}

TEST(SkySequence, WrittenTransformsMapTruthStarsToTheReferenceAndFramesRepeatOnAnyThreadCount)
{
    // Drift, random walk, rotation, flip and mirror from frames 5 and 3; read noise 3.
    const SkySimulator simulator(sky(160, 120, 1, 6, 8, {0, 0}, {1.3, -0.7, 2, 3, 5, 3}, {0, 3, 0}));
    const SkyModel& model = simulator.model();
    TempDir dir;
    // Written on several threads, the frames must come out the same on one:
    // the noise of each row is drawn from the seed, the frame and the row.
    const int threads = omp_get_max_threads();
    omp_set_num_threads(std::max(threads, 3));
    writeSequence(simulator, {dir.path(), FrameFormat::Fits, true});
    omp_set_num_threads(1);

    const std::vector<std::string> transforms = lines(readFile(dir.file("transforms.txt")));
    ASSERT_EQ(transforms.size(), 6u);
    EXPECT_EQ(transforms[0], "frame_0001.fits 1 0 0 0 1 0 0 0 1");
    int measured = 0;
    for (int k = 1; k <= 6; ++k) {
        // The frame's file name, then its transform row by row.
        const std::string name = "frame_000" + std::to_string(k) + ".fits";
        ASSERT_EQ(transforms[k - 1].rfind(name + " ", 0), 0u) << transforms[k - 1];
        std::istringstream in(transforms[k - 1].substr(name.size()));
        cv::Matx33d toReference;
        for (double& value : toReference.val)
            in >> value;
        ASSERT_FALSE(in.fail()) << transforms[k - 1];
        const FloatImagePtr truth = loadFloatImage(dir.file("truth_000" + std::to_string(k) + ".fits"));
        // Stars away from the edges whose light no other star's reaches.
        for (const Star& star : model.stars()) {
            const double radius = model.profile().cutFor(star.flux).radius + 1;
            const cv::Point2d p = applyTransform(toReference.inv(), star.position);
            const bool isolated = std::all_of(model.stars().begin(), model.stars().end(), [&](const Star& other) {
                const double apart = radius + model.profile().cutFor(other.flux).radius + 1;
                return &other == &star || cv::norm(other.position - star.position) >= apart;
            });
            if (!isolated || !cv::Rect2d(radius, radius, 159 - 2 * radius, 119 - 2 * radius).contains(p))
                continue;
            const cv::Point2d back = applyTransform(toReference, centreOfLight(*truth, p, radius));
            EXPECT_LT(cv::norm(back - star.position), kPositionTolerance) << "frame " << k;
            ++measured;
        }
        const ByteImagePtr frame = loadImage(dir.file(name));
        EXPECT_EQ(cv::norm(matView(*frame), matView(*simulator.exposure(k)), cv::NORM_INF), 0.0) << "frame " << k;
    }
    omp_set_num_threads(threads);
    EXPECT_GE(measured, 6);
    EXPECT_TRUE(fileExists(dir.file("sky_truth.fits")));
}

TEST(SensorNoise, VarianceRoundingClippingAndHotPixelsFollowTheSensorModel)
{
    // Levels 100, 50 and 150; read noise 5, gain 2.
    const SkySimSettings flat = sky(300, 200, 3, 1, 0, {100, 0, 0, 0, 60, {1.0, 0.5, 1.5}}, {}, {0, 5, 2});
    cv::Scalar mean, sigma;
    cv::meanStdDev(matView(*SkySimulator(flat).exposure(1)), mean, sigma);
    // Rounding to whole values adds 1/12 to each variance.
    for (int c = 0; c < 3; ++c) {
        const double level = 100.0 * flat.background.skyTint[c];
        EXPECT_NEAR(mean[c], level, 0.3) << "channel " << c;
        EXPECT_NEAR(sigma[c], std::sqrt(level * 2 + 25 + 1.0 / 12), 0.02 * sigma[c]) << "channel " << c;
    }

    // Without noise the exposure is the truth rounded and clipped; 15 hot pixels, drift 5.
    const SkySimulator simulator(sky(100, 80, 3, 2, 30, {12.3, 5}, {5}, {0, 0, 0, 15}));
    ByteImage hot(100, 80, 1);
    for (const HotPixel& pixel : simulator.hotPixels())
        hot.setPixel(pixel.x, pixel.y, 1);
    ASSERT_EQ(cv::countNonZero(matView(hot)), 15);
    int clipped = 0;
    for (const int k : {1, 2}) {
        const FloatImagePtr truth = simulator.truth(k);
        const ByteImagePtr frame = simulator.exposure(k, *truth);
        for (std::size_t i = 0; i < truth->size(); ++i) {
            const double rounded = std::min(255.0, std::floor(truth->data()[i] + 0.5));
            // Hot pixels read at least half scale higher in every channel, on
            // the same sensor pixels in every frame while the sky drifts.
            if (hot.data()[i / 3])
                ASSERT_GE(frame->data()[i], std::min(255.0, rounded + 128)) << "frame " << k << ", sample " << i;
            else
                ASSERT_EQ(frame->data()[i], rounded) << "frame " << k << ", sample " << i;
            clipped += truth->data()[i] > 255.5f;
        }
    }
    EXPECT_GT(clipped, 0);
}

TEST(SkyCamera, MosaicSamplesEachPixelsRggbChannelAndFits16KeepsSixteenBitsAndTheHeader)
{
    // Flat skies without noise: R, G, B at 1000, 2000, 3000; at 20000, 40000 and
    // 80000, which saturates; grey at 40000 whatever the tint. [y % 2][x % 2]:
    using Cell = std::array<std::array<int, 2>, 2>;
    const std::tuple<int, double, ChannelTint, Cell> cases[] = {
        {3, 1000, {1, 2, 3}, {{{1000, 2000}, {2000, 3000}}}},
        {3, 40000, {0.5, 1, 2}, {{{20000, 40000}, {40000, 65535}}}},
        {1, 40000, {0.5, 1, 2}, {{{40000, 40000}, {40000, 40000}}}},
    };
    for (const auto& [channels, level, tint, cell] : cases) {
        const SkySimulator simulator(sky(6, 4, channels, 1, 0, {level, 0, 0, 0, 1, tint}));
        const CameraImagePtr frame = simulator.cameraExposure(1);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                EXPECT_EQ(frame->getPixel(x, y), cell[y % 2][x % 2]) << level << " at " << x << ", " << y;
    }

    // Frame 2 of 2.5 s exposures starts 2.5 s after 21:00; the truth stays colour and unclipped.
    // Read back, BZERO restores the samples above 32767.
    const SkySimulator simulator(sky(6, 4, 3, 2, 0, {40000, 0, 0, 0, 1, {0.5, 1, 2}}));
    TempDir dir;
    writeSequence(simulator, {dir.path(), FrameFormat::Fits16, false, 2.5});
    EXPECT_EQ(lines(readFile(dir.file("transforms.txt")))[1].rfind("frame_0002.fits ", 0), 0u);
    EXPECT_EQ(loadFloatImage(dir.file("sky_truth.fits"))->getPixel(5, 3, 2), 80000.0f);
    fitsfile* opened = nullptr;
    int status = 0;
    fits_open_diskfile(&opened, dir.file("frame_0002.fits").c_str(), READONLY, &status);
    const std::unique_ptr<fitsfile, FitsCloser> fits(opened);
    ASSERT_EQ(status, 0);
    const std::pair<const char*, std::string> keywords[] = {
        {"BITPIX", "16"},     {"NAXIS", "2"},    {"BZERO", "32768"}, {"EXPTIME", "2.5"},
        {"BAYERPAT", "RGGB"}, {"XBAYROFF", "0"}, {"YBAYROFF", "0"},  {"DATE-OBS", "2026-01-01T21:00:02.500"},
        {"OBJECT", "Simulated field"}, {"INSTRUME", "skysim"}};
    for (const auto& [key, value] : keywords)
        EXPECT_EQ(headerText(fits.get(), key), value) << key;
    std::vector<unsigned short> samples(24);
    fits_read_img(fits.get(), TUSHORT, 1, 24, nullptr, samples.data(), nullptr, &status);
    const CameraImagePtr frame = simulator.cameraExposure(2);
    EXPECT_EQ(samples, std::vector<unsigned short>(frame->data(), frame->data() + frame->size()));
}

TEST(FrameTransforms, TurnAboutTheCentreFlipAndMirrorInOrderAndWalkWithinTheBound)
{
    std::vector<cv::Matx33d> t = frameTransforms({1.5, -0.5, 0, 2.5}, 4, 101, 81, 1);  // drift, rotation
    // Frame 4 turns about its centre (50, 40), which drifts by three steps.
    EXPECT_LT(cv::norm(applyTransform(t[3], {50, 40}) - cv::Point2d(54.5, 38.5)), 1e-9);

    // Mirrored from frame 2, turned by 90 degrees a frame, and by 180 degrees
    // more from frame 3: 10 px right of the centre lands 10 px above it in
    // frame 2 (mirrored first, then turned; the other order gives below) and
    // 10 px left of it in frame 3 (without the flip, or with one step of
    // rotation, it would land elsewhere).
    t = frameTransforms({0, 0, 0, 90, 3, 2}, 3, 101, 81, 1);
    EXPECT_LT(cv::norm(applyTransform(t[1], {60, 40}) - cv::Point2d(50, 30)), 1e-9);
    EXPECT_LT(cv::norm(applyTransform(t[2], {60, 40}) - cv::Point2d(40, 40)), 1e-9);
    for (int k = 1; k < 3; ++k)
        EXPECT_NEAR(t[k](0, 0) * t[k](1, 1) - t[k](0, 1) * t[k](1, 0), -1.0, 1e-12) << "frame " << k + 1;

    // A random walk within 4 px wanders over its range.
    std::vector<double> shifts;
    for (const cv::Matx33d& a : frameTransforms({0, 0, 4}, 300, 64, 48, 9))
        shifts.insert(shifts.end(), {a(0, 2), a(1, 2)});
    const auto [lowest, highest] = std::minmax_element(shifts.begin(), shifts.end());
    EXPECT_TRUE(*lowest >= -4.0 && *lowest < -3.0) << *lowest;
    EXPECT_TRUE(*highest <= 4.0 && *highest > 3.0) << *highest;
}

TEST(StarField, CountScalesWithAreaAndFluxesFollowThePowerLaw)
{
    // 400 x 400, four frames of 200 x 200, from flux 150 on.
    std::vector<Star> stars = randomStarField({5000, 3.0, 3.0, 150, 1.0}, {-100, -50, 300, 350}, 200.0 * 200.0, 3);
    ASSERT_EQ(stars.size(), 20000u);
    for (const Star& star : stars)
        EXPECT_TRUE(cv::Rect2d(-100, -50, 400, 400).contains(star.position) && star.flux >= 150 && star.flux <= 150000);
    // N(> F) ~ 1 / F: half above 2x the faintest, a tenth above 10x (fewer for the 1000x cut).
    std::sort(stars.begin(), stars.end(), [](const Star& a, const Star& b) { return a.flux < b.flux; });
    EXPECT_NEAR(stars[10000].flux, 300, 15);
    EXPECT_NEAR(stars[18000].flux, 1500, 120);
}
