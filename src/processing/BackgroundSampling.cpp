#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include "core/Logger.h"
#include "processing/BackgroundExtractor.h"

namespace {

using Samples = std::vector<BackgroundSample>;

// Grid rows are cheap and uneven (masked rows cost nothing), so threads take
// them in small dynamic chunks.
constexpr int kGridRowsPerChunk = 16;
// Steps below this would halve to 1 or to 0 (an endless loop), so a short
// axis goes straight to every pixel.
constexpr int kMinHalvableStep = 4;
// Edge candidates stay this far inside, clear of the border that warping
// leaves unfilled.
constexpr int kEdgeMargin = 10;
constexpr int kEdgeDivisions = 9;

// CV_32F grey, so every later read is one type.
cv::Mat greyValues(const cv::Mat& image)
{
    cv::Mat grey, values;
    if (image.channels() == 1)
        grey = image;
    else
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    grey.convertTo(values, CV_32F);
    return values;
}

bool masked(const cv::Mat& mask, int x, int y) { return mask.at<unsigned char>(y, x) != 0; }

BackgroundSample sampleAt(const cv::Mat& grey, int x, int y) { return {float(x), float(y), grey.at<float>(y, x)}; }

// Whether any of the first `count` samples lies strictly within (dx, dy).
bool nearSample(const Samples& samples, std::size_t count, int x, int y, float dx, float dy)
{
    return std::any_of(samples.begin(), samples.begin() + std::ptrdiff_t(count), [&](const BackgroundSample& s) {
        return std::abs(s.x - float(x)) < dx && std::abs(s.y - float(y)) < dy;
    });
}

void gridPass(const cv::Mat& grey, const cv::Mat& mask, const SamplingGrid& grid, Samples& samples)
{
    const int gridRows = (grey.rows - grid.offsetY + grid.stepY - 1) / grid.stepY;
    const std::size_t expected = std::size_t(grey.rows) * std::size_t(grey.cols) /
                                 (std::size_t(grid.stepX) * std::size_t(grid.stepY));
    long total = 0, maskedCount = 0;
#pragma omp parallel
    {
        Samples local;
        local.reserve(expected / std::size_t(omp_get_num_threads()));
        long localTotal = 0, localMasked = 0;
#pragma omp for schedule(dynamic, kGridRowsPerChunk) nowait
        for (int row = 0; row < gridRows; ++row) {
            const int y = grid.offsetY + row * grid.stepY;
            for (int x = grid.offsetX; x < grey.cols; x += grid.stepX) {
                ++localTotal;
                if (masked(mask, x, y))
                    ++localMasked;
                else
                    local.push_back(sampleAt(grey, x, y));
            }
        }
#pragma omp atomic
        total += localTotal;
#pragma omp atomic
        maskedCount += localMasked;
#pragma omp critical(backgroundSamples)
        samples.insert(samples.end(), local.begin(), local.end());
    }
    logInfo("First pass: Sampled " + std::to_string(samples.size()) + " background points out of " +
            std::to_string(total) + " total points");
    logInfo("Masked points: " + std::to_string(maskedCount) + " (" + std::to_string(maskedCount * 100.0 / total) +
            "%)");
}

// Halves the step on each axis (or drops it to 1 on a short axis).
SamplingGrid finerGrid(const SamplingGrid& grid, int cols, int rows, int gridSize)
{
    const int stepX = cols / gridSize < kMinHalvableStep ? 1 : grid.stepX / 2;
    const int stepY = rows / gridSize < kMinHalvableStep ? 1 : grid.stepY / 2;
    return {stepX, stepY, stepX / 2, stepY / 2};
}

void finerGridPass(const cv::Mat& grey, const cv::Mat& mask, const SamplingGrid& grid, Samples& samples)
{
    logInfo("Not enough background points. Trying with a finer grid...");
    // Points added here are a whole step apart, so only the earlier samples
    // can lie within half a step of a candidate. A step of 1 has no half
    // step; the pixel itself still counts as taken, so no point is added twice.
    const std::size_t earlier = samples.size();
    const float nearX = float(std::max(grid.offsetX, 1)), nearY = float(std::max(grid.offsetY, 1));
    for (int y = grid.offsetY; y < grey.rows; y += grid.stepY)
        for (int x = grid.offsetX; x < grey.cols; x += grid.stepX)
            if (!nearSample(samples, earlier, x, y, nearX, nearY) && !masked(mask, x, y))
                samples.push_back(sampleAt(grey, x, y));
    logInfo("Second pass: Now have " + std::to_string(samples.size()) + " background points");
}

// Corners, then the top, bottom, left and right edges, kEdgeMargin inside.
std::vector<cv::Point> edgeCandidates(int cols, int rows)
{
    const int left = kEdgeMargin, top = kEdgeMargin, right = cols - kEdgeMargin, bottom = rows - kEdgeMargin;
    std::vector<cv::Point> points{{left, top}, {left, bottom}, {right, top}, {right, bottom}};
    for (int i = 1; i < kEdgeDivisions; ++i)
        points.emplace_back((cols - 2 * kEdgeMargin) * i / kEdgeDivisions + kEdgeMargin, top);
    for (int i = 1; i < kEdgeDivisions; ++i)
        points.emplace_back((cols - 2 * kEdgeMargin) * i / kEdgeDivisions + kEdgeMargin, bottom);
    for (int i = 1; i < kEdgeDivisions; ++i)
        points.emplace_back(left, (rows - 2 * kEdgeMargin) * i / kEdgeDivisions + kEdgeMargin);
    for (int i = 1; i < kEdgeDivisions; ++i)
        points.emplace_back(right, (rows - 2 * kEdgeMargin) * i / kEdgeDivisions + kEdgeMargin);
    return points;
}

void edgePass(const cv::Mat& grey, const cv::Mat& mask, Samples& samples)
{
    logInfo("Still not enough background points. Adding edge and corner points...");
    const cv::Rect inside(0, 0, grey.cols, grey.rows);
    // An image smaller than twice the margin puts some candidates outside it.
    for (const cv::Point& p : edgeCandidates(grey.cols, grey.rows))
        if (inside.contains(p) && !masked(mask, p.x, p.y))
            samples.push_back(sampleAt(grey, p.x, p.y));
    logInfo("After adding edge points: Now have " + std::to_string(samples.size()) + " background points");
}

struct MaskedCandidate {
    unsigned char distance;
    cv::Point point;
};

// Grid points not yet sampled, each with its distance to the nearest masked
// pixel (normalised to 0..255). Every masked point scores 0, so unmasked
// points the finer pass skipped come first and masked ones follow.
std::vector<MaskedCandidate> maskedCandidates(const cv::Mat& mask, const SamplingGrid& grid, const Samples& samples)
{
    cv::Mat distance;
    cv::distanceTransform(255 - mask, distance, cv::DIST_L2, 3, CV_32F);
    cv::normalize(distance, distance, 0, 255, cv::NORM_MINMAX, CV_8U);
    std::vector<MaskedCandidate> candidates;
    for (int y = grid.offsetY; y < mask.rows; y += grid.stepY)
        for (int x = grid.offsetX; x < mask.cols; x += grid.stepX)
            if (!nearSample(samples, samples.size(), x, y, 1.0f, 1.0f))
                candidates.push_back({distance.at<unsigned char>(y, x), {x, y}});
    return candidates;
}

// Last resort: accepts points whatever the mask says. Equal scores keep grid
// order (the order among them is not significant).
void maskedPass(const cv::Mat& grey, const cv::Mat& mask, const SamplingGrid& grid, std::size_t minimum,
                Samples& samples)
{
    logWarn("Warning: Still not enough background points. Using some masked points...");
    std::vector<MaskedCandidate> candidates = maskedCandidates(mask, grid, samples);
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const MaskedCandidate& a, const MaskedCandidate& b) { return a.distance > b.distance; });
    for (std::size_t i = 0; i < candidates.size() && samples.size() < minimum; ++i)
        samples.push_back(sampleAt(grey, candidates[i].point.x, candidates[i].point.y));
    logInfo("Final count: " + std::to_string(samples.size()) + " background points");
}

}  // namespace

