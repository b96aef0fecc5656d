#include "RegistrationLimit.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "BenchStatistics.h"
#include "CornerError.h"
#include "SkyBackground.h"

namespace {

// Stars below this signal-to-noise are not found, so they pair with nothing.
constexpr double kFoundSignalToNoise = 5.0;
// A star's light is followed this far from its centre; beyond, the profile
// carries no measurable position.
constexpr int kStarReach = 7;
// The share of each channel (R, G, B) in OpenCV's grey.
constexpr double kGreyWeights[3] = {0.299, 0.587, 0.114};
constexpr double kEightBitFull = 255.0;
// Variance of rounding to whole 8-bit levels.
constexpr double kStepVariance = 1.0 / 12.0;
// Step for the numerical derivative of a pixel's light along x, in pixels.
constexpr double kDerivativeStep = 0.01;

struct TrueStar {
    std::size_t index;      // in the simulator's star field
    cv::Point2d reference;  // position in frame 1
    cv::Point2d frame;      // position in the frame
    double referenceSigma;  // least centroid deviation per axis, frame 1
    double frameSigma;      // and in the frame
};

// The least per-axis centroid deviation of a star at a frame position, or
// none when it would not be found.
std::optional<double> centroidLimit(const SkySimulator& sky, const SkyBackground& background, const Star& star,
                                    cv::Point2d position, const cv::Matx33d& toReference)
{
    const SkySimSettings& settings = sky.settings();
    const MoffatProfile& profile = sky.model().profile();
    const MoffatProfile::Cut cut = profile.cutFor(star.flux);
    const double peak = profile.peakFor(star.flux, cut);
    const cv::Vec3d onSky = toReference * cv::Vec3d(position.x, position.y, 1.0);
    const ChannelLevels skyLevels = background.at({onSky[0], onSky[1]}, 3);
    double information = 0.0;
    double signalToNoise2 = 0.0;
    for (int j = -kStarReach; j <= kStarReach; ++j)
        for (int i = -kStarReach; i <= kStarReach; ++i) {
            const double dx = std::floor(position.x) + i - position.x;
            const double dy = std::floor(position.y) + j - position.y;
            const double light = peak * profile.pixelMean(dx, dy, cut);
            const double slope = peak *
                                 (profile.pixelMean(dx - kDerivativeStep, dy, cut) -
                                  profile.pixelMean(dx + kDerivativeStep, dy, cut)) /
                                 (2.0 * kDerivativeStep);
            double variance = 0.0, grey = 0.0, greySlope = 0.0;
            bool saturated = false;
            for (int c = 0; c < 3; ++c) {
                const double w = kGreyWeights[c];
                const double level = light * star.colour[c];
                variance += w * w * (settings.noise.readNoise * settings.noise.readNoise +
                                     settings.noise.gain * (skyLevels[c] + level) + kStepVariance);
                grey += w * level;
                greySlope += w * slope * star.colour[c];
                saturated = saturated || skyLevels[c] + level >= kEightBitFull;
            }
            if (!saturated)
                information += greySlope * greySlope / variance;
            signalToNoise2 += grey * grey / variance;
        }
    if (std::sqrt(signalToNoise2) < kFoundSignalToNoise || !(information > 0.0))
        return std::nullopt;
    return 1.0 / std::sqrt(information);
}

bool insideFrame(cv::Point2d p, const SkySimSettings& s)
{
    return p.x >= kStarReach && p.y >= kStarReach && p.x < s.width - kStarReach && p.y < s.height - kStarReach;
}

cv::Point2d apply(const cv::Matx33d& m, cv::Point2d p)
{
    const cv::Vec3d v = m * cv::Vec3d(p.x, p.y, 1.0);
    return {v[0] / v[2], v[1] / v[2]};
}

// Where each star of the field lies in frame k, and the least deviation of
// its centroid there; none for stars outside the frame or not found.
struct StarInFrame {
    cv::Point2d position;
    std::optional<double> sigma;
};

std::vector<StarInFrame> starsInFrame(const SkySimulator& sky, int k)
{
    const SkySimSettings& s = sky.settings();
    const SkyBackground background(s.background, s.width, s.height, {});
    std::vector<StarInFrame> stars;
    for (const Star& star : sky.model().stars()) {
        const cv::Point2d position = apply(sky.transform(k).inv(), star.position);
        stars.push_back({position, insideFrame(position, s) ? centroidLimit(sky, background, star, position,
                                                                            sky.transform(k))
                                                            : std::nullopt});
    }
    return stars;
}

// The stars found in both frame 1 and frame k.
std::vector<TrueStar> pairedStars(const std::vector<StarInFrame>& reference, const std::vector<StarInFrame>& frame)
{
    std::vector<TrueStar> pairs;
    for (std::size_t index = 0; index < reference.size(); ++index)
        if (reference[index].sigma && frame[index].sigma)
            pairs.push_back({index, reference[index].position, frame[index].position, *reference[index].sigma,
                             *frame[index].sigma});
    return pairs;
}

// The similarity taking frame points to reference points, weighted by the
// inverse variance of each pair: x' = a x - b y + tx, y' = b x + a y + ty.
cv::Mat weightedSimilarity(const std::vector<cv::Point2d>& frame, const std::vector<cv::Point2d>& reference,
                           const std::vector<double>& weights)
{
    cv::Matx44d normal = cv::Matx44d::zeros();
    cv::Vec4d right(0, 0, 0, 0);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const cv::Vec4d rowX(frame[i].x, -frame[i].y, 1.0, 0.0);
        const cv::Vec4d rowY(frame[i].y, frame[i].x, 0.0, 1.0);
        normal += (rowX * rowX.t() + rowY * rowY.t()) * weights[i];
        right += (rowX * reference[i].x + rowY * reference[i].y) * weights[i];
    }
    cv::Vec4d p;
    cv::solve(normal, right, p, cv::DECOMP_CHOLESKY);
    return (cv::Mat_<double>(3, 3) << p[0], -p[1], p[2], p[1], p[0], p[3], 0, 0, 1);
}

