#pragma once

#include <opencv2/core.hpp>

#include "alignment/TransformModel.h"

// Finds the affine map from frame star positions to reference star positions
// without trusting either list's order: triangles of neighbouring stars are
// compared by their shape, which shift, rotation, scale and reflection leave
// unchanged, and the star pairs that many matching triangles agree on fix the
// map by RANSAC (3 px). Returns a 2x3 CV_64F matrix, or an empty one when
// fewer than 6 stars agree with any map (so also for lists of under 6 stars).
cv::Mat matchByTriangles(const PointList& reference, const PointList& frame);
