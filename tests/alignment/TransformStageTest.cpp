#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "alignment/AlignmentTestSupport.h"
#include "alignment/StarDetector.h"
#include "alignment/TransformStage.h"

namespace {

// Turns by angle degrees and scales about the origin, then shifts.
cv::Matx33d similarity(double angleDegrees, double scale, double dx, double dy)
{
    const double c = scale * std::cos(angleDegrees * CV_PI / 180.0);
    const double s = scale * std::sin(angleDegrees * CV_PI / 180.0);
    return {c, -s, dx, s, c, dy, 0, 0, 1};
}

PointList spreadPoints(int count)
{
    PointList points;
    for (int i = 0; i < count; ++i)
        points.emplace_back(float(37 + (i * 53) % 300), float(21 + (i * 97) % 200));
    return points;
}

PointList through(const cv::Matx33d& transform, const PointList& points)
{
    PointList result;
    for (const cv::Point2f& p : points)
        result.emplace_back(mapped(transform, p));
    return result;
}

TransformParameters scaledAndShifted(double sx, double sy, double tx, double ty)
{
    TransformParameters p;
    p.scaleX = sx;
    p.scaleY = sy;
    p.translationX = tx;
    p.translationY = ty;
    return p;
}

bool anyStartsWith(const std::vector<std::string>& messages, const std::string& prefix)
{
    return std::any_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}

const char* const kSimplerModel = "Detected extreme transformation parameters, trying simpler model";

}  // namespace

TEST(AnalyzeTransformation, ThreePairsGiveASimilarityAndMoreAHomography)
{
    StarDetector detector;
    cv::Mat m;
    // A shear fits three pairs exactly as an affine map; a similarity keeps
    // equal scales and a pure rotation, and a last row of (0, 0, 1).
    const PointList three = spreadPoints(3);
    ASSERT_TRUE(detector.analyzeTransformation(through({1, 0.3, 4, 0, 1, 2, 0, 0, 1}, three), three, m));
    EXPECT_NEAR(m.at<double>(0, 0), m.at<double>(1, 1), 1e-9);
    EXPECT_NEAR(m.at<double>(0, 1), -m.at<double>(1, 0), 1e-9);
    EXPECT_EQ(cv::norm(m.row(2), cv::Mat(cv::Matx13d(0, 0, 1)), cv::NORM_INF), 0.0);

    const PointList twelve = spreadPoints(12);
    const cv::Matx33d perspective(1.01, -0.02, 6.0, 0.015, 0.99, -4.0, 2e-5, -1e-5, 1.0);
    const auto info = infoLoggedBy([&] { detector.analyzeTransformation(through(perspective, twelve), twelve, m); });
    EXPECT_LT(largestDisagreement(cv::Matx33d(m), perspective, 400, 300), 0.01);
    EXPECT_TRUE(anyStartsWith(info, "  Determinant: 1.0002"));  // 1.01 * 0.99 + 0.02 * 0.015
    EXPECT_TRUE(anyStartsWith(info, "  RMSE: 0.0000"));

    EXPECT_FALSE(detector.analyzeTransformation(three, spreadPoints(2), m));
    EXPECT_EQ(detector.getLastError(), "Not enough points for transformation analysis");
}

TEST(AnalyzeTransformation, ReportsHalfTurnsAndReflectionsAndKeepsThem)
{
    StarDetector detector;
    const PointList frame = spreadPoints(10);
    cv::Mat m;
    const cv::Matx33d halfTurn = similarity(180.0, 1.0, 400.0, 300.0);
    auto info = infoLoggedBy([&] { detector.analyzeTransformation(through(halfTurn, frame), frame, m); });
    EXPECT_TRUE(contains(info, "Detected a 180-degree rotation"));
    EXPECT_FALSE(contains(info, "Detected a meridian flip (reflection)"));
    EXPECT_LT(largestDisagreement(cv::Matx33d(m), halfTurn, 400, 300), 0.01);

    const cv::Matx33d mirror(-1.0, 0.0, 399.0, 0.0, 1.0, 0.0, 0, 0, 1);
    info = infoLoggedBy([&] { detector.analyzeTransformation(through(mirror, frame), frame, m); });
    EXPECT_TRUE(contains(info, "  Determinant: -1.000000 (includes reflection)"));
    EXPECT_TRUE(contains(info, "Detected a meridian flip (reflection)"));
    EXPECT_LT(largestDisagreement(cv::Matx33d(m), mirror, 400, 300), 0.01);
}

