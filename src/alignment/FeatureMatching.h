#pragma once

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "alignment/TransformModel.h"

// The fallback of alignment when star matching gives no pairs: ORB key
// points of both grey images (AKAZE when ORB finds fewer than 10 on either),
// matched by brute force and kept when close. Fills the two empty lists with
// at least 3 pairs and returns true, or logs why not and returns false.
// ORB keeps at most 2 * maxStars key points per image.
bool matchFeatures(const cv::Mat& referenceGrey, const cv::Mat& frameGrey, int maxStars,
                   PointList& referencePoints, PointList& framePoints);

// The distance below which a match is kept: max(30, 1.5 * the smallest).
double matchDistanceThreshold(double minDistance);

// The matches strictly closer than the threshold of the smallest distance
// among them, in their order; logs the distance range and the kept count.
std::vector<cv::DMatch> keepCloseMatches(const std::vector<cv::DMatch>& matches);
