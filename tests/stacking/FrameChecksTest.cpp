#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>

#include "stacking/ImageStacker.h"
#include "support/TestSupport.h"

namespace {

float qualityAgainst(const ByteImagePtr& reference, const ByteImagePtr& frame)
{
    ImageStacker stacker;
    stacker.referenceFrame() = reference;
    return stacker.calculateFrameQuality(frame);
}

}  // namespace

TEST(FrameQuality, IsTheRatioOfTheSmallerToTheLargerSpread)
{
    const ByteImagePtr textured = noiseFrame(64, 48, 3, 100, 100, 5);
    ImageStacker withoutReference;
    EXPECT_EQ(withoutReference.calculateFrameQuality(textured), 1.0f);
    const ByteImagePtr brighter = indexedFrame(64, 48, 3, [&](std::size_t i) { return textured->data()[i] + 55; });
    EXPECT_NEAR(qualityAgainst(textured, brighter), 1.0f, 1e-5f);  // brightness does not count

    // Deviations of +-40 against +-20 around 100: a ratio of 1/2 either way round.
    const ByteImagePtr wide = indexedFrame(100, 80, 1, [](std::size_t i) { return i % 2 ? 140 : 60; });
    const ByteImagePtr narrow = indexedFrame(100, 80, 1, [](std::size_t i) { return i % 2 ? 120 : 80; });
    EXPECT_NEAR(qualityAgainst(wide, narrow), 0.5f, 1e-6f);
    EXPECT_NEAR(qualityAgainst(narrow, wide), 0.5f, 1e-6f);

    EXPECT_EQ(qualityAgainst(textured, flatFrame(64, 48, 3, 90)), 0.0f);
    EXPECT_EQ(qualityAgainst(noiseFrame(65, 48, 3, 100, 100, 9), textured), 0.0f);  // another size
    EXPECT_EQ(qualityAgainst(noiseFrame(64, 48, 1, 100, 100, 9), textured), 0.0f);  // another channel count
    const float flatOnFlat = qualityAgainst(flatFrame(40, 30, 3, 10), flatFrame(40, 30, 3, 90));
    EXPECT_TRUE(std::isnan(flatOnFlat));
    EXPECT_FALSE(std::signbit(flatOnFlat));  // logged as "nan", not "-nan"
}

TEST(FrameQuality, ImagesAboveTwoMillionSamplesAreMeasuredOnEveryFourthSampleFromZero)
{
    // Texture only off indices 0, 4, 8, ...: textured (0) when fully measured, flat (NaN) when sampled.
    const auto textureOffTheStride = [](std::size_t i) { return i % 4 == 0 ? 100 : (i % 2 ? 30 : 170); };
    const ByteImagePtr exact = indexedFrame(2000000, 1, 1, textureOffTheStride);
    EXPECT_EQ(qualityAgainst(exact, flatFrame(2000000, 1, 1, 100)), 0.0f);
    const ByteImagePtr above = indexedFrame(2000001, 1, 1, textureOffTheStride);
    EXPECT_TRUE(std::isnan(qualityAgainst(above, flatFrame(2000001, 1, 1, 100))));
}

TEST(DarkSubtraction, FloorsAtZeroInANewBufferAndRefusesADarkOfAnotherSize)
{
    const ByteImagePtr frame = noiseFrame(120, 90, 3, 128, 128, 3);
    const ByteImagePtr original = frame->clone();
    ImageStacker stacker;
    EXPECT_EQ(stacker.applyDarkSubtraction(frame), frame);  // no dark: the frame itself
    stacker.darkFrame() = noiseFrame(120, 90, 3, 128, 128, 4);

    const ByteImagePtr result = stacker.applyDarkSubtraction(frame);
    int floored = 0;
    for (std::size_t i = 0; i < frame->size(); ++i) {
        const int difference = int(frame->data()[i]) - int(stacker.darkFrame()->data()[i]);
        ASSERT_EQ(result->data()[i], std::max(difference, 0)) << i;
        floored += difference < 0;
    }
    EXPECT_GT(floored, 1000);
    EXPECT_TRUE(std::equal(frame->data(), frame->data() + frame->size(), original->data()));

    for (const ByteImagePtr& dark : {flatFrame(120, 91, 3, 1), flatFrame(120, 90, 1, 1)}) {
        stacker.darkFrame() = dark;
        EXPECT_THROW(stacker.applyDarkSubtraction(frame), std::runtime_error);
    }
}