SamplingGrid samplingGrid(int cols, int rows, int gridSize)
{
    const int stepX = std::max(1, cols / gridSize);
    const int stepY = std::max(1, rows / gridSize);
    return {stepX, stepY, stepX / 2, stepY / 2};
}

std::vector<BackgroundSample> sampleBackgroundPoints(const BackgroundExtractorParams& params, const cv::Mat& image,
                                                     const cv::Mat& mask)
{
    if (mask.type() != CV_8UC1 || mask.size() != image.size())
        throw std::invalid_argument("Background mask must be 8-bit, one channel and of the image's size");
    const cv::Mat grey = greyValues(image);
    const std::size_t minimum = std::size_t(minimumSampleCount(params.polyDegree()));
    SamplingGrid grid = samplingGrid(grey.cols, grey.rows, params.gridSize());
    Samples samples;
    gridPass(grey, mask, grid, samples);
    if (samples.size() >= minimum)
        return samples;
    grid = finerGrid(grid, grey.cols, grey.rows, params.gridSize());
    finerGridPass(grey, mask, grid, samples);
    if (samples.size() >= minimum)
        return samples;
    edgePass(grey, mask, samples);
    if (samples.size() < minimum)
        maskedPass(grey, mask, grid, minimum, samples);
    return samples;
}
