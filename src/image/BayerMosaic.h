#pragma once

#include <array>
#include <optional>
#include <string>

#include "image/ImageBuffer.h"

// The colour filter of a one-shot-colour sensor: which colour (0 red, 1
// green, 2 blue) each position of the repeating 2 x 2 cell records.
struct BayerLayout {
    std::array<int, 4> colours{0, 1, 1, 2};  // (x even, y even), (odd, even), (even, odd), (odd, odd)

    int colourAt(int x, int y) const { return colours[std::size_t((y & 1) * 2 + (x & 1))]; }
};

// The layout a header describes: BAYERPAT "RGGB", "GRBG", "GBRG" or "BGGR"
// names the cell at the first pixel, XBAYROFF / YBAYROFF move it by a column
// or row, and an image stored bottom-up (ROWORDER BOTTOM-UP) of even height
// starts on the pattern's other row. None for another pattern or offset.
std::optional<BayerLayout> bayerLayoutOf(const std::string& pattern, int offsetX, int offsetY, bool bottomUp,
                                         int height);

enum class DebayerMethod {
    // Each missing colour is the mean of the pixel's 3 x 3 neighbours of
    // that colour: smooth, and every sample keeps its own value.
    Bilinear,
    // Each missing colour is copied from the 2 x 2 cell the pixel lies in:
    // no smoothing, blockier edges, the fastest.
    Nearest,
};

// "bilinear" or "nearest"; none for any other name.
std::optional<DebayerMethod> debayerMethodNamed(const std::string& name);

// A three-channel (R, G, B) image of the mosaic's size. Throws
// std::invalid_argument for a mosaic that is not one channel of at least
// 2 x 2 pixels.
FloatImagePtr debayer(const FloatImage& mosaic, const BayerLayout& layout, DebayerMethod method);

// The grey of the debayered image, weighting channels 0, 1, 2 by 0.114,
// 0.587 and 0.299 as OpenCV's BGR-to-grey conversion does wherever a frame
// is turned grey for registration, computed row by row without the colour
// image ever being held. Throws as debayer does.
FloatImagePtr debayeredGrey(const FloatImage& mosaic, const BayerLayout& layout, DebayerMethod method);
