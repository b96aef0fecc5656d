#include <algorithm>
#include <exception>
#include <string>

#include <opencv2/imgproc.hpp>

#include "alignment/FeatureMatching.h"
#include "alignment/Registration.h"
#include "alignment/StarDetector.h"
#include "alignment/TransformStage.h"
#include "alignment/WarpFrame.h"
#include "core/Logger.h"
#include "core/Timer.h"
#include "image/MatView.h"
#include "stacking/ImageStacker.h"

namespace {

// Star matching pairs stars in quadratic time; the brightest hundred are
// plenty for a transform and keep that at ten thousand comparisons.
constexpr int kMaxAlignmentStars = 100;

// Feature detectors read 8 bits: a float image is mapped from three
// deviations below its mean to ten above, where the stars and nebulae are.
cv::Mat eightBitCopy(const cv::Mat& grey)
{
    if (grey.depth() == CV_8U)
        return grey;
    cv::Scalar mean;
    cv::Scalar deviation;
    cv::meanStdDev(grey, mean, deviation);
    const double low = mean[0] - 3.0 * deviation[0];
    const double span = std::max(13.0 * deviation[0], 1e-6);
    cv::Mat bytes;
    grey.convertTo(bytes, CV_8U, 255.0 / span, -low * 255.0 / span);
    return bytes;
}

// False when the feature stage should be tried; the detector logs its own
// reasons for a false result.
bool matchStars(StarDetector& detector, const cv::Mat& reference, const cv::Mat& frame, int maxStars,
                PointList& referencePoints, PointList& framePoints)
{
    Timer timer("Star detection");
    const int budget = std::min(maxStars, kMaxAlignmentStars);
    detector.setMaxStars(budget);
    logInfo("Using maximum of " + std::to_string(budget) + " stars for alignment");
    try {
        if (!detector.detectAndMatchStars(reference, frame, referencePoints, framePoints))
            return false;
    } catch (const std::exception& e) {
        logError("Star detection failed: " + std::string(e.what()));
        logError("Falling back to feature-based detection");
        return false;
    }
    logInfo("StarDetector detected " + std::to_string(referencePoints.size()) + " stars in reference frame");
    logInfo("StarDetector detected " + std::to_string(framePoints.size()) + " stars in current frame");
    logInfo("StarDetector matched " + std::to_string(std::min(referencePoints.size(), framePoints.size())) +
            " stars between frames");
    return referencePoints.size() >= kMinPairs && framePoints.size() >= kMinPairs;
}

// Stars first, then features; the pairs found are left in the two lists,
// with the position error of each pair's frame star when stars paired them
// (features leave pairErrors empty: their key points have no such error).
cv::Mat matchAndFit(StarDetector& detector, const cv::Mat& reference, const cv::Mat& frame, int maxStars,
                    PointList& referencePoints, PointList& framePoints, std::vector<float>& pairErrors)
{
    if (matchStars(detector, reference, frame, maxStars, referencePoints, framePoints)) {
        pairErrors = detector.pairPositionErrors();
    } else {
        logInfo("Trying feature-based detection methods...");
        referencePoints.clear();
        framePoints.clear();
        if (!matchFeatures(eightBitCopy(greyImage(reference)), eightBitCopy(greyImage(frame)), maxStars,
                           referencePoints, framePoints))
            return cv::Mat();
    }
    return findFrameTransform(detector, referencePoints, framePoints, reference.cols, reference.rows);
}

}  // namespace

cv::Mat greyImage(const cv::Mat& image)
{
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

cv::Mat findRegistration(const ByteImage& reference, const ByteImage& frame, int maxStars)
{
    cv::Mat referenceMat;
    cv::Mat frameMat;
    {
        Timer timer("Convert to OpenCV Mat");
        referenceMat = matView(reference);
        frameMat = matView(frame);
    }
    cv::Mat referenceGrey;
    cv::Mat frameGrey;
    {
        Timer timer("Convert to grayscale");
        referenceGrey = greyImage(referenceMat);
        frameGrey = greyImage(frameMat);
    }
    StarDetector detector;
    PointList referencePoints;
    PointList framePoints;
    std::vector<float> pairErrors;
    return matchAndFit(detector, referenceGrey, frameGrey, maxStars, referencePoints, framePoints, pairErrors);
}

RegistrationReport registerFrame(const cv::Mat& reference, const cv::Mat& frame, int maxStars,
                                 std::vector<ExtractedStar>& referenceStars,
                                 const std::optional<std::vector<ExtractedStar>>& frameStars)
{
    RegistrationReport report;
    StarDetector detector;
    detector.setReferenceStars(referenceStars);
    detector.setFrameStars(frameStars);
    PointList referencePoints;
    PointList framePoints;
    std::vector<float> pairErrors;
    const cv::Mat estimate =
        matchAndFit(detector, reference, frame, maxStars, referencePoints, framePoints, pairErrors);
    referenceStars = detector.referenceStars();
    report.referenceStars = int(referenceStars.size());
    report.frameStars = detector.frameStarCount();
    report.matchedPairs = int(referencePoints.size());
    const FittedTransform fit =
        estimate.empty() ? FittedTransform{} : simplestTransform(referencePoints, framePoints, pairErrors, estimate);
    report.inlierPairs = int(fit.inlierPairs);
    report.residualRms = fit.residualRms;
    report.failure = registrationFailure(fit, referencePoints.size());
    if (!report.failure.empty()) {
        logInfo("Registration failed: " + report.failure);
        return report;
    }
    report.transform = fit.transform;
    logMatrixRows(report.transform);
    return report;
}

ByteImagePtr ImageStacker::alignFrame(const ByteImagePtr& frame)
{
    Timer timer("alignFrame");
    coverage_.reset();
    if (!settings_->alignFrames)
        return frame;
    try {
        const cv::Mat transform = findRegistration(*referenceFrame_, *frame, settings_->maxStars);
        if (!transform.empty()) {
            const ByteImagePtr warped = warpFrame(matView(*frame), transform, referenceFrame_->width(),
                                                  referenceFrame_->height(), referenceFrame_->channels());
            coverage_ = warpCoverage(frame->width(), frame->height(), transform, referenceFrame_->width(),
                                     referenceFrame_->height());
            return warped;
        }
    } catch (const std::exception& e) {
        logError("Error in alignFrame: " + std::string(e.what()));
    }
    return frame->clone();
}
