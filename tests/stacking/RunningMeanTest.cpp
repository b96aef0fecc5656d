#include <gtest/gtest.h>

#include <cmath>

#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "support/TestSupport.h"

namespace {

constexpr int kSide = 64;
constexpr double kTrueLevel = 100.0;
// Uniform noise over 100 +- 17: a standard deviation of sqrt((35^2 - 1) / 12) = 10.1.
constexpr double kNoise = 10.1;

// Mean of the samples, and their root mean square distance from the true level.
std::pair<double, double> meanAndNoise(const ImageBuffer<float>& image)
{
    double sum = 0.0, squares = 0.0;
    for (std::size_t i = 0; i < image.size(); ++i) {
        sum += image.data()[i];
        squares += (image.data()[i] - kTrueLevel) * (image.data()[i] - kTrueLevel);
    }
    return {sum / double(image.size()), std::sqrt(squares / double(image.size()))};
}

// The stack after `frames` runs, each as the program does one: load the state, add, save.
std::shared_ptr<const ImageBuffer<float>> stackAfter(const TempDir& dir, const std::string& state, int frames,
                                                     std::vector<double>* noiseAt = nullptr)
{
    Stacker reader;
    for (int i = 1; i <= frames; ++i) {
        saveImage(dir.file("frame.fits"), noiseFrame(kSide, kSide, 1, 100, 17, unsigned(i)));
        Stacker stacker;
        // Pure noise has nothing to register on; any transform found in it would
        // only blur what these tests measure, the mean itself.
        stacker.setAlignment(false);
        stacker.loadState(state);
        EXPECT_TRUE(stacker.processFrame(dir.file("frame.fits"), dir.file("out.jpg")) && stacker.saveState(state));
        if (noiseAt && (i == 1 || i == 4 || i == 16 || i == 64) && reader.loadState(state) == StateLoad::Loaded)
            noiseAt->push_back(meanAndNoise(*reader.stackedFrame()).second);
    }
    EXPECT_EQ(reader.loadState(state), StateLoad::Loaded);
    EXPECT_EQ(reader.frameCount(), frames);
    return reader.stackedFrame();
}

}  // namespace

TEST(RunningMean, KeepsTheTrueMeanAndItsNoiseFallsAsOneOverRootN)
{
    TempDir dir;
    std::vector<double> noise;
    // The exact float mean over 100 x 4096 samples of noise 10 is off by
    // about 10 / sqrt(409600) = 0.016 at one sigma.
    EXPECT_NEAR(meanAndNoise(*stackAfter(dir, dir.file("state.fits"), 100, &noise)).first, kTrueLevel, 0.05);
    ASSERT_EQ(noise.size(), 4u);
    EXPECT_NEAR(noise[0], kNoise, 0.5);
    const int counts[] = {1, 4, 16, 64};
    for (int k = 1; k < 4; ++k)
        EXPECT_NEAR(noise[k] * std::sqrt(double(counts[k])) / noise[0], 1.0, 0.1) << counts[k] << " frames";

    // A JPEG state is rounded to 8 bits on every save; rounding is unbiased,
    // truncation would have drifted down by several units.
    EXPECT_NEAR(meanAndNoise(*stackAfter(dir, dir.file("state.jpg"), 100)).first, kTrueLevel, 0.5);
}
