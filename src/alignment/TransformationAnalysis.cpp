#include <cmath>
#include <string>

#include <opencv2/core.hpp>

#include "alignment/StarDetector.h"
#include "alignment/TransformModel.h"
#include "core/Logger.h"

namespace {

double rootMeanSquareError(const PointList& referencePoints, const PointList& framePoints,
                           const cv::Mat& transform)
{
    PointList projected;
    cv::perspectiveTransform(framePoints, projected, transform);
    double sum = 0.0;
    for (std::size_t i = 0; i < referencePoints.size(); ++i) {
        const float dx = referencePoints[i].x - projected[i].x;
        const float dy = referencePoints[i].y - projected[i].y;
        sum += double(dx) * dx + double(dy) * dy;
    }
    return std::sqrt(sum / double(referencePoints.size()));
}

void logAnalysis(const cv::Mat& transform, double rmse)
{
    const TransformParameters p = transformParameters(transform);
    const bool mirrored = p.determinant < 0.0;
    logInfo("Transformation Analysis:");
    logMotion(p);
    logInfo("  Determinant: " + std::to_string(p.determinant) + (mirrored ? " (includes reflection)" : ""));
    logInfo("  RMSE: " + std::to_string(rmse) + " pixels");
    if (isHalfTurn(p.rotationDegrees))
        logInfo("Detected a 180-degree rotation");
    if (mirrored)
        logInfo("Detected a meridian flip (reflection)");
    logMatrixRows(transform);
}

}  // namespace

bool StarDetector::analyzeTransformation(const std::vector<cv::Point2f>& referencePoints,
                                         const std::vector<cv::Point2f>& framePoints, cv::Mat& transform)
{
    if (referencePoints.size() < kMinPairs || framePoints.size() < kMinPairs)
        return fail("Not enough points for transformation analysis");
    transform = referencePoints.size() < kHomographyPairs ? estimateSimilarity(referencePoints, framePoints)
                                                          : estimateHomography(referencePoints, framePoints);
    if (transform.empty())
        return fail("Failed to calculate transformation matrix");
    logAnalysis(transform, rootMeanSquareError(referencePoints, framePoints, transform));
    return true;
}
