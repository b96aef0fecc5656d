#include "processing/BackgroundExtractor.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "image/MatView.h"

void BackgroundExtractorParams::setPolyDegree(int degree) { polyDegree_ = std::clamp(degree, 1, 4); }

void BackgroundExtractorParams::setGridSize(int size) { gridSize_ = std::clamp(size, 8, 64); }

void BackgroundExtractorParams::setProtectionThreshold(float threshold)
{
    protectionThreshold_ = std::clamp(threshold, 0.0f, 1.0f);
}

void BackgroundExtractorParams::setSmoothness(float smoothness) { smoothness_ = std::clamp(smoothness, 0.0f, 1.0f); }

int polynomialTermCount(int degree) { return (degree + 1) * (degree + 2) / 2; }

// Half as many again as the terms plus one, so the fit is overdetermined and
// a few stray samples cannot steer it alone.
int minimumSampleCount(int degree) { return int((polynomialTermCount(degree) + 1) * 1.5); }

void requireBackgroundModelSize(int width, int height)
{
    if (width < 2 || height < 2)
        throw std::runtime_error("Background model needs an image at least 2x2, got " + std::to_string(width) + "x" +
                                 std::to_string(height));
}

ByteImagePtr extractBackground(const BackgroundExtractorParams& params, const ByteImage& image)
{
    requireBackgroundModelSize(image.width(), image.height());
    const cv::Mat view = matView(image);
    const cv::Mat mask = createProtectionMask(params, view);
    const std::vector<BackgroundSample> samples = sampleBackgroundPoints(params, view, mask);
    const std::vector<double> coefficients = fitBackgroundModel(params, samples, view.cols, view.rows);
    cv::Mat model8;
    evaluateBackgroundModel(params, coefficients, view.cols, view.rows).convertTo(model8, CV_8U);
    return bufferFromMat(model8);
}
