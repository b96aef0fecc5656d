#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "core/Logger.h"
#include "image/ImageFile.h"
#include "image/MatView.h"
#include "processing/NebulosityDetector.h"
#include "processing/NebulosityImages.h"

namespace {

constexpr int kBorder = 10;
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 1.0;
constexpr int kThickness = 2;
// Not anti-aliased, so label pixels keep their exact colour.
constexpr int kLineType = cv::LINE_8;
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kGreen(0, 255, 0);
// Red in the buffers' own R, G, B order, which is how the mosaic is saved.
const cv::Scalar kRed(255, 0, 0);

// 8-bit, three channels, in the input's own channel order.
cv::Mat colourCopy(const cv::Mat& image)
{
    if (image.channels() != 1 && image.channels() != 3)
        throw std::invalid_argument("Expected an image with 1 or 3 channels, found " +
                                    std::to_string(image.channels()));
    cv::Mat colour;
    if (image.channels() == 1)
        cv::cvtColor(image, colour, cv::COLOR_GRAY2BGR);
    else
        colour = image.clone();
    if (colour.depth() != CV_8U)
        cv::normalize(colour, colour, 0, 255, cv::NORM_MINMAX, CV_8U);
    return colour;
}

void placeGrey(const cv::Mat& grey, cv::Mat& mosaic, cv::Point origin)
{
    cv::Mat quadrant = mosaic(cv::Rect(origin, grey.size()));
    cv::cvtColor(grey, quadrant, cv::COLOR_GRAY2BGR);
}

void label(cv::Mat& mosaic, const std::string& text, cv::Point at, const cv::Scalar& colour)
{
    cv::putText(mosaic, text, at, kFont, kFontScale, colour, kThickness, kLineType);
}

void drawLabels(cv::Mat& mosaic, int rows, int cols, float score, bool extensive)
{
    label(mosaic, "Original Image", {20, 30}, kWhite);
    label(mosaic, "Enhanced Image", {cols + 20, 30}, kWhite);
    label(mosaic, "Gradient Magnitude", {20, rows + 30}, kWhite);
    label(mosaic, "Low Gradient Mask", {cols + 20, rows + 30}, kWhite);
    label(mosaic, "Nebulosity Score: " + std::to_string(score), {20, rows - 50}, kWhite);
    label(mosaic, std::string("Extensive Nebulosity: ") + (extensive ? "YES" : "NO"), {20, rows - 20},
          extensive ? kGreen : kRed);
}

}  // namespace

cv::Mat NebulosityDetector::createNebulosityVisualization(const cv::Mat& image, float score) const
{
    const int rows = image.rows, cols = image.cols;
    const cv::Mat colour = colourCopy(image);
    const cv::Mat enhanced = nebulosity::enhancedImage(nebulosity::greyImage(image));
    const cv::Mat magnitude = nebulosity::gradientMagnitude(enhanced);
    cv::Mat gradient, lowGradient;
    cv::normalize(magnitude, gradient, 0, 255, cv::NORM_MINMAX, CV_8U);
    nebulosity::lowGradientMask(magnitude).convertTo(lowGradient, CV_8U, 255.0);

    cv::Mat mosaic(2 * rows, 2 * cols, CV_8UC3, cv::Scalar::all(0));
    colour.copyTo(mosaic(cv::Rect(0, 0, cols, rows)));
    placeGrey(enhanced, mosaic, {cols, 0});
    placeGrey(gradient, mosaic, {0, rows});
    placeGrey(lowGradient, mosaic, {cols, rows});

    const bool extensive = threshold_ < score;
    drawLabels(mosaic, rows, cols, score, extensive);
    cv::Mat bordered;
    cv::copyMakeBorder(mosaic, bordered, kBorder, kBorder, kBorder, kBorder, cv::BORDER_CONSTANT,
                       extensive ? kGreen : kRed);
    return bordered;
}

void saveNebulosityVisualization(const NebulosityDetector& detector, const cv::Mat& image, float score,
                                 const std::string& prefix)
{
    if (prefix.empty())
        return;
    const std::string path = prefix + "nebulosity_detection.jpg";
    try {
        saveImage(path, bufferFromMat(detector.createNebulosityVisualization(image, score)));
        logInfo("Saved nebulosity detection visualization to " + path);
    } catch (const std::exception& e) {
        logError("Could not save nebulosity detection visualization to " + path + ": " + e.what());
    }
}
