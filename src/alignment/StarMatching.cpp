#include "alignment/StarMatching.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <string>

#include <opencv2/calib3d.hpp>

#include "alignment/StarDetector.h"
#include "alignment/StarExtraction.h"
#include "alignment/TriangleMatching.h"
#include "core/Logger.h"
#include "core/Timer.h"

namespace {

// Once the model has brought the frame onto the reference, a star's
// counterpart lies within a pixel or two; 50 px forgives a rough model fitted
// to rank pairs that were partly wrong.
constexpr double kMaxPairDistance = 50.0;

// The similarity fit takes the k-th brightest frame star for the k-th
// brightest reference star; RANSAC rejects the rank pairs that are wrong.
constexpr double kReprojectionThreshold = 3.0;
constexpr int kRansacIterations = 2000;
constexpr double kConfidence = 0.99;

// RANSAC returns a model even when most rank pairs are wrong (a bright star
// missing from one image shifts every rank after it), and a few chance pairs
// then fall within 50 px. A model is trusted only when a third of the rank
// pairs, and never fewer than 6, agree with it within 3 px; a list shorter
// than 6 must agree throughout.
constexpr int kMinRankInliers = 6;
constexpr int kRankInlierFraction = 3;

int requiredRankInliers(int count)
{
    return std::min(count, std::max(kMinRankInliers, count / kRankInlierFraction));
}

void sortByFlux(std::vector<ExtractedStar>& stars)
{
    std::stable_sort(stars.begin(), stars.end(),
                     [](const ExtractedStar& a, const ExtractedStar& b) { return a.flux > b.flux; });
}

PointList brightest(const std::vector<ExtractedStar>& stars, int count)
{
    PointList points;
    for (int k = 0; k < count; ++k)
        points.emplace_back(stars[k].x, stars[k].y);
    return points;
}

std::vector<float> brightestErrors(const std::vector<ExtractedStar>& stars, int count)
{
    std::vector<float> errors;
    for (int k = 0; k < count; ++k)
        errors.push_back(stars[k].positionError);
    return errors;
}

double distance(const cv::Point2f& a, const cv::Point2f& b)
{
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    return std::sqrt(double(dx) * dx + double(dy) * dy);
}

cv::Mat rankModel(const PointList& referenceTop, const PointList& frameTop)
{
    std::vector<uchar> inliers;
    const cv::Mat model =
        cv::estimateAffinePartial2D(frameTop, referenceTop, inliers, cv::RANSAC, kReprojectionThreshold,
                                    kRansacIterations, kConfidence, 2 * frameTop.size());
    const auto agreeing = std::count_if(inliers.begin(), inliers.end(), [](uchar in) { return in != 0; });
    if (model.empty() || agreeing < requiredRankInliers(int(frameTop.size())))
        return {};
    return model;
}

cv::Mat pairingModel(const PointList& referenceTop, const PointList& frameTop)
{
    const cv::Mat model = rankModel(referenceTop, frameTop);
    if (!model.empty())
        return model;
    logInfo("Brightness order disagrees, matching star triangles instead");
    return matchByTriangles(referenceTop, frameTop);
}

bool pairByModel(const PointList& referenceTop, const PointList& frameTop, const std::vector<float>& frameErrors,
                 PointList& referencePoints, PointList& framePoints, std::vector<float>& pairErrors)
{
    const cv::Mat model = pairingModel(referenceTop, frameTop);
    if (model.empty())
        return false;
    PointList mapped;
    cv::transform(frameTop, mapped, model);
    const StarPairs pairs = pairNearest(referenceTop, mapped);
    if (pairs.size() < kMinPairs)
        return false;
    for (const auto& [i, j] : pairs) {
        referencePoints.push_back(referenceTop[i]);
        framePoints.push_back(frameTop[j]);
        pairErrors.push_back(frameErrors[j]);
    }
    logInfo("Found " + std::to_string(pairs.size()) + " star matches using transformation model");
    return true;
}

void pairByBrightness(const PointList& referenceTop, const PointList& frameTop, const std::vector<float>& frameErrors,
                      PointList& referencePoints, PointList& framePoints, std::vector<float>& pairErrors)
{
    referencePoints = referenceTop;
    framePoints = frameTop;
    pairErrors = frameErrors;
    logInfo("Using " + std::to_string(referenceTop.size()) + " brightest stars for matching (fallback method)");
}

// Only logs: the lists are used as they are. Skipped below 4 pairs, where
// OpenCV's homography fit would throw and fail a good match.
void reportRotation(const PointList& referencePoints, const PointList& framePoints)
{
    if (referencePoints.size() < kHomographyPairs)
        return;
    const cv::Mat homography = estimateHomography(referencePoints, framePoints);
    if (homography.rows != 3 || homography.cols != 3)
        return;
    const TransformParameters p = transformParameters(homography);
    if (p.determinant < 0.0)
        logInfo("Detected a meridian flip (180-degree rotation with reflection)");
    logInfo("Rotation angle: " + std::to_string(p.rotationDegrees) + " degrees");
    if (isHalfTurn(p.rotationDegrees)) {
        logInfo("Detected a 180-degree rotation");
        logWarn("WARNING: 180-degree rotation detected. This may affect alignment quality.");
    }
}

}  // namespace

