#include <string>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "alignment/StarDetector.h"
#include "core/Logger.h"
#include "processing/BackgroundExtractor.h"
#include "processing/NebulosityImages.h"

namespace {

// Mild equalisation: enough to bring faint structure above the edge and
// local thresholds, not so much that sky noise becomes structure.
constexpr double kClaheClipLimit = 2.0;
const cv::Size kClaheTiles(8, 8);
constexpr double kCannyLow = 50.0;
constexpr double kCannyHigh = 150.0;
// Edge outlines smaller than this are noise, not structure.
constexpr double kMinContourArea = 10.0;
constexpr int kLocalBlockSize = 11;
// Negative: a pixel counts only when it is 2 levels above its neighbourhood.
constexpr double kLocalOffset = -2.0;
// Above this the mask leaves too little sky to sample.
constexpr double kMaxCoveragePercent = 80.0;
// The replacement keeps only areas clearly brighter than Otsu's split.
constexpr double kFallbackOtsuFactor = 1.2;

cv::Mat ellipse(int size) { return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(size, size)); }

double coveragePercent(const cv::Mat& mask) { return cv::countNonZero(mask) * 100.0 / double(mask.total()); }

// 8-bit, three channels: a grey input is expanded from its 8-bit grey image.
cv::Mat colourCopy(const cv::Mat& image, const cv::Mat& grey)
{
    if (image.channels() != 1)
        return image.clone();
    cv::Mat colour;
    cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
    return colour;
}

// Filled outlines of the larger edge structures.
cv::Mat contourMask(const cv::Mat& enhanced)
{
    cv::Mat edges;
    cv::Canny(enhanced, edges, kCannyLow, kCannyHigh, 3, false);
    cv::dilate(edges, edges, ellipse(3));
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(edges, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<std::vector<cv::Point>> large;
    for (auto& contour : contours)
        if (cv::contourArea(contour) > kMinContourArea)
            large.push_back(std::move(contour));
    cv::Mat mask = cv::Mat::zeros(enhanced.size(), CV_8U);
    // External outlines never overlap, so filling them together equals
    // filling each on its own, without redrawing the list once per contour.
    cv::drawContours(mask, large, -1, cv::Scalar(255), cv::FILLED);
    return mask;
}

cv::Mat localStructureMask(const cv::Mat& enhanced)
{
    cv::Mat blurred, mask;
    cv::GaussianBlur(enhanced, blurred, cv::Size(5, 5), 0);
    cv::adaptiveThreshold(blurred, mask, 255, cv::ADAPTIVE_THRESH_GAUSSIAN_C, cv::THRESH_BINARY, kLocalBlockSize,
                          kLocalOffset);
    return mask;
}

double otsuThreshold(const cv::Mat& enhanced)
{
    cv::Mat unused;
    return cv::threshold(enhanced, unused, 0, 255, cv::THRESH_OTSU);
}

cv::Mat brightMask(const cv::Mat& enhanced, double threshold)
{
    cv::Mat mask;
    cv::threshold(enhanced, mask, threshold, 255, cv::THRESH_BINARY);
    return mask;
}

// 255 on the pixels of the brighter of two colour clusters; nothing when the
// clusters are equally bright (a flat image).
cv::Mat colourMask(const cv::Mat& colour)
{
    cv::Mat points, labels, centres;
    colour.reshape(3, int(colour.total())).convertTo(points, CV_32FC3);
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1.0);
    cv::kmeans(points, 2, labels, criteria, 3, cv::KMEANS_PP_CENTERS, centres);
    const double brightness0 = cv::sum(centres.row(0))[0] / 3.0;
    const double brightness1 = cv::sum(centres.row(1))[0] / 3.0;
    cv::Mat mask = cv::Mat::zeros(colour.rows, colour.cols, CV_8U);
    if (brightness0 != brightness1)
        cv::compare(labels.reshape(1, colour.rows), brightness0 > brightness1 ? 0 : 1, mask, cv::CMP_EQ);
    return mask;
}

cv::Mat structureMask(const BackgroundExtractorParams& params, const cv::Mat& enhanced, const cv::Mat& colour,
                      double otsu)
{
    cv::Mat combined = brightMask(enhanced, params.protectionThreshold() * otsu);
    combined |= localStructureMask(enhanced);
    combined |= contourMask(enhanced);
    combined |= colourMask(colour);
    const cv::Mat element = ellipse(7);
    cv::morphologyEx(combined, combined, cv::MORPH_CLOSE, element);
    cv::dilate(combined, combined, element);
    return combined;
}

}  // namespace

cv::Mat createProtectionMask(const BackgroundExtractorParams& params, const cv::Mat& image)
{
    const cv::Mat grey = nebulosity::greyImage(image);
    cv::Mat enhanced;
    cv::createCLAHE(kClaheClipLimit, kClaheTiles)->apply(grey, enhanced);
    const cv::Mat stars = createStarMask(image);
    const double otsu = otsuThreshold(enhanced);

    cv::Mat mask = structureMask(params, enhanced, colourCopy(image, grey), otsu) | stars;
    const double coverage = coveragePercent(mask);
    logInfo("Protection mask covers " + std::to_string(coverage) + "% of the image");
    if (coverage > kMaxCoveragePercent) {
        logWarn("Warning: Protection mask covers too much of the image. Adjusting...");
        mask = brightMask(enhanced, kFallbackOtsuFactor * otsu) | stars;
        logInfo("Adjusted protection mask covers " + std::to_string(coveragePercent(mask)) + "% of the image");
    }
    return mask;
}

cv::Mat createStarMask(const cv::Mat& image)
{
    try {
        return StarDetector().detectStarMask(image);
    } catch (const std::exception& e) {
        logError(std::string("StarDetector failed: ") + e.what());
        logError("Falling back to OpenCV detection");
        return createFallbackStarMask(image);
    }
}

cv::Mat createFallbackStarMask(const cv::Mat& image)
{
    cv::SimpleBlobDetector::Params blobs;
    // The detector looks for dark blobs by default; stars are bright.
    blobs.blobColor = 255;
    // Stars are small, round, convex points; anything larger or elongated is
    // left to the structure masks.
    blobs.filterByArea = true;
    blobs.minArea = 3;
    blobs.maxArea = 100;
    blobs.filterByCircularity = true;
    blobs.minCircularity = 0.5f;
    blobs.filterByInertia = true;
    blobs.minInertiaRatio = 0.5f;
    blobs.filterByConvexity = true;
    blobs.minConvexity = 0.8f;
    std::vector<cv::KeyPoint> keypoints;
    cv::SimpleBlobDetector::create(blobs)->detect(nebulosity::greyImage(image), keypoints);

    cv::Mat mask = cv::Mat::zeros(image.size(), CV_8U);
    for (const cv::KeyPoint& star : keypoints)
        cv::circle(mask, cv::Point(cvRound(star.pt.x), cvRound(star.pt.y)), int(1.5f * star.size), cv::Scalar(255),
                   cv::FILLED, cv::LINE_8);
    return mask;
}
