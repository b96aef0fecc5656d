#pragma once

#include <opencv2/core.hpp>

#include "image/ImageBuffer.h"

// The 3x3 matrix (CV_64F) that maps frame pixel coordinates onto the
// reference's: star matching first, ORB/AKAZE features when that fails, then
// the checked transformation. Empty when no pairs could be found; the stages
// log why. OpenCV errors propagate.
cv::Mat findRegistration(const ImageBuffer<unsigned char>& reference, const ImageBuffer<unsigned char>& frame,
                         int maxStars);
