#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "SensorNoise.h"
#include "SkyModel.h"
#include "alignment/StarDetector.h"
#include "alignment/StarExtraction.h"
#include "alignment/StarMatching.h"
#include "core/Logger.h"
#include "image/MatView.h"
#include "support/TestSupport.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A field of `count` stars on a jittered grid about 50 px apart, brightest first, with
// fluxes 5 % apart whose peaks stay well below saturation. The fractions of
// a pixel stay within 0.3 of a whole pixel, so that rounding a position
// found within a few hundredths of a pixel gives the same whole pixel.
std::vector<Star> gridStars(int count)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<double> jitter(-3.0, 3.0);
    std::uniform_real_distribution<double> fraction(-0.3, 0.3);
    std::vector<Star> stars;
    for (int k = 0; k < count; ++k) {
        Star star;
        star.position = {30.0 + 50.0 * (k % 6) + std::round(jitter(random)) + fraction(random),
                         30.0 + 45.0 * (k / 6) + std::round(jitter(random)) + fraction(random)};
        star.flux = 2400.0 - 60.0 * k;
        stars.push_back(star);
    }
    return stars;
}

// A field of `count` stars at random places at least 20 px apart and 20 px
// inside the frame, brightest first, with fluxes 5 % apart: unlike the grid,
// no shift by one star spacing lines up most of the field with itself.
std::vector<Star> scatteredStars(int count)
{
    std::mt19937 random(12);
    std::uniform_real_distribution<double> x(20.0, kWidth - 20.0);
    std::uniform_real_distribution<double> y(20.0, kHeight - 20.0);
    std::vector<Star> stars;
    while (int(stars.size()) < count) {
        Star star;
        star.position = {x(random), y(random)};
        star.flux = 2400.0 - 60.0 * double(stars.size());
        const bool apart = std::all_of(stars.begin(), stars.end(),
                                       [&](const Star& s) { return cv::norm(s.position - star.position) >= 20.0; });
        if (apart)
            stars.push_back(star);
    }
    return stars;
}

// The stars as seen by a frame whose pixel p shows the reference point
// toReference * p, on a flat sky of 20 with faint sensor noise.
ByteImagePtr starFrame(const std::vector<Star>& stars, const cv::Matx33d& toReference = cv::Matx33d::eye(),
                       int channels = 1)
{
    BackgroundSettings flat;
    flat.sky = 20.0;
    flat.gradient = 0.0;
    const SkyModel sky(stars, MoffatProfile(3.0, 3.0), SkyBackground(flat, kWidth, kHeight, {}));
    NoiseSettings noise;
    noise.readNoise = 1.0;
    noise.gain = 0.05;
    return exposeFrame(*sky.render(toReference, kWidth, kHeight, channels), noise, {}, 7, 1);
}

struct Log {
    std::vector<std::string> info;
    std::vector<std::string> warn;
    std::vector<std::string> error;
};

template <typename Run> Log logOf(Run run)
{
    Logger::instance().setVerbose();
    testing::internal::CaptureStdout();
    run();
    const std::string out = testing::internal::GetCapturedStdout();
    return {logMessages(out, "[INFO] "), logMessages(out, "[WARN] "), logMessages(out, "[ERRO] ")};
}

