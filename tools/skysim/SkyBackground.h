#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "SkySettings.h"

// A smooth patch of nebula: an elliptical Gaussian in reference coordinates,
// sigmas along its own axes, the long one at angle degrees from +x.
struct NebulaBlob {
    cv::Point2d centre;
    double sigmaLong = 1.0;
    double sigmaShort = 1.0;
    double angle = 0.0;
    double amplitude = 0.0;
};

// A main blob of the settings' size and amplitude near the middle of the
// reference frame, with a few smaller, fainter ones around it; none when the
// amplitude is 0.
std::vector<NebulaBlob> randomNebula(const BackgroundSettings& settings, int width, int height, std::uint64_t seed);

// Brightness in each channel: only the first is used for a grey frame.
using ChannelLevels = std::array<double, 3>;

// Everything in the sky but the stars, in reference coordinates: a constant
// level, a linear gradient that is 0 at the reference frame's centre and
// rises by the settings' amount between its opposite corner pixels, and the
// nebula. A grey frame takes the sum as it is; a colour frame multiplies
// each part by its tint for the channel.
class SkyBackground {
public:
    SkyBackground(const BackgroundSettings& settings, int width, int height, const std::vector<NebulaBlob>& nebula);

    ChannelLevels at(cv::Point2d reference, int channels) const;

private:
    // exp(-q / 2) of a quadratic form q = a dx^2 + 2 b dx dy + c dy^2.
    struct Gaussian {
        cv::Point2d centre;
        double a, b, c;
        double amplitude;
    };

    double nebulaAt(cv::Point2d reference) const;

    BackgroundSettings settings_;
    cv::Point2d centre_;
    cv::Vec2d gradientPerPixel_;
    std::vector<Gaussian> nebula_;
};
