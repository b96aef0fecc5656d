#pragma once

#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/ImageBuffer.h"
#include "support/TestSupport.h"

// Gives each test its own directory, removed afterwards.
class FileTest : public testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }
    std::size_t entryCount() const
    {
        return std::distance(std::filesystem::directory_iterator(dir_.path()), std::filesystem::directory_iterator());
    }

private:
    TempDir dir_;
};

template <typename Error, typename Action>
void expectError(Action action, const std::string& message)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
}

// A gentle gradient per channel with seeded noise, which JPEG keeps close.
inline ByteImagePtr gradientImage(int width, int height, int channels)
{
    std::mt19937 random(7);
    auto image = std::make_shared<ByteImage>(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                image->setPixel(x, y, static_cast<unsigned char>(30 + 2 * x + y + 40 * c + random() % 5), c);
    return image;
}

// FITS written by hand, independent of CFITSIO: 80-column cards, 2880-byte blocks.
inline std::string fitsCard(const std::string& key, const std::string& value)
{
    std::string card = key;
    card.resize(8, ' ');
    card += "= " + std::string(20 - value.size(), ' ') + value;
    card.resize(80, ' ');
    return card;
}

inline std::string fitsFile(int bitpix, const std::vector<long long>& axes, std::string data, bool withEnd = true)
{
    std::string header = fitsCard("SIMPLE", "T") + fitsCard("BITPIX", std::to_string(bitpix)) +
                         fitsCard("NAXIS", std::to_string(axes.size()));
    for (std::size_t i = 0; i < axes.size(); ++i)
        header += fitsCard("NAXIS" + std::to_string(i + 1), std::to_string(axes[i]));
    if (withEnd)
        header += std::string("END").append(77, ' ');
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    return header + data;
}
