#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "image/ImageBuffer.h"

namespace {

template <typename T>
ImageBuffer<T> row(std::initializer_list<T> values)
{
    std::vector<T> v(values);
    return ImageBuffer<T>(v.data(), int(v.size()), 1, 1, false);
}

}  // namespace

TEST(ImageBuffer, ArithmeticSaturatesAtTheLimits)
{
    auto a = row<unsigned char>({200, 100, 0});
    a.add(row<unsigned char>({100, 100, 255}));
    EXPECT_EQ(a.getPixel(0, 0), 255);
    EXPECT_EQ(a.getPixel(1, 0), 200);
    EXPECT_EQ(a.getPixel(2, 0), 255);

    auto b = row<unsigned char>({100, 200});
    b.subtract(row<unsigned char>({200, 50}));
    EXPECT_EQ(b.getPixel(0, 0), 0);
    EXPECT_EQ(b.getPixel(1, 0), 150);

    auto wide = row<unsigned short>({60000});
    wide.add(row<unsigned short>({10000}));
    EXPECT_EQ(wide.getPixel(0, 0), 65535);

    auto m = row<unsigned char>({200, 255});
    m.multiply(1.5f);
    EXPECT_EQ(m.getPixel(0, 0), 255);
    m.multiply(0.5f);
    EXPECT_EQ(m.getPixel(0, 0), 127);  // 127.5 truncated

    auto f = row<float>({200.0f, 0.25f});
    f.add(row<float>({100.0f, 0.5f}));
    EXPECT_FLOAT_EQ(f.getPixel(0, 0), 255.0f);
    EXPECT_FLOAT_EQ(f.getPixel(1, 0), 0.75f);  // float keeps fractions
}

TEST(ImageBuffer, DivideRejectsZeroAndClampsAtFullScale)
{
    auto a = row<unsigned char>({10, 200});
    EXPECT_THROW(
        {
            try {
                a.divide(0.0f);
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "Division by zero");
                throw;
            }
        },
        std::invalid_argument);
    EXPECT_EQ(a.getPixel(0, 0), 10);
    a.divide(0.5f);
    EXPECT_EQ(a.getPixel(0, 0), 20);
    EXPECT_EQ(a.getPixel(1, 0), 255);
}

TEST(ImageBuffer, MismatchedDimensionsAreRefusedWithoutChange)
{
    auto a = row<unsigned char>({1, 2});
    const auto b = row<unsigned char>({1, 2, 3});
    EXPECT_THROW(a.add(b), std::invalid_argument);
    EXPECT_THROW(a.subtract(b), std::invalid_argument);
    EXPECT_EQ(a.getPixel(1, 0), 2);
}

TEST(ImageBuffer, NormalizeStretchesToFullScale)
{
    auto a = row<unsigned char>({10, 20, 30});
    a.normalize();
    EXPECT_EQ(a.getPixel(0, 0), 0);
    EXPECT_EQ(a.getPixel(1, 0), 127);
    EXPECT_EQ(a.getPixel(2, 0), 255);

    auto flat = row<unsigned char>({7, 7, 7});
    flat.normalize();
    EXPECT_EQ(flat.getPixel(2, 0), 7);
    auto single = row<unsigned char>({9});
    single.normalize();
    EXPECT_EQ(single.getPixel(0, 0), 9);
}

TEST(ImageBuffer, CoordinatesAndDimensionsAreChecked)
{
    ImageBuffer<unsigned char> image(3, 2, 3);
    EXPECT_THROW(image.getPixel(3, 0, 0), std::out_of_range);
    EXPECT_THROW(image.getPixel(0, 2, 0), std::out_of_range);
    EXPECT_THROW(image.getPixel(0, 0, 3), std::out_of_range);
    EXPECT_THROW(image.getPixel(-1, 0, 0), std::out_of_range);
    EXPECT_THROW(image.setPixel(0, -1, 1, 0), std::out_of_range);
    image.setPixel(2, 1, 77, 2);
    EXPECT_EQ(image.data()[(1 * 3 + 2) * 3 + 2], 77);

    EXPECT_THROW(ImageBuffer<unsigned char>(0, 1, 1), std::invalid_argument);
    EXPECT_THROW(ImageBuffer<unsigned char>(1, -1, 1), std::invalid_argument);
    EXPECT_THROW(ImageBuffer<unsigned char>(1, 1, 0), std::invalid_argument);
    // More samples than a 32-bit index can address.
    EXPECT_THROW(ImageBuffer<unsigned char>(65536, 32768, 1), std::invalid_argument);
    EXPECT_THROW(image.resize(0, 1, 1), std::invalid_argument);
    EXPECT_EQ(image.width(), 3);
}

TEST(ImageBuffer, ResizeKeepsStoragePositions)
{
    auto a = row<unsigned char>({1, 2, 3, 4});
    a.resize(2, 2, 1);
    a.resize(1, 2, 1);
    EXPECT_EQ(a.getPixel(0, 0), 1);
    EXPECT_EQ(a.getPixel(0, 1), 2);  // the first row's samples, not the first column
    a.resize(2, 2, 1);
    EXPECT_EQ(a.getPixel(1, 1), 0);
}

TEST(ImageBuffer, EmptyBufferStatisticsAreZero)
{
    ImageBuffer<unsigned char> empty;
    EXPECT_EQ(empty.mean(), 0.0f);
    EXPECT_EQ(empty.min(), 0);
    EXPECT_EQ(empty.max(), 0);
    EXPECT_FLOAT_EQ(row<unsigned char>({1, 2, 4}).mean(), 7.0f / 3.0f);
}

TEST(ImageBuffer, CloneIsDeepAndSourceConstructorCopies)
{
    std::vector<unsigned char> source = {5, 6};
    ImageBuffer<unsigned char> a(source.data(), 2, 1, 1, false);
    source[0] = 99;
    EXPECT_EQ(a.getPixel(0, 0), 5);
    EXPECT_TRUE(a.ownsData());
    auto copy = a.clone();
    copy->setPixel(1, 0, 1);
    EXPECT_EQ(a.getPixel(1, 0), 6);
}

TEST(ImageBuffer, SampleWidthConversions)
{
    const auto eight = toEightBit(row<unsigned short>({65535, 257, 256, 0}));
    EXPECT_EQ(eight->getPixel(0, 0), 255);
    EXPECT_EQ(eight->getPixel(1, 0), 1);
    EXPECT_EQ(eight->getPixel(2, 0), 0);
    const auto sixteen = toSixteenBit(row<unsigned char>({255, 1}));
    EXPECT_EQ(sixteen->getPixel(0, 0), 65535);
    EXPECT_EQ(sixteen->getPixel(1, 0), 257);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto rounded = toEightBit(row<float>({100.49f, 100.5f, 254.6f, 300.0f, -4.0f, nan}));
    EXPECT_EQ(rounded->getPixel(0, 0), 100);
    EXPECT_EQ(rounded->getPixel(1, 0), 101);  // rounded, never truncated
    EXPECT_EQ(rounded->getPixel(2, 0), 255);
    EXPECT_EQ(rounded->getPixel(3, 0), 255);
    EXPECT_EQ(rounded->getPixel(4, 0), 0);
    EXPECT_EQ(rounded->getPixel(5, 0), 0);

    ImageBuffer<unsigned char> all(256, 1, 1);
    for (int v = 0; v < 256; ++v)
        all.setPixel(v, 0, static_cast<unsigned char>(v));
    const auto back = toEightBit(*toFloat(all));
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(back->getPixel(v, 0), v);
}
