#include "alignment/FeatureMatching.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string>

#include "core/Logger.h"
#include "core/Timer.h"

namespace {

// Below this many ORB key points on either image the match is too thin to
// trust, and AKAZE, which finds blob-like stars ORB's corner test misses, is
// tried instead.
constexpr std::size_t kMinOrbFeatures = 10;
// Distances are differing descriptor bits. Unrelated ORB descriptors differ in
// about half of their 256, so under 30 marks the same place; matches not much
// worse than the best one are kept as well.
constexpr double kMinDistanceThreshold = 30.0;
constexpr double kDistanceThresholdFactor = 1.5;

struct Features {
    std::vector<cv::KeyPoint> keyPoints;
    cv::Mat descriptors;
};

Features detect(cv::Feature2D& detector, const cv::Mat& grey)
{
    Features features;
    detector.detectAndCompute(grey, cv::noArray(), features.keyPoints, features.descriptors);
    return features;
}

cv::Ptr<cv::ORB> createOrb(int maxStars)
{
    return cv::ORB::create(2 * maxStars, 1.2f, 8, 31, 0, 2, cv::ORB::HARRIS_SCORE, 31, 20);
}

// OpenCV 4.6 has no key point cap on AKAZE; it keeps every point, as a cap of -1 would.
cv::Ptr<cv::AKAZE> createAkaze()
{
    return cv::AKAZE::create(cv::AKAZE::DESCRIPTOR_MLDB, 0, 3, 0.001f, 4, 4, cv::KAZE::DIFF_PM_G2);
}

void logCounts(const std::string& prefix, const Features& reference, const Features& frame)
{
    logInfo(prefix + std::to_string(reference.keyPoints.size()) + " features in reference frame");
    logInfo(prefix + std::to_string(frame.keyPoints.size()) + " features in current frame");
}

bool detectFeatures(const cv::Mat& referenceGrey, const cv::Mat& frameGrey, int maxStars, Features& reference,
                    Features& frame)
{
    Timer timer("Feature detection");
    const cv::Ptr<cv::ORB> orb = createOrb(maxStars);
    reference = detect(*orb, referenceGrey);
    frame = detect(*orb, frameGrey);
    logCounts("Detected ", reference, frame);
    if (reference.keyPoints.size() >= kMinOrbFeatures && frame.keyPoints.size() >= kMinOrbFeatures)
        return true;

    logInfo("ORB found too few features, trying AKAZE detector...");
    const cv::Ptr<cv::AKAZE> akaze = createAkaze();
    reference = detect(*akaze, referenceGrey);
    frame = detect(*akaze, frameGrey);
    logCounts("AKAZE detected ", reference, frame);
    if (reference.keyPoints.size() >= kMinPairs && frame.keyPoints.size() >= kMinPairs)
        return true;
    logInfo("Not enough features for alignment, returning original frame");
    return false;
}

std::vector<cv::DMatch> matchDescriptors(const Features& reference, const Features& frame)
{
    Timer timer("Feature matching");
    // ORB and MLDB descriptors are bit strings, compared by Hamming distance.
    const bool binary = reference.descriptors.type() == CV_8UC1;
    const cv::Ptr<cv::DescriptorMatcher> matcher = cv::DescriptorMatcher::create(
        binary ? cv::DescriptorMatcher::BRUTEFORCE_HAMMING : cv::DescriptorMatcher::BRUTEFORCE);
    std::vector<cv::DMatch> matches;
    matcher->match(frame.descriptors, reference.descriptors, matches);
    logInfo("Found " + std::to_string(matches.size()) + " initial matches");
    return keepCloseMatches(matches);
}

}  // namespace

double matchDistanceThreshold(double minDistance)
{
    return std::max(kMinDistanceThreshold, kDistanceThresholdFactor * minDistance);
}

std::vector<cv::DMatch> keepCloseMatches(const std::vector<cv::DMatch>& matches)
{
    double minDistance = std::numeric_limits<double>::max();
    double maxDistance = 0.0;
    for (const cv::DMatch& match : matches) {
        minDistance = std::min(minDistance, double(match.distance));
        maxDistance = std::max(maxDistance, double(match.distance));
    }
    logInfo("Min distance: " + std::to_string(minDistance) + ", Max distance: " + std::to_string(maxDistance));

    const double threshold = matchDistanceThreshold(minDistance);
    std::vector<cv::DMatch> kept;
    std::copy_if(matches.begin(), matches.end(), std::back_inserter(kept),
                 [threshold](const cv::DMatch& match) { return match.distance < threshold; });
    logInfo("Found " + std::to_string(kept.size()) + " good matches after filtering");
    return kept;
}

bool matchFeatures(const cv::Mat& referenceGrey, const cv::Mat& frameGrey, int maxStars,
                   PointList& referencePoints, PointList& framePoints)
{
    Features reference;
    Features frame;
    if (!detectFeatures(referenceGrey, frameGrey, maxStars, reference, frame))
        return false;
    const std::vector<cv::DMatch> kept = matchDescriptors(reference, frame);
    if (kept.size() < kMinPairs) {
        logInfo("Not enough good matches for alignment, returning original frame");
        return false;
    }
    for (const cv::DMatch& match : kept) {
        referencePoints.push_back(reference.keyPoints[match.trainIdx].pt);
        framePoints.push_back(frame.keyPoints[match.queryIdx].pt);
    }
    return true;
}
