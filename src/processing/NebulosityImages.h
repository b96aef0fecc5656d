#pragma once

#include <opencv2/core.hpp>

// The intermediate images the nebulosity analysis and its visualisation share;
// the background protection mask takes its grey image from here too.
namespace nebulosity {

// A normalised gradient at or below this counts as diffuse.
constexpr double kLowGradientLimit = 0.2;

// 8-bit grey: one channel is copied, three are converted as B, G, R; any
// other depth is min-max stretched to 0..255.
cv::Mat greyImage(const cv::Mat& image);

// Contrast-limited adaptive equalisation of the 8-bit grey image.
cv::Mat enhancedImage(const cv::Mat& grey);

// CV_32F Sobel gradient magnitude of the enhanced image.
cv::Mat gradientMagnitude(const cv::Mat& enhanced);

// CV_32F, 1 where the min-max normalised magnitude is at most
// kLowGradientLimit, else 0.
cv::Mat lowGradientMask(const cv::Mat& magnitude);

}  // namespace nebulosity
