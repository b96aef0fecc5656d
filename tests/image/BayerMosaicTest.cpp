#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "image/BayerMosaic.h"

namespace {

// The colour at each of the four cell positions, in BayerLayout's order.
using Colours = std::array<int, 4>;
constexpr int R = 0, G = 1, B = 2;

// A colour scene that is linear in x and y per channel, and its mosaic
// under the layout: bilinear interpolation of such a scene is exact away
// from the border.
float scene(int x, int y, int c) { return c == R ? 100.0f + 3 * x : c == G ? 200.0f + 2 * y : 50.0f + x + y; }

FloatImage mosaicOf(const BayerLayout& layout, int width, int height)
{
    FloatImage mosaic(width, height, 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            mosaic.setPixel(x, y, scene(x, y, layout.colourAt(x, y)));
    return mosaic;
}

}  // namespace

TEST(BayerLayout, PatternOffsetsAndRowOrderNameTheColourOfEachCellPosition)
{
    const struct {
        const char* pattern;
        int offsetX, offsetY;
        bool bottomUp;
        int height;
        std::optional<Colours> colours;
    } cases[] = {
        {"RGGB", 0, 0, false, 4, Colours{R, G, G, B}},
        {"BGGR", 0, 0, false, 4, Colours{B, G, G, R}},
        {"GRBG", 1, 0, false, 4, Colours{R, G, G, B}},  // a column on, GRBG reads as RGGB
        {"GBRG", 0, 1, false, 4, Colours{R, G, G, B}},  // a row on, GBRG reads as RGGB
        {"BGGR", 1, 1, false, 4, Colours{R, G, G, B}},
        {"RGGB", 0, 0, true, 4, Colours{G, B, R, G}},   // stored bottom-up, even height: other row first
        {"RGGB", 0, 0, true, 5, Colours{R, G, G, B}},   // odd height: the first stored row is the same
        {"RGBG", 0, 0, false, 4, std::nullopt},
        {"GRRB", 0, 0, false, 4, std::nullopt},
        {"RGB", 0, 0, false, 4, std::nullopt},
        {"RGGB", 2, 0, false, 4, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<BayerLayout> layout = bayerLayoutOf(c.pattern, c.offsetX, c.offsetY, c.bottomUp, c.height);
        ASSERT_EQ(layout.has_value(), c.colours.has_value()) << c.pattern;
        if (layout) {
            EXPECT_EQ(layout->colours, *c.colours) << c.pattern << " " << c.offsetX << c.offsetY << c.bottomUp;
        }
    }
}

TEST(Debayer, BilinearIsExactOnALinearSceneInsideAndEveryMethodKeepsTheRecordedSamples)
{
    for (const Colours colours : {Colours{R, G, G, B}, Colours{G, B, R, G}}) {
        const BayerLayout layout{colours};
        const FloatImage mosaic = mosaicOf(layout, 12, 10);
        for (DebayerMethod method : {DebayerMethod::Bilinear, DebayerMethod::Nearest}) {
            const FloatImagePtr colour = debayer(mosaic, layout, method);
            ASSERT_EQ(colour->channels(), 3);
            for (int y = 0; y < 10; ++y)
                for (int x = 0; x < 12; ++x) {
                    const int own = layout.colourAt(x, y);
                    EXPECT_EQ(colour->getPixel(x, y, own), mosaic.getPixel(x, y));
                    const bool inside = x > 0 && y > 0 && x < 11 && y < 9;
                    for (int c = 0; c < 3 && method == DebayerMethod::Bilinear && inside; ++c)
                        EXPECT_FLOAT_EQ(colour->getPixel(x, y, c), scene(x, y, c)) << x << "," << y << " " << c;
                }
        }
    }
}

TEST(Debayer, NearestCopiesEachColourFromThePixelsOwnCell)
{
    const BayerLayout layout;  // RGGB
    FloatImage mosaic(4, 2, 1);
    const float samples[] = {1, 2, 5, 6,   // R G R G
                             3, 4, 7, 8};  // G B G B
    std::copy(std::begin(samples), std::end(samples), mosaic.data());
    const FloatImagePtr colour = debayer(mosaic, layout, DebayerMethod::Nearest);
    const float expected[2][4][3] = {{{1, 2, 4}, {1, 2, 4}, {5, 6, 8}, {5, 6, 8}},
                                     {{1, 3, 4}, {1, 3, 4}, {5, 7, 8}, {5, 7, 8}}};  // green from the own row
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(colour->getPixel(x, y, c), expected[y][x][c]) << x << "," << y << " " << c;
    EXPECT_THROW(debayer(FloatImage(1, 4, 1), layout, DebayerMethod::Bilinear), std::invalid_argument);
}
