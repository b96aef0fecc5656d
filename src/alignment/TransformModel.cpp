#include "alignment/TransformModel.h"

#include <cmath>
#include <string>

#include <opencv2/calib3d.hpp>

#include "core/Logger.h"

namespace {

constexpr double kPi = 3.141592653589793;

// RANSAC settings shared by every estimate: a pair counts as an inlier
// within 3 px, which star centroids and key points of a good match meet.
constexpr double kReprojectionThreshold = 3.0;
constexpr int kRansacIterations = 2000;
constexpr double kHomographyConfidence = 0.995;
constexpr double kSimilarityConfidence = 0.99;
constexpr int kSimilarityRefinements = 10;

constexpr double kHalfTurnToleranceDegrees = 20.0;

}  // namespace

TransformParameters transformParameters(const cv::Mat& transform)
{
    const double a = transform.at<double>(0, 0);
    const double b = transform.at<double>(0, 1);
    const double c = transform.at<double>(1, 0);
    const double d = transform.at<double>(1, 1);
    TransformParameters p;
    p.translationX = transform.at<double>(0, 2);
    p.translationY = transform.at<double>(1, 2);
    p.rotationDegrees = std::atan2(b, a) * 180.0 / kPi;
    p.scaleX = std::sqrt(a * a + b * b);
    p.scaleY = std::sqrt(c * c + d * d);
    p.determinant = a * d - b * c;
    return p;
}

bool isHalfTurn(double rotationDegrees)
{
    return std::abs(std::abs(rotationDegrees) - 180.0) < kHalfTurnToleranceDegrees;
}

cv::Mat translationMatrix(double dx, double dy)
{
    cv::Mat transform = cv::Mat::eye(3, 3, CV_64F);
    transform.at<double>(0, 2) = dx;
    transform.at<double>(1, 2) = dy;
    return transform;
}

cv::Mat estimateHomography(const PointList& referencePoints, const PointList& framePoints)
{
    return cv::findHomography(framePoints, referencePoints, cv::RANSAC, kReprojectionThreshold, cv::noArray(),
                              kRansacIterations, kHomographyConfidence);
}

cv::Mat estimateSimilarity(const PointList& referencePoints, const PointList& framePoints)
{
    const cv::Mat affine =
        cv::estimateAffinePartial2D(framePoints, referencePoints, cv::noArray(), cv::RANSAC, kReprojectionThreshold,
                                    kRansacIterations, kSimilarityConfidence, kSimilarityRefinements);
    if (affine.empty())
        return affine;
    cv::Mat transform = cv::Mat::eye(3, 3, CV_64F);
    affine.copyTo(transform.rowRange(0, 2));
    return transform;
}

void logMotion(const TransformParameters& parameters)
{
    logInfo("  Translation: (" + std::to_string(parameters.translationX) + ", " +
            std::to_string(parameters.translationY) + ") pixels");
    logInfo("  Rotation: " + std::to_string(parameters.rotationDegrees) + " degrees");
    logInfo("  Scaling: (" + std::to_string(parameters.scaleX) + ", " + std::to_string(parameters.scaleY) + ")");
}

void logMatrixRows(const cv::Mat& transform)
{
    logInfo("Homography matrix:");
    for (int row = 0; row < 3; ++row) {
        std::string line;
        for (int column = 0; column < 3; ++column)
            line += std::to_string(transform.at<double>(row, column)) + " ";
        logInfo(line);
    }
}
