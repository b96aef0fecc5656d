#pragma once

#include <string>

#include <opencv2/core.hpp>

// The measures of one nebulosity analysis, all 0 before the first.
struct NebulosityResults {
    double meanIntensity = 0.0;          // mean of the 8-bit grey image
    double stdDev = 0.0;                 // its standard deviation
    double pixelPercentage = 0.0;        // percent of pixels above the local adaptive threshold
    double textureUniformity = 0.0;      // mean local standard deviation / meanIntensity
    double lowGradientPercentage = 0.0;  // percent of pixels with normalised gradient <= 0.2
    double diffuseFactor = 0.0;          // lowGradientPercentage / 100
    double spatialUniformity = 0.0;      // variation of the 4x4 region statistics
    double spatialDistribution = 0.0;    // 1 / (1 + spatialUniformity)
    double centerPeripheryRatio = 0.0;   // bright centre regions over bright periphery regions
    double concentrationFactor = 0.0;    // 1 / (1 + centerPeripheryRatio)
    double pixelFactor = 0.0;
    double textureFactor = 0.0;
    double stdDevFactor = 0.0;
    double baseScore = 0.0;  // product of the factors and the squared concentration factor
    double pixelBoost = 0.0;
    double textureBoost = 0.0;
    double haBoost = 0.0;
    double extensiveBoost = 0.0;
    float score = 0.0f;  // base score plus boosts, clamped to [0, 1]
};

// Decides whether an image is dominated by large, faint, diffuse emission that
// a background subtraction would wrongly remove. A short-lived object: its
// results describe its last analysis only.
//
// Input: 8-bit (or any depth, which is min-max stretched to 8 bits first),
// one channel or three in B, G, R order as far as the grey conversion goes.
// OpenCV errors propagate as cv::Exception.
class NebulosityDetector {
public:
    static constexpr float kDefaultThreshold = 0.4f;

    // Clamped to [0, 1].
    void setThreshold(float threshold);
    float getThreshold() const { return threshold_; }
    const NebulosityResults& getResults() const { return results_; }

    // Measures the image, keeps and logs the results, and returns whether the
    // score is strictly above the threshold. An image narrower or lower than
    // 4 pixels leaves regions of the 4x4 grid empty: it scores 0 with all
    // results 0 and is not extensive. An all-black image also scores 0.
    bool analyzeNebulosity(const cv::Mat& image);

    // A CV_8UC3 mosaic of (2 rows + 20) x (2 cols + 20): the input (in its
    // own channel order), its contrast-enhanced grey image, the gradient
    // magnitude and the low-gradient mask (0 or 255) in the four quadrants,
    // labelled, with the score and the decision (threshold < score). The
    // decision label and the 10-pixel border are (0, 255, 0) when extensive
    // and (0, 0, 255), red read as B, G, R, when not. Reads only the
    // threshold. Input of another depth is min-max stretched to 8 bits; a
    // channel count other than 1 or 3 throws std::invalid_argument.
    cv::Mat createNebulosityVisualization(const cv::Mat& image, float score) const;

private:
    float threshold_ = kDefaultThreshold;
    NebulosityResults results_;
};

// Runs detector.analyzeNebulosity(image) and also hands back the score.
bool detectExtensiveNebulosity(NebulosityDetector& detector, const cv::Mat& image, float& score);

// Saves detector.createNebulosityVisualization(image, score) as prefix +
// "nebulosity_detection.jpg"; nothing with an empty prefix. Diagnostic output
// is optional: a failed write is logged as an error, never thrown.
void saveNebulosityVisualization(const NebulosityDetector& detector, const cv::Mat& image, float score,
                                 const std::string& prefix);
