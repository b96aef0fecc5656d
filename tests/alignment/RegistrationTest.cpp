#include <gtest/gtest.h>

#include "alignment/AlignmentTestSupport.h"
#include "alignment/FeatureMatching.h"
#include "alignment/TransformStage.h"
#include "alignment/WarpFrame.h"
#include "stacking/ImageStacker.h"

namespace {

PointList through(const cv::Matx33d& transform, const PointList& points)
{
    PointList result;
    cv::perspectiveTransform(points, result, cv::Mat(transform));
    return result;
}

bool isSimilarity(const cv::Mat& m)
{
    return std::abs(m.at<double>(0, 0) - m.at<double>(1, 1)) < 1e-9 &&
           std::abs(m.at<double>(0, 1) + m.at<double>(1, 0)) < 1e-9 &&
           cv::norm(m.row(2), cv::Mat(cv::Matx13d(0, 0, 1)), cv::NORM_INF) == 0.0;
}

}  // namespace

TEST(AlignFrame, FrameOfAnotherChannelCountOrSizeLandsOnTheReferenceInItsShapeAndAnUnalignableOneAsACopy)
{
    const std::vector<Star> field = starField(24);
    // Shifted by (9.5, -6.25) and turned by 2 degrees about the centre.
    const cv::Matx33d turned =
        similarity(0, 1, 169.0, 113.25) * similarity(2, 1, 0, 0) * similarity(0, 1, -159.5, -119.5);
    const ByteImagePtr colour = starFrame(field, cv::Matx33d::eye(), 3);
    // The reference framed by a flat border at sky level, 40 px wide left and
    // right and 30 px top and bottom. A cut of the reference would not do:
    // star matching pairs stars by brightness rank first, and a bright star
    // lost at the cut's edge shifts every rank after it.
    cv::Mat framed;
    cv::copyMakeBorder(matView(*colour), framed, 30, 30, 40, 40, cv::BORDER_CONSTANT, cv::Scalar::all(20));
    // A misregistration by a tenth of a pixel gives a mean difference of
    // 0.12 to 0.16 between noisy frames, and of 0.03 for the framed
    // reference, whose noise is the reference's own.
    const std::tuple<ByteImagePtr, ByteImagePtr, cv::Matx33d, double> cases[] = {
        {starFrame(field), starFrame(field, turned, 3), turned, 0.1},
        {colour, starFrame(field, turned, 1), turned, 0.1},
        {colour, bufferFromMat(framed), similarity(0, 1, -40, -30), 0.01},
    };
    for (const auto& [reference, frame, truth, within] : cases) {
        ImageStacker stacker;
        stacker.referenceFrame() = reference;
        const ByteImagePtr aligned = stacker.alignFrame(frame);
        ASSERT_TRUE(aligned->sameDimensions(*reference));
        // Close to the frame brought to the reference's channel count and
        // warped with the true transform.
        cv::Mat converted = matView(*frame), expected;
        if (frame->channels() != reference->channels())
            cv::cvtColor(converted, converted, converted.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_GRAY2BGR);
        cv::warpPerspective(converted, expected, cv::Mat(truth), cv::Size(kWidth, kHeight));
        const cv::Rect inner(40, 40, kWidth - 80, kHeight - 80);  // away from the edges the motion uncovers
        const double difference = cv::norm(matView(*aligned)(inner), expected(inner), cv::NORM_L1);
        EXPECT_LT(difference / (inner.area() * expected.channels()), within)
            << frame->channels() << " channels onto " << reference->channels() << ", " << frame->width() << " wide";
    }

    // An unalignable frame comes back as a copy; switched off, alignment
    // hands back the frame itself.
    ImageStacker stacker;
    stacker.referenceFrame() = colour;
    const ByteImagePtr featureless = flatFrame(kWidth, kHeight, 3, 90);
    const ByteImagePtr result = stacker.alignFrame(featureless);
    EXPECT_NE(result, featureless);
    EXPECT_EQ(cv::norm(matView(*result), matView(*featureless), cv::NORM_INF), 0.0);
    stacker.settings()->alignFrames = false;
    EXPECT_EQ(stacker.alignFrame(featureless), featureless);
}

TEST(FeatureMatching, KeepsMatchesStrictlyCloserThanThirtyOrOneAndAHalfTimesTheClosest)
{
    // Distances of the matches of frame points 0, 1, ... and the points kept.
    const std::pair<std::vector<float>, std::vector<int>> cases[] = {
        {{45.0f, 0.0f, 29.5f, 30.0f, 12.0f}, {1, 2, 4}},  // below 30
        {{40.0f, 60.0f, 59.75f, 61.0f, 40.0f}, {0, 2, 4}},  // below 1.5 x 40
    };
    for (const auto& [distances, expected] : cases) {
        std::vector<cv::DMatch> matches;
        for (std::size_t i = 0; i < distances.size(); ++i)
            matches.emplace_back(int(i), 0, distances[i]);  // all on one reference point: no deduplication
        std::vector<int> kept;
        for (const cv::DMatch& match : keepCloseMatches(matches))
            kept.push_back(match.queryIdx);
        EXPECT_EQ(kept, expected);
    }
}

