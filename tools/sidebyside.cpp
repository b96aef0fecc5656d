// Puts two pictures of the same height side by side, for before/after views.
#include <algorithm>
#include <cstring>
#include <iostream>

#include "image/ImageFile.h"

namespace {

// A grey picture repeated into three channels, so grey and colour can pair.
ByteImagePtr asColour(const ByteImagePtr& image)
{
    if (image->channels() == 3)
        return image;
    auto colour = std::make_shared<ByteImage>(image->width(), image->height(), 3);
    for (std::size_t i = 0; i < image->size(); ++i)
        std::fill_n(colour->data() + 3 * i, 3, image->data()[i]);
    return colour;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: sidebyside LEFT RIGHT OUTPUT\n";
        return 1;
    }
    try {
        const ByteImagePtr left = asColour(loadImage(argv[1]));
        const ByteImagePtr right = asColour(loadImage(argv[2]));
        if (left->height() != right->height())
            throw std::runtime_error("the two pictures differ in height");
        auto both = std::make_shared<ByteImage>(left->width() + right->width(), left->height(), 3);
        const std::size_t leftRow = std::size_t(left->width()) * 3;
        const std::size_t rightRow = std::size_t(right->width()) * 3;
        for (int y = 0; y < both->height(); ++y) {
            unsigned char* row = both->data() + std::size_t(y) * (leftRow + rightRow);
            std::memcpy(row, left->data() + std::size_t(y) * leftRow, leftRow);
            std::memcpy(row + leftRow, right->data() + std::size_t(y) * rightRow, rightRow);
        }
        saveImage(argv[3], both);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "sidebyside: " << e.what() << '\n';
        return 1;
    }
}
