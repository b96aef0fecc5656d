#include "alignment/TransformStage.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/Logger.h"
#include "core/Timer.h"

namespace {

// Beyond these a match has paired unrelated points: consecutive frames of
// one session differ by far less in scale, and a frame shifted by more than
// twice its size no longer overlaps the reference.
constexpr double kMinScale = 0.25;
constexpr double kMaxScale = 4.0;
constexpr double kMaxShiftInFrames = 2.0;

std::string pointText(float x, float y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

cv::Point2f meanShift(const PointList& referencePoints, const PointList& framePoints)
{
    float sumX = 0.0f;
    float sumY = 0.0f;
    for (std::size_t i = 0; i < referencePoints.size(); ++i) {
        sumX += referencePoints[i].x - framePoints[i].x;
        sumY += referencePoints[i].y - framePoints[i].y;
    }
    const float inverse = 1.0f / float(referencePoints.size());
    return {sumX * inverse, sumY * inverse};
}

cv::Point2f centroid(const PointList& points)
{
    float sumX = 0.0f;
    float sumY = 0.0f;
    for (const cv::Point2f& point : points) {
        sumX += point.x;
        sumY += point.y;
    }
    const float inverse = 1.0f / float(points.size());
    return {sumX * inverse, sumY * inverse};
}

cv::Mat estimatedTransform(StarDetector& detector, const PointList& referencePoints, const PointList& framePoints)
{
    cv::Mat transform;
    if (detector.analyzeTransformation(referencePoints, framePoints, transform) && !transform.empty()) {
        logInfo("Transformation analysis successful");
        return transform;
    }
    cv::Point2f shift;
    {
        Timer timer("Find translation");
        shift = meanShift(referencePoints, framePoints);
        logInfo("Translation alignment: " + pointText(shift.x, shift.y) + " pixels");
    }
    // Three pairs whose similarity fit failed cannot give a homography either.
    if (referencePoints.size() >= kHomographyPairs) {
        Timer timer("Find homography");
        transform = estimateHomography(referencePoints, framePoints);
        if (!transform.empty()) {
            logInfo("Full homography alignment found");
            return transform;
        }
    }
    logInfo("Using translation-only alignment as fallback");
    return translationMatrix(shift.x, shift.y);
}

cv::Mat simplerTransform(const PointList& referencePoints, const PointList& framePoints)
{
    logInfo("Detected extreme transformation parameters, trying simpler model");
    cv::Mat transform = estimateSimilarity(referencePoints, framePoints);
    if (!transform.empty()) {
        logInfo("Using rigid transformation (rotation + translation + uniform scale)");
        return transform;
    }
    const cv::Point2f shift = centroid(referencePoints) - centroid(framePoints);
    logInfo("Using translation-only transformation as fallback");
    return translationMatrix(shift.x, shift.y);
}

}  // namespace

bool isPlausibleTransform(const TransformParameters& parameters, int width, int height)
{
    const auto inScale = [](double scale) { return scale >= kMinScale && scale <= kMaxScale; };
    return inScale(parameters.scaleX) && inScale(parameters.scaleY) &&
           std::abs(parameters.translationX) <= kMaxShiftInFrames * width &&
           std::abs(parameters.translationY) <= kMaxShiftInFrames * height;
}

cv::Mat findFrameTransform(StarDetector& detector, const PointList& referencePoints, const PointList& framePoints,
                           int width, int height)
{
    if (referencePoints.empty() || referencePoints.size() != framePoints.size())
        throw std::invalid_argument("Expected two point lists of equal length with at least one pair");
    cv::Mat transform = estimatedTransform(detector, referencePoints, framePoints);
    TransformParameters parameters = transformParameters(transform);
    if (parameters.determinant < 0.0)
        logInfo("Detected a reflection in the transformation (determinant: " +
                std::to_string(parameters.determinant) + ")");
    if (!isPlausibleTransform(parameters, width, height)) {
        transform = simplerTransform(referencePoints, framePoints);
        parameters = transformParameters(transform);
    }
    logInfo("Frame alignment parameters:");
    logMotion(parameters);
    logMatrixRows(transform);
    return transform;
}
