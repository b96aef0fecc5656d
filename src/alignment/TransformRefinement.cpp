#include <cmath>
#include <limits>
#include <string>

#include "alignment/TransformModel.h"
#include "core/Logger.h"

namespace {

// Pairs farther than this from a transform are mismatches, not noise.
constexpr double kInlierDistance = 2.0;
// Star centroids are good to a few tenths of a pixel; the refit keeps what its
// own model explains that well.
constexpr double kRefitInlierDistance = 1.0;
constexpr double kClearlyBetterRatio = 2.0 / 3.0;
constexpr double kClearlyBetterPixels = 0.1;
constexpr int kSimilarityParameters = 4;
constexpr int kHomographyParameters = 8;

// A bright star's centroid is limited by sampling, 8-bit steps and clipped
// cores rather than by noise; no pair is trusted beyond this, so that one
// star cannot outweigh all the others.
constexpr double kCentroidErrorFloor = 0.02;

// A similarity is fixed by two pairs; six that agree to within 2 px do not
// agree by chance.
constexpr std::size_t kMinInlierPairs = 6;
// Most matched stars of a frame of the same field agree; on another field
// or on noise only the few that happen to line up do.
constexpr double kMinInlierShare = 0.25;
// Real stars' centroids agree to a few tenths of a pixel; pairs scattering by
// a pixel were matched by chance.
constexpr double kMaxResidualRms = 1.0;
// One camera on one telescope: focus and temperature change the scale by well
// under a percent.
constexpr double kMaxScaleChange = 0.05;

struct Pairs {
    PointList reference;
    PointList frame;
    std::vector<double> weights;
};

std::vector<double> pairWeights(const std::vector<float>& positionErrors, std::size_t pairs)
{
    if (positionErrors.size() != pairs)
        return std::vector<double>(pairs, 1.0);
    std::vector<double> weights;
    for (const float error : positionErrors)
        weights.push_back(1.0 / (double(error) * double(error) + kCentroidErrorFloor * kCentroidErrorFloor));
    return weights;
}

double distanceThrough(const cv::Mat& transform, const cv::Point2f& from, const cv::Point2f& to)
{
    const double* m = transform.ptr<double>();
    const double w = m[6] * from.x + m[7] * from.y + m[8];
    const double x = (m[0] * from.x + m[1] * from.y + m[2]) / w;
    const double y = (m[3] * from.x + m[4] * from.y + m[5]) / w;
    return std::hypot(x - to.x, y - to.y);
}

Pairs pairsWithin(const Pairs& pairs, const cv::Mat& transform, double distance)
{
    Pairs kept;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i)
        if (distanceThrough(transform, pairs.frame[i], pairs.reference[i]) <= distance) {
            kept.reference.push_back(pairs.reference[i]);
            kept.frame.push_back(pairs.frame[i]);
            kept.weights.push_back(pairs.weights[i]);
        }
    return kept;
}

// The weighted mean square distance, scaled up by the pairs' coordinates
// over those left once the model's free parameters are fitted: a model with
// more of them always comes closer to the same pairs, and only what it
// explains beyond that speaks for it.
double residualPerFreedom(const Pairs& pairs, const cv::Mat& transform, int freeParameters)
{
    const double coordinates = 2.0 * double(pairs.reference.size());
    if (coordinates <= double(freeParameters))
        return std::numeric_limits<double>::infinity();
    double sum = 0.0, total = 0.0;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i) {
        const double d = distanceThrough(transform, pairs.frame[i], pairs.reference[i]);
        sum += pairs.weights[i] * d * d;
        total += pairs.weights[i];
    }
    return std::sqrt(sum / total * coordinates / (coordinates - double(freeParameters)));
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

