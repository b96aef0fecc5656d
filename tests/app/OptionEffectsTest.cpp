#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "SkySimulator.h"
#include "image/ImageFile.h"
#include "support/TestSupport.h"

// Each option changes what a run does, seen through the real binary.

namespace {

cv::Point brightest(const ImageBuffer<float>& image)
{
    const auto peak = std::max_element(image.data(), image.data() + image.size());
    const int index = int(peak - image.data());
    return {index % image.width(), index / image.width()};
}

class OptionEffects : public ::testing::Test {
protected:
    int run(std::vector<std::string> args)
    {
        args.insert(args.end() - 1, {"-o", output, "-e", state});
        return runPelorum(args).exitCode;
    }
    int frameCount() { return std::stoi(readFile(state + ".meta")); }
    std::string frame(const std::string& name, const ByteImagePtr& image)
    {
        saveImage(dir.file(name), image);
        return dir.file(name);
    }

    TempDir dir;
    std::string state = dir.file("state.fits");
    std::string output = dir.file("out.fits");
};

}  // namespace

TEST_F(OptionEffects, QualityThresholdDecidesWhetherALowerContrastFrameIsStacked)
{
    const ByteImagePtr sharp = withStars(checkerFrame(64, 48, 1, 90, 110));
    const std::string clear = frame("clear.fits", sharp);
    const std::string hazy = frame("hazy.fits", indexedFrame(64, 48, 1, [&](std::size_t i) {
                                       return int(std::lround(100 + 0.8 * (sharp->data()[i] - 100)));  // 80 % of the spread
                                   }));
    ASSERT_EQ(run({clear}), 0);
    ASSERT_EQ(run({"-q", "0.95", hazy}), 0);
    EXPECT_EQ(frameCount(), 1);
    ASSERT_EQ(run({hazy}), 0);  // the default threshold is 0.7
    EXPECT_EQ(frameCount(), 2);
}

TEST_F(OptionEffects, BackgroundModelOptionsReplaceTheAdjustmentsOwnChoice)
{
    // A sky that bends across the frame, with some texture: a plane cannot follow it, a quartic can.
    const std::string bent = frame("bent.fits", indexedFrame(96, 64, 1, [](std::size_t i) {
        return 40 + int(150 * std::pow(double(i % 96) / 95.0, 2)) + int(i * 7919 % 13);
    }));

    const ProcessResult plane = runPelorum({"-v", "-b", "15", "-P", "1", "-G", "40", "-T", "0.3", "-S", "0.25", "-o",
                                            dir.file("plane.fits"), "-e", dir.file("a.fits"), bent});
    ASSERT_EQ(plane.exitCode, 0);
    for (const std::string used : {"  Polynomial degree: 1", "  Grid size: 40", "  Protection threshold: 0.300000",
                                   "  Smoothness factor: 0.250000"})
        EXPECT_TRUE(logged(plane.out, "[INFO] ", used)) << used;

    ASSERT_EQ(runPelorum({"-b", "15", "-P", "4", "-o", dir.file("quartic.fits"), "-e", dir.file("b.fits"), bent})
                  .exitCode,
              0);
    EXPECT_NE(readFile(dir.file("plane.fits")), readFile(dir.file("quartic.fits")));
}

TEST_F(OptionEffects, DiagnosticModeWritesTheIntermediateImagesUnderItsPrefix)
{
    const std::string prefix = dir.file("night1_");
    ASSERT_EQ(run({"-i", prefix, "-D", "2", frame("f.fits", withStars(checkerFrame(64, 48, 1, 90, 110)))}), 0);
    for (const std::string name : {"1.jpg", "nebulosity_detection.jpg", "denoised.jpg"})
        EXPECT_TRUE(fileExists(prefix + name)) << name;
}

