#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

// Finds stars with StellarSolver and pairs them between two images, and turns
// matched point pairs into the 3x3 matrix that maps frame coordinates to
// reference coordinates. Every failing operation keeps its reason in
// getLastError() and logs it. Star positions are in OpenCV's pixel
// convention: the centre of the first pixel is (0, 0).
class StarDetector {
public:
    StarDetector() = default;

    // How many of the brightest stars matching uses; stored as given.
    void setMaxStars(int count) { maxStars_ = count; }
    std::string getLastError() const { return lastError_; }

    // An 8-bit one-channel mask of the image's size, 255 on filled discs at
    // the stars (radius 5 + 5*log10(flux/1000 + 1)). Throws std::runtime_error
    // when fewer than 3 stars are found or extraction fails.
    cv::Mat detectStarMask(const cv::Mat& image);

    // Extracts the stars of both images and fills two index-aligned lists of
    // at least 3 matched positions; false (with the reason kept) otherwise.
    bool detectAndMatchStars(const cv::Mat& referenceImage, const cv::Mat& frameImage,
                             std::vector<cv::Point2f>& referencePoints, std::vector<cv::Point2f>& framePoints);

    // A homography from the pairs (a similarity for exactly 3 pairs), with its
    // parameters and fit error logged; false with fewer than 3 pairs or when
    // no matrix could be estimated.
    bool analyzeTransformation(const std::vector<cv::Point2f>& referencePoints,
                               const std::vector<cv::Point2f>& framePoints, cv::Mat& transform);

private:
    bool fail(const std::string& message);

    int maxStars_ = 20;
    std::string lastError_;
};
