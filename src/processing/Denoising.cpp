#include "processing/Denoising.h"

#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "core/Logger.h"
#include "core/Timer.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "stacking/ImageStacker.h"

namespace {

constexpr int kNonLocalMeans = 1;
constexpr int kBilateral = 2;
// Non-local means is the most expensive step; these windows (OpenCV's
// recommended 7 and 21) bound its cost.
constexpr int kTemplateWindow = 7;
constexpr int kSearchWindow = 21;
constexpr int kBilateralDiameter = 9;

cv::Mat nonLocalMeans(const cv::Mat& source, int strength)
{
    logInfo("Applying Non-Local Means denoising with strength " + std::to_string(strength));
    const float h = nonLocalMeansH(strength);
    cv::Mat denoised;
    if (source.channels() == 1)
        cv::fastNlMeansDenoising(source, denoised, h, kTemplateWindow, kSearchWindow);
    else
        cv::fastNlMeansDenoisingColored(source, denoised, h, h, kTemplateWindow, kSearchWindow);
    return denoised;
}

cv::Mat bilateral(const cv::Mat& source, int strength)
{
    logInfo("Applying Bilateral Filter denoising with strength " + std::to_string(strength));
    const BilateralSigmas sigmas = bilateralSigmas(strength);
    std::vector<cv::Mat> planes;
    cv::split(source, planes);
    for (cv::Mat& plane : planes) {
        cv::Mat filtered;
        cv::bilateralFilter(plane, filtered, kBilateralDiameter, sigmas.color, sigmas.space, cv::BORDER_DEFAULT);
        plane = filtered;
    }
    cv::Mat merged;
    cv::merge(planes, merged);
    return merged;
}

// The source itself for a method that does nothing.
cv::Mat denoised(const cv::Mat& source, int method, int strength)
{
    if (method == kNonLocalMeans)
        return nonLocalMeans(source, strength);
    if (method == kBilateral)
        return bilateral(source, strength);
    return source;
}

// The diagnostic image is optional: a failed write is reported, never thrown.
void saveDiagnostic(const std::string& path, const ByteImagePtr& image)
{
    try {
        saveImage(path, image);
        logInfo("Saved denoised image to " + path);
    } catch (const std::exception& e) {
        logError("Could not save denoised image to " + path + ": " + e.what());
    }
}

}  // namespace

float nonLocalMeansH(int strength) { return float(strength - 1) * 0.6f + 3.0f; }

BilateralSigmas bilateralSigmas(int strength) { return {strength + 5.0, strength * 0.5 + 5.0}; }

ByteImagePtr ImageStacker::applyDenoising(const ByteImagePtr& image, int method, int strength)
{
    Timer timer("applyDenoising");
    ByteImagePtr result = bufferFromMat(denoised(matView(*image), method, strength));
    if (settings_->diagnostic && !settings_->diagnosticPrefix.empty())
        saveDiagnostic(settings_->diagnosticPrefix + "denoised.jpg", result);
    return result;
}
