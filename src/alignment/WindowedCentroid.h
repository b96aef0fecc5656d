#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

// Star positions measured through a Gaussian window on a grey image (8-bit
// or float): the window's weights make the position the maximum-likelihood
// one for a star of the window's profile on a noisy sky, where a thresholded
// centre of light loses the faint wings and follows the noise of the few
// pixels above the threshold. Positions are in OpenCV's pixel convention.

// The standard deviation of the Gaussian that best fits one star's profile
// (adaptive second moments); none when the star sits too close to the
// border, is implausibly narrow or wide, or the moments do not settle.
std::optional<float> gaussianProfileSigma(const cv::Mat& grey, cv::Point2f star);

// The median of gaussianProfileSigma over the given stars; none when no star
// gives one.
std::optional<float> medianProfileSigma(const cv::Mat& grey, const std::vector<cv::Point2f>& stars);

// Moves the position to the centre of the star's light weighted by a
// Gaussian window of the given standard deviation. False, with the position
// unchanged, when the window would leave the image, the star's windowed
// light is not positive, or the centre wanders farther than a window's
// width from where it started (a brighter neighbour, not this star).
bool refineWindowedCentroid(const cv::Mat& grey, cv::Point2f& position, float windowSigma);

// Refines, through refineWindowedCentroid, every position with no other
// within six window widths (the larger of the two stars'), and leaves the
// rest as they are: a neighbour's light seen through the window would pull
// the centre towards it (by about a thousandth of a pixel for an equal
// neighbour at six widths, a tenth at four). Each position has its own
// window width, widened to at least 1.3 px: a narrower window is sampled
// too coarsely by the pixels and pulls centres towards the middle of a
// pixel.
void refineIsolatedCentroids(const cv::Mat& grey, std::vector<cv::Point2f>& positions,
                             const std::vector<float>& windowSigmas);