bool contains(const std::vector<std::string>& messages, const std::string& message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// The angle of the "Rotation angle: " line; NaN without one.
double loggedRotation(const std::vector<std::string>& info)
{
    const std::string prefix = "Rotation angle: ";
    for (const std::string& line : info)
        if (line.rfind(prefix, 0) == 0)
            return std::stod(line.substr(prefix.size()));
    return std::nan("");
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Matched {
    bool ok = false;
    std::vector<cv::Point2f> reference;
    std::vector<cv::Point2f> frame;
    Log log;
};

Matched match(const ByteImage& reference, const ByteImage& frame, int maxStars = 20)
{
    StarDetector detector;
    detector.setMaxStars(maxStars);
    Matched m;
    m.log = logOf(
        [&] { m.ok = detector.detectAndMatchStars(matView(reference), matView(frame), m.reference, m.frame); });
    return m;
}

// Every pair joins a star with its own image in the frame: the reference
// point is where truth takes the frame point, within a quarter of a pixel
// (each of the two positions is off by up to a tenth).
void expectCounterparts(const Matched& m, const std::function<cv::Point2d(cv::Point2d)>& truth)
{
    ASSERT_EQ(m.reference.size(), m.frame.size());
    for (std::size_t k = 0; k < m.reference.size(); ++k)
        EXPECT_LT(cv::norm(truth(m.frame[k]) - cv::Point2d(m.reference[k])), 0.25) << "pair " << k;
}

}  // namespace

TEST(StarExtraction, StarsComeBackAtTheirDrawnPositionsInOpenCvPixels)
{
    const std::vector<Star> truth = gridStars(24);
    StarExtraction extraction;
    ASSERT_TRUE(extraction.load(matView(*starFrame(truth)), "frame.fits"));
    ASSERT_TRUE(extraction.extract());
    const std::vector<ExtractedStar> found = extraction.stars();
    ASSERT_EQ(found.size(), truth.size());

    std::vector<double> errors;
    cv::Point2d bias;
    for (const Star& star : truth) {
        const auto nearest = std::min_element(found.begin(), found.end(), [&](const auto& a, const auto& b) {
            return cv::norm(cv::Point2d(a.x, a.y) - star.position) < cv::norm(cv::Point2d(b.x, b.y) - star.position);
        });
        const cv::Point2d offset = cv::Point2d(nearest->x, nearest->y) - star.position;
        errors.push_back(cv::norm(offset));
        bias += offset * (1.0 / truth.size());
        // The flux is summed within an aperture: most of the light, but not
        // the far wings.
        EXPECT_GT(nearest->flux, 0.6 * star.flux);
        EXPECT_LT(nearest->flux, 1.0 * star.flux);
    }
    EXPECT_LT(median(errors), 0.06);
    EXPECT_LT(*std::max_element(errors.begin(), errors.end()), 0.1);
    // A pixel-origin mistake would show as a common offset of 0.5 or 1.
    EXPECT_LT(std::abs(bias.x), 0.02);
    EXPECT_LT(std::abs(bias.y), 0.02);
}

TEST(StarMask, DiscsSitOnTheStarsOfAColourImageAtItsSize)
{
    const std::vector<Star> truth = gridStars(12);
    const ByteImagePtr colour = starFrame(truth, cv::Matx33d::eye(), 3);
    StarDetector detector;
    cv::Mat mask;
    const Log log = logOf([&] { mask = detector.detectStarMask(matView(*colour)); });
    EXPECT_EQ(log.info, std::vector<std::string>{"StellarSolver detected 12 stars"});
    ASSERT_EQ(mask.type(), CV_8UC1);
    ASSERT_EQ(mask.cols, kWidth);
    ASSERT_EQ(mask.rows, kHeight);

    int inDiscs = 0;
    for (const Star& star : truth) {
        // The aperture takes in about three quarters of the fluxes 1740 to
        // 2400, which gives radius 6 or 7 (7 from 1512 on, 8 from 2981).
        const cv::Point centre(int(std::round(star.position.x)), int(std::round(star.position.y)));
        const cv::Mat window = mask(cv::Rect(centre.x - 12, centre.y - 12, 25, 25));
        const cv::Moments m = cv::moments(window, true);
        EXPECT_DOUBLE_EQ(m.m10 / m.m00, 12.0) << star.position;
        EXPECT_DOUBLE_EQ(m.m01 / m.m00, 12.0) << star.position;
        EXPECT_EQ(window.at<uchar>(12, 12 + 6), 255);
        EXPECT_EQ(window.at<uchar>(12, 12 + 8), 0);
        inDiscs += cv::countNonZero(window);
    }
    EXPECT_EQ(cv::countNonZero(mask), inDiscs);  // nothing away from the stars
}

TEST(StarMask, ThreeStarsAreEnoughAndTwoAreNot)
{
    const std::vector<Star> stars = gridStars(3);
    StarDetector detector;
    cv::Mat mask;
    const Log three = logOf([&] { mask = detector.detectStarMask(matView(*starFrame(stars))); });
    EXPECT_EQ(three.info, std::vector<std::string>{"StellarSolver detected 3 stars"});
    for (const Star& star : stars)
        EXPECT_EQ(mask.at<uchar>(int(std::round(star.position.y)), int(std::round(star.position.x))), 255);

    const ByteImagePtr two = starFrame({stars[0], stars[1]});
    const Log log = logOf([&] {
        try {
            detector.detectStarMask(matView(*two));
            ADD_FAILURE() << "a mask from two stars";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Not enough stars detected");
        }
    });
    EXPECT_EQ(detector.getLastError(), "Not enough stars detected");
    EXPECT_EQ(log.error, std::vector<std::string>{"Not enough stars detected"});
}

TEST(StarMask, RadiusGrowsWithTheLogarithmOfTheFlux)
{
    EXPECT_EQ(starMaskRadius(0.0f), 5);
    // 5 log10(f / 1000 + 1) reaches 1 at f = 1000 (10^0.2 - 1) = 584.9.
    EXPECT_EQ(starMaskRadius(584.0f), 5);
    EXPECT_EQ(starMaskRadius(586.0f), 6);
    EXPECT_EQ(starMaskRadius(9000.0f), 10);
    EXPECT_EQ(starMaskRadius(999000.0f), 20);
    EXPECT_EQ(starMaskRadius(-500.0f), 5);
    EXPECT_EQ(starMaskRadius(-5000.0f), 5);
}

TEST(StarMatching, ShiftedFramePairsEveryBrightStarWithItsCounterpart)
{
    const std::vector<Star> stars = gridStars(24);
    const double dx = 9.6;
    const double dy = -7.3;
    const Matched m = match(*starFrame(stars), *starFrame(stars, {1, 0, -dx, 0, 1, -dy, 0, 0, 1}));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.reference.size(), 20u);
    expectCounterparts(m, [&](cv::Point2d p) { return cv::Point2d(p.x - dx, p.y - dy); });
    EXPECT_TRUE(contains(m.log.info, "StellarSolver detected 24 stars in reference image"));
    EXPECT_TRUE(contains(m.log.info, "StellarSolver detected 24 stars in frame image"));
    EXPECT_TRUE(contains(m.log.info, "Found 20 star matches using transformation model"));
    EXPECT_NEAR(loggedRotation(m.log.info), 0.0, 0.1);
    EXPECT_TRUE(m.log.warn.empty());
    // The brightest reference star comes first.
    EXPECT_LT(cv::norm(cv::Point2d(m.reference[0]) - stars[0].position), 0.1);

    // With only the 12 brightest stars in the frame, 12 of a budget of 100
    // are paired: the reference's 12 brightest, the same stars.
    const std::vector<Star> bright(stars.begin(), stars.begin() + 12);
    const Matched fewer = match(*starFrame(stars), *starFrame(bright, {1, 0, -dx, 0, 1, -dy, 0, 0, 1}), 100);
    ASSERT_TRUE(fewer.ok);
    EXPECT_TRUE(contains(fewer.log.info, "Found 12 star matches using transformation model"));
    expectCounterparts(fewer, [&](cv::Point2d p) { return cv::Point2d(p.x - dx, p.y - dy); });
}

