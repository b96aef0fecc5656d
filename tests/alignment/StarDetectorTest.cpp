#include <gtest/gtest.h>

#include "alignment/AlignmentTestSupport.h"
#include "alignment/StarExtraction.h"
#include "alignment/StarMatching.h"
#include "alignment/TriangleMatching.h"
#include "core/Logger.h"

namespace {

// The lists start filled: every call must empty them first. The log is
// what the call printed in verbose mode.
struct Matched {
    bool ok = false;
    PointList reference{{1, 2}}, frame{{3, 4}};
    std::string error, log;
};

Matched match(const ByteImage& reference, const ByteImage& frame, int maxStars = 20)
{
    StarDetector detector;
    detector.setMaxStars(maxStars);
    Matched m;
    Logger::instance().setVerbose();
    testing::internal::CaptureStdout();
    m.ok = detector.detectAndMatchStars(matView(reference), matView(frame), m.reference, m.frame);
    m.log = testing::internal::GetCapturedStdout();
    m.error = detector.getLastError();
    return m;
}

}  // namespace

// The stars on a 16-bit camera's scale: a sky of 1200 ADU, where an 8-bit
// copy would be white throughout, with Gaussian noise of 3 ADU.
cv::Mat deepStarFrame(const std::vector<Star>& stars, FloatImage& samples)
{
    const BackgroundSettings sky{1200.0, 0.0};
    std::vector<Star> bright = stars;
    for (Star& star : bright)
        star.flux *= 20.0;
    samples = *SkyModel(bright, MoffatProfile(3.0, 3.0), SkyBackground(sky, kWidth, kHeight, {}))
                   .render(cv::Matx33d::eye(), kWidth, kHeight, 1);
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples.data()[i] += noise(random);
    return cv::Mat(kHeight, kWidth, CV_32F, samples.data());
}

TEST(StarExtraction, StarsComeBackAtTheirDrawnPositionsInOpenCvPixelsFromEightBitAndFloatFrames)
{
    const std::vector<Star> truth = starField(24);
    const ByteImagePtr shallow = starFrame(truth);
    FloatImage deep;
    for (const cv::Mat& image : {matView(*shallow), deepStarFrame(truth, deep)}) {
        StarExtraction extraction;
        ASSERT_TRUE(extraction.load(image, "frame.fits"));
        ASSERT_TRUE(extraction.extract());
        const std::vector<ExtractedStar> found = extraction.stars();
        ASSERT_EQ(found.size(), truth.size()) << image.depth();

        std::vector<double> errors;
        cv::Point2d bias;
        for (const Star& star : truth) {
            const auto offset = [&](const ExtractedStar& s) { return cv::Point2d(s.x, s.y) - star.position; };
            const auto nearest = std::min_element(found.begin(), found.end(), [&](const auto& a, const auto& b) {
                return cv::norm(offset(a)) < cv::norm(offset(b));
            });
            errors.push_back(cv::norm(offset(*nearest)));
            bias += offset(*nearest) * (1.0 / truth.size());
        }
        std::sort(errors.begin(), errors.end());
        EXPECT_LT(errors[errors.size() / 2], 0.06) << image.depth();
        EXPECT_LT(errors.back(), 0.1) << image.depth();
        // A pixel-origin mistake would show as a common offset of 0.5 or 1.
        EXPECT_LT(cv::norm(bias), 0.02) << bias;
    }
}

TEST(StarMask, DiscsGrowWithTheLogOfTheFluxOnTheStarsOfAColourImageFromThreeStarsOnAndTwoAreRefused)
{
    // 5 log10(f / 1000 + 1) reaches 1 at f = 1000 (10^0.2 - 1) = 584.9 and 5
    // at f = 9000. Below 0 it would give a smaller radius or none at all.
    const std::pair<float, int> radii[] = {{0, 5}, {584, 5}, {586, 6}, {9000, 10}, {-500, 5}, {-5000, 5}};
    for (const auto& [flux, radius] : radii)
        EXPECT_EQ(starMaskRadius(flux), radius) << flux;

    const std::vector<Star> stars = starField(3);
    StarDetector detector;
    const cv::Mat mask = detector.detectStarMask(matView(*starFrame(stars, cv::Matx33d::eye(), 3)));
    // The aperture takes in about three quarters of the fluxes 2280 to 2400,
    // which gives radius 6 or 7 (7 from 1512 on, 8 from 2981): every disc
    // covers radius 6 about the star's pixel, and nothing lies beyond 7.
    cv::Mat inner = cv::Mat::zeros(mask.size(), CV_8UC1), outer = inner.clone();
    for (const Star& star : stars) {
        const cv::Point centre(int(std::round(star.position.x)), int(std::round(star.position.y)));
        cv::circle(inner, centre, 6, cv::Scalar(255), cv::FILLED);
        cv::circle(outer, centre, 7, cv::Scalar(255), cv::FILLED);
    }
    EXPECT_EQ(cv::countNonZero(inner & ~mask), 0);
    EXPECT_EQ(cv::countNonZero(mask & ~outer), 0);

    EXPECT_THROW(detector.detectStarMask(matView(*starFrame({stars[0], stars[1]}))), std::runtime_error);
    EXPECT_EQ(detector.getLastError(), "Not enough stars detected");
}

