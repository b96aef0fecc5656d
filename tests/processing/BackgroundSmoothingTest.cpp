#include <gtest/gtest.h>

#include <cmath>

#include "processing/BackgroundExtractor.h"

namespace {

// A bowl on an 11 x 11 grid over a 101 x 101 image: 50 + 80 ((x - 0.5)^2 +
// (y - 0.5)^2) in normalised coordinates, that is 90 - 80 x - 80 y + 80 x^2 +
// 80 y^2.
std::vector<BackgroundSample> bowl()
{
    std::vector<BackgroundSample> samples;
    for (int y = 0; y <= 100; y += 10)
        for (int x = 0; x <= 100; x += 10) {
            const double u = x / 100.0 - 0.5, v = y / 100.0 - 0.5;
            samples.push_back({float(x), float(y), float(50.0 + 80.0 * (u * u + v * v))});
        }
    return samples;
}

std::vector<double> fitted(int degree, float smoothness, const std::vector<BackgroundSample>& samples)
{
    BackgroundExtractorParams params;
    params.setPolyDegree(degree);
    params.setSmoothness(smoothness);
    return fitBackgroundModel(params, samples, 101, 101);
}

double bend(const std::vector<double>& c) { return std::sqrt(c[3] * c[3] + c[4] * c[4] + c[5] * c[5]); }

}  // namespace

TEST(BackgroundSmoothing, ZeroIsPlainLeastSquaresAndMoreFlattensTheBendSteadily)
{
    const auto samples = bowl();
    const std::vector<double> exact{90, -80, -80, 80, 0, 80};
    const std::vector<double> plain = fitted(2, 0.0f, samples);
    for (std::size_t t = 0; t < exact.size(); ++t)
        EXPECT_NEAR(plain[t], exact[t], 1e-6) << t;

    double previous = bend(plain);
    for (float smoothness : {0.25f, 0.5f, 0.75f, 1.0f}) {
        const std::vector<double> c = fitted(2, smoothness, samples);
        EXPECT_LT(bend(c), previous) << smoothness;
        previous = bend(c);
        // The plane is never penalised, so the model still averages to the samples' mean, 50 + 80 (0.1 + 0.1):
        // over the grid u^2 averages 1.1 / 11, x and y 0.5, x^2 and y^2 0.35 and xy 0.25.
        const double modelMean = c[0] + 0.5 * (c[1] + c[2]) + 0.35 * (c[3] + c[5]) + 0.25 * c[4];
        EXPECT_NEAR(modelMean, 66.0, 1e-6) << smoothness;
    }
    EXPECT_LT(previous, 0.02 * bend(plain));  // all but flat at 1

    // A plane has nothing to smooth.
    const std::vector<double> stiff = fitted(1, 0.0f, samples), smoothed = fitted(1, 1.0f, samples);
    for (std::size_t t = 0; t < 3; ++t)
        EXPECT_NEAR(stiff[t], smoothed[t], 1e-9) << t;
}