TEST_F(OptionEffects, ReferenceFrameGivesANewStackItsGeometry)
{
    SkySimSettings settings;
    std::tie(settings.width, settings.height, settings.channels, settings.frames, settings.seed) =
        std::make_tuple(320, 240, 1, 2, 7);
    settings.motion.driftX = 3.0;
    settings.motion.driftY = -2.0;
    const SkySimulator sky(settings);
    // The reference sees the sky of frame 1 with a 40 x 30 pixel margin.
    const ByteImagePtr first = sky.exposure(1);
    auto wide = std::make_shared<ByteImage>(400, 300, 1);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            wide->setPixel(x + 40, y + 30, first->getPixel(x, y));
    const std::string reference = frame("reference.fits", wide);
    const std::string second = frame("second.fits", sky.exposure(2));

    ASSERT_EQ(run({"-r", reference, second}), 0);
    const auto stack = loadFloatImage(state);
    ASSERT_EQ(stack->width(), 400);
    ASSERT_EQ(stack->height(), 300);
    const cv::Point star = brightest(*stack);
    const cv::Point expected = brightest(*toFloat(*wide));
    EXPECT_LE(std::hypot(star.x - expected.x, star.y - expected.y), 2.0);

    const ProcessResult ignored = runPelorum({"-v", "-r", dir.file("none.fits"), "-o", output, "-e", state, second});
    ASSERT_EQ(ignored.exitCode, 0);
    EXPECT_TRUE(logged(ignored.out, "[INFO] ",
                       "Reference frame " + dir.file("none.fits") + " ignored: the stack already has its reference"));
    EXPECT_EQ(frameCount(), 2);

    const std::string fresh = dir.file("fresh.fits");
    const ProcessResult unreadable = runPelorum({"-r", dir.file("none.fits"), "-o", output, "-e", fresh, second});
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_NE(unreadable.out.find("Error: Failed to load reference frame: Could not open FITS file: " +
                                  dir.file("none.fits")),
              std::string::npos);
    EXPECT_FALSE(fileExists(fresh));
}

TEST_F(OptionEffects, ResetStartsANewStackAndKeepsEveryEarlierOneAsABackup)
{
    const std::string f = frame("f.fits", withStars(checkerFrame(64, 48, 1, 90, 110)));
    ASSERT_EQ(run({f}), 0);
    ASSERT_EQ(run({f}), 0);
    const std::string twoFrames = readFile(state);

    const ProcessResult reset = runPelorum({"-v", "-x", "-o", output, "-e", state, f});
    ASSERT_EQ(reset.exitCode, 0);
    EXPECT_EQ(frameCount(), 1);
    const std::string firstBackup = dir.file("state.backup-1.fits");
    EXPECT_EQ(readFile(firstBackup), twoFrames);
    EXPECT_EQ(readFile(firstBackup + ".meta").substr(0, 2), "2\n");
    EXPECT_TRUE(logged(reset.out, "[INFO] ", "Kept the previous stack as " + firstBackup));

    ASSERT_EQ(run({"-x", f}), 0);
    EXPECT_EQ(readFile(firstBackup + ".meta").substr(0, 2), "2\n");  // never overwritten
    EXPECT_EQ(readFile(dir.file("state.backup-2.fits.meta")).substr(0, 2), "1\n");
}

TEST_F(OptionEffects, UnwritableSidecarFailsTheRunAndLeavesAMatchingPair)
{
    namespace fs = std::filesystem;
    const std::string meta = state + ".meta";
    const std::string a = frame("a.fits", withStars(checkerFrame(64, 48, 1, 90, 110)));
    const std::string b = frame("b.fits", withStars(checkerFrame(64, 48, 1, 100, 120)));

    // On a fresh stack no image may stay without its sidecar.
    fs::create_directory(meta);
    const ProcessResult fresh = runPelorum({"-o", output, "-e", state, a});
    EXPECT_EQ(fresh.exitCode, 1);
    EXPECT_FALSE(fileExists(state));
    fs::remove(meta);

    ASSERT_EQ(run({a}), 0);
    ASSERT_EQ(run({b}), 0);
    const std::string twoFrames = readFile(state);
    fs::rename(meta, dir.file("kept.meta"));
    fs::create_directory(meta);
    const ProcessResult failed = runPelorum({"-o", output, "-e", state, b});
    EXPECT_EQ(failed.exitCode, 1);
    const auto errors = logMessages(failed.out, "[ERRO] ");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().rfind("Error: Failed to save state: ", 0), 0u) << errors.back();
    EXPECT_NE(errors.back().find(meta), std::string::npos) << errors.back();
    EXPECT_EQ(readFile(state), twoFrames);

    fs::remove(meta);
    fs::rename(dir.file("kept.meta"), meta);
    ASSERT_EQ(run({b}), 0);
    EXPECT_EQ(frameCount(), 3);
    EXPECT_FLOAT_EQ(loadFloatImage(state)->getPixel(0, 0), (90.0f + 100.0f + 100.0f) / 3.0f);
    // No temporaries: the frames, the output, the state pair, its lock, frame record and reference stars.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 8);
}
