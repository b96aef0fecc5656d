#pragma once

#include <opencv2/core.hpp>

#include "image/ImageBuffer.h"

// A new width x height buffer with the given channel count (1 or 3) holding
// the 8-bit frame resampled through transform, a 3x3 matrix mapping frame
// coordinates to output coordinates: bilinear, and 0 where no frame pixel
// reaches. A frame with another channel count is converted first, grey
// replicated into three channels or colour reduced with the BGR weights.
ByteImagePtr warpFrame(const cv::Mat& frame, const cv::Mat& transform, int width, int height, int channels);

// The same for a float frame, resampled in float: its samples keep their
// scale and precision.
FloatImagePtr warpFrame(const FloatImage& frame, const cv::Mat& transform, int width, int height, int channels);

// Which pixels of the width x height output a frameWidth x frameHeight frame
// covers through transform, as warpFrame resamples it: a one-channel mask,
// 255 where every frame sample the bilinear interpolation reads lies inside
// the frame, 0 elsewhere. A pixel whose interpolation reached past the edge
// was blended with the zero border and came out darker, so it is not covered.
ByteImagePtr warpCoverage(int frameWidth, int frameHeight, const cv::Mat& transform, int width, int height);