TEST(StarMatching, PairsEachStarWithItsOwnImageThroughRanksOrTriangles)
{
    const std::vector<Star> field = starField(24), fainter(field.begin() + 1, field.end());
    // Fluxes far apart keep the brightness ranks of the two images alike.
    const std::vector<Star> three{{field[0].position, 2400.0}, {field[1].position, 1600.0}, {field[2].position, 900.0}};
    // Name, reference and frame stars, the frame's map to the reference, the
    // pairs of a star with its own image at least, and whether triangles are matched.
    const std::tuple<const char*, std::vector<Star>, std::vector<Star>, cv::Matx33d, int, bool> cases[] = {
        // Turned about the frame's centre (159.5, 119.5), the one case warned about.
        {"half turn", field, field, {-1, 0, 319, 0, -1, 239, 0, 0, 1}, 20, false},
        // No similarity fits a mirror image (here upside down), so the
        // brightness ranks cannot agree with one.
        {"mirrored", field, field, {1, 0, 0, 0, -1, 239, 0, 0, 1}, 20, true},
        // Without the brightest star every brightness rank of the frame is one
        // off, so rank pairs join neighbouring stars and no similarity fits
        // them. Of the reference's 20 brightest, 19 are among the frame's 20
        // brightest; the missing one may take a wrong partner within 50 px.
        {"brightest missing", field, fainter, similarity(0, 1, -6.4, -11.2), 18, true},
        // Too few for the homography the rotation report fits, which must
        // not fail the match.
        {"three stars", three, three, similarity(0, 1, -4.5, 3.0), 3, false},
    };
    for (const auto& [name, reference, frame, toReference, counterparts, triangles] : cases) {
        SCOPED_TRACE(name);
        const Matched m = match(*starFrame(reference), *starFrame(frame, toReference));
        ASSERT_TRUE(m.ok);
        ASSERT_EQ(m.reference.size(), m.frame.size());
        EXPECT_LE(m.reference.size(), 20u);
        int found = 0;
        for (std::size_t k = 0; k < m.reference.size(); ++k)
            found += cv::norm(mapped(toReference, m.frame[k]) - cv::Point2d(m.reference[k])) < 0.25;
        EXPECT_GE(found, counterparts);
        EXPECT_EQ(logMessages(m.log, "[WARN] ").size(), toReference(0, 0) < 0.0 ? 1u : 0u);
        EXPECT_EQ(m.log.find("Brightness order disagrees, matching star triangles instead") != std::string::npos,
                  triangles);
    }
}

TEST(StarMatching, TooFewStarsFailWithEmptyListsAndTheReasonKeptAndLogged)
{
    const ByteImagePtr field = starFrame(starField(24));
    // A budget below the 3 pairs matching needs; a frame of faint noise, in
    // which extraction succeeds and finds fewer than 3 stars.
    const std::tuple<ByteImagePtr, int, std::string> cases[] = {
        {field, 2, "Not enough stars for matching"},
        {noiseFrame(kWidth, kHeight, 1, 40, 6, 3), 20, "Not enough stars detected for alignment"},
    };
    for (const auto& [frame, budget, reason] : cases) {
        const Matched m = match(*field, *frame, budget);
        EXPECT_FALSE(m.ok) << reason;
        EXPECT_TRUE(m.reference.empty() && m.frame.empty()) << reason;
        EXPECT_EQ(m.error, reason);
        EXPECT_EQ(logMessages(m.log, "[ERRO] "), std::vector<std::string>{reason});
    }
}

TEST(StarPairing, NearestFreeStarWithinFiftyPixelsTiesGoingToTheBrighter)
{
    const PointList reference{{0, 0}, {1, 0}, {100, 0}, {200, 0}, {300, 0}};
    // Frame stars 0, 1 and 4 are all 5 from reference 0 (1 is 5.83 and 4 is
    // 5.10 from reference 1), 2 is 50 from reference 2 (not below 50), 3 is
    // 49.9 from reference 3; reference 4 has no star within reach.
    const PointList frame{{3, 4}, {-4, 3}, {150, 0}, {200, 49.9f}, {0, 5}};
    EXPECT_EQ(pairNearest(reference, frame), (StarPairs{{0, 0}, {1, 4}, {3, 3}}));

    EXPECT_TRUE(pairNearest({{0, 0}}, {}).empty());
}

TEST(TriangleMatching, RecoversATurnedScaledShiftedFieldPlainOrMirroredAndNothingWithoutSixAgreeingStars)
{
    const PointList field = randomPoints(80, 5);
    for (const cv::Matx33d& truth :
         {similarity(37.0, 1.02, 140.5, -60.25), similarity(-112.0, 0.97, 1300.0, 80.0, true)}) {
        // The field and its image, each side missing a different fifth of it
        // and holding a few stars of its own, in shuffled order so that no
        // list position carries meaning.
        PointList reference = randomPoints(5, 6), frame = randomPoints(5, 7);
        for (std::size_t k = 0; k < field.size(); ++k) {
            if (k % 5 != 0)
                frame.push_back(field[k]);
            if (k % 5 != 1)
                reference.emplace_back(mapped(truth, field[k]));
        }
        std::mt19937 random(8);
        std::shuffle(reference.begin(), reference.end(), random);
        std::shuffle(frame.begin(), frame.end(), random);
        const cv::Mat model = matchByTriangles(reference, frame);
        ASSERT_EQ(model.size(), cv::Size(3, 2));
        cv::Mat found;
        cv::vconcat(model, cv::Mat(cv::Matx13d(0, 0, 1)), found);
        EXPECT_LT(largestDisagreement(cv::Matx33d(found), truth, 1200, 800), 0.01) << truth;
    }

    // Five stars cannot show six in agreement, even when mapped exactly.
    const PointList five = randomPoints(5, 9);
    EXPECT_TRUE(matchByTriangles(five, five).empty());
    // Unrelated fields share only chance likenesses of triangles.
    EXPECT_TRUE(matchByTriangles(randomPoints(60, 10), randomPoints(60, 11)).empty());
}
