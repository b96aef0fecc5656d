#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "image/ImageBuffer.h"

// Two exposures of one simulated star field, the frame moved by a known
// shift and turned about the centre, and mirrored left to right when asked;
// truth maps frame to reference pixels.
struct SimulatedPair {
    ByteImagePtr reference;
    ByteImagePtr frame;
    cv::Matx33d truth;
};
SimulatedPair simulatedPair(int channels, double shiftX, double shiftY, double angleDegrees,
                            bool mirrored = false);
constexpr int kSimWidth = 480;
constexpr int kSimHeight = 360;

// The largest distance between where two matrices take a grid of points
// over the inner part of a width x height frame.
double largestDisagreement(const cv::Matx33d& a, const cv::Matx33d& b, int width, int height);
cv::Point2d mapped(const cv::Matx33d& transform, cv::Point2d point);

// Mean absolute sample difference of two equally sized images over the
// pixels where inside(x, y) holds.
double meanAbsDifference(const ByteImage& a, const ByteImage& b, const std::function<bool(int, int)>& inside);

// The Info messages logged while run() runs, in verbose mode.
std::vector<std::string> infoLoggedBy(const std::function<void()>& run);
bool contains(const std::vector<std::string>& messages, const std::string& message);
