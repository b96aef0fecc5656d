#include "SkyBackground.h"

#include <cmath>
#include <random>

#include "Random.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// Blobs around the main one, and how far from it they lie, in units of its size.
constexpr int kSideBlobs = 4;
constexpr double kSideBlobSpread = 0.8;
// Beyond q = 40 a Gaussian is below 2e-9 of its peak; skipping it saves the exp().
constexpr double kNegligibleForm = 40.0;

NebulaBlob sideBlob(const NebulaBlob& main, SplitMix64& random)
{
    std::normal_distribution<double> offset(0.0, kSideBlobSpread * main.sigmaLong);
    std::uniform_real_distribution<double> fraction(0.3, 0.8);
    std::uniform_real_distribution<double> elongation(0.3, 1.0);
    std::uniform_real_distribution<double> angle(0.0, 180.0);
    NebulaBlob blob;
    const double dx = offset(random);
    const double dy = offset(random);
    blob.centre = main.centre + cv::Point2d(dx, dy);
    blob.sigmaLong = main.sigmaLong * fraction(random);
    blob.sigmaShort = blob.sigmaLong * elongation(random);
    blob.angle = angle(random);
    blob.amplitude = main.amplitude * fraction(random);
    return blob;
}

}  // namespace

std::vector<NebulaBlob> randomNebula(const BackgroundSettings& settings, int width, int height, std::uint64_t seed)
{
    if (settings.nebula <= 0)
        return {};
    SplitMix64 random(streamSeed(seed, RandomStream::Nebula));
    std::uniform_real_distribution<double> x(0.25 * width, 0.75 * width);
    std::uniform_real_distribution<double> y(0.25 * height, 0.75 * height);
    std::uniform_real_distribution<double> elongation(0.4, 0.9);
    std::uniform_real_distribution<double> angle(0.0, 180.0);
    NebulaBlob main;
    const double cx = x(random);
    const double cy = y(random);
    main.centre = cv::Point2d(cx, cy);
    main.sigmaLong = settings.nebulaSize;
    main.sigmaShort = settings.nebulaSize * elongation(random);
    main.angle = angle(random);
    main.amplitude = settings.nebula;
    std::vector<NebulaBlob> blobs{main};
    for (int i = 0; i < kSideBlobs; ++i)
        blobs.push_back(sideBlob(main, random));
    return blobs;
}

SkyBackground::SkyBackground(const BackgroundSettings& settings, int width, int height,
                             const std::vector<NebulaBlob>& nebula)
    : settings_(settings), centre_((width - 1) / 2.0, (height - 1) / 2.0)
{
    const double radians = settings.gradientAngle * kPi / 180.0;
    const cv::Vec2d direction(std::cos(radians), std::sin(radians));
    // The frame's extent along the direction: the distance between the
    // centres of its lowest and highest corners.
    const double extent = (width - 1) * std::abs(direction[0]) + (height - 1) * std::abs(direction[1]);
    gradientPerPixel_ = extent > 0 ? direction * (settings.gradient / extent) : cv::Vec2d(0, 0);
    for (const NebulaBlob& blob : nebula) {
        const double t = blob.angle * kPi / 180.0;
        const double cos = std::cos(t), sin = std::sin(t);
        const double inverseLong = 1.0 / (blob.sigmaLong * blob.sigmaLong);
        const double inverseShort = 1.0 / (blob.sigmaShort * blob.sigmaShort);
        nebula_.push_back({blob.centre, cos * cos * inverseLong + sin * sin * inverseShort,
                           cos * sin * (inverseLong - inverseShort), sin * sin * inverseLong + cos * cos * inverseShort,
                           blob.amplitude});
    }
}

ChannelLevels SkyBackground::at(cv::Point2d reference, int channels) const
{
    const cv::Point2d offset = reference - centre_;
    const double gradient = gradientPerPixel_[0] * offset.x + gradientPerPixel_[1] * offset.y;
    const double nebula = nebulaAt(reference);
    if (channels == 1)
        return {settings_.sky + gradient + nebula, 0.0, 0.0};
    ChannelLevels levels;
    for (std::size_t c = 0; c < levels.size(); ++c)
        levels[c] = settings_.sky * settings_.skyTint[c] + gradient * settings_.gradientTint[c] +
                    nebula * settings_.nebulaTint[c];
    return levels;
}

double SkyBackground::nebulaAt(cv::Point2d reference) const
{
    double sum = 0.0;
    for (const Gaussian& g : nebula_) {
        const double dx = reference.x - g.centre.x;
        const double dy = reference.y - g.centre.y;
        const double q = g.a * dx * dx + 2.0 * g.b * dx * dy + g.c * dy * dy;
        if (q < kNegligibleForm)
            sum += g.amplitude * std::exp(-0.5 * q);
    }
    return sum;
}
