#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>

#include "stacking/ImageStacker.h"

namespace {

ByteImagePtr imageOf(int width, int height, int channels, const std::function<int(std::size_t)>& sampleAt)
{
    auto image = std::make_shared<ByteImage>(width, height, channels);
    for (std::size_t i = 0; i < image->size(); ++i)
        image->data()[i] = static_cast<std::uint8_t>(sampleAt(i));
    return image;
}

ByteImagePtr randomImage(int width, int height, int channels, int low, int high, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> sample(low, high);
    return imageOf(width, height, channels, [&](std::size_t) { return sample(rng); });
}

ByteImagePtr flatImage(int width, int height, int channels, int value)
{
    return imageOf(width, height, channels, [value](std::size_t) { return value; });
}

float qualityAgainst(const ByteImagePtr& reference, const ByteImagePtr& frame)
{
    ImageStacker stacker;
    stacker.referenceFrame() = reference;
    return stacker.calculateFrameQuality(frame);
}

}  // namespace

TEST(FrameQuality, IgnoresBrightnessAndIsOneWithoutReference)
{
    const ByteImagePtr reference = randomImage(64, 48, 3, 0, 200, 5);
    ImageStacker withoutReference;
    EXPECT_EQ(withoutReference.calculateFrameQuality(reference), 1.0f);

    EXPECT_EQ(qualityAgainst(reference, reference->clone()), 1.0f);
    const auto brighterSample = [&](std::size_t i) { return reference->data()[i] + 55; };
    const ByteImagePtr brighter = imageOf(64, 48, 3, brighterSample);
    EXPECT_NEAR(qualityAgainst(reference, brighter), 1.0f, 1e-5f);
}

TEST(FrameQuality, HalfTheContrastScoresOneHalf)
{
    // Deviations of +-40 against +-20 around 100: a standard deviation ratio of 1/2.
    const ByteImagePtr reference = imageOf(100, 80, 1, [](std::size_t i) { return i % 2 ? 140 : 60; });
    const ByteImagePtr frame = imageOf(100, 80, 1, [](std::size_t i) { return i % 2 ? 120 : 80; });
    EXPECT_NEAR(qualityAgainst(reference, frame), 0.5f, 1e-6f);
    EXPECT_NEAR(qualityAgainst(frame, reference), 0.5f, 1e-6f);
}

TEST(FrameQuality, FlatFrameScoresZeroAgainstTextureAndNaNAgainstFlat)
{
    const ByteImagePtr textured = randomImage(40, 30, 3, 0, 255, 7);
    EXPECT_EQ(qualityAgainst(textured, flatImage(40, 30, 3, 90)), 0.0f);
    const float flatOnFlat = qualityAgainst(flatImage(40, 30, 3, 10), flatImage(40, 30, 3, 90));
    EXPECT_TRUE(std::isnan(flatOnFlat));
    // A NaN with the sign bit would be logged as "-nan".
    EXPECT_FALSE(std::signbit(flatOnFlat));
}

TEST(FrameQuality, ReferenceOfAnotherSizeScoresZero)
{
    const ByteImagePtr frame = randomImage(40, 30, 3, 0, 255, 8);
    EXPECT_EQ(qualityAgainst(randomImage(41, 30, 3, 0, 255, 9), frame), 0.0f);
    EXPECT_EQ(qualityAgainst(randomImage(40, 30, 1, 0, 255, 9), frame), 0.0f);
}

TEST(FrameQuality, ImagesAboveTwoMillionSamplesAreMeasuredOnEveryFourthSampleFromZero)
{
    // Texture only off indices 0, 4, 8, ...: textured (0) when fully measured, flat (NaN) when sampled.
    const auto textureOffTheStride = [](std::size_t i) { return i % 4 == 0 ? 100 : (i % 2 ? 30 : 170); };
    const ByteImagePtr exact = imageOf(2000000, 1, 1, textureOffTheStride);
    EXPECT_EQ(qualityAgainst(exact, flatImage(2000000, 1, 1, 100)), 0.0f);
    const ByteImagePtr above = imageOf(2000001, 1, 1, textureOffTheStride);
    EXPECT_TRUE(std::isnan(qualityAgainst(above, flatImage(2000001, 1, 1, 100))));
}

TEST(DarkSubtraction, FloorsAtZeroInANewBufferAndLeavesTheFrameAlone)
{
    const ByteImagePtr frame = randomImage(120, 90, 3, 0, 255, 3);
    const ByteImagePtr original = frame->clone();
    ImageStacker stacker;
    stacker.darkFrame() = randomImage(120, 90, 3, 0, 255, 4);

    const ByteImagePtr result = stacker.applyDarkSubtraction(frame);
    ASSERT_NE(result, frame);
    int floored = 0;
    for (std::size_t i = 0; i < frame->size(); ++i) {
        const int difference = int(frame->data()[i]) - int(stacker.darkFrame()->data()[i]);
        ASSERT_EQ(result->data()[i], std::max(difference, 0)) << i;
        floored += difference < 0;
    }
    EXPECT_GT(floored, 1000);
    EXPECT_TRUE(std::equal(frame->data(), frame->data() + frame->size(), original->data()));
}

TEST(DarkSubtraction, WithoutDarkTheFrameItselfComesBackAndADarkOfAnotherSizeThrows)
{
    ImageStacker stacker;
    const ByteImagePtr frame = randomImage(20, 10, 3, 0, 255, 6);
    EXPECT_EQ(stacker.applyDarkSubtraction(frame), frame);

    stacker.darkFrame() = flatImage(20, 11, 3, 1);
    EXPECT_THROW(stacker.applyDarkSubtraction(frame), std::runtime_error);
    stacker.darkFrame() = flatImage(20, 10, 1, 1);
    EXPECT_THROW(stacker.applyDarkSubtraction(frame), std::runtime_error);
}
