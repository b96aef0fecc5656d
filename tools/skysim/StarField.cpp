#include "StarField.h"

#include <cmath>
#include <random>

#include "Random.h"

namespace {

// The brightest star is this many times the faintest: bright enough to
// saturate, without a power law's rare star that floods the frame.
constexpr double kFluxRange = 1000.0;
// Largest departure of the red and blue factors from 1: stars look tinted,
// not coloured.
constexpr double kColourSpread = 0.25;

// Inverse of the truncated power law's distribution: u in [0, 1) maps to a
// flux in [faintest, faintest * kFluxRange).
double powerLawFlux(double u, double faintest, double slope)
{
    const double tail = std::pow(kFluxRange, -slope);
    return faintest * std::pow(1.0 - u * (1.0 - tail), -1.0 / slope);
}

ChannelTint starColour(double index)
{
    return {1.0 + kColourSpread * index, 1.0, 1.0 - kColourSpread * index};
}

}  // namespace

std::vector<Star> randomStarField(const StarFieldSettings& settings, const FieldBounds& bounds, double frameArea,
                                  std::uint64_t seed)
{
    SplitMix64 random(streamSeed(seed, RandomStream::Stars));
    std::uniform_real_distribution<double> x(bounds.left, bounds.right);
    std::uniform_real_distribution<double> y(bounds.top, bounds.bottom);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_real_distribution<double> colourIndex(-1.0, 1.0);
    const auto count = std::size_t(std::llround(settings.starsPerFrame * bounds.area() / frameArea));
    std::vector<Star> stars(count);
    for (Star& star : stars) {
        // Drawn in separate statements: C++ leaves the order of argument evaluation open.
        const double px = x(random);
        const double py = y(random);
        star.position = cv::Point2d(px, py);
        star.flux = powerLawFlux(unit(random), settings.faintestFlux, settings.fluxSlope);
        star.colour = starColour(colourIndex(random));
    }
    return stars;
}