StarPairs pairNearest(const PointList& referenceStars, const PointList& mappedFrameStars)
{
    StarPairs pairs;
    std::vector<bool> used(mappedFrameStars.size(), false);
    for (int i = 0; i < int(referenceStars.size()); ++i) {
        int best = -1;
        double bestDistance = std::numeric_limits<double>::infinity();
        for (int j = 0; j < int(mappedFrameStars.size()); ++j) {
            if (used[j])
                continue;
            const double d = distance(referenceStars[i], mappedFrameStars[j]);
            if (d < bestDistance) {
                best = j;
                bestDistance = d;
            }
        }
        if (best >= 0 && bestDistance < kMaxPairDistance) {
            pairs.emplace_back(i, best);
            used[best] = true;
        }
    }
    return pairs;
}

namespace {

// One image's stars, its extraction released before the next one starts, so
// only one image's solver buffers are held at a time.
bool extractStars(const cv::Mat& image, const char* fileName, std::vector<ExtractedStar>& stars,
                  std::string& failure, const char* loadFailure, const char* extractFailure)
{
    Timer timer("Star extraction");
    StarExtraction extraction;
    if (!extraction.load(image, fileName)) {
        failure = loadFailure;
        return false;
    }
    if (!extraction.extract()) {
        failure = extractFailure;
        return false;
    }
    stars = extraction.stars();
    return true;
}

}  // namespace

std::optional<std::vector<ExtractedStar>> measureStars(const cv::Mat& image)
{
    std::vector<ExtractedStar> stars;
    std::string failure;
    if (!extractStars(image, "frame.fits", stars, failure, "", ""))
        return std::nullopt;
    return stars;
}

bool StarDetector::extractBoth(const cv::Mat& referenceImage, const cv::Mat& frameImage,
                               std::vector<ExtractedStar>& referenceStars, std::vector<ExtractedStar>& frameStars)
{
    std::string failure;
    referenceStars = knownReferenceStars_;
    if (knownFrameStars_)
        frameStars = *knownFrameStars_;
    if ((referenceStars.empty() &&
         !extractStars(referenceImage, "reference.fits", referenceStars, failure,
                       "Failed to load reference image into FITSData",
                       "StellarSolver failed to extract stars from reference image")) ||
        (!knownFrameStars_ &&
         !extractStars(frameImage, "frame.fits", frameStars, failure, "Failed to load frame image into FITSData",
                       "StellarSolver failed to extract stars from frame image")))
        return fail(failure);
    usedReferenceStars_ = referenceStars;
    frameStarCount_ = int(frameStars.size());
    if (referenceStars.size() < kMinPairs || frameStars.size() < kMinPairs)
        return fail("Not enough stars detected for alignment");
    logInfo("StellarSolver detected " + std::to_string(referenceStars.size()) + " stars in reference image");
    logInfo("StellarSolver detected " + std::to_string(frameStars.size()) + " stars in frame image");
    return true;
}

bool StarDetector::matchStars(const cv::Mat& referenceImage, const cv::Mat& frameImage, PointList& referencePoints,
                              PointList& framePoints)
{
    std::vector<ExtractedStar> referenceStars;
    std::vector<ExtractedStar> frameStars;
    if (!extractBoth(referenceImage, frameImage, referenceStars, frameStars))
        return false;
    sortByFlux(referenceStars);
    sortByFlux(frameStars);
    const int n = std::min({int(referenceStars.size()), int(frameStars.size()), maxStars_});
    if (n < int(kMinPairs))
        return fail("Not enough stars for matching");
    const PointList referenceTop = brightest(referenceStars, n);
    const PointList frameTop = brightest(frameStars, n);
    const std::vector<float> frameErrors = brightestErrors(frameStars, n);
    if (!pairByModel(referenceTop, frameTop, frameErrors, referencePoints, framePoints, pairErrors_))
        pairByBrightness(referenceTop, frameTop, frameErrors, referencePoints, framePoints, pairErrors_);
    reportRotation(referencePoints, framePoints);
    return true;
}

bool StarDetector::detectAndMatchStars(const cv::Mat& referenceImage, const cv::Mat& frameImage,
                                       PointList& referencePoints, PointList& framePoints)
{
    referencePoints.clear();
    framePoints.clear();
    pairErrors_.clear();
    try {
        return matchStars(referenceImage, frameImage, referencePoints, framePoints);
    } catch (const std::exception& e) {
        referencePoints.clear();
        framePoints.clear();
        pairErrors_.clear();
        return fail("Error in star detection: " + std::string(e.what()));
    }
}