// Closed-form weighted least squares of X = a x - b y + tx, Y = b x + a y + ty
// over the pairs, with x negated first for a mirrored frame.
cv::Mat leastSquaresSimilarity(const Pairs& pairs, bool mirrored)
{
    const double sign = mirrored ? -1.0 : 1.0;
    double total = 0, fx = 0, fy = 0, rx = 0, ry = 0;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i) {
        const double w = pairs.weights[i];
        total += w;
        fx += w * sign * pairs.frame[i].x;
        fy += w * pairs.frame[i].y;
        rx += w * pairs.reference[i].x;
        ry += w * pairs.reference[i].y;
    }
    if (!(total > 0.0))
        return cv::Mat();
    fx /= total, fy /= total, rx /= total, ry /= total;
    double spread = 0, along = 0, across = 0;
    for (std::size_t i = 0; i < pairs.reference.size(); ++i) {
        const double w = pairs.weights[i];
        const double x = sign * pairs.frame[i].x - fx, y = pairs.frame[i].y - fy;
        const double X = pairs.reference[i].x - rx, Y = pairs.reference[i].y - ry;
        spread += w * (x * x + y * y);
        along += w * (x * X + y * Y);
        across += w * (x * Y - y * X);
    }
    if (!(spread > 0.0))
        return cv::Mat();
    const double a = along / spread, b = across / spread;
    return (cv::Mat_<double>(3, 3) << sign * a, -b, rx - a * fx + b * fy,  //
            sign * b, a, ry - b * fx - a * fy,                           //
            0.0, 0.0, 1.0);
}

FittedTransform fitted(const Pairs& pairs, const cv::Mat& transform)
{
    const Pairs inliers = pairsWithin(pairs, transform, kInlierDistance);
    const std::size_t count = inliers.reference.size();
    return {transform, count, count == 0 ? 0.0 : rmsResidual(inliers, transform)};
}

}  // namespace

FittedTransform simplestTransform(const PointList& referencePoints, const PointList& framePoints,
                                  const std::vector<float>& positionErrors, const cv::Mat& estimate)
{
    const Pairs all{referencePoints, framePoints, pairWeights(positionErrors, referencePoints.size())};
    const bool mirrored = transformParameters(estimate).determinant < 0.0;
    const Pairs agreeing = pairsWithin(all, estimate, kInlierDistance);
    const cv::Mat first = agreeing.reference.size() < kMinPairs ? cv::Mat() : leastSquaresSimilarity(agreeing, mirrored);
    const Pairs explained = first.empty() ? Pairs{} : pairsWithin(all, first, kRefitInlierDistance);
    const cv::Mat similarity =
        explained.reference.size() < kMinPairs ? cv::Mat() : leastSquaresSimilarity(explained, mirrored);
    if (similarity.empty())
        return fitted(all, estimate);
    const double similarityResidual = residualPerFreedom(explained, similarity, kSimilarityParameters);
    const double estimateResidual = residualPerFreedom(explained, estimate, kHomographyParameters);
    if (estimateResidual < kClearlyBetterRatio * similarityResidual &&
        similarityResidual - estimateResidual > kClearlyBetterPixels) {
        logInfo("Keeping the homography: it explains the pairs clearly better than a similarity");
        return fitted(all, estimate);
    }
    const FittedTransform result = fitted(all, similarity);
    logInfo("Similarity fitted over " + std::to_string(explained.reference.size()) + " of " +
            std::to_string(referencePoints.size()) + " pairs, RMS residual " +
            std::to_string(rmsResidual(explained, similarity)) +
            " pixels");
    return result;
}

std::string registrationFailure(const FittedTransform& fitted, std::size_t matchedPairs)
{
    if (fitted.transform.empty())
        return "no transform found";
    const std::string agreeing = std::to_string(fitted.inlierPairs) + " of " + std::to_string(matchedPairs) + " pairs agree";
    if (fitted.inlierPairs < kMinInlierPairs)
        return agreeing + ", fewer than " + std::to_string(kMinInlierPairs);
    if (double(fitted.inlierPairs) < kMinInlierShare * double(matchedPairs))
        return agreeing + ", under a quarter";
    if (fitted.residualRms > kMaxResidualRms)
        return "the agreeing pairs scatter by " + std::to_string(fitted.residualRms) + " px";
    const TransformParameters p = transformParameters(fitted.transform);
    const double scale = std::sqrt(std::fabs(p.determinant));
    if (std::fabs(scale - 1.0) > kMaxScaleChange)
        return "the field would be scaled by " + std::to_string(scale);
    return "";
}
