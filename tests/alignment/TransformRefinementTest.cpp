#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "alignment/AlignmentTestSupport.h"
#include "alignment/TransformModel.h"

namespace {

// The largest distance between the corners of a 1200 x 800 field mapped through both matrices.
double cornerError(const cv::Mat& found, const cv::Matx33d& truth)
{
    const std::vector<cv::Point2d> corners = {{0, 0}, {1199, 0}, {0, 799}, {1199, 799}};
    std::vector<cv::Point2d> a, b;
    cv::perspectiveTransform(corners, a, found);
    cv::perspectiveTransform(corners, b, cv::Mat(truth));
    double worst = 0.0;
    for (std::size_t i = 0; i < corners.size(); ++i)
        worst = std::max(worst, cv::norm(a[i] - b[i]));
    return worst;
}

// Frame points mapped through truth, with centroid noise of 0.2 px and the
// last tenth of the pairs matched to unrelated points.
PointList referenceOf(const PointList& frame, const cv::Matx33d& truth)
{
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    PointList reference;
    cv::perspectiveTransform(frame, reference, cv::Mat(truth));
    const PointList unrelated = randomPoints(int(frame.size()), 9);
    for (std::size_t i = 0; i < reference.size(); ++i)
        reference[i] = i >= reference.size() * 9 / 10 ? unrelated[i] : reference[i] + cv::Point2f(noise(random), noise(random));
    return reference;
}

}  // namespace

TEST(SimplestTransform, RefitsAHomographyAsASimilarityPlainOrMirroredAndKeepsARealPerspective)
{
    const PointList frame = randomPoints(80, 4);
    const cv::Matx33d perspective(1.0, 0.0, 5.0, 0.0, 1.0, -3.0, 2e-4, 0.0, 1.0);
    const struct {
        cv::Matx33d truth;
        bool similar;
    } cases[] = {{similarity(0.7, 1.0, 12.3, -4.7), true}, {similarity(179.0, 1.0, 1190.0, 780.0, true), true},
                 {perspective, false}};
    for (const auto& c : cases) {
        const PointList reference = referenceOf(frame, c.truth);
        const cv::Mat estimate = estimateHomography(reference, frame);
        ASSERT_FALSE(estimate.empty());
        const cv::Mat refined = simplestTransform(reference, frame, {}, estimate).transform;
        if (!c.similar) {
            EXPECT_EQ(cv::norm(refined, estimate), 0.0);
            continue;
        }
        // Four numbers from 72 pairs against eight: the corners land closer.
        EXPECT_LT(cornerError(refined, c.truth), 0.1);
        EXPECT_LT(cornerError(refined, c.truth), cornerError(estimate, c.truth));
        EXPECT_EQ(transformParameters(refined).determinant < 0, transformParameters(cv::Mat(c.truth)).determinant < 0);
    }
}

TEST(SimplestTransform, WeighsEachPairByTheErrorOfItsFramePosition)
{
    // Half the pairs are exact; the other half are all off by 0.6 px the
    // same way, close enough to count as inliers. Only their weights keep
    // them from pulling the fit by half that.
    const PointList frame = randomPoints(40, 5);
    const cv::Matx33d truth = similarity(0.4, 1.0, 8.0, -2.5);
    PointList reference;
    cv::perspectiveTransform(frame, reference, cv::Mat(truth));
    for (std::size_t i = 20; i < reference.size(); ++i)
        reference[i].x += 0.6f;
    const cv::Mat estimate = estimateHomography(reference, frame);
    ASSERT_FALSE(estimate.empty());
    const float infinite = std::numeric_limits<float>::infinity();
    const struct {
        float offPairsError;
        double highest;
    } cases[] = {{1.0f, 0.01}, {infinite, 0.001}};
    for (const auto& c : cases) {
        std::vector<float> errors(frame.size(), 0.01f);
        std::fill(errors.begin() + 20, errors.end(), c.offPairsError);
        const double error = cornerError(simplestTransform(reference, frame, errors, estimate).transform, truth);
        EXPECT_LE(error, c.highest) << "error of the off pairs " << c.offPairsError;
    }
    // Equal weights, as for feature pairs: the fit lands between the halves.
    EXPECT_GT(cornerError(simplestTransform(reference, frame, {}, estimate).transform, truth), 0.25);
}
