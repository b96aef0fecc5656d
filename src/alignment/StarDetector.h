#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/StarExtraction.h"

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
    // Stars of the reference measured earlier: detectAndMatchStars uses them
    // instead of extracting the reference image's (none: it extracts).
    void setReferenceStars(std::vector<ExtractedStar> stars) { knownReferenceStars_ = std::move(stars); }
    // Stars of the frame measured ahead: used instead of extracting the
    // frame image's (none given: it extracts).
    void setFrameStars(std::optional<std::vector<ExtractedStar>> stars) { knownFrameStars_ = std::move(stars); }
    // The reference's stars the last detectAndMatchStars used.
    const std::vector<ExtractedStar>& referenceStars() const { return usedReferenceStars_; }
    // Stars the last detectAndMatchStars extracted from the frame.
    int frameStarCount() const { return frameStarCount_; }
    // The positionError of the frame star of each pair the last
    // detectAndMatchStars returned, index-aligned with its lists.
    const std::vector<float>& pairPositionErrors() const { return pairErrors_; }

    // An 8-bit one-channel mask of the image's size (grey or colour), 255 on
    // filled discs at the stars (radius starMaskRadius(flux), centre rounded
    // half up). Throws std::runtime_error, after logging it, when FITSData
    // refuses the image, extraction fails or fewer than 3 stars are found;
    // OpenCV's exceptions pass through.
    cv::Mat detectStarMask(const cv::Mat& image);

    // Extracts the stars of both images (grey or colour), keeps the
    // min(maxStars, both counts) brightest of each and pairs them: through a
    // similarity fitted to the two brightness rankings when at least a third
    // of the rank pairs (and at least 6, or all of a shorter list) agree with
    // it, otherwise through an affine map found by matching star triangles
    // (which also fits a mirrored frame), each reference star with the
    // nearest free frame star within 50 px; when neither gives 3 pairs,
    // simply by brightness rank. Then, with at least 4 pairs, logs the
    // rotation between the lists, warning about a half turn. True with at
    // least 3 pairs in the two index-aligned lists; false with both lists
    // empty and the reason kept and logged, also for any exception on the way.
    bool detectAndMatchStars(const cv::Mat& referenceImage, const cv::Mat& frameImage,
                             std::vector<cv::Point2f>& referencePoints, std::vector<cv::Point2f>& framePoints);

    // A homography from the pairs (a similarity for exactly 3 pairs), with its
    // parameters and fit error logged; false with fewer than 3 pairs or when
    // no matrix could be estimated.
    bool analyzeTransformation(const std::vector<cv::Point2f>& referencePoints,
                               const std::vector<cv::Point2f>& framePoints, cv::Mat& transform);

private:
    bool fail(const std::string& message);
    [[noreturn]] void raise(const std::string& message);

    std::vector<ExtractedStar> extractMaskStars(const cv::Mat& image);
    bool extractBoth(const cv::Mat& referenceImage, const cv::Mat& frameImage,
                     std::vector<ExtractedStar>& referenceStars, std::vector<ExtractedStar>& frameStars);
    bool matchStars(const cv::Mat& referenceImage, const cv::Mat& frameImage,
                    std::vector<cv::Point2f>& referencePoints, std::vector<cv::Point2f>& framePoints);

    int maxStars_ = 20;
    std::string lastError_;
    int frameStarCount_ = 0;
    std::vector<ExtractedStar> knownReferenceStars_;
    std::optional<std::vector<ExtractedStar>> knownFrameStars_;
    std::vector<ExtractedStar> usedReferenceStars_;
    std::vector<float> pairErrors_;
};

// The stars of one image (grey or colour) as registration extracts them from
// a frame; none when extraction fails, which registration then meets again
// and reports.
std::optional<std::vector<ExtractedStar>> measureStars(const cv::Mat& image);

// The radius of a star's disc in the star mask: 5 + 5 * log10(flux / 1000 + 1)
// in single precision, truncated toward zero, so flux 0 gives 5 and 9000
// gives 10. A negative flux counts as 0: the formula would give a radius
// below 5, a negative one or none at all.
int starMaskRadius(float flux);
