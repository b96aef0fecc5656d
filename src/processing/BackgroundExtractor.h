#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "image/ImageBuffer.h"

// Models the smooth sky background of a stacked image (light pollution,
// gradients, vignetting) as a 2-D polynomial fitted by least squares to
// samples taken on a regular grid away from stars, nebulae and other
// structure. Input images are 8-bit with 1 or 3 channels (B, G, R as far as
// the grey conversion goes).
//
// Errors: std::runtime_error when the image is smaller than 2x2, when no
// sample or fewer samples than polynomial terms are found; OpenCV errors
// propagate as cv::Exception.

// Setters clamp instead of failing.
class BackgroundExtractorParams {
public:
    int polyDegree() const { return polyDegree_; }
    int gridSize() const { return gridSize_; }
    float protectionThreshold() const { return protectionThreshold_; }
    float smoothness() const { return smoothness_; }

    void setPolyDegree(int degree);               // 1..4
    void setGridSize(int size);                   // 8..64 grid cells per side
    void setProtectionThreshold(float threshold); // [0, 1], fraction of Otsu's threshold
    void setSmoothness(float smoothness);         // [0, 1], the fit's smoothing penalty (fitBackgroundModel)

private:
    int polyDegree_ = 2;
    int gridSize_ = 16;
    float protectionThreshold_ = 0.5f;
    float smoothness_ = 0.0f;
};

// Pixel column, pixel row and the grey value there.
struct BackgroundSample {
    float x;
    float y;
    float value;
};

// Terms 1, x, y, x^2, xy, y^2, x^3, ... up to the degree: 3, 6, 10 or 15.
int polynomialTermCount(int degree);
// The samples sampling tries to reach: 6, 10, 16, 24 for degrees 1 to 4.
int minimumSampleCount(int degree);

// A regular grid: columns offsetX, offsetX + stepX, ... < cols, rows
// likewise. The first sampling pass uses step = max(1, size / gridSize) and
// offset = step / 2 on each axis.
struct SamplingGrid {
    int stepX;
    int stepY;
    int offsetX;
    int offsetY;
};
SamplingGrid samplingGrid(int cols, int rows, int gridSize);

// Throws std::runtime_error unless width and height are both at least 2: the
// model's coordinates are normalised by width - 1 and height - 1.
void requireBackgroundModelSize(int width, int height);

// A new one-channel 8-bit image of the input's size holding the rounded and
// saturated background model. The input is not modified.
ByteImagePtr extractBackground(const BackgroundExtractorParams& params, const ByteImage& image);

// 8-bit mask, 255 where the image must not be sampled: stars, edges, local
// structure, bright areas and the brighter of two colour clusters, closed and
// grown. A mask over 80 % of the image is replaced by the brightest areas
// (above 1.2 x Otsu's threshold) and the stars.
cv::Mat createProtectionMask(const BackgroundExtractorParams& params, const cv::Mat& image);

// StellarSolver's star discs; when star detection throws a standard
// exception, the failure is logged and createFallbackStarMask is used.
cv::Mat createStarMask(const cv::Mat& image);
// Filled discs of radius 1.5 x blob size at the small, round blobs OpenCV's
// SimpleBlobDetector finds.
cv::Mat createFallbackStarMask(const cv::Mat& image);

// Grey values at the unmasked points of the grid (mask: CV_8UC1 of the
// image's size). When fewer than minimumSampleCount are found it adds, in
// turn, unmasked points of a grid twice as fine, unmasked points near the
// edges and corners, and finally masked points farthest from any unmasked
// area, until the minimum is reached or the candidates run out. The order of
// the samples is not significant.
std::vector<BackgroundSample> sampleBackgroundPoints(const BackgroundExtractorParams& params, const cv::Mat& image,
                                                     const cv::Mat& mask);

// Least-squares coefficients, in term order, of the polynomial in x = column
// / (width - 1) and y = row / (height - 1), so the far corner is (1, 1).
// Smoothness above 0 adds a penalty on the squares of the coefficients of
// degree two and more (ridge regression on the bends, never on the plane):
// the larger it is, the flatter the model; 0 is plain least squares, and a
// degree-1 model is not affected.
// Throws "No background points to fit" for no samples and a runtime error for
// fewer samples than terms.
std::vector<double> fitBackgroundModel(const BackgroundExtractorParams& params,
                                       const std::vector<BackgroundSample>& samples, int width, int height);

// CV_32F, height x width: the polynomial at every pixel. The coefficient count
// must match the degree (std::invalid_argument otherwise).
cv::Mat evaluateBackgroundModel(const BackgroundExtractorParams& params, const std::vector<double>& coefficients,
                                int width, int height);
