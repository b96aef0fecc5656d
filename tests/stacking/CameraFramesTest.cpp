#include <gtest/gtest.h>

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

#include "CameraFits.h"
#include "image/BayerMosaic.h"
#include "image/FitsFile.h"
#include "image/ImageFile.h"
#include "stacking/CameraFrame.h"
#include "support/TestSupport.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr float kSky = 1200.0f;

// A round star of the given peak above the sky at (x0, y0).
float star(int x, int y, float x0, float y0, float peak)
{
    return peak * std::exp(-((x - x0) * (x - x0) + (y - y0) * (y - y0)) / (2.0f * 1.5f * 1.5f));
}

// The sky at (x, y) in channel c: a red star, white ones to register by and
// uniform noise of +-20 ADU drawn from the seed.
float sceneAt(int x, int y, int c, std::mt19937& random)
{
    static const float white[][2] = {{44, 30}, {10, 8}, {55, 9}, {30, 40}, {12, 37}, {52, 42}, {36, 14}, {24, 28}};
    std::uniform_real_distribution<float> noise(-20.0f, 20.0f);
    float light = c == 0 ? star(x, y, 20, 20, 6000) : 0.0f;
    for (const auto& [x0, y0] : white)
        light += star(x, y, x0, y0, 6000);
    return kSky + light + noise(random);
}

ImageBuffer<unsigned short> rggbMosaic(unsigned seed)
{
    std::mt19937 random(seed);
    const BayerLayout rggb;
    ImageBuffer<unsigned short> mosaic(kWidth, kHeight, 1);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            mosaic.setPixel(x, y, static_cast<unsigned short>(sceneAt(x, y, rggb.colourAt(x, y), random)));
    return mosaic;
}

void relabelPattern(const std::string& path, const char* pattern, int offsetX)
{
    fitsfile* raw = nullptr;
    int status = 0;
    fits_open_diskfile(&raw, path.c_str(), READWRITE, &status);
    const std::unique_ptr<fitsfile, int (*)(fitsfile*)> file(raw, [](fitsfile* f) {
        int s = 0;
        return fits_close_file(f, &s);
    });
    fits_update_key(raw, TSTRING, "BAYERPAT", const_cast<char*>(pattern), nullptr, &status);
    fits_update_key(raw, TINT, "XBAYROFF", &offsetX, nullptr, &status);
    ASSERT_EQ(status, 0);
}

class CameraFrames : public ::testing::Test {
protected:
    // Runs pelorum on the frames in order onto `state`, writing the stack itself to stack.fits.
    void stack(const std::vector<std::string>& frames, const std::vector<std::string>& options = {})
    {
        for (const std::string& frame : frames) {
            std::vector<std::string> args = {"-o", dir.file("stack.fits"), "-e", state};
            args.insert(args.end(), options.begin(), options.end());
            args.push_back(frame);
            const ProcessResult r = runPelorum(args);
            ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        }
    }

    std::vector<std::string> bayerFrames(const std::string& prefix)
    {
        std::vector<std::string> frames;
        for (unsigned seed = 1; seed <= 3; ++seed) {
            frames.push_back(dir.file(prefix + std::to_string(seed) + ".fits"));
            writeCameraFits(frames.back(), rggbMosaic(seed), {10.0, "2026-01-01T21:00:00", true});
        }
        return frames;
    }

