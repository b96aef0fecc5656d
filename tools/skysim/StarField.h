#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "FrameTransforms.h"
#include "SkySettings.h"

// A star in reference coordinates. Its flux is the sum of its brightness over
// all pixels; channel c of a colour frame gets flux * colour[c], and the
// three colour factors average 1.
struct Star {
    cv::Point2d position;
    double flux = 0.0;
    ChannelTint colour{1.0, 1.0, 1.0};
};

// Stars at uniform positions over the bounds, as many as the settings ask
// for over frameArea scaled to the area of the bounds (rounded), each with a
// power-law flux and a colour from blue-white to orange.
std::vector<Star> randomStarField(const StarFieldSettings& settings, const FieldBounds& bounds, double frameArea,
                                  std::uint64_t seed);