// The similarity, mirrored when the true transform mirrors: the frame's
// points are mirrored first and the mirror composed into the result.
cv::Mat fittedTransform(std::vector<cv::Point2d> frame, const std::vector<cv::Point2d>& reference,
                        const std::vector<double>& weights, const cv::Matx33d& truth)
{
    if (truth(0, 0) * truth(1, 1) - truth(0, 1) * truth(1, 0) > 0.0)
        return weightedSimilarity(frame, reference, weights);
    for (cv::Point2d& point : frame)
        point.x = -point.x;
    const cv::Mat mirror = (cv::Mat_<double>(3, 3) << -1, 0, 0, 0, 1, 0, 0, 0, 1);
    return weightedSimilarity(frame, reference, weights) * mirror;
}

}  // namespace

CornerErrorLimit cornerErrorLimit(const SkySimulator& sky, int frames, int trials)
{
    const SkySimSettings& s = sky.settings();
    const std::vector<StarInFrame> reference = starsInFrame(sky, 1);
    std::vector<std::vector<TrueStar>> pairs;
    for (int k = 2; k <= frames; ++k)
        pairs.push_back(pairedStars(reference, starsInFrame(sky, k)));
    std::mt19937 random(7);
    std::normal_distribution<double> unit(0.0, 1.0);
    CornerErrorLimit limit;
    for (int trial = 0; trial < trials; ++trial) {
        // Frame 1's noise, one draw per star of the field, shared by every frame.
        std::vector<cv::Point2d> referenceNoise(sky.model().stars().size());
        for (cv::Point2d& noise : referenceNoise)
            noise = {unit(random), unit(random)};
        std::vector<double> errors;
        for (int k = 2; k <= frames; ++k) {
            std::vector<cv::Point2d> frame, reference;
            std::vector<double> weights;
            for (const TrueStar& star : pairs[std::size_t(k - 2)]) {
                reference.push_back(star.reference + referenceNoise[star.index] * star.referenceSigma);
                frame.push_back(star.frame + cv::Point2d(unit(random), unit(random)) * star.frameSigma);
                weights.push_back(1.0 / (star.referenceSigma * star.referenceSigma + star.frameSigma * star.frameSigma));
            }
            if (frame.size() < 2)
                continue;
            const cv::Matx33d truth = sky.transform(1).inv() * sky.transform(k);
            errors.push_back(worstCornerError(fittedTransform(frame, reference, weights, truth), truth, s.width, s.height));
        }
        limit.median += median(errors) / trials;
        limit.worst += largest(errors) / trials;
    }
    return limit;
}
