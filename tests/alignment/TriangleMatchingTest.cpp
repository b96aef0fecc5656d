#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "alignment/TriangleMatching.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kFieldWidth = 1200;
constexpr int kFieldHeight = 800;

PointList randomStars(int count, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> x(0.0f, float(kFieldWidth));
    std::uniform_real_distribution<float> y(0.0f, float(kFieldHeight));
    PointList stars;
    for (int k = 0; k < count; ++k)
        stars.emplace_back(x(random), y(random));
    return stars;
}

// Frame to reference: mirrored left to right when asked, then turned by
// angle degrees, scaled and moved.
cv::Matx23d similarity(double angleDegrees, double scale, double dx, double dy, bool mirrored)
{
    const double c = scale * std::cos(angleDegrees * kPi / 180.0);
    const double s = scale * std::sin(angleDegrees * kPi / 180.0);
    const double m = mirrored ? -1.0 : 1.0;
    return {c * m, -s, dx, s * m, c, dy};
}

cv::Point2d apply(const cv::Matx23d& t, cv::Point2d p)
{
    return {t(0, 0) * p.x + t(0, 1) * p.y + t(0, 2), t(1, 0) * p.x + t(1, 1) * p.y + t(1, 2)};
}

struct StarLists {
    PointList reference;
    PointList frame;
};

// The frame's stars and their images in the reference, each side missing
// a different fifth of them and holding a few stars of its own, in shuffled
// order so that no list position carries meaning.
StarLists overlappingLists(const cv::Matx23d& frameToReference)
{
    const PointList field = randomStars(80, 5);
    const PointList referenceOnly = randomStars(5, 6);
    const PointList frameOnly = randomStars(5, 7);
    StarLists lists;
    for (std::size_t k = 0; k < field.size(); ++k) {
        if (k % 5 != 0)
            lists.frame.push_back(field[k]);
        if (k % 5 != 1) {
            const cv::Point2d p = apply(frameToReference, field[k]);
            lists.reference.emplace_back(float(p.x), float(p.y));
        }
    }
    lists.reference.insert(lists.reference.end(), referenceOnly.begin(), referenceOnly.end());
    lists.frame.insert(lists.frame.end(), frameOnly.begin(), frameOnly.end());
    std::mt19937 random(8);
    std::shuffle(lists.reference.begin(), lists.reference.end(), random);
    std::shuffle(lists.frame.begin(), lists.frame.end(), random);
    return lists;
}

// The largest distance between where the model and the truth take points
// spread over the field.
double largestError(const cv::Mat& model, const cv::Matx23d& truth)
{
    const cv::Matx23d found(model);
    double largest = 0.0;
    for (double fx : {0.0, 0.5, 1.0})
        for (double fy : {0.0, 0.5, 1.0}) {
            const cv::Point2d p(fx * kFieldWidth, fy * kFieldHeight);
            largest = std::max(largest, cv::norm(apply(found, p) - apply(truth, p)));
        }
    return largest;
}

}  // namespace

TEST(TriangleMatching, RecoversATurnedScaledShiftedFieldDespiteMissingAndExtraStars)
{
    const cv::Matx23d truth = similarity(37.0, 1.02, 140.5, -60.25, false);
    const StarLists lists = overlappingLists(truth);
    const cv::Mat model = matchByTriangles(lists.reference, lists.frame);
    ASSERT_EQ(model.rows, 2);
    ASSERT_EQ(model.cols, 3);
    ASSERT_EQ(model.type(), CV_64F);
    EXPECT_LT(largestError(model, truth), 0.01);
}

TEST(TriangleMatching, RecoversAMirroredField)
{
    const cv::Matx23d truth = similarity(-112.0, 0.97, 1300.0, 80.0, true);
    const StarLists lists = overlappingLists(truth);
    const cv::Mat model = matchByTriangles(lists.reference, lists.frame);
    ASSERT_FALSE(model.empty());
    EXPECT_LT(cv::determinant(model.colRange(0, 2)), 0.0);
    EXPECT_LT(largestError(model, truth), 0.01);
}

TEST(TriangleMatching, GivesNoModelWithoutEnoughAgreeingStars)
{
    // Five stars cannot show six in agreement, even when mapped exactly.
    const PointList five = randomStars(5, 9);
    EXPECT_TRUE(matchByTriangles(five, five).empty());

    // Unrelated fields share only chance likenesses of triangles.
    EXPECT_TRUE(matchByTriangles(randomStars(60, 10), randomStars(60, 11)).empty());

    EXPECT_TRUE(matchByTriangles({}, randomStars(60, 10)).empty());
}
