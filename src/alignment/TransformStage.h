#pragma once

#include <opencv2/core.hpp>

#include "alignment/StarDetector.h"
#include "alignment/TransformModel.h"

// The matrix a frame is warped with, from its matched pairs. Tried in order:
// the detector's analysis (a homography, or a similarity for exactly 3
// pairs), a direct homography (4 pairs or more), the mean pair shift. A result that fails
// isPlausibleTransform is replaced, unchecked, by a similarity fit or, when
// that fails, by the shift between the two lists' centroids. Always returns
// a matrix; width and height are the reference's. Throws
// std::invalid_argument for empty or unequal lists.
cv::Mat findFrameTransform(StarDetector& detector, const PointList& referencePoints, const PointList& framePoints,
                           int width, int height);

// Both scales within [0.25, 4] and the shift within twice the reference's
// size on each axis, bounds included. A reflection alone is plausible.
bool isPlausibleTransform(const TransformParameters& parameters, int width, int height);
