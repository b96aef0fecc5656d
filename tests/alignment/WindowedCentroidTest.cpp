#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "alignment/WindowedCentroid.h"

namespace {

constexpr int kSide = 64;

struct GaussianStar {
    cv::Point2d position;
    double sigma;
    double flux;
};

// The share of a unit Gaussian's light that falls in the pixel whose centre
// is at `pixel`, on one axis.
double pixelShare(double pixel, double centre, double sigma)
{
    const auto cumulative = [&](double x) { return 0.5 * std::erfc(-(x - centre) / (sigma * std::sqrt(2.0))); };
    return cumulative(pixel + 0.5) - cumulative(pixel - 0.5);
}

// A float image of the star over a sky of level + slopeX * x + slopeY * y.
cv::Mat starImage(const GaussianStar& star, double level, double slopeX = 0.0, double slopeY = 0.0)
{
    cv::Mat image(kSide, kSide, CV_32F);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            image.at<float>(y, x) = float(level + slopeX * x + slopeY * y +
                                          star.flux * pixelShare(x, star.position.x, star.sigma) *
                                              pixelShare(y, star.position.y, star.sigma));
    return image;
}

}  // namespace

TEST(WindowedCentroid, SettlesOnTheStarsCentreFromAnOffsetStartOnFlatAndSlopingSkies)
{
    struct Case {
        const char* name;
        GaussianStar star;
        double slopeX;
        double slopeY;
        int depth;
        double tolerance;
    };
    const Case cases[] = {
        {"narrow", {{30.37, 29.81}, 1.0, 5000.0}, 0.0, 0.0, CV_32F, 0.002},
        {"wide, on a pixel's edge", {{32.5, 31.0}, 2.0, 8000.0}, 0.0, 0.0, CV_32F, 0.002},
        // Seen through the window unfitted, this slope would move the centre by about 0.1 px.
        {"steep sky", {{31.2, 30.7}, 1.5, 3000.0}, 2.0, -1.0, CV_32F, 0.005},
        {"8-bit", {{29.66, 32.23}, 1.3, 2000.0}, 0.0, 0.0, CV_8U, 0.02},
    };
    for (const Case& c : cases) {
        cv::Mat image = starImage(c.star, 20.0, c.slopeX, c.slopeY);
        image.convertTo(image, c.depth);  // rounds to the nearest level
        cv::Point2f position(float(c.star.position.x + 0.45), float(c.star.position.y - 0.3));
        ASSERT_TRUE(refineWindowedCentroid(image, position, float(c.star.sigma))) << c.name;
        EXPECT_LT(cv::norm(cv::Point2d(position) - c.star.position), c.tolerance) << c.name << " " << position;
    }
}

// A star blurred over whole pixels gains 1/12 of a pixel squared of
// variance per axis; that is nearly the Gaussian which fits it best (within
// 2%: a blurred Gaussian is not quite a Gaussian when the pixel is nearly as
// wide as the star).
TEST(WindowedCentroid, ProfileWidthIsTheStarsOwnBroadenedByItsPixels)
{
    for (double sigma : {0.8, 1.3, 2.5}) {
        const GaussianStar star{{31.3, 32.6}, sigma, 6000.0};
        const cv::Mat image = starImage(star, 50.0, 0.3, 0.2);
        const auto found = gaussianProfileSigma(image, cv::Point2f(31.0f, 33.0f));
        ASSERT_TRUE(found) << sigma;
        EXPECT_NEAR(*found, std::sqrt(sigma * sigma + 1.0 / 12.0), 0.02 * sigma) << sigma;
    }
}

