#pragma once

// A star's light spread as a Moffat profile, (1 + r^2 / alpha^2)^-beta, with
// alpha set by the full width at half maximum.
//
// Each star is drawn out to a radius that grows with its flux. The profile
// is lowered by its value at that radius, so it falls to 0 there without a
// step (a step would shift the centre of light by how the pixel grid cuts
// the disc), and scaled so that the flux within the radius is the star's
// whole flux.
class MoffatProfile {
public:
    // Where, and at what level of shape(), a star is cut off.
    struct Cut {
        double radius = 0.0;
        double edge = 0.0;
    };

    // Throws std::invalid_argument unless fwhm > 0 and beta > 1.
    MoffatProfile(double fwhm, double beta);

    // The profile with a peak of 1 at squared distance r2, not cut off.
    double shape(double r2) const;

    // A star of this flux is cut off where it falls to a faint level, within
    // a few widths at the least and a dozen at the most.
    Cut cutFor(double flux) const;
    // The largest radius cutFor() gives, for the brightest star.
    double maxRadius() const;

    // Factor turning pixelMean() into brightness for a star of this flux.
    double peakFor(double flux, const Cut& cut) const;

    // Mean of the cut-off shape over the pixel whose centre is (dx, dy) from
    // the star. Pixels near the core are sampled on a fine grid, which keeps
    // positions within a thousandth of a pixel and fluxes within a fraction
    // of a percent; wing pixels, where the profile is nearly flat, are
    // sampled at their centre.
    double pixelMean(double dx, double dy, const Cut& cut) const;

private:
    double fineMean(double dx, double dy, const Cut& cut) const;

    double fwhm_;
    double beta_;
    double alpha_;
    double inverseAlpha2_;
};
