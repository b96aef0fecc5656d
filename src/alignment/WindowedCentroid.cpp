#include "alignment/WindowedCentroid.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// The window is summed out to this many standard deviations, where its
// weight has fallen below a thousandth of its peak.
constexpr double kWindowReach = 4.0;
// Width of the ring beyond the window that the local sky is fitted to.
constexpr int kSkyRing = 4;
// The position settles when a step is below this, in pixels.
constexpr double kSettledStep = 1e-4;
constexpr int kMaxSteps = 30;
// A profile narrower than this is a hot pixel or noise, not a star.
constexpr double kNarrowestSigma = 0.3;
// A star is refined only with no other star within this many window widths.
constexpr double kIsolationSigmas = 6.0;
// A narrower window is sampled too coarsely by the pixels: on stars 1.6 px
// across (FWHM), whose own profile asks for a window of 0.85 px, it pulled
// centres towards the middle of a pixel and registered worse than the
// thresholded centre of light.
constexpr float kNarrowestWindow = 1.3f;
// A profile wider than this (a FWHM of 24 px) is a blend or a galaxy.
constexpr double kWidestSigma = 10.0;
// The profile's measurement starts from this width, always the same so that
// the same image gives the same width to the last bit.
constexpr double kFirstSigma = 1.5;
// The profile settles when a step changes it by less than this fraction.
constexpr double kSettledWidth = 1e-3;

struct WindowSums {
    double light = 0.0;
    double x = 0.0;
    double y = 0.0;
    double r2 = 0.0;
};

// The sky under a star as a plane, fitted to the patch's outermost ring: a
// sloping sky (a gradient, a nebula's edge) seen through the window would
// otherwise pull the centre uphill. Ring pixels far above the ring's median
// (a neighbouring star) are left out of the fit.
struct SkyPlane {
    double level = 0.0;  // at the patch's centre
    double slopeX = 0.0;
    double slopeY = 0.0;

    double at(double dx, double dy) const { return level + slopeX * dx + slopeY * dy; }
};

struct RingPixel {
    double dx;
    double dy;
    float value;
};

float median(std::vector<float> values)
{
    auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::vector<RingPixel> ringPixels(const cv::Mat& patch)
{
    const int centre = patch.cols / 2;
    const int inner = centre - kSkyRing;
    std::vector<RingPixel> ring;
    for (int y = 0; y < patch.rows; ++y)
        for (int x = 0; x < patch.cols; ++x) {
            const int r2 = (x - centre) * (x - centre) + (y - centre) * (y - centre);
            if (r2 >= inner * inner && r2 <= centre * centre)
                ring.push_back({double(x - centre), double(y - centre), patch.at<float>(y, x)});
        }
    return ring;
}

SkyPlane skyPlane(const cv::Mat& patch)
{
    const std::vector<RingPixel> ring = ringPixels(patch);
    std::vector<float> values;
    for (const RingPixel& pixel : ring)
        values.push_back(pixel.value);
    const float middle = median(values);
    for (float& value : values)
        value = std::abs(value - middle);
    // 1.4826 MAD estimates the noise's deviation; 3 of them keep nearly all sky.
    const double highest = middle + 3.0 * 1.4826 * median(values);
    cv::Matx33d normal = cv::Matx33d::zeros();
    cv::Vec3d right(0.0, 0.0, 0.0);
    for (const RingPixel& pixel : ring) {
        if (pixel.value > highest)
            continue;
        const cv::Vec3d row(1.0, pixel.dx, pixel.dy);
        normal += row * row.t();
        right += row * double(pixel.value);
    }
    cv::Vec3d plane;
    if (!cv::solve(normal, right, plane, cv::DECOMP_CHOLESKY))
        return {middle, 0.0, 0.0};
    return {plane[0], plane[1], plane[2]};
}

// The pixels around a star as floats, and the sky under them.
struct StarPatch {
    cv::Mat pixels;
    cv::Point origin;  // of the patch in the image
    SkyPlane sky;
};

// The square of pixels a window of this deviation needs around the pixel,
// the sky's ring included, when it lies wholly inside the image and holds
// only finite samples.
std::optional<StarPatch> patchAround(const cv::Mat& grey, cv::Point2d centre, double sigma)
{
    const int halfSide = int(std::ceil(kWindowReach * sigma)) + kSkyRing + 2;
    const cv::Point pixel(int(std::lround(centre.x)), int(std::lround(centre.y)));
    const cv::Rect area(pixel.x - halfSide, pixel.y - halfSide, 2 * halfSide + 1, 2 * halfSide + 1);
    if ((area & cv::Rect(0, 0, grey.cols, grey.rows)) != area)
        return std::nullopt;
    StarPatch patch;
    grey(area).convertTo(patch.pixels, CV_32F);
    if (!cv::checkRange(patch.pixels))
        return std::nullopt;
    patch.origin = area.tl();
    patch.sky = skyPlane(patch.pixels);
    return patch;
}

// Sums over the window centred on the given image point.
WindowSums windowSums(const StarPatch& star, cv::Point2d imageCentre, double sigma)
{
    const cv::Mat& patch = star.pixels;
    const SkyPlane& sky = star.sky;
    const double middle = patch.cols / 2;
    const cv::Point2d centre = imageCentre - cv::Point2d(star.origin);
    const double reach = kWindowReach * sigma;
    const double scale = -0.5 / (sigma * sigma);
    const int top = std::max(0, int(std::floor(centre.y - reach)));
    const int bottom = std::min(patch.rows - 1, int(std::ceil(centre.y + reach)));
    const int left = std::max(0, int(std::floor(centre.x - reach)));
    const int right = std::min(patch.cols - 1, int(std::ceil(centre.x + reach)));
    // The Gaussian window is the product of one along each axis.
    std::vector<double> columnWeights(std::size_t(right - left + 1));
    for (int x = left; x <= right; ++x)
        columnWeights[std::size_t(x - left)] = std::exp(scale * (x - centre.x) * (x - centre.x));
    WindowSums sums;
    for (int y = top; y <= bottom; ++y) {
        const float* row = patch.ptr<float>(y);
        const double dy = y - centre.y;
        const double rowWeight = std::exp(scale * dy * dy);
        for (int x = left; x <= right; ++x) {
            const double dx = x - centre.x;
            const double r2 = dx * dx + dy * dy;
            if (r2 > reach * reach)
                continue;
            const double light =
                rowWeight * columnWeights[std::size_t(x - left)] * (row[x] - sky.at(x - middle, y - middle));
            sums.light += light;
            sums.x += light * dx;
            sums.y += light * dy;
            sums.r2 += light * r2;
        }
    }
    return sums;
}

// One step towards the windowed centre. The factor 2 makes it land on a
// Gaussian star of the window's width at once; for any other width the
// remaining offset still shrinks at each step.
cv::Point2d centreStep(const WindowSums& sums)
{
    return {2.0 * sums.x / sums.light, 2.0 * sums.y / sums.light};
}

// Whether each position has no other within the isolation distance of
// either's window; positions are swept in order of x, so only those within
// the largest such distance along x are compared.
std::vector<bool> isolated(const std::vector<cv::Point2f>& positions, const std::vector<float>& windowSigmas)
{
    std::vector<std::size_t> byX(positions.size());
    for (std::size_t i = 0; i < byX.size(); ++i)
        byX[i] = i;
    std::sort(byX.begin(), byX.end(), [&](std::size_t a, std::size_t b) { return positions[a].x < positions[b].x; });
    const double reach = kIsolationSigmas * *std::max_element(windowSigmas.begin(), windowSigmas.end());
    std::vector<bool> alone(positions.size(), true);
    for (std::size_t i = 0; i < byX.size(); ++i) {
        const std::size_t a = byX[i];
        for (std::size_t j = i + 1; j < byX.size() && positions[byX[j]].x - positions[a].x < reach; ++j) {
            const std::size_t b = byX[j];
            if (cv::norm(positions[b] - positions[a]) < kIsolationSigmas * std::max(windowSigmas[a], windowSigmas[b])) {
                alone[a] = false;
                alone[b] = false;
            }
        }
    }
    return alone;
}

}  // namespace