TEST(StarMatching, HalfTurnedFrameIsPairedAndReportedWithAWarning)
{
    const std::vector<Star> stars = gridStars(24);
    // Turned about the frame's centre (159.5, 119.5).
    const Matched m = match(*starFrame(stars), *starFrame(stars, {-1, 0, 319, 0, -1, 239, 0, 0, 1}));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.reference.size(), 20u);
    expectCounterparts(m, [](cv::Point2d p) { return cv::Point2d(319 - p.x, 239 - p.y); });

    EXPECT_NEAR(std::abs(loggedRotation(m.log.info)), 180.0, 0.1);
    ASSERT_GE(m.log.info.size(), 2u);
    EXPECT_EQ(m.log.info.back(), "Detected a 180-degree rotation");
    EXPECT_EQ(m.log.info[m.log.info.size() - 2].rfind("Rotation angle: ", 0), 0u);
    EXPECT_EQ(m.log.warn,
              std::vector<std::string>{"WARNING: 180-degree rotation detected. This may affect alignment quality."});
    EXPECT_FALSE(contains(m.log.info, "Detected a meridian flip (180-degree rotation with reflection)"));
}

TEST(StarMatching, FrameMissingTheBrightestStarIsPairedThroughTriangles)
{
    // Without the brightest star every brightness rank of the frame is one
    // off, so rank pairs join neighbouring stars and no similarity fits them.
    const std::vector<Star> stars = scatteredStars(24);
    const std::vector<Star> fainter(stars.begin() + 1, stars.end());
    const double dx = 6.4;
    const double dy = 11.2;
    const Matched m = match(*starFrame(stars), *starFrame(fainter, {1, 0, -dx, 0, 1, -dy, 0, 0, 1}));
    ASSERT_TRUE(m.ok);
    EXPECT_TRUE(contains(m.log.info, "Brightness order disagrees, matching star triangles instead"));
    // Of the reference's 20 brightest, 19 are among the frame's 20 brightest.
    // The missing star, listed first, takes the nearest frame star within
    // 50 px from its owner; the homography's RANSAC sets that pair aside.
    ASSERT_EQ(m.reference.size(), m.frame.size());
    int counterparts = 0;
    for (std::size_t k = 0; k < m.reference.size(); ++k) {
        const cv::Point2d truth(m.frame[k].x - dx, m.frame[k].y - dy);
        counterparts += cv::norm(truth - cv::Point2d(m.reference[k])) < 0.25;
    }
    EXPECT_GE(counterparts, 18);
    EXPECT_NEAR(loggedRotation(m.log.info), 0.0, 0.1);
}

