#include "processing/NebulosityDetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "core/Logger.h"
#include "processing/NebulosityImages.h"

namespace {

// Regions per side of the grid that compares the centre with the periphery.
constexpr int kGrid = 4;
constexpr int kRegions = kGrid * kGrid;
// Box window of the local standard deviation: wider than a star, narrower
// than a nebula, so stars count as texture and nebulae as smooth.
const cv::Size kLocalWindow(25, 25);
// The adaptive threshold compares each pixel with a Gaussian neighbourhood
// this wide; it must span a nebula's faint outskirts, not just a star.
constexpr int kAdaptiveBlock = 75;
// A pixel counts as bright structure when it exceeds its neighbourhood by more than 5.
constexpr double kAdaptiveOffset = -5.0;
// Keeps the spread ratios finite for a black image.
constexpr double kRatioGuard = 1e-5;
// A region this much brighter than the average region is a bright region.
constexpr double kBrightRegionFactor = 1.2;
// Brightness only in the centre: treated as ten times as many centre as
// periphery regions, the sign of a compact object rather than extensive nebulosity.
constexpr double kCentreOnlyRatio = 10.0;

// Exponents below 1 reward moderate values; the texture exponent above 1
// punishes texture (stars, noise) more than linearly.
constexpr double kPixelExponent = 0.7;
constexpr double kTextureExponent = 1.5;
constexpr double kDeviationExponent = 0.3;
// A coefficient of variation of 0.25 already counts as full contrast.
constexpr double kDeviationScale = 4.0;

// Boosts add to the product, so one strong sign of nebulosity is not wiped
// out by a weak factor. Each is scaled by the concentration factor.
constexpr double kBoostWeight = 0.3;
constexpr double kSmoothTextureLimit = 0.8;
constexpr double kPixelBoostStart = 15.0;
constexpr double kHaPixelStart = 20.0;
constexpr double kHaVariationLimit = 0.3;  // faint emission has little contrast
constexpr double kExtensivePixelStart = 25.0;
constexpr double kExtensiveBoostWeight = 0.25;

using RegionValues = std::array<double, kRegions>;

struct RegionStatistics {
    RegionValues mean;         // grey level
    RegionValues lowGradient;  // percent of low-gradient pixels
};

struct Spread {
    double mean;
    double deviation;
};

double percentNonZero(const cv::Mat& mask)
{
    return double(cv::countNonZero(mask)) * 100.0 / (double(mask.rows) * double(mask.cols));
}

double meanLocalDeviation(const cv::Mat& enhanced)
{
    cv::Mat f, e1, e2;
    enhanced.convertTo(f, CV_32F);
    cv::blur(f, e1, kLocalWindow);
    cv::blur(f.mul(f), e2, kLocalWindow);
    cv::Mat variance = e2 - e1.mul(e1);
    // Float rounding can take a nearly flat window below 0, whose root would be NaN.
    variance = cv::max(variance, 0.0);
    cv::sqrt(variance, variance);
    return cv::mean(variance)[0];
}

double brightPercentage(const cv::Mat& enhanced)
{
    cv::Mat bright;
    cv::adaptiveThreshold(enhanced, bright, 255, cv::ADAPTIVE_THRESH_GAUSSIAN_C, cv::THRESH_BINARY, kAdaptiveBlock,
                          kAdaptiveOffset);
    return percentNonZero(bright);
}

// Remainder columns and rows on the right and bottom belong to no region.
RegionStatistics regionStatistics(const cv::Mat& grey, const cv::Mat& lowGradientMask)
{
    const int width = grey.cols / kGrid;
    const int height = grey.rows / kGrid;
    RegionStatistics regions{};
    for (int row = 0; row < kGrid; ++row)
        for (int col = 0; col < kGrid; ++col) {
            const cv::Rect region(col * width, row * height, width, height);
            const int i = row * kGrid + col;
            regions.mean[i] = cv::mean(grey(region))[0];
            regions.lowGradient[i] = percentNonZero(lowGradientMask(region));
        }
    return regions;
}

Spread spreadOf(const RegionValues& values)
{
    double sum = 0.0, sumOfSquares = 0.0;
    for (double v : values) {
        sum += v;
        sumOfSquares += v * v;
    }
    const double mean = sum / kRegions;
    return {mean, std::sqrt(std::max(0.0, sumOfSquares / kRegions - mean * mean))};
}

double spatialUniformity(const RegionStatistics& regions)
{
    const Spread level = spreadOf(regions.mean);
    const Spread lowGradient = spreadOf(regions.lowGradient);
    return 0.5 * (level.deviation / (level.mean + kRatioGuard) +
                  lowGradient.deviation / (lowGradient.mean + kRatioGuard));
}

bool isCentreRegion(int i)
{
    const int row = i / kGrid, col = i % kGrid;
    return row >= 1 && row <= 2 && col >= 1 && col <= 2;
}

double centerPeripheryRatio(const RegionValues& means)
{
    const double limit = kBrightRegionFactor * spreadOf(means).mean;
    int centre = 0, periphery = 0;
    for (int i = 0; i < kRegions; ++i)
        if (means[i] > limit)
            ++(isCentreRegion(i) ? centre : periphery);
    if (periphery > 0)
        return double(centre) / periphery;
    return centre > 0 ? kCentreOnlyRatio : 0.0;
}

void applyFactors(NebulosityResults& r)
{
    r.pixelFactor = std::pow(r.pixelPercentage / 100.0, kPixelExponent);
    r.textureFactor = std::pow(1.0 - std::min(r.textureUniformity, 1.0), kTextureExponent);
    r.stdDevFactor = std::pow(std::min(kDeviationScale * r.stdDev / r.meanIntensity, 1.0), kDeviationExponent);
    r.baseScore = r.pixelFactor * r.textureFactor * r.stdDevFactor * r.diffuseFactor * r.spatialDistribution *
                  r.concentrationFactor * r.concentrationFactor;
}

void applyBoosts(NebulosityResults& r)
{
    const double k = r.concentrationFactor;
    const double percent = r.pixelPercentage;
    const double variation = r.stdDev / r.meanIntensity;
    r.textureBoost = r.textureUniformity < kSmoothTextureLimit
                         ? (kSmoothTextureLimit - r.textureUniformity) / kSmoothTextureLimit * kBoostWeight * k
                         : 0.0;
    r.pixelBoost = percent > kPixelBoostStart
                       ? (percent - kPixelBoostStart) / (100.0 - kPixelBoostStart) * kBoostWeight * k
                       : 0.0;
    r.haBoost = percent > kHaPixelStart && variation < kHaVariationLimit ? kBoostWeight * k : 0.0;
    r.extensiveBoost = percent > kExtensivePixelStart ? kExtensiveBoostWeight * k : 0.0;
}

// Not a number (a black image) and everything not above 0 become 0.
float clampedScore(double total)
{
    const float score = float(total);
    if (!(score > 0.0f))
        return 0.0f;
    return std::min(score, 1.0f);
}

NebulosityResults measure(const cv::Mat& image)
{
    NebulosityResults r;
    const cv::Mat grey = nebulosity::greyImage(image);
    cv::Scalar mean, deviation;
    cv::meanStdDev(grey, mean, deviation);
    r.meanIntensity = mean[0];
    r.stdDev = deviation[0];

    const cv::Mat enhanced = nebulosity::enhancedImage(grey);
    r.textureUniformity = meanLocalDeviation(enhanced) / r.meanIntensity;
    r.pixelPercentage = brightPercentage(enhanced);
    cv::Mat lowGradient;
    nebulosity::lowGradientMask(nebulosity::gradientMagnitude(enhanced)).convertTo(lowGradient, CV_8U);
    r.lowGradientPercentage = percentNonZero(lowGradient);
    r.diffuseFactor = r.lowGradientPercentage / 100.0;

    const RegionStatistics regions = regionStatistics(grey, lowGradient);
    r.spatialUniformity = spatialUniformity(regions);
    r.spatialDistribution = 1.0 / (1.0 + r.spatialUniformity);
    r.centerPeripheryRatio = centerPeripheryRatio(regions.mean);
    r.concentrationFactor = 1.0 / (r.centerPeripheryRatio + 1.0);

    applyFactors(r);
    applyBoosts(r);
    r.score = clampedScore(r.baseScore + r.pixelBoost + r.textureBoost + r.haBoost + r.extensiveBoost);
    return r;
}

void logResults(const NebulosityResults& r, bool extensive)
{
    const std::vector<std::pair<const char*, double>> lines = {
        {"Mean pixel value", r.meanIntensity},
        {"Standard deviation", r.stdDev},
        {"Pixel percentage above threshold", r.pixelPercentage},
        {"Texture uniformity", r.textureUniformity},
        {"Nebulosity score", r.score},
        {"Enhanced pixel percentage factor", r.pixelFactor},
        {"Enhanced texture uniformity factor", r.textureFactor},
        {"Enhanced standard deviation factor", r.stdDevFactor},
        {"Low gradient percentage", r.lowGradientPercentage},
        {"Diffuse factor", r.diffuseFactor},
        {"Spatial uniformity factor", r.spatialUniformity},
        {"Spatial distribution factor", r.spatialDistribution},
        {"Center/periphery ratio", r.centerPeripheryRatio},
        {"Concentration factor", r.concentrationFactor},
        {"Base score", r.baseScore},
        {"Pixel boost", r.pixelBoost},
        {"Texture boost", r.textureBoost},
        {"HA boost", r.haBoost},
        {"Extensive boost", r.extensiveBoost},
    };
    logInfo("Nebulosity detection results:");
    for (const auto& [label, value] : lines)
        logInfo(std::string("  ") + label + ": " + std::to_string(value));
    logInfo(std::string("Extensive nebulosity detected: ") + (extensive ? "YES" : "NO"));
}

}  // namespace

void NebulosityDetector::setThreshold(float threshold) { threshold_ = std::clamp(threshold, 0.0f, 1.0f); }

bool NebulosityDetector::analyzeNebulosity(const cv::Mat& image)
{
    if (image.cols < kGrid || image.rows < kGrid) {
        results_ = NebulosityResults{};
        logInfo("Image too small for nebulosity detection (" + std::to_string(image.cols) + "x" +
                std::to_string(image.rows) + "), score 0");
        return false;
    }
    results_ = measure(image);
    const bool extensive = threshold_ < results_.score;
    logResults(results_, extensive);
    return extensive;
}

bool detectExtensiveNebulosity(NebulosityDetector& detector, const cv::Mat& image, float& score)
{
    const bool extensive = detector.analyzeNebulosity(image);
    score = detector.getResults().score;
    return extensive;
}
