#include "MoffatProfile.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Brightness (ADU) where a star's wing is cut off: far below read noise and
// the 8-bit step.
constexpr double kEdgeLevel = 0.05;
// Bounds of the cut-off radius, in FWHM: the lower keeps the cut-off wing to
// about a percent of the flux for the default beta, the upper bounds the
// work for the brightest stars.
constexpr double kMinRadiusFwhm = 3.0;
constexpr double kMaxRadiusFwhm = 12.0;
// Pixels with their centre within this many FWHM (and at least this many
// pixels) of the star are sampled on a grid of kSubsamples x kSubsamples
// points; beyond, the profile bends too little over a pixel for the grid to
// matter. The floor serves stars only a pixel or two wide.
constexpr double kFineRadiusFwhm = 2.0;
constexpr double kFineRadiusPixels = 5.0;
constexpr int kSubsamples = 5;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

MoffatProfile::MoffatProfile(double fwhm, double beta) : fwhm_(fwhm), beta_(beta)
{
    if (!(fwhm > 0) || !(beta > 1))
        throw std::invalid_argument("A Moffat profile needs fwhm > 0 and beta > 1");
    alpha_ = fwhm / (2.0 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1.0));
    inverseAlpha2_ = 1.0 / (alpha_ * alpha_);
}

double MoffatProfile::shape(double r2) const
{
    return std::pow(1.0 + r2 * inverseAlpha2_, -beta_);
}

MoffatProfile::Cut MoffatProfile::cutFor(double flux) const
{
    // Solve peak * shape(r^2) = kEdgeLevel for r, with the peak of the uncut profile.
    const double peak = flux * (beta_ - 1.0) / (kPi * alpha_ * alpha_);
    const double base = std::pow(std::max(peak / kEdgeLevel, 1.0), 1.0 / beta_);
    const double radius = std::clamp(alpha_ * std::sqrt(base - 1.0), kMinRadiusFwhm * fwhm_, maxRadius());
    return {radius, shape(radius * radius)};
}

double MoffatProfile::maxRadius() const { return kMaxRadiusFwhm * fwhm_; }

double MoffatProfile::peakFor(double flux, const Cut& cut) const
{
    // The integral of shape() - edge over the disc of the cut's radius.
    const double r2 = cut.radius * cut.radius;
    const double disc = kPi * alpha_ * alpha_ / (beta_ - 1.0) * (1.0 - std::pow(1.0 + r2 * inverseAlpha2_, 1.0 - beta_));
    return flux / (disc - kPi * r2 * cut.edge);
}

double MoffatProfile::pixelMean(double dx, double dy, const Cut& cut) const
{
    const double r2 = dx * dx + dy * dy;
    const double fine = std::max(kFineRadiusFwhm * fwhm_, kFineRadiusPixels);
    if (r2 < fine * fine)
        return fineMean(dx, dy, cut);
    return std::max(shape(r2) - cut.edge, 0.0);
}

double MoffatProfile::fineMean(double dx, double dy, const Cut& cut) const
{
    const double step = 1.0 / kSubsamples;
    const double first = -0.5 + step / 2;
    double sum = 0.0;
    for (int j = 0; j < kSubsamples; ++j) {
        const double y = dy + first + j * step;
        for (int i = 0; i < kSubsamples; ++i) {
            const double x = dx + first + i * step;
            sum += std::max(shape(x * x + y * y) - cut.edge, 0.0);
        }
    }
    return sum / (kSubsamples * kSubsamples);
}
