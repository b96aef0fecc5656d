#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/StarExtraction.h"
#include "alignment/TransformModel.h"
#include "image/ImageBuffer.h"

// What registration found for one frame, as the frame record reports it.
struct RegistrationReport {
    int referenceStars = 0;   // stars of the reference it matched against
    int frameStars = 0;       // stars extracted from the frame
    int matchedPairs = 0;     // pairs the star or feature stage matched
    int inlierPairs = 0;      // pairs the transform used explains
    double residualRms = 0.0; // of the inlier pairs under that transform, pixels
    cv::Mat transform;        // the transform used; empty when none
    std::string failure;      // why the frame could not be registered; empty when it was
};

// The 3x3 matrix (CV_64F) that maps frame pixel coordinates onto the
// reference's: star matching first, ORB/AKAZE features when that fails, then
// the checked transformation. Empty when no pairs could be found; the stages
// log why. OpenCV errors propagate.
cv::Mat findRegistration(const ImageBuffer<unsigned char>& reference, const ImageBuffer<unsigned char>& frame,
                         int maxStars);

// Registers a frame onto the reference, both grey or colour, 8-bit or float
// on the frames' own scale (stars are extracted at that precision; the
// feature stage reads a stretched 8-bit grey copy): the pairs the star or
// feature stage matches, the transform stage's matrix (logged as ever), then
// the simplest model over the pairs it explains (simplestTransform), printed
// as the homography used. The report's transform is empty, with the reason
// in failure, when the frame cannot be registered (registrationFailure).
// referenceStars, when not empty, are the reference's stars measured
// earlier and stand in for extracting them again; on return it holds the
// stars the star stage used for the reference (empty when it did not get
// that far). frameStars, when given, are the frame's stars measured ahead
// from this same image (measureStars), used instead of extracting them.
RegistrationReport registerFrame(const cv::Mat& reference, const cv::Mat& frame, int maxStars,
                                 std::vector<ExtractedStar>& referenceStars,
                                 const std::optional<std::vector<ExtractedStar>>& frameStars = std::nullopt);

// One channel of a frame for registration: its own, or the BGR-weighted
// grey of three.
cv::Mat greyImage(const cv::Mat& image);
