#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "SensorNoise.h"
#include "SkyModel.h"
#include "alignment/StarDetector.h"
#include "alignment/TransformModel.h"
#include "image/MatView.h"
#include "support/TestSupport.h"

// Star fields drawn by the simulator's sky model, and the geometry the
// alignment tests check their results with.

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Fields of `count` stars, brightest first, with fluxes 60 apart whose peaks
// stay well below saturation, at random places at least 20 px apart and 25 px
// inside the frame: unlike a grid, no shift by one star spacing lines up most
// of the field with itself. Each lies within 0.3 px of a whole pixel, so that
// rounding a position found within a few hundredths of a pixel gives the
// pixel it was drawn on.
inline std::vector<Star> starField(int count)
{
    std::mt19937 random(12);
    const auto place = [&](int size) {
        const int whole = std::uniform_int_distribution<int>(25, size - 25)(random);
        return whole + std::uniform_real_distribution<double>(-0.3, 0.3)(random);
    };
    std::vector<Star> stars;
    while (int(stars.size()) < count) {
        const Star star{{place(kWidth), place(kHeight)}, 2400.0 - 60.0 * double(stars.size())};
        if (std::all_of(stars.begin(), stars.end(),
                        [&](const Star& s) { return cv::norm(s.position - star.position) >= 20.0; }))
            stars.push_back(star);
    }
    return stars;
}

// Points spread at random over a 1200 x 800 field, reproducible from the seed.
inline PointList randomPoints(int count, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> x(0.0f, 1200.0f), y(0.0f, 800.0f);
    PointList points(count);
    for (cv::Point2f& point : points)
        point = {x(random), y(random)};
    return points;
}

// The stars as seen by a kWidth x kHeight frame whose pixel p shows the
// reference point toReference * p, on a flat sky of 20 with faint sensor noise.
inline ByteImagePtr starFrame(const std::vector<Star>& stars, const cv::Matx33d& toReference = cv::Matx33d::eye(),
                              int channels = 1)
{
    const BackgroundSettings flat{20.0, 0.0};  // sky level 20, no gradient
    const SkyModel sky(stars, MoffatProfile(3.0, 3.0), SkyBackground(flat, kWidth, kHeight, {}));
    const NoiseSettings faint{0.0, 1.0, 0.05};  // no vignetting, read noise 1, gain 0.05
    return exposeFrame(*sky.render(toReference, kWidth, kHeight, channels), faint, {}, 7, 1);
}

// Mirrored left to right when asked, then turned by angle degrees about the
// origin, scaled and moved.
inline cv::Matx33d similarity(double angleDegrees, double scale, double dx, double dy, bool mirrored = false)
{
    const double c = scale * std::cos(angleDegrees * CV_PI / 180.0);
    const double s = scale * std::sin(angleDegrees * CV_PI / 180.0);
    const double m = mirrored ? -1.0 : 1.0;
    return {c * m, -s, dx, s * m, c, dy, 0, 0, 1};
}

inline cv::Point2d mapped(const cv::Matx33d& transform, cv::Point2d point)
{
    const cv::Vec3d p = transform * cv::Vec3d(point.x, point.y, 1.0);
    return {p[0] / p[2], p[1] / p[2]};
}

// The largest distance between where two matrices take a grid of points
// over the inner part of a width x height frame.
inline double largestDisagreement(const cv::Matx33d& a, const cv::Matx33d& b, int width, int height)
{
    double largest = 0.0;
    for (double fx : {0.2, 0.5, 0.8})
        for (double fy : {0.2, 0.5, 0.8}) {
            const cv::Point2d point(fx * width, fy * height);
            largest = std::max(largest, cv::norm(mapped(a, point) - mapped(b, point)));
        }
    return largest;
}
