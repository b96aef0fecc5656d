// FITS header cards: the input becomes the cards of a small, otherwise valid
// 16-bit image loaded through the data model from memory, so the fuzzer's
// time goes to the header parser and to what reads its records (the Bayer
// pattern and its offsets, the statistics a header may state, the date)
// rather than to the pixels. The mosaic is debayered on load, so a pattern
// the cards name reaches the decoder with the offsets they give.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzFiles.h"
#include "fits/FITSData.h"

namespace {

constexpr int kCardLength = 80;
constexpr int kBlockLength = 2880;
constexpr int kWidth = 16;
constexpr int kHeight = 12;

QByteArray valueCard(const char* keyword, const std::string& value)
{
    char text[kCardLength + 1];
    std::snprintf(text, sizeof text, "%-8s= %20s%50s", keyword, value.c_str(), "");
    return QByteArray(text, kCardLength);
}

void padTo(QByteArray& bytes, int length, char fill)
{
    bytes.append((length - bytes.size() % length) % length, fill);
}

QByteArray mandatoryCards()
{
    return valueCard("SIMPLE", "T") + valueCard("BITPIX", "16") + valueCard("NAXIS", "2") +
           valueCard("NAXIS1", std::to_string(kWidth)) + valueCard("NAXIS2", std::to_string(kHeight));
}

// Big-endian 16-bit samples of a ramp, padded to a whole block.
QByteArray pixelBlocks()
{
    QByteArray pixels;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int value = (i * 97) % 4096;
        pixels.append(char(value >> 8));
        pixels.append(char(value & 0xff));
    }
    padTo(pixels, kBlockLength, '\0');
    return pixels;
}

QByteArray imageWithCards(const std::uint8_t* data, std::size_t size)
{
    static const QByteArray mandatory = mandatoryCards();
    static const QByteArray pixels = pixelBlocks();
    QByteArray file = mandatory;
    file.append(reinterpret_cast<const char*>(data), int(size));
    padTo(file, kCardLength, ' ');
    file.append("END");
    padTo(file, kBlockLength, ' ');
    return file + pixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FITSData image;
    image.loadFromBuffer(imageWithCards(data, size), "frame.fits");
    return 0;
}
