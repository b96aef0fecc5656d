#include "image/BayerMosaic.h"

#include <algorithm>
#include <stdexcept>

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

void bilinearRow(const FloatImage& mosaic, const BayerLayout& layout, int y, float* out)
{
    const int width = mosaic.width();
    const int height = mosaic.height();
    const float* in = mosaic.data();
    for (int x = 0; x < width; ++x) {
        const int own = layout.colourAt(x, y);
        float sum[3] = {0, 0, 0};
        int count[3] = {0, 0, 0};
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx;
                const int ny = y + dy;
                if (nx < 0 || ny < 0 || nx >= width || ny >= height)
                    continue;
                const int colour = layout.colourAt(nx, ny);
                sum[colour] += in[std::size_t(ny) * width + nx];
                count[colour] += 1;
            }
        float* pixel = out + std::size_t(x) * 3;
        for (int c = 0; c < 3; ++c)
            pixel[c] = c == own ? in[std::size_t(y) * width + x] : sum[c] / float(std::max(count[c], 1));
    }
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

FloatImagePtr debayer(const FloatImage& mosaic, const BayerLayout& layout, DebayerMethod method)
{
    if (mosaic.channels() != 1 || mosaic.width() < 2 || mosaic.height() < 2)
        throw std::invalid_argument("A Bayer mosaic needs one channel of at least 2 x 2 pixels");
    auto colour = std::make_shared<FloatImage>(mosaic.width(), mosaic.height(), 3);
    const int height = mosaic.height();
    const std::size_t rowLength = std::size_t(mosaic.width()) * 3;
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; ++y) {
        float* row = colour->data() + std::size_t(y) * rowLength;
        if (method == DebayerMethod::Bilinear)
            bilinearRow(mosaic, layout, y, row);
        else
            nearestRow(mosaic, layout, y, row);
    }
    return colour;
}