std::optional<float> gaussianProfileSigma(const cv::Mat& grey, cv::Point2f star)
{
    const cv::Point2d start(star);
    cv::Point2d centre = start;
    double sigma = kFirstSigma;
    for (int step = 0; step < kMaxSteps; ++step) {
        // Taken afresh at each step: the window grows or shrinks with the profile.
        const auto patch = patchAround(grey, centre, sigma);
        if (!patch)
            return std::nullopt;
        const WindowSums sums = windowSums(*patch, centre, sigma);
        if (!(sums.light > 0.0))
            return std::nullopt;
        centre += centreStep(sums);
        // For a Gaussian star of deviation s seen through a window of
        // deviation w, the windowed second moment per axis is s^2 w^2 / (s^2 + w^2).
        const double moment = sums.r2 / (2.0 * sums.light);
        const double window2 = sigma * sigma;
        if (!(moment > 0.0) || moment >= window2)
            return std::nullopt;
        const double next = std::sqrt(moment * window2 / (window2 - moment));
        if (next < kNarrowestSigma || next > kWidestSigma || cv::norm(centre - start) > next)
            return std::nullopt;
        const bool settled = std::abs(next - sigma) < kSettledWidth * sigma;
        sigma = next;
        if (settled)
            return float(sigma);
    }
    return std::nullopt;
}

std::optional<float> medianProfileSigma(const cv::Mat& grey, const std::vector<cv::Point2f>& stars)
{
    std::vector<float> sigmas;
    for (const cv::Point2f& star : stars)
        if (const auto sigma = gaussianProfileSigma(grey, star))
            sigmas.push_back(*sigma);
    if (sigmas.empty())
        return std::nullopt;
    return median(sigmas);
}

bool refineWindowedCentroid(const cv::Mat& grey, cv::Point2f& position, float windowSigma)
{
    const cv::Point2d start(position);
    // Wide enough for every centre the window may move to.
    const auto patch = patchAround(grey, start, windowSigma * (1.0 + 1.0 / kWindowReach));
    if (!patch)
        return false;
    cv::Point2d centre = start;
    for (int step = 0; step < kMaxSteps; ++step) {
        const WindowSums sums = windowSums(*patch, centre, windowSigma);
        if (!(sums.light > 0.0))
            return false;
        const cv::Point2d move = centreStep(sums);
        centre += move;
        if (cv::norm(centre - start) > windowSigma)
            return false;
        if (cv::norm(move) < kSettledStep)
            break;
    }
    position = cv::Point2f(centre);
    return true;
}

void refineIsolatedCentroids(const cv::Mat& grey, std::vector<cv::Point2f>& positions,
                             const std::vector<float>& windowSigmas)
{
    if (positions.empty())
        return;
    std::vector<float> windows;
    for (const float sigma : windowSigmas)
        windows.push_back(std::max(sigma, kNarrowestWindow));
    const std::vector<bool> alone = isolated(positions, windows);
    for (std::size_t i = 0; i < positions.size(); ++i)
        if (alone[i])
            refineWindowedCentroid(grey, positions[i], windows[i]);
}