TEST(StarMatching, ThreePairsSucceedWithoutARotationReport)
{
    // A homography needs 4 pairs, so the rotation between 3 goes unreported
    // rather than failing the match. Fluxes far apart keep the brightness
    // ranks of the two images alike.
    std::vector<Star> stars = gridStars(3);
    stars[1].flux = 1600.0;
    stars[2].flux = 900.0;
    const Matched m = match(*starFrame(stars), *starFrame(stars, {1, 0, -4.5, 0, 1, 3.0, 0, 0, 1}));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.reference.size(), 3u);
    expectCounterparts(m, [](cv::Point2d p) { return cv::Point2d(p.x - 4.5, p.y + 3.0); });
    EXPECT_TRUE(std::isnan(loggedRotation(m.log.info)));
    EXPECT_TRUE(m.log.error.empty());
}

TEST(StarMatching, TooFewStarsFailWithTheReasonKeptAndLogged)
{
    const std::vector<Star> stars = gridStars(24);
    const ByteImagePtr field = starFrame(stars);

    // A budget of 2 stars is below the 3 pairs matching needs.
    const Matched budget = match(*field, *field, 2);
    EXPECT_FALSE(budget.ok);
    EXPECT_TRUE(budget.reference.empty() && budget.frame.empty());
    EXPECT_EQ(budget.log.error, std::vector<std::string>{"Not enough stars for matching"});

    // A featureless frame: StellarSolver extracts successfully and finds no
    // star, whether the frame is flat or noise.
    for (const ByteImagePtr& empty : {flatFrame(kWidth, kHeight, 1, 90), noiseFrame(kWidth, kHeight, 1, 40, 6, 3)}) {
        StarDetector detector;
        std::vector<cv::Point2f> referencePoints{{1, 2}};
        std::vector<cv::Point2f> framePoints{{3, 4}};
        bool ok = true;
        const Log log = logOf(
            [&] { ok = detector.detectAndMatchStars(matView(*field), matView(*empty), referencePoints, framePoints); });
        EXPECT_FALSE(ok);
        EXPECT_TRUE(referencePoints.empty() && framePoints.empty());
        EXPECT_EQ(detector.getLastError(), "Not enough stars detected for alignment");
        EXPECT_EQ(log.error, std::vector<std::string>{"Not enough stars detected for alignment"});
        EXPECT_TRUE(log.info.empty());
    }
}

TEST(StarPairing, NearestFreeStarWithinFiftyPixelsTiesGoingToTheBrighter)
{
    const PointList reference{{0, 0}, {1, 0}, {100, 0}, {200, 0}, {300, 0}};
    const PointList mapped{
        {3, 4},  // 5 from reference 0
        {-4, 3},  // also 5 from reference 0, later in the list; 5.83 from reference 1
        {150, 0},  // 50 from reference 2: not below 50
        {200, 49.9f},  // 49.9 from reference 3
        {0, 5},  // 5 from reference 0 as well, and 5.10 from reference 1
    };
    // Reference 4 has no star within reach.
    const StarPairs expected{{0, 0}, {1, 4}, {3, 3}};
    EXPECT_EQ(pairNearest(reference, mapped), expected);

    // Listed the other way round, the tie still goes to the lower index.
    EXPECT_EQ(pairNearest({{0, 0}}, {{0, 5}, {5, 0}}), (StarPairs{{0, 0}}));
    EXPECT_EQ(pairNearest({{0, 0}}, {{5, 0}, {0, 5}}), (StarPairs{{0, 0}}));
    EXPECT_TRUE(pairNearest({{0, 0}}, {}).empty());
}
