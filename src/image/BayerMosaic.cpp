#include "image/BayerMosaic.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

// Colour codes of the four named patterns, in the order of BayerLayout.
std::optional<std::array<int, 4>> patternColours(const std::string& pattern)
{
    if (pattern.size() != 4)
        return std::nullopt;
    std::array<int, 4> colours{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t colour = std::string("RGB").find(pattern[i]);
        if (colour == std::string::npos)
            return std::nullopt;
        colours[i] = int(colour);
    }
    // One red, one blue, and the two greens diagonal from each other.
    const bool bayer = std::count(colours.begin(), colours.end(), 0) == 1 &&
                       std::count(colours.begin(), colours.end(), 2) == 1 &&
                       (colours[0] == colours[3] || colours[1] == colours[2]);
    if (!bayer)
        return std::nullopt;
    return colours;
}

// The mean of the pixel's 3 x 3 neighbours (itself included) of each colour,
// its own colour being its own sample: for any pixel, near the border too.
void bilinearPixel(const FloatImage& mosaic, const BayerLayout& layout, int x, int y, float* pixel)
{
    const int width = mosaic.width();
    const int height = mosaic.height();
    const float* in = mosaic.data();
    float sum[3] = {0, 0, 0};
    int count[3] = {0, 0, 0};
    for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, height - 1); ++ny)
        for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, width - 1); ++nx) {
            const int colour = layout.colourAt(nx, ny);
            sum[colour] += in[std::size_t(ny) * width + nx];
            count[colour] += 1;
        }
    const int own = layout.colourAt(x, y);
    for (int c = 0; c < 3; ++c)
        pixel[c] = c == own ? in[std::size_t(y) * width + x] : sum[c] / float(std::max(count[c], 1));
}

// Where each colour of a pixel comes from, by its place in the cell: the
// offsets of its same-colour neighbours (just 0 for its own colour).
struct Taps {
    int count = 0;
    std::array<std::ptrdiff_t, 4> offsets{};
};
using CellTaps = std::array<std::array<Taps, 3>, 4>;

CellTaps cellTaps(const BayerLayout& layout, int width)
{
    CellTaps taps;
    for (int position = 0; position < 4; ++position) {
        const int x = 2 + (position & 1);
        const int y = 2 + (position >> 1);
        for (int c = 0; c < 3; ++c) {
            Taps& t = taps[std::size_t(position)][std::size_t(c)];
            if (layout.colourAt(x, y) == c) {
                t.count = 1;
                continue;
            }
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (layout.colourAt(x + dx, y + dy) == c)
                        t.offsets[std::size_t(t.count++)] = std::ptrdiff_t(dy) * width + dx;
        }
    }
    return taps;
}

void bilinearRow(const FloatImage& mosaic, const BayerLayout& layout, const CellTaps& taps, int y, float* out)
{
    const int width = mosaic.width();
    if (y == 0 || y == mosaic.height() - 1 || width < 3) {
        for (int x = 0; x < width; ++x)
            bilinearPixel(mosaic, layout, x, y, out + std::size_t(x) * 3);
        return;
    }
    bilinearPixel(mosaic, layout, 0, y, out);
    const float* row = mosaic.data() + std::size_t(y) * width;
    for (int x = 1; x < width - 1; ++x) {
        const std::array<Taps, 3>& colours = taps[std::size_t((y & 1) * 2 + (x & 1))];
        float* pixel = out + std::size_t(x) * 3;
        for (std::size_t c = 0; c < 3; ++c) {
            const Taps& t = colours[c];
            float sum = 0.0f;
            for (int i = 0; i < t.count; ++i)
                sum += row[x + t.offsets[std::size_t(i)]];
            pixel[c] = sum / float(t.count);
        }
    }
    bilinearPixel(mosaic, layout, width - 1, y, out + std::size_t(width - 1) * 3);
}

