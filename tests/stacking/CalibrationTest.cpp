#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "image/FitsFile.h"
#include "stacking/FrameCalibration.h"
#include "stacking/StackRecord.h"
#include "support/TestSupport.h"

namespace {

CameraFrame frameOf(int width, int height, int channels, bool linear, const std::function<float(std::size_t)>& at)
{
    CameraFrame frame;
    frame.pixels = std::make_shared<FloatImage>(width, height, channels);
    for (std::size_t i = 0; i < frame.pixels->size(); ++i)
        frame.pixels->data()[i] = at(i);
    frame.linear = linear;
    return frame;
}

// Gaussian noise of sigma 10 around 1000, reproducible.
CameraFrame noisyFrame(int channels, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(1000.0f, 10.0f);
    return frameOf(60, 40, channels, true, [&](std::size_t) { return noise(random); });
}

}  // namespace

TEST(Calibration, DarkIsSubtractedAndFlatDividedNormalisedToItsMeanAndAnEightBitFrameStaysInRange)
{
    FrameCalibration calibration;
    calibration.setDark("dark", frameOf(2, 1, 1, true, [](std::size_t i) { return i == 0 ? 100.0f : 1300.0f; }));
    calibration.setDarkEnabled(true);
    calibration.setFlat("flat", frameOf(2, 1, 1, true, [](std::size_t i) { return i == 0 ? 500.0f : 1500.0f; }));
    CameraFrame frame = frameOf(2, 1, 1, true, [](std::size_t) { return 1200.0f; });
    calibration.apply(frame, "frame");
    EXPECT_FLOAT_EQ(frame.pixels->data()[0], (1200.0f - 100.0f) / 0.5f);
    EXPECT_FLOAT_EQ(frame.pixels->data()[1], (1200.0f - 1300.0f) / 1.5f);  // a linear frame keeps its sign

    FrameCalibration eightBit;
    eightBit.setDark("dark", frameOf(2, 1, 1, false, [](std::size_t i) { return i == 0 ? 50.0f : 10.0f; }));
    eightBit.setDarkEnabled(true);
    eightBit.setFlat("flat", frameOf(2, 1, 1, false, [](std::size_t i) { return i == 0 ? 10.0f : 190.0f; }));
    CameraFrame bytes = frameOf(2, 1, 1, false, [](std::size_t) { return 40.0f; });
    eightBit.apply(bytes, "frame");
    EXPECT_EQ(bytes.pixels->data()[0], 0.0f);    // floored at black, as 8-bit dark subtraction always was
    EXPECT_EQ(bytes.pixels->data()[1], 30.0f / 1.9f);
    CameraFrame bright = frameOf(2, 1, 1, false, [](std::size_t) { return 250.0f; });
    eightBit.apply(bright, "frame");
    EXPECT_EQ(bright.pixels->data()[0], 255.0f);  // 200 / 0.1 saturates
}

TEST(Calibration, MastersOfAnotherSizeOrKindAreRefusedLeavingTheFrameAlone)
{
    for (const CameraFrame& master : {frameOf(3, 2, 1, true, [](std::size_t) { return 1.0f; }),
                                      frameOf(2, 2, 1, true, [](std::size_t) { return 1.0f; }),
                                      frameOf(3, 2, 3, true, [](std::size_t) { return 1.0f; }),
                                      frameOf(2, 2, 1, false, [](std::size_t) { return 1.0f; })}) {
        CameraFrame frame = frameOf(3, 2, 1, false, [](std::size_t i) { return float(i); });
        FrameCalibration calibration;
        calibration.setFlat("flat.fits", master);
        const std::string error = errorOf([&] { calibration.apply(frame, "frame.fits"); });
        if (master.pixels->sameDimensions(*frame.pixels) && !master.linear) {
            EXPECT_EQ(error, "no error");
            continue;
        }
        EXPECT_NE(error.find("Flat frame flat.fits"), std::string::npos) << error;
        EXPECT_NE(error.find("does not fit frame frame.fits"), std::string::npos) << error;
        for (std::size_t i = 0; i < frame.pixels->size(); ++i)
            EXPECT_EQ(frame.pixels->data()[i], float(i));
    }
    EXPECT_THROW(FrameCalibration().setFlat("flat.fits", frameOf(2, 2, 1, true, [](std::size_t) { return 0.0f; })),
                 std::runtime_error);
}

TEST(HotPixels, StandingOutOfTheirOwnColourIsReplacedAndTheNoiseIsLeftAlone)
{
    const BayerLayout rggb;
    // One hot pixel on each colour of the mosaic, and one per channel of a colour frame.
    const struct {
        int channels;
        std::optional<BayerLayout> bayer;
        std::vector<std::array<int, 3>> hot;  // x, y, channel
    } cases[] = {{1, rggb, {{10, 10, 0}, {11, 10, 0}, {11, 11, 0}, {20, 21, 0}}},
                 {1, std::nullopt, {{30, 20, 0}}},
                 {3, std::nullopt, {{5, 5, 0}, {5, 5, 1}, {40, 30, 2}}}};
    for (const auto& c : cases) {
        CameraFrame frame = noisyFrame(c.channels, 5);
        const FloatImage original = *frame.pixels;
        for (const auto& [x, y, channel] : c.hot)
            frame.pixels->setPixel(x, y, 5000.0f, channel);
        correctHotPixels(*frame.pixels, c.bayer, 5.0f);
        int changed = 0;
        for (std::size_t i = 0; i < original.size(); ++i)
            changed += frame.pixels->data()[i] != original.data()[i];
        EXPECT_EQ(changed, int(c.hot.size())) << c.channels;  // 5 sigma: no noise sample goes
        for (const auto& [x, y, channel] : c.hot)
            EXPECT_NEAR(frame.pixels->getPixel(x, y, channel), 1000.0f, 30.0f);
    }
}

TEST(StackRecord, SumsExposuresKeepsTheFirstDateAndDropsTextsThatStopHoldingThroughAFitsHeader)
{
    StackRecord record;
    record.linear = true;
    addToRecord(record, {30.0, {{"DATE-OBS", "2026-01-01T21:00:00"}, {"OBJECT", "M 42 'Orion'"}, {"FILTER", "L"}}},
                true);
    addToRecord(record, {std::nullopt, {{"DATE-OBS", "2026-01-01T21:00:30"}, {"OBJECT", "M 42 'Orion'"}}}, false);
    addToRecord(record, {45.5, {{"OBJECT", "M 42 'Orion'"}, {"FILTER", "L"}}}, false);

    TempDir dir;
    const std::string path = dir.file("stack.fits");
    writeFits(path, std::make_shared<FloatImage>(2, 2, 1), stackKeywords(record, 3));
    const FitsKeywords keywords = readFitsKeywords(path);
    EXPECT_EQ(keywords.numbers.at("NCOMBINE"), 3.0);
    const StackRecord read = stackRecordOf(keywords);
    EXPECT_TRUE(read.linear);
    EXPECT_EQ(read.totalExposure, 75.5);
    const std::map<std::string, std::string> texts = {{"DATE-OBS", "2026-01-01T21:00:00"}, {"OBJECT", "M 42 'Orion'"}};
    EXPECT_EQ(read.texts, texts);  // FILTER was missing from the second frame

    writeFits(path, std::make_shared<FloatImage>(2, 2, 1));
    EXPECT_FALSE(stackRecordOf(readFitsKeywords(path)).linear);  // a header without a kind: an 8-bit stack
}
