#include <gtest/gtest.h>

#include <array>

#include "image/ImageBuffer.h"

namespace {

template <typename T>
ImageBuffer<T> row(std::initializer_list<T> v) { return ImageBuffer<T>(std::data(v), int(v.size()), 1, 1, false); }
template <typename T>
std::vector<T> samples(const ImageBuffer<T>& image) { return {image.data(), image.data() + image.size()}; }

using Bytes = std::vector<unsigned char>;
using Triples = std::initializer_list<std::array<int, 3>>;

}  // namespace

TEST(ImageBuffer, ArithmeticAndWidthConversionsSaturateTruncateOrRoundAndBadOperandsChangeNothing)
{
    auto a = row<unsigned char>({200, 100, 0});
    a.add(row<unsigned char>({100, 100, 255}));
    EXPECT_EQ(samples(a), (Bytes{255, 200, 255}));
    a.subtract(row<unsigned char>({10, 201, 0}));
    EXPECT_EQ(samples(a), (Bytes{245, 0, 255}));
    a.multiply(1.04f);  // 254.8 truncated, 265.2 clamped
    EXPECT_EQ(samples(a), (Bytes{254, 0, 255}));
    a.divide(2.0f);  // 127.5 truncated
    EXPECT_EQ(samples(a), (Bytes{127, 0, 127}));
    auto f = row<float>({200.0f, 0.25f});
    f.add(row<float>({100.0f, 0.5f}));
    EXPECT_EQ(samples(f), (std::vector<float>{255.0f, 0.75f}));  // float keeps fractions

    EXPECT_THROW(a.add(row<unsigned char>({1, 2, 3, 4})), std::invalid_argument);
    EXPECT_THROW(a.subtract(row<unsigned char>({1, 2, 3, 4})), std::invalid_argument);
    EXPECT_THROW(a.divide(0.0f), std::invalid_argument);
    EXPECT_EQ(samples(a), (Bytes{127, 0, 127}));

    // Stretched to 0..255; a constant buffer, of one sample or more, is left alone.
    for (const auto& [before, after] :
         {std::pair{Bytes{10, 20, 30}, Bytes{0, 127, 255}}, {Bytes{7, 7, 7}, Bytes{7, 7, 7}}, {Bytes{9}, Bytes{9}}}) {
        ImageBuffer<unsigned char> b(before.data(), int(before.size()), 1, 1, false);
        b.normalize();
        EXPECT_EQ(samples(b), after);
    }

    EXPECT_EQ(samples(*toEightBit(row<unsigned short>({65535, 257, 256, 0}))), (Bytes{255, 1, 0, 0}));
    EXPECT_EQ(samples(*toSixteenBit(row<unsigned char>({255, 1}))), (std::vector<unsigned short>{65535, 257}));
    // Rounded to nearest, never truncated; NaN counts as 0.
    EXPECT_EQ(samples(*toEightBit(row<float>({100.49f, 100.5f, 254.6f, 300.0f, -4.0f, std::nanf("")}))),
              (Bytes{100, 101, 255, 255, 0, 0}));
}

TEST(ImageBuffer, CoordinatesAndDimensionsAreCheckedAndResizeAndCopiesKeepTheirOwnSamples)
{
    ImageBuffer<unsigned char> image(3, 2, 3);
    for (const auto& [x, y, c] : Triples{{3, 0, 0}, {0, 2, 0}, {0, 0, 3}, {-1, 0, 0}, {0, -1, 0}})
        EXPECT_THROW(image.setPixel(x, y, 1, c), std::out_of_range) << x << "," << y << "," << c;
    image.setPixel(2, 1, 77, 2);
    EXPECT_EQ(image.data()[(1 * 3 + 2) * 3 + 2], 77);
    // The last has more samples than a 32-bit index can address.
    for (const auto& [w, h, c] : Triples{{0, 1, 1}, {1, -1, 1}, {1, 1, 0}, {65536, 32768, 1}})
        EXPECT_THROW(ImageBuffer<unsigned char>(w, h, c), std::invalid_argument) << w << "x" << h << "x" << c;
    EXPECT_THROW(image.resize(0, 1, 1), std::invalid_argument);
    EXPECT_EQ(image.width(), 3);

    auto a = row<unsigned char>({1, 2, 3, 4});
    // Narrowed to one column, the buffer keeps the first row's samples, not
    // the first column's; widened again, the new samples are 0.
    a.resize(1, 2, 1);
    a.resize(2, 2, 1);
    EXPECT_EQ(samples(a), (Bytes{1, 2, 0, 0}));
    const ImageBuffer<unsigned char> empty;
    EXPECT_EQ(std::tuple(empty.mean(), empty.min(), empty.max()), std::tuple(0.0f, 0, 0));
    EXPECT_FLOAT_EQ(row<unsigned char>({1, 2, 4}).mean(), 7.0f / 3.0f);

    Bytes source{5, 6};
    ImageBuffer<unsigned char> copy(source.data(), 2, 1, 1, false);
    source[0] = 99;
    copy.clone()->setPixel(1, 0, 1);
    EXPECT_EQ(samples(copy), (Bytes{5, 6}));
}