// Each colour from the pixel's 2 x 2 cell, looked for first on the pixel's
// own row, so green (twice in a cell) comes from the nearer of the two.
void nearestRow(const FloatImage& mosaic, const BayerLayout& layout, int y, float* out)
{
    const int width = mosaic.width();
    const int cellY = std::min(y & ~1, mosaic.height() - 2);
    const int rows[2] = {y, cellY + cellY + 1 - y};
    const float* in = mosaic.data();
    for (int x = 0; x < width; ++x) {
        const int cellX = std::min(x & ~1, width - 2);
        float* pixel = out + std::size_t(x) * 3;
        bool found[3] = {false, false, false};
        for (int row : rows)
            for (int column = cellX; column <= cellX + 1; ++column) {
                const int colour = layout.colourAt(column, row);
                if (!found[colour])
                    pixel[colour] = in[std::size_t(row) * width + column];
                found[colour] = true;
            }
    }
}

}  // namespace

std::optional<BayerLayout> bayerLayoutOf(const std::string& pattern, int offsetX, int offsetY, bool bottomUp,
                                         int height)
{
    const std::optional<std::array<int, 4>> colours = patternColours(pattern);
    if (!colours || (offsetX != 0 && offsetX != 1) || (offsetY != 0 && offsetY != 1))
        return std::nullopt;
    const int shiftY = (offsetY + (bottomUp && height % 2 == 0 ? 1 : 0)) & 1;
    BayerLayout layout;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            layout.colours[std::size_t(y * 2 + x)] = (*colours)[std::size_t(((y + shiftY) & 1) * 2 + ((x + offsetX) & 1))];
    return layout;
}

std::optional<DebayerMethod> debayerMethodNamed(const std::string& name)
{
    if (name == "bilinear")
        return DebayerMethod::Bilinear;
    if (name == "nearest")
        return DebayerMethod::Nearest;
    return std::nullopt;
}

namespace {

void requireMosaic(const FloatImage& mosaic)
{
    if (mosaic.channels() != 1 || mosaic.width() < 2 || mosaic.height() < 2)
        throw std::invalid_argument("A Bayer mosaic needs one channel of at least 2 x 2 pixels");
}

void debayerRow(const FloatImage& mosaic, const BayerLayout& layout, const CellTaps& taps, DebayerMethod method,
                int y, float* out)
{
    if (method == DebayerMethod::Bilinear)
        bilinearRow(mosaic, layout, taps, y, out);
    else
        nearestRow(mosaic, layout, y, out);
}

}  // namespace

FloatImagePtr debayer(const FloatImage& mosaic, const BayerLayout& layout, DebayerMethod method)
{
    requireMosaic(mosaic);
    auto colour = std::make_shared<FloatImage>(mosaic.width(), mosaic.height(), 3);
    const int height = mosaic.height();
    const std::size_t rowLength = std::size_t(mosaic.width()) * 3;
    const CellTaps taps = cellTaps(layout, mosaic.width());
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; ++y)
        debayerRow(mosaic, layout, taps, method, y, colour->data() + std::size_t(y) * rowLength);
    return colour;
}

FloatImagePtr debayeredGrey(const FloatImage& mosaic, const BayerLayout& layout, DebayerMethod method)
{
    requireMosaic(mosaic);
    const int width = mosaic.width();
    const int height = mosaic.height();
    auto grey = std::make_shared<FloatImage>(width, height, 1);
    const CellTaps taps = cellTaps(layout, width);
#pragma omp parallel
    {
        std::vector<float> row(std::size_t(width) * 3);
#pragma omp for schedule(static)
        for (int y = 0; y < height; ++y) {
            debayerRow(mosaic, layout, taps, method, y, row.data());
            float* out = grey->data() + std::size_t(y) * std::size_t(width);
            for (std::size_t x = 0; x < std::size_t(width); ++x)
                out[x] = 0.114f * row[3 * x] + 0.587f * row[3 * x + 1] + 0.299f * row[3 * x + 2];
        }
    }
    return grey;
}
