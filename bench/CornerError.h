#pragma once

#include <opencv2/core.hpp>

// How far a found registration is from the true one: the four corners of a
// width x height frame are mapped through both matrices, and the largest
// distance between the two results is returned, in pixels.
double worstCornerError(const cv::Mat& found, const cv::Matx33d& truth, int width, int height);