TEST(WindowedCentroid, StarsAtTheBorderOrBesideAMissingSampleAreLeftWhereTheyWere)
{
    cv::Mat image = starImage({{3.2, 30.0}, 1.5, 3000.0}, 20.0);
    image += starImage({{40.2, 30.0}, 1.5, 3000.0}, 0.0);
    image.at<float>(33, 44) = std::numeric_limits<float>::quiet_NaN();  // a dead pixel set aside
    for (const cv::Point2f start : {cv::Point2f(3.0f, 30.0f), cv::Point2f(40.0f, 30.0f)}) {
        cv::Point2f position = start;
        EXPECT_FALSE(refineWindowedCentroid(image, position, 1.5f)) << start;
        EXPECT_EQ(position, start);
        EXPECT_FALSE(gaussianProfileSigma(image, position)) << start;
        EXPECT_FALSE(medianProfileSigma(image, {position})) << start;
    }
}

// On a sky whose noise limits it, a Gaussian star's position can be known to
// sqrt(8 pi) s^2 noise / flux on each axis at best; the windowed centre must
// come close to that, where a centre of the light above a threshold does not.
TEST(WindowedCentroid, FaintStarsScatterCloseToTheBestTheSkysNoiseAllows)
{
    const double sigma = 1.5;
    const double flux = 1000.0;
    const double noise = 5.0;
    std::mt19937 random(3);
    std::uniform_real_distribution<double> place(30.0, 34.0);
    std::normal_distribution<float> sky(100.0f, float(noise));
    double squares = 0.0;
    const int stars = 300;
    for (int k = 0; k < stars; ++k) {
        const GaussianStar star{{place(random), place(random)}, sigma, flux};
        cv::Mat image = starImage(star, 0.0);
        for (auto it = image.begin<float>(); it != image.end<float>(); ++it)
            *it += sky(random);
        cv::Point2f position(float(std::round(star.position.x)), float(std::round(star.position.y)));
        ASSERT_TRUE(refineWindowedCentroid(image, position, float(std::sqrt(sigma * sigma + 1.0 / 12.0))));
        const cv::Point2d error = cv::Point2d(position) - star.position;
        squares += error.dot(error) / 2.0;
    }
    const double best = std::sqrt(8.0 * CV_PI) * (sigma * sigma + 1.0 / 12.0) * noise / flux;
    EXPECT_LT(std::sqrt(squares / stars), 1.15 * best);
}

// Each of two close stars would be pulled towards the other through the
// window, so both keep the positions they came with; a star far from both
// is still refined. Closeness counts in the wider of two stars' windows.
TEST(WindowedCentroid, StarsWithACloseNeighbourKeepTheirPositions)
{
    cv::Mat image = starImage({{20.3, 20.0}, 1.3, 4000.0}, 20.0);
    image += starImage({{25.3, 20.0}, 1.3, 4000.0}, 0.0);  // 5 px away: within six widths
    image += starImage({{44.6, 43.2}, 1.3, 4000.0}, 0.0);
    image += starImage({{44.6, 23.6}, 1.3, 4000.0}, 0.0);  // 19.6 px from the one below it
    std::vector<cv::Point2f> positions{{20.0f, 20.0f}, {25.0f, 20.0f}, {45.0f, 43.0f}, {45.0f, 24.0f}};
    const std::vector<cv::Point2f> start = positions;
    refineIsolatedCentroids(image, positions, {1.3f, 1.3f, 1.3f, 1.3f});
    EXPECT_EQ(positions[0], start[0]);
    EXPECT_EQ(positions[1], start[1]);
    EXPECT_LT(cv::norm(cv::Point2d(positions[2]) - cv::Point2d(44.6, 43.2)), 0.002);
    EXPECT_LT(cv::norm(cv::Point2d(positions[3]) - cv::Point2d(44.6, 23.6)), 0.002);

    // A clipped star measured through a window of 3.5 px reaches past 19.6 px.
    positions = start;
    refineIsolatedCentroids(image, positions, {1.3f, 1.3f, 1.3f, 3.5f});
    EXPECT_EQ(positions[2], start[2]);
    EXPECT_EQ(positions[3], start[3]);
}