    // The last error line of a run expected to fail, with both state files checked unchanged.
    std::string refusal(const std::vector<std::string>& args)
    {
        const std::string before = fileExists(state) ? readFile(state) : "";
        const std::string metaBefore = fileExists(state + ".meta") ? readFile(state + ".meta") : "";
        const ProcessResult r = runPelorum(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(fileExists(state) ? readFile(state) : "", before);
        EXPECT_EQ(fileExists(state + ".meta") ? readFile(state + ".meta") : "", metaBefore);
        const auto errors = logMessages(r.out, "[ERRO] ");
        return errors.empty() ? "" : errors.back();
    }

    TempDir dir;
    std::string state = dir.file("state.fits");
};

float median(const FloatImage& image, int channel)
{
    std::vector<float> samples;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            samples.push_back(image.getPixel(x, y, channel));
    std::nth_element(samples.begin(), samples.begin() + std::ptrdiff_t(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

TEST_F(CameraFrames, BayerFramesStackInColourOnTheirOwnScaleWithTheirHeader)
{
    stack(bayerFrames("rggb"));
    const FloatImagePtr stacked = loadFloatImage(dir.file("stack.fits"));
    ASSERT_EQ(stacked->channels(), 3);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(median(*stacked, c), kSky, 5.0f) << c;  // the sky stays 1200 ADU
    const float red = stacked->getPixel(20, 20, 0) - kSky;
    EXPECT_GT(red, 3000.0f);
    EXPECT_LT(std::max(stacked->getPixel(20, 20, 1), stacked->getPixel(20, 20, 2)) - kSky, red / 10);
    for (int c = 0; c < 3; ++c)
        EXPECT_GT(stacked->getPixel(44, 30, c) - kSky, 3000.0f) << c;  // the white star is white

    const FitsKeywords header = readFitsKeywords(dir.file("stack.fits"));
    EXPECT_EQ(header.numbers.at("NCOMBINE"), 3.0);
    EXPECT_EQ(header.numbers.at("EXPTIME"), 30.0);
    EXPECT_EQ(header.texts.at("OBJECT"), "Simulated field");
    EXPECT_EQ(header.texts.count("BAYERPAT"), 0u);

    // The same mosaics labelled GRBG one column on are the same picture.
    const std::vector<std::string> relabelled = bayerFrames("grbg");
    for (const std::string& frame : relabelled)
        relabelPattern(frame, "GRBG", 1);
    state = dir.file("grbg.fits");
    stack(relabelled);
    const FloatImagePtr same = loadFloatImage(dir.file("stack.fits"));
    EXPECT_TRUE(std::equal(same->data(), same->data() + same->size(), stacked->data()));

    // The output picture is stretched: its sky is grey, where a plain 16-to-8-bit copy would be about 5.
    ASSERT_EQ(runPelorum({"-o", dir.file("out.jpg"), "-e", state, relabelled[0]}).exitCode, 0);
    const ByteImagePtr picture = loadImage(dir.file("out.jpg"));
    EXPECT_GT(median(*toFloat(*picture), 1), 30.0f);
}

TEST_F(CameraFrames, MonoAndFloatFramesKeepTheirSamplesAndKindsDoNotMix)
{
    std::mt19937 random(4);
    ImageBuffer<unsigned short> mono(kWidth, kHeight, 1);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            mono.setPixel(x, y, static_cast<unsigned short>(40000 + sceneAt(x, y, 1, random)));  // above 32767
    writeCameraFits(dir.file("mono.fits"), mono, {5.0, "2026-01-01T21:00:00", false});
    stack({dir.file("mono.fits")});
    const FloatImagePtr stacked = loadFloatImage(dir.file("stack.fits"));
    ASSERT_EQ(stacked->channels(), 1);
    EXPECT_TRUE(std::equal(mono.data(), mono.data() + mono.size(), stacked->data(),
                           [](unsigned short a, float b) { return float(a) == b; }));

    // The kind is the first thing wrong, also where a master would not fit the frame either.
    saveImage(dir.file("frame.jpg"), flatFrame(kWidth, kHeight, 1, 100));
    for (const std::vector<std::string>& master : {std::vector<std::string>{}, {"--dark", dir.file("mono.fits")}}) {
        std::vector<std::string> args = {"-o", dir.file("out.jpg"), "-e", state, dir.file("frame.jpg")};
        args.insert(args.begin(), master.begin(), master.end());
        EXPECT_EQ(refusal(args), "Error: Failed to process frame: Frame " + dir.file("frame.jpg") +
                                     " is an 8-bit frame but the stack holds linear frames; start a new stack with "
                                     "-x or use another state file");
    }

    state = dir.file("state.jpg");
    EXPECT_EQ(refusal({"-o", dir.file("new.jpg"), "-e", state, dir.file("mono.fits")}),
              "Error: Failed to process frame: A linear stack cannot be kept in the JPEG state file " + state +
                  "; use a .fits state file");
    EXPECT_FALSE(fileExists(dir.file("new.jpg")));

    // Normalised float samples keep every bit.
    auto normalised = std::make_shared<FloatImage>(kWidth, kHeight, 1);
    for (std::size_t i = 0; i < normalised->size(); ++i)
        normalised->data()[i] = 0.25f + float(i % 7) * 1e-5f;
    writeFits(dir.file("float.fits"), normalised);
    state = dir.file("float-state.fits");
    stack({dir.file("float.fits")});
    const FloatImagePtr floats = loadFloatImage(dir.file("stack.fits"));
    EXPECT_TRUE(std::equal(floats->data(), floats->data() + floats->size(), normalised->data()));
}

TEST_F(CameraFrames, CalibrationMastersApplyToTheMosaicAndMustFitTheFrame)
{
    ImageBuffer<unsigned short> dark(kWidth, kHeight, 1);
    dark.fill(200);
    writeCameraFits(dir.file("dark.fits"), dark, {10.0, "2026-01-01T20:00:00", true});
    const std::vector<std::string> frames = bayerFrames("rggb");
    stack({frames[0]}, {"--dark", dir.file("dark.fits")});
    const FloatImagePtr stacked = loadFloatImage(dir.file("stack.fits"));
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(median(*stacked, c), kSky - 200.0f, 5.0f) << c;

    ImageBuffer<unsigned short> small(kWidth / 2, kHeight, 1);
    small.fill(30000);
    writeCameraFits(dir.file("small.fits"), small, {10.0, "2026-01-01T20:00:00", true});
    const std::string error = refusal({"-o", dir.file("out.jpg"), "-e", state, "--flat", dir.file("small.fits"),
                                       frames[1]});
    EXPECT_NE(error.find("Flat frame " + dir.file("small.fits") + " (32x48x1, linear) does not fit frame"),
              std::string::npos)
        << error;
}

// A float frame may mark pixels without data as NaN or infinity; averaged
// in, one would poison its pixel of the stack for good.
TEST_F(CameraFrames, NonFiniteSamplesAreReplacedByTheChannelMedianAndAFrameOfNoneIsRefused)
{
    TempDir dir;
    auto frame = std::make_shared<FloatImage>(5, 4, 3);
    for (std::size_t i = 0; i < frame->size(); ++i)
        frame->data()[i] = float(i % 3) * 100.0f + float(i / 3);  // channel c holds c*100 + pixel index
    frame->setPixel(2, 1, std::nanf(""), 1);
    frame->setPixel(4, 3, -INFINITY, 1);
    frame->setPixel(0, 0, INFINITY, 2);
    writeFits(dir.file("holes.fits"), frame);
    const CameraFrame loaded = readCameraFrame(dir.file("holes.fits"));
    // Channel 1's finite samples are 100..119 without 107 and 119: the median is the 10th of 18, 110.
    EXPECT_EQ(loaded.pixels->getPixel(2, 1, 1), 110.0f);
    EXPECT_EQ(loaded.pixels->getPixel(4, 3, 1), 110.0f);
    // Channel 2's are 201..219: the median is 210.
    EXPECT_EQ(loaded.pixels->getPixel(0, 0, 2), 210.0f);
    EXPECT_EQ(loaded.pixels->getPixel(3, 2, 0), 13.0f);

    frame->fill(std::nanf(""));
    writeFits(dir.file("empty.fits"), frame);
    EXPECT_EQ(errorOf([&] { readCameraFrame(dir.file("empty.fits")); }),
              "Frame " + dir.file("empty.fits") + " holds no finite samples");
}
