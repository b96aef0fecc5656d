#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// The 3x3 CV_64F matrices of alignment, which map frame coordinates to
// reference coordinates, their estimation from matched point pairs and the
// parameters read off them. Point lists are index-aligned: element i of the
// reference list and of the frame list is one pair.

using PointList = std::vector<cv::Point2f>;

// The fewest pairs alignment goes on with: a similarity is fixed by 2, and a
// third gives RANSAC a check on them.
constexpr std::size_t kMinPairs = 3;
// A homography has eight unknowns; OpenCV refuses fewer pairs by throwing.
constexpr std::size_t kHomographyPairs = 4;

// Read off the upper-left block [a b; c d] and the last column.
struct TransformParameters {
    double translationX = 0.0;
    double translationY = 0.0;
    double rotationDegrees = 0.0;  // atan2(b, a)
    double scaleX = 1.0;  // length of the first row
    double scaleY = 1.0;  // length of the second row
    double determinant = 1.0;  // ad - bc, negative for a mirrored frame
};

TransformParameters transformParameters(const cv::Mat& transform);

// Within 20 degrees of a half turn either way: after a meridian flip the
// frame is turned by about 180 degrees, never exactly.
bool isHalfTurn(double rotationDegrees);

// The identity moved by (dx, dy).
cv::Mat translationMatrix(double dx, double dy);

// A homography by RANSAC (3 px threshold) from at least kHomographyPairs
// pairs; empty when none was found.
cv::Mat estimateHomography(const PointList& referencePoints, const PointList& framePoints);

// Rotation, uniform scale and translation by RANSAC (3 px threshold) as a
// 3x3 matrix with last row (0, 0, 1); empty when none was found.
cv::Mat estimateSimilarity(const PointList& referencePoints, const PointList& framePoints);

// A transform with the pairs it explains: those within 2 px of where it
// takes their frame point, and the RMS distance over them.
struct FittedTransform {
    cv::Mat transform;
    std::size_t inlierPairs = 0;
    double residualRms = 0.0;
};

// The simplest model that explains the pairs the estimate explains: a
// least-squares similarity (mirrored when the estimate mirrors) over the
// pairs within 2 px of the estimate, refitted once over its own pairs within
// 1 px. Each pair counts by the inverse variance of its position, from the
// given one-axis error of its frame point and a floor of 0.02 px (equal
// weights when the errors are not given, one per pair). The estimate is
// kept when fewer than kMinPairs pairs agree with it, or when it explains
// the similarity's pairs clearly better: a weighted RMS residual, per
// coordinate left free by the model's parameters (eight against four),
// under two thirds of the similarity's and more than 0.1 px lower. One
// camera on one telescope moves, turns and at most flips the field, and the
// four free numbers of a similarity are fitted far more precisely from the
// same stars than the eight of a homography.
FittedTransform simplestTransform(const PointList& referencePoints, const PointList& framePoints,
                                  const std::vector<float>& positionErrors, const cv::Mat& estimate);

// Why a fitted transform is no registration, or empty when it is one: fewer
// than 6 inlier pairs, fewer than a quarter of the matched pairs agreeing, a
// residual RMS above 1 px, or a scale more than 5 % from 1.
std::string registrationFailure(const FittedTransform& fitted, std::size_t matchedPairs);

// "  Translation: (tx, ty) pixels", "  Rotation: r degrees", "  Scaling: (sx, sy)".
void logMotion(const TransformParameters& parameters);

// "Homography matrix:" and one line per row, each value followed by a blank.
void logMatrixRows(const cv::Mat& transform);
