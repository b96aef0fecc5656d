#include <cmath>
#include <string>

#include "alignment/TransformModel.h"
#include "core/Logger.h"

namespace {

// Pairs farther than this from the estimate are mismatches, not noise.
constexpr double kEstimateInlierDistance = 2.0;
// Star centroids are good to a few tenths of a pixel; the refit keeps what its
// own model explains that well.
constexpr double kRefitInlierDistance = 1.0;
constexpr double kClearlyBetterRatio = 2.0 / 3.0;
constexpr double kClearlyBetterPixels = 0.1;

struct Pairs {
    PointList reference;
    PointList frame;
};

double distanceThrough(const cv::Mat& transform, const cv::Point2f& from, const cv::Point2f& to)
{
    const double* m = transform.ptr<double>();
    const double w = m[6] * from.x + m[7] * from.y + m[8];
    const double x = (m[0] * from.x + m[1] * from.y + m[2]) / w;
    const double y = (m[3] * from.x + m[4] * from.y + m[5]) / w;
    return std::hypot(x - to.x, y - to.y);
}

Pairs pairsWithin(const PointList& referencePoints, const PointList& framePoints, const cv::Mat& transform,
                  double distance)
{
    Pairs kept;
    for (std::size_t i = 0; i < referencePoints.size(); ++i)
        if (distanceThrough(transform, framePoints[i], referencePoints[i]) <= distance) {
            kept.reference.push_back(referencePoints[i]);
            kept.frame.push_back(framePoints[i]);
        }
    return kept;
}

double rmsResidual(const Pairs& pairs, const cv::Mat& transform)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i) {
        const double d = distanceThrough(transform, pairs.frame[i], pairs.reference[i]);
        sum += d * d;
    }
    return std::sqrt(sum / double(pairs.reference.size()));
}

// Closed-form least squares of X = a x - b y + tx, Y = b x + a y + ty over the
// pairs, with x negated first for a mirrored frame.
cv::Mat leastSquaresSimilarity(const Pairs& pairs, bool mirrored)
{
    const double sign = mirrored ? -1.0 : 1.0;
    const double n = double(pairs.reference.size());
    double fx = 0, fy = 0, rx = 0, ry = 0;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i) {
        fx += sign * pairs.frame[i].x;
        fy += pairs.frame[i].y;
        rx += pairs.reference[i].x;
        ry += pairs.reference[i].y;
    }
    fx /= n, fy /= n, rx /= n, ry /= n;
    double spread = 0, along = 0, across = 0;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i) {
        const double x = sign * pairs.frame[i].x - fx, y = pairs.frame[i].y - fy;
        const double X = pairs.reference[i].x - rx, Y = pairs.reference[i].y - ry;
        spread += x * x + y * y;
        along += x * X + y * Y;
        across += x * Y - y * X;
    }
    if (spread <= 0.0)
        return cv::Mat();
    const double a = along / spread, b = across / spread;
    return (cv::Mat_<double>(3, 3) << sign * a, -b, rx - a * fx + b * fy,  //
            sign * b, a, ry - b * fx - a * fy,                           //
            0.0, 0.0, 1.0);
}

}  // namespace

cv::Mat simplestTransform(const PointList& referencePoints, const PointList& framePoints, const cv::Mat& estimate)
{
    const bool mirrored = transformParameters(estimate).determinant < 0.0;
    const Pairs agreeing = pairsWithin(referencePoints, framePoints, estimate, kEstimateInlierDistance);
    if (agreeing.reference.size() < kMinPairs)
        return estimate;
    cv::Mat similarity = leastSquaresSimilarity(agreeing, mirrored);
    if (similarity.empty())
        return estimate;
    const Pairs explained = pairsWithin(referencePoints, framePoints, similarity, kRefitInlierDistance);
    if (explained.reference.size() < kMinPairs)
        return estimate;
    similarity = leastSquaresSimilarity(explained, mirrored);
    if (similarity.empty())
        return estimate;
    const double similarityRms = rmsResidual(explained, similarity);
    const double estimateRms = rmsResidual(explained, estimate);
    if (estimateRms < kClearlyBetterRatio * similarityRms && similarityRms - estimateRms > kClearlyBetterPixels) {
        logInfo("Keeping the homography: it explains the pairs clearly better than a similarity");
        return estimate;
    }
    logInfo("Similarity fitted over " + std::to_string(explained.reference.size()) + " of " +
            std::to_string(referencePoints.size()) + " pairs, RMS residual " + std::to_string(similarityRms) +
            " pixels");
    logMatrixRows(similarity);
    return similarity;
}
