#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "alignment/StarDetector.h"
#include "alignment/StarExtraction.h"
#include "core/Logger.h"

namespace {

// One or two detections are more likely a hot pixel or noise than a star
// field worth protecting from the background model.
constexpr std::size_t kMinMaskStars = 3;

}  // namespace

int starMaskRadius(float flux)
{
    return static_cast<int>(5.0f * std::log10(std::max(flux, 0.0f) / 1000.0f + 1.0f) + 5.0f);
}

std::vector<ExtractedStar> StarDetector::extractMaskStars(const cv::Mat& image)
{
    StarExtraction extraction;
    if (!extraction.load(image, "image.fits"))
        raise("Failed to load image into FITSData");
    if (!extraction.extract())
        raise("StellarSolver failed to extract stars");
    std::vector<ExtractedStar> stars = extraction.stars();
    if (stars.size() < kMinMaskStars)
        raise("Not enough stars detected");
    return stars;
}

cv::Mat StarDetector::detectStarMask(const cv::Mat& image)
{
    const std::vector<ExtractedStar> stars = extractMaskStars(image);
    logInfo("StellarSolver detected " + std::to_string(stars.size()) + " stars");
    cv::Mat mask = cv::Mat::zeros(image.rows, image.cols, CV_8UC1);
    for (const ExtractedStar& star : stars) {
        const cv::Point centre(static_cast<int>(star.x + 0.5f), static_cast<int>(star.y + 0.5f));
        cv::circle(mask, centre, starMaskRadius(star.flux), cv::Scalar(255), cv::FILLED, cv::LINE_8, 0);
    }
    return mask;
}
