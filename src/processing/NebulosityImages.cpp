#include "processing/NebulosityImages.h"

#include <opencv2/imgproc.hpp>

namespace nebulosity {

namespace {

// Strong enough to lift faint nebulosity out of the background, limited so
// that noise in flat areas is not amplified into structure.
constexpr double kClaheClipLimit = 3.0;
// Tiles per side: small enough to follow gradients across the frame.
const cv::Size kClaheTiles(16, 16);
constexpr int kSobelKernel = 3;

}  // namespace

cv::Mat greyImage(const cv::Mat& image)
{
    cv::Mat grey;
    if (image.channels() == 1)
        grey = image.clone();
    else
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    if (grey.depth() != CV_8U)
        cv::normalize(grey, grey, 0, 255, cv::NORM_MINMAX, CV_8U);
    return grey;
}

cv::Mat enhancedImage(const cv::Mat& grey)
{
    cv::Mat enhanced;
    cv::createCLAHE(kClaheClipLimit, kClaheTiles)->apply(grey, enhanced);
    return enhanced;
}

cv::Mat gradientMagnitude(const cv::Mat& enhanced)
{
    cv::Mat dx, dy, magnitude;
    cv::Sobel(enhanced, dx, CV_32F, 1, 0, kSobelKernel);
    cv::Sobel(enhanced, dy, CV_32F, 0, 1, kSobelKernel);
    cv::magnitude(dx, dy, magnitude);
    return magnitude;
}

cv::Mat lowGradientMask(const cv::Mat& magnitude)
{
    cv::Mat normalised, mask;
    cv::normalize(magnitude, normalised, 0.0, 1.0, cv::NORM_MINMAX);
    cv::threshold(normalised, mask, kLowGradientLimit, 1.0, cv::THRESH_BINARY_INV);
    return mask;
}

}  // namespace nebulosity
