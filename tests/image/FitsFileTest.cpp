#include <cstring>
#include <limits>

#include "FileTestSupport.h"
#include "image/ImageFile.h"

namespace {

// CFITSIO follows values with comments, so only the key and value columns are compared.
bool hasCard(const std::string& file, const std::string& key, const std::string& value)
{
    return file.find(fitsCard(key, value).substr(0, 30)) != std::string::npos;
}

}  // namespace

using FitsFileTest = FileTest;

TEST_F(FitsFileTest, BytesRoundTripExactlyAsRowsOfChannelPlanes)
{
    for (int channels : {1, 3}) {
        const auto image = gradientImage(4, 3, channels);
        saveImage(path("frame.fits"), image);
        const std::string file = readFile(path("frame.fits"));
        EXPECT_TRUE(hasCard(file, "BITPIX", "8"));
        EXPECT_TRUE(hasCard(file, "NAXIS", channels == 1 ? "2" : "3"));
        EXPECT_EQ(file.find("BZERO"), std::string::npos);
        // The short header fills one block; pixel (1, 2) is element 9 of each plane.
        for (int c = 0; c < channels; ++c)
            EXPECT_EQ(static_cast<unsigned char>(file[2880 + c * 12 + 9]), image->getPixel(1, 2, c));

        const auto loaded = loadImage(path("frame.fits"));
        ASSERT_TRUE(loaded->sameDimensions(*image));
        EXPECT_TRUE(std::equal(image->data(), image->data() + image->size(), loaded->data()));
    }
    // Planes of 2 x 1 pixels holding 1 2 | 3 4 | 5 6 interleave to 1 3 5 2 4 6.
    writeFile(path("cube.fits"), fitsFile(8, {2, 1, 3}, "\x01\x02\x03\x04\x05\x06"));
    const auto cube = loadImage(path("cube.fits"));
    const unsigned char expected[] = {1, 3, 5, 2, 4, 6};
    ASSERT_EQ(cube->size(), 6u);
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), cube->data()));
}

TEST_F(FitsFileTest, FloatsRoundTripBitForBit)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
    const float specials[] = {0.1f, 254.9999f, 1e-7f, -0.0f, 1e30f, std::numeric_limits<float>::denorm_min()};
    for (int channels : {1, 3}) {
        auto image = std::make_shared<FloatImage>(5, 4, channels);
        std::generate(image->data(), image->data() + image->size(), [&] { return value(random); });
        std::copy(std::begin(specials), std::end(specials), image->data() + channels);
        saveImage(path("float.fits"), image);
        EXPECT_TRUE(hasCard(readFile(path("float.fits")), "BITPIX", "-32"));
        const auto loaded = loadFloatImage(path("float.fits"));
        ASSERT_TRUE(loaded->sameDimensions(*image));
        EXPECT_EQ(std::memcmp(loaded->data(), image->data(), image->size() * sizeof(float)), 0) << channels;
    }
}

TEST_F(FitsFileTest, SampleTypesLoadOnlyWhereTheValuesFit)
{
    writeFile(path("bytes.fits"), fitsFile(8, {3, 1}, std::string("\x00\x7f\xff", 3)));
    const auto floats = loadFloatImage(path("bytes.fits"));
    EXPECT_EQ(floats->getPixel(1, 0), 127.0f);
    EXPECT_EQ(floats->getPixel(2, 0), 255.0f);

    // Big-endian 16-bit 200 fits a byte; 256 does not.
    writeFile(path("short.fits"), fitsFile(16, {1, 1}, std::string("\x00\xc8", 2)));
    EXPECT_EQ(loadImage(path("short.fits"))->getPixel(0, 0), 200);
    expectError<std::runtime_error>([&] { loadFloatImage(path("short.fits")); },
                                    "Unsupported FITS BITPIX 16 (expected 8 or -32): " + path("short.fits"));
    writeFile(path("over.fits"), fitsFile(16, {1, 1}, std::string("\x01\x00", 2)));
    expectError<std::runtime_error>([&] { loadImage(path("over.fits")); }, "Could not read FITS image data");
}

TEST_F(FitsFileTest, OnlyPlanesAndThreePlaneCubesAreImages)
{
    for (const auto& axes : std::vector<std::vector<long long>>{{4}, {2, 2, 2}, {2, 2, 1}, {2, 2, 3, 1}}) {
        writeFile(path("axes.fits"), fitsFile(8, axes, std::string(12, '\0')));
        expectError<std::runtime_error>([&] { loadImage(path("axes.fits")); }, "Only 2D FITS images are supported");
    }
    const auto twoChannels = std::make_shared<ByteImage>(2, 2, 2);
    expectError<std::runtime_error>([&] { saveImage(path("two.fits"), twoChannels); },
                                    "FITS images need 1 or 3 channels, found 2: " + path("two.fits"));
}

TEST_F(FitsFileTest, HostileFilesAreRefusedWithoutAllocatingTheClaimedSize)
{
    writeFile(path("huge.fits"), fitsFile(8, {40000, 40000}, "\x01"));
    writeFile(path("overflow.fits"), fitsFile(-32, {4000000000LL, 4000000000LL, 3}, "\x01"));
    writeFile(path("truncated.fits"), fitsFile(8, {100, 100}, "\x01"));
    for (const char* name : {"huge.fits", "overflow.fits", "truncated.fits"}) {
        expectError<std::runtime_error>([&] { loadImage(path(name)); }, "Could not read FITS image data");
        expectError<std::runtime_error>([&] { loadFloatImage(path(name)); }, "Could not read FITS image data");
    }
    writeFile(path("noend.fits"), fitsFile(8, {1, 1}, "\x01", false));
    writeFile(path("empty.fits"), "");
    writeFile(path("text.fits"), "Not a FITS file at all");
    for (const char* name : {"noend.fits", "empty.fits", "text.fits", "missing.fits"})
        expectError<std::runtime_error>([&] { loadImage(path(name)); }, "Could not open FITS file: " + path(name));
    writeFile(path("zero.fits"), fitsFile(8, {0, 5}, ""));
    expectError<std::invalid_argument>([&] { loadImage(path("zero.fits")); }, "Invalid dimensions for ImageBuffer");
}

TEST_F(FitsFileTest, PathsAreTakenLiterally)
{
    const auto image = gradientImage(3, 2, 1);
    for (const char* name : {"frame[1].fits", "!bang.fits"}) {
        saveImage(path(name), image);
        EXPECT_EQ(loadImage(path(name))->getPixel(2, 1), image->getPixel(2, 1)) << name;
    }
    EXPECT_EQ(entryCount(), 2u);
}