TEST(FindFrameTransform, RecoversAShiftAndTurnFromNoisyPairsWithWrongOnes)
{
    // 2 degrees about the centre of the frame, then (14.5, -9.25).
    const cv::Matx33d truth = similarity(0, 1, 254.5, 170.75) * similarity(2, 1, 0, 0) * similarity(0, 1, -240, -180);
    std::mt19937 random(4711);
    std::uniform_real_distribution<float> x(0.0f, 480.0f), y(0.0f, 360.0f);
    std::normal_distribution<float> centroidError(0.0f, 0.1f);
    PointList referencePoints, framePoints;
    for (int i = 0; i < 80; ++i) {
        framePoints.emplace_back(x(random), y(random));
        const cv::Point2d seen = mapped(truth, framePoints.back());
        const bool wrong = i % 4 == 0;  // paired with an unrelated star
        referencePoints.emplace_back(wrong ? x(random) : float(seen.x) + centroidError(random),
                                     wrong ? y(random) : float(seen.y) + centroidError(random));
    }
    StarDetector detector;
    const cv::Mat m = findFrameTransform(detector, referencePoints, framePoints, 480, 360);
    EXPECT_LT(largestDisagreement(cv::Matx33d(m), truth, 480, 360), 0.5);
}

TEST(FindFrameTransform, BoundsArePlausibleAndBeyondThemASimplerModelIsUsed)
{
    EXPECT_TRUE(isPlausibleTransform(scaledAndShifted(4.0, 0.25, 800.0, -600.0), 400, 300));
    EXPECT_TRUE(isPlausibleTransform(scaledAndShifted(0.25, 4.0, -800.0, 600.0), 400, 300));
    EXPECT_FALSE(isPlausibleTransform(scaledAndShifted(4.01, 1.0, 0.0, 0.0), 400, 300));
    EXPECT_FALSE(isPlausibleTransform(scaledAndShifted(1.0, 0.249, 0.0, 0.0), 400, 300));
    EXPECT_FALSE(isPlausibleTransform(scaledAndShifted(1.0, 1.0, -801.0, 0.0), 400, 300));
    EXPECT_FALSE(isPlausibleTransform(scaledAndShifted(1.0, 1.0, 0.0, 601.0), 400, 300));

    StarDetector detector;
    const PointList frame = spreadPoints(10);
    for (const cv::Matx33d& extreme : {similarity(0.0, 4.01, 0.0, 0.0), similarity(0.0, 1.0, 801.0, 0.0)}) {
        cv::Mat m;
        const auto info =
            infoLoggedBy([&] { m = findFrameTransform(detector, through(extreme, frame), frame, 400, 300); });
        EXPECT_TRUE(contains(info, kSimplerModel));
        EXPECT_TRUE(contains(info, "Using rigid transformation (rotation + translation + uniform scale)"));
        EXPECT_LT(largestDisagreement(cv::Matx33d(m), extreme, 400, 300), 0.01);
    }
    const auto info = infoLoggedBy(
        [&] { findFrameTransform(detector, through(similarity(0.0, 3.9, 0.0, 0.0), frame), frame, 400, 300); });
    EXPECT_FALSE(contains(info, kSimplerModel));
}

TEST(FindFrameTransform, PairsThatFitNoModelGiveAShift)
{
    StarDetector detector;
    cv::Mat m;
    // Two pairs moved by (10, 4) and (12, 6).
    auto info =
        infoLoggedBy([&] { m = findFrameTransform(detector, {{20, 24}, {112, 56}}, {{10, 20}, {100, 50}}, 400, 300); });
    EXPECT_TRUE(contains(info, "Translation alignment: (11.000000, 5.000000) pixels"));
    EXPECT_EQ(cv::Matx33d(m), cv::Matx33d(1, 0, 11, 0, 1, 5, 0, 0, 1));

    // Three pairs from one frame point fit no similarity and are too few for a homography.
    const PointList same(3, cv::Point2f(50.0f, 50.0f));
    EXPECT_NO_THROW(m = findFrameTransform(detector, {{60, 55}, {61, 56}, {62, 57}}, same, 400, 300));
    EXPECT_EQ(cv::Matx33d(m), cv::Matx33d(1, 0, 11, 0, 1, 6, 0, 0, 1));

    // One pair beyond twice the width: the simpler model falls back to the centroids' difference.
    info = infoLoggedBy([&] { m = findFrameTransform(detector, {{900, 8}}, {{50, 2}}, 400, 300); });
    EXPECT_TRUE(contains(info, "Using translation-only transformation as fallback"));
    EXPECT_EQ(cv::Matx33d(m), cv::Matx33d(1, 0, 850, 0, 1, 6, 0, 0, 1));

    EXPECT_THROW(findFrameTransform(detector, {}, {}, 400, 300), std::invalid_argument);
    EXPECT_THROW(findFrameTransform(detector, same, {{1, 2}}, 400, 300), std::invalid_argument);
}