TEST(WarpFrame, WholePixelShiftLeavesUnreachedPixelsBlack)
{
    const ByteImagePtr frame = noiseFrame(20, 15, 3, 128, 100, 7);
    const ByteImagePtr out = warpFrame(matView(*frame), cv::Mat(cv::Matx33d(1, 0, 3, 0, 1, 2, 0, 0, 1)), 24, 18, 3);
    cv::Mat expected(18, 24, CV_8UC3, cv::Scalar::all(0));
    matView(*frame).copyTo(expected(cv::Rect(3, 2, 20, 15)));
    EXPECT_EQ(cv::norm(matView(*out), expected, cv::NORM_INF), 0.0);
}

TEST(AnalyzeTransformation, ThreePairsGiveASimilarityAndTwoNone)
{
    StarDetector detector;
    cv::Mat m;
    // A shear fits three pairs exactly as an affine map.
    const PointList three = randomPoints(3, 1);
    ASSERT_TRUE(detector.analyzeTransformation(through({1, 0.3, 4, 0, 1, 2, 0, 0, 1}, three), three, m));
    EXPECT_TRUE(isSimilarity(m)) << m;

    EXPECT_FALSE(detector.analyzeTransformation(three, randomPoints(2, 1), m));
    EXPECT_EQ(detector.getLastError(), "Not enough points for transformation analysis");
}

TEST(FindFrameTransform, KeepsHomographiesWithinTheBoundsDespiteWrongPairsAndFallsBackToSimilarityOrShift)
{
    // A perspective map, a half turn and a mirrored stretch are kept as they
    // are, with the two of ten pairs that join unrelated points set aside.
    StarDetector detector;
    const PointList ten = randomPoints(10, 2);
    for (const cv::Matx33d& truth : {cv::Matx33d(1.01, -0.02, 6, 0.015, 0.99, -4, 2e-5, -1e-5, 1),
                                     similarity(180, 1, 400, 300), cv::Matx33d(-1.2, 0, 405, 0, 0.9, -3, 0, 0, 1)}) {
        PointList reference = through(truth, ten);
        reference[2] = {5.0f, 290.0f};
        reference[7] = {395.0f, 3.0f};
        const cv::Mat m = findFrameTransform(detector, reference, ten, 400, 300);
        EXPECT_LT(largestDisagreement(cv::Matx33d(m), truth, 400, 300), 0.01) << truth;
    }

    // For a 400 x 300 reference: both scales within [0.25, 4] and the shift
    // within twice the size, bounds included.
    // (translation x and y, rotation, scale x and y)
    const std::pair<TransformParameters, bool> cases[] = {
        {{800, -600, 0, 4.0, 0.25}, true}, {{-800, 600, 0, 0.25, 4.0}, true}, {{0, 0, 0, 4.01, 1}, false},
        {{0, 0, 0, 1, 0.249}, false},      {{-801, 0, 0, 1, 1}, false},       {{0, 601, 0, 1, 1}, false},
    };
    for (const auto& [p, plausible] : cases)
        EXPECT_EQ(isPlausibleTransform(p, 400, 300), plausible) << p.translationX << " " << p.translationY << " "
                                                                << p.scaleX << " " << p.scaleY;
    // Beyond them the result has one scale for both axes.
    const cv::Matx33d stretched(5, 0, 0, 0, 4.5, 0, 0, 0, 1);
    EXPECT_TRUE(isSimilarity(findFrameTransform(detector, through(stretched, ten), ten, 400, 300)));

    // Pairs that fit no model give a shift. Two pairs moved by (10, 4) and (12, 6).
    EXPECT_EQ(cv::Matx33d(findFrameTransform(detector, {{20, 24}, {112, 56}}, {{10, 20}, {100, 50}}, 400, 300)),
              cv::Matx33d(1, 0, 11, 0, 1, 5, 0, 0, 1));

    // Three pairs from one frame point fit no similarity and are too few for a homography.
    const PointList same(3, cv::Point2f(50.0f, 50.0f));
    EXPECT_EQ(cv::Matx33d(findFrameTransform(detector, {{60, 55}, {61, 56}, {62, 57}}, same, 400, 300)),
              cv::Matx33d(1, 0, 11, 0, 1, 6, 0, 0, 1));

    // One pair beyond twice the width: the simpler model falls back to the centroids' difference.
    EXPECT_EQ(cv::Matx33d(findFrameTransform(detector, {{900, 8}}, {{50, 2}}, 400, 300)),
              cv::Matx33d(1, 0, 850, 0, 1, 6, 0, 0, 1));

    EXPECT_THROW(findFrameTransform(detector, {}, {}, 400, 300), std::invalid_argument);
    EXPECT_THROW(findFrameTransform(detector, same, {{1, 2}}, 400, 300), std::invalid_argument);
}
