#include "processing/BackgroundAdjustment.h"

#include <memory>
#include <string>

#include <opencv2/imgproc.hpp>

#include "core/Logger.h"
#include "core/Timer.h"
#include "image/MatView.h"
#include "processing/NebulosityDetector.h"
#include "stacking/ImageStacker.h"

namespace {

// Above this score any sky model would take the nebula with it.
constexpr float kDisableScore = 0.8f;
// Reported only: how much of the percentage a detected nebula would take back.
constexpr float kNebulosityDamping = 0.8f;
// Percentages above 70 % ask for the most flexible model, a quartic.
constexpr float kQuarticAbove = 0.7f;

struct NebulosityOutcome {
    bool detected = false;
    float score = 0.0f;
};

// Runs a detection and keeps its outcome in the settings for later calls.
NebulosityOutcome detectNebulosity(StackerSettings& settings, const cv::Mat& image)
{
    logInfo("Checking for extensive nebulosity...");
    NebulosityDetector detector;
    detector.setThreshold(settings.nebulosityThreshold);
    NebulosityOutcome outcome;
    outcome.detected = detectExtensiveNebulosity(detector, image, outcome.score);
    settings.nebulosityChecked = true;
    settings.nebulosityDetected = outcome.detected;
    settings.nebulosityScore = outcome.score;
    if (settings.diagnostic)
        saveNebulosityVisualization(detector, image, outcome.score, settings.diagnosticPrefix);
    return outcome;
}

NebulosityOutcome nebulosityOutcome(StackerSettings& settings, const cv::Mat& image)
{
    if (settings.nebulosityChecked) {
        logInfo(std::string("Using cached nebulosity detection results: ") +
                (settings.nebulosityDetected ? "nebulosity detected" : "no nebulosity") +
                ", score: " + std::to_string(settings.nebulosityScore));
        return {settings.nebulosityDetected, settings.nebulosityScore};
    }
    if (settings.nebulosityDetection)
        return detectNebulosity(settings, image);
    return {};
}

void logParameters(const BackgroundExtractorParams& params, const NebulosityOutcome& nebulosity)
{
    logInfo("Using BackgroundExtractor with parameters:");
    logInfo("  Polynomial degree: " + std::to_string(params.polyDegree()));
    logInfo("  Grid size: " + std::to_string(params.gridSize()));
    logInfo("  Protection threshold: " + std::to_string(params.protectionThreshold()));
    logInfo("  Smoothness factor: " + std::to_string(params.smoothness()));
    if (nebulosity.detected)
        logInfo("  Using conservative settings due to detected nebulosity (score: " +
                std::to_string(nebulosity.score) + ")");
}

}  // namespace

BackgroundExtractorParams backgroundParamsForPercentage(float percentage)
{
    const float fraction = percentage / 100.0f;
    BackgroundExtractorParams params;
    params.setPolyDegree(fraction > kQuarticAbove ? 4 : 3);
    params.setGridSize(int(fraction * 16.0f + 16.0f));
    params.setProtectionThreshold(0.5f);
    params.setSmoothness(0.0f);
    return params;
}

BackgroundExtractorParams conservativeBackgroundParams()
{
    BackgroundExtractorParams params;
    params.setPolyDegree(1);
    params.setGridSize(32);
    params.setProtectionThreshold(0.8f);
    params.setSmoothness(0.0f);
    return params;
}

BackgroundExtractorParams withUserChoices(BackgroundExtractorParams params, const StackerSettings& settings)
{
    if (settings.polyDegree)
        params.setPolyDegree(*settings.polyDegree);
    if (settings.gridSize)
        params.setGridSize(*settings.gridSize);
    if (settings.protectionThreshold)
        params.setProtectionThreshold(*settings.protectionThreshold);
    if (settings.smoothness)
        params.setSmoothness(*settings.smoothness);
    return params;
}

ByteImagePtr subtractBackground(const ByteImage& image, const ByteImage& model)
{
    cv::Mat sky, background;
    matView(image).convertTo(sky, CV_32F);
    matView(model).convertTo(background, CV_32F);
    if (sky.channels() == 1 && background.channels() == 3)
        cv::cvtColor(sky, sky, cv::COLOR_GRAY2BGR);
    else if (sky.channels() == 3 && background.channels() == 1)
        cv::cvtColor(background, background, cv::COLOR_GRAY2BGR);
    if (background.size() != sky.size())
        cv::resize(background, background, sky.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat difference = sky - background;
    cv::threshold(difference, difference, 0, 0, cv::THRESH_TOZERO);
    cv::Mat result;
    difference.convertTo(result, CV_8U);
    return bufferFromMat(result);
}

ByteImagePtr ImageStacker::applyBackgroundAdjustment(const ByteImagePtr& image, float percentage)
{
    Timer timer("applyBackgroundAdjustment");
    logInfo("Background adjustment percentage: " + std::to_string(percentage));
    const NebulosityOutcome nebulosity = nebulosityOutcome(*settings_, matView(*image));
    if (nebulosity.detected) {
        logWarn("Extensive nebulosity detected! Adjusting background extraction to preserve details.");
        if (nebulosity.score > kDisableScore) {
            logWarn("Very high nebulosity score (" + std::to_string(nebulosity.score) +
                    "). Disabling background adjustment completely.");
            return std::make_shared<ByteImage>(*image);
        }
        logInfo("Adjusted background percentage: " +
                std::to_string((1.0f - kNebulosityDamping * nebulosity.score) * percentage));
    }
    const BackgroundExtractorParams params = withUserChoices(
        nebulosity.detected ? conservativeBackgroundParams() : backgroundParamsForPercentage(percentage), *settings_);
    logParameters(params, nebulosity);

    logInfo("Generating background model...");
    const ByteImagePtr model = extractBackground(params, *image);
    logInfo("Background model generated successfully");
    logInfo("Applying pure background subtraction...");
    ByteImagePtr result = subtractBackground(*image, *model);
    logInfo("Pure background subtraction applied successfully");
    return result;
}
