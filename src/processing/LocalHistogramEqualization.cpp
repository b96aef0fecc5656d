#include "processing/LocalHistogramEqualization.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "core/Timer.h"
#include "processing/ChannelPlane.h"

namespace {

// Fewer than two tiles would be a global equalisation; more than eight makes
// tiles so small on a typical frame that noise is amplified into blotches.
constexpr int kFewestTiles = 2;
constexpr int kMostTiles = 8;
// A light blur hides the seams between tiles without softening stars.
constexpr double kBlurSigma = 0.5;
// Keeping 30 % of the original keeps the local equalisation from flattening
// faint gradients into a uniform grey.
constexpr double kEqualizedWeight = 0.7;
constexpr double kOriginalWeight = 0.3;

cv::Mat equalizedPlane(cv::CLAHE& clahe, const cv::Mat& plane)
{
    cv::Mat equalized;
    clahe.apply(plane, equalized);
    cv::GaussianBlur(equalized, equalized, cv::Size(3, 3), kBlurSigma);
    cv::addWeighted(equalized, kEqualizedWeight, plane, kOriginalWeight, 0.0, equalized);
    return equalized;
}

}  // namespace

int claheTileCount(int width, int window)
{
    // An odd window is never 0, so the division is always defined.
    const int oddWindow = window % 2 == 0 ? window + 1 : window;
    return std::clamp(width / oddWindow, kFewestTiles, kMostTiles);
}

ByteImagePtr applyLocalHistogramEqualization(const ImageBuffer<unsigned char>& image, int window, float clipLimit)
{
    Timer timer("applyLocalHistogramEqualization");
    const int tiles = claheTileCount(image.width(), window);
    cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE();
    clahe->setClipLimit(clipLimit);
    clahe->setTilesGridSize(cv::Size(tiles, tiles));

    auto result = std::make_shared<ByteImage>(image.width(), image.height(), image.channels());
    for (int c = 0; c < image.channels(); ++c)
        storeChannelPlane(equalizedPlane(*clahe, channelPlane(image, c)), *result, c);
    return result;
}
