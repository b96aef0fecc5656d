#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/ImageFile.h"
#include "support/TestSupport.h"

namespace {

// Gives each test its own directory, removed afterwards.
class ImageFile : public testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }
    // Entries in the directory: temporary files must not be left behind.
    long entryCount() const { return std::distance(std::filesystem::directory_iterator(dir_.path()), {}); }
    TempDir dir_;
};

// The message of the exception of the given type that action throws.
template <typename Error = std::runtime_error, typename Action>
std::string errorOf(Action action)
{
    try {
        action();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

// A FITS error names the file and ends in CFITSIO's reason, "(...)": the
// message without that reason, or "no reason" when it has none.
template <typename Action>
std::string fitsErrorOf(Action action)
{
    const std::string error = errorOf(action);
    const std::size_t open = error.rfind(" (");
    if (open == std::string::npos || error.back() != ')' || error.size() - open < 4)
        return "no reason: " + error;
    return error.substr(0, open);
}

// FITS written by hand, independent of CFITSIO: 80-column cards, 2880-byte blocks.
std::string fitsCard(const std::string& key, const std::string& value)
{
    return key + std::string(8 - key.size(), ' ') + "= " + std::string(20 - value.size(), ' ') + value +
           std::string(50, ' ');
}

std::string fitsFile(int bitpix, const std::vector<long long>& axes, std::string data, bool withEnd = true)
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

}  // namespace

TEST_F(ImageFile, FitsBytesAndFloatsRoundTripExactlyAsRowsOfChannelPlanesUnderLiteralNames)
{
    const float specials[] = {0.1f, 254.9999f, 1e-7f, -0.0f, 1e30f, std::numeric_limits<float>::denorm_min()};
    // CFITSIO would read these names as a section of frame.fits and as
    // "overwrite bang.fits"; they must be taken as they are.
    for (const auto& [channels, name] : {std::pair{1, "frame[1].fits"}, {3, "!bang.fits"}}) {
        const auto bytes = noiseFrame(4, 3, channels, 128, 127, 5);
        saveImage(path(name), bytes);
        const std::string file = readFile(path(name));
        // CFITSIO follows values with comments, so only the key and value columns are compared.
        EXPECT_NE(file.find(fitsCard("BITPIX", "8").substr(0, 30)), std::string::npos);
        EXPECT_NE(file.find(fitsCard("NAXIS", channels == 1 ? "2" : "3").substr(0, 30)), std::string::npos);
        // The short header fills one block; pixel (1, 2) is element 9 of each plane.
        for (int c = 0; c < channels; ++c)
            EXPECT_EQ(static_cast<unsigned char>(file[2880 + c * 12 + 9]), bytes->getPixel(1, 2, c));
        EXPECT_EQ(std::memcmp(loadImage(path(name))->data(), bytes->data(), bytes->size()), 0);

        auto floats = std::make_shared<FloatImage>(5, 4, channels);
        for (std::size_t i = 0; i < floats->size(); ++i)
            floats->data()[i] = i < std::size(specials) ? specials[i] : float(i) * 37.1f - 400.0f;
        saveImage(path("floats.fits"), floats);
        EXPECT_NE(readFile(path("floats.fits")).find(fitsCard("BITPIX", "-32").substr(0, 30)), std::string::npos);
        const auto loaded = loadFloatImage(path("floats.fits"));
        ASSERT_TRUE(loaded->sameDimensions(*floats));
        EXPECT_EQ(std::memcmp(loaded->data(), floats->data(), floats->size() * sizeof(float)), 0) << channels;
    }
    // Planes of 2 x 1 pixels holding 1 2 | 3 4 | 5 6 interleave to 1 3 5 2 4 6.
    writeFile(path("cube.fits"), fitsFile(8, {2, 1, 3}, "\x01\x02\x03\x04\x05\x06"));
    const auto cube = loadImage(path("cube.fits"));
    ASSERT_TRUE(cube->sameDimensions(ByteImage(2, 1, 3)));
    EXPECT_EQ(std::memcmp(cube->data(), "\x01\x03\x05\x02\x04\x06", 6), 0);
}

TEST_F(ImageFile, FitsFilesLoadOnlyWhereSampleTypeAxesAndDataFit)
{
    writeFile(path("bytes.fits"), fitsFile(8, {3, 1}, std::string("\x00\x7f\xff", 3)));
    EXPECT_EQ(loadFloatImage(path("bytes.fits"))->getPixel(2, 0), 255.0f);
    // Big-endian 16-bit 200 fits a byte; 256 does not.
    writeFile(path("short.fits"), fitsFile(16, {1, 1}, std::string("\x00\xc8", 2)));
    EXPECT_EQ(loadImage(path("short.fits"))->getPixel(0, 0), 200);
    EXPECT_EQ(errorOf([&] { loadFloatImage(path("short.fits")); }),
              "Unsupported FITS BITPIX 16 (expected 8 or -32): " + path("short.fits"));
    writeFile(path("over.fits"), fitsFile(16, {1, 1}, std::string("\x01\x00", 2)));
    EXPECT_EQ(fitsErrorOf([&] { loadImage(path("over.fits")); }), "Could not read FITS image data: " + path("over.fits"));

    for (const auto& axes : std::vector<std::vector<long long>>{{4}, {2, 2, 2}, {2, 2, 3, 1}}) {
        writeFile(path("axes.fits"), fitsFile(8, axes, std::string(12, '\0')));
        EXPECT_EQ(errorOf([&] { loadImage(path("axes.fits")); }),
                  "Only 2D FITS images are supported: " + path("axes.fits") + " has " + std::to_string(axes.size()) +
                      " axes");
    }
    EXPECT_EQ(errorOf([&] { saveImage(path("two.fits"), std::make_shared<ByteImage>(2, 2, 2)); }),
              "FITS images need 1 or 3 channels, found 2: " + path("two.fits"));

    // Hostile files are refused before the claimed size is allocated.
    writeFile(path("huge.fits"), fitsFile(8, {40000, 40000}, "\x01"));
    writeFile(path("overflow.fits"), fitsFile(-32, {4000000000LL, 4000000000LL, 3}, "\x01"));
    writeFile(path("truncated.fits"), fitsFile(8, {100, 100}, "\x01"));
    for (const char* name : {"huge.fits", "overflow.fits", "truncated.fits"})
        EXPECT_EQ(fitsErrorOf([&] { loadFloatImage(path(name)); }), "Could not read FITS image data: " + path(name));
    writeFile(path("noend.fits"), fitsFile(8, {1, 1}, "\x01", false));
    writeFile(path("text.fits"), "Not a FITS file at all");
    for (const char* name : {"noend.fits", "text.fits", "missing.fits"})
        EXPECT_EQ(fitsErrorOf([&] { loadImage(path(name)); }), "Could not open FITS file: " + path(name));
    writeFile(path("zero.fits"), fitsFile(8, {0, 5}, ""));
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { loadImage(path("zero.fits")); }),
              "Invalid dimensions for ImageBuffer");
}

TEST_F(ImageFile, JpegRoundTripStaysCloseRoundsFloatsToNearestAndRefusesDamagedFiles)
{
    // A gentle gradient, distinct in each channel, which JPEG keeps close.
    for (int channels : {1, 3}) {
        auto image = std::make_shared<ByteImage>(40, 24, channels);
        for (std::size_t i = 0; i < image->size(); ++i)
            image->data()[i] =
                static_cast<unsigned char>(30 + i / channels % 40 * 2 + i / channels / 40 + i % channels * 40);
        saveImage(path("frame.jpg"), image);
        const auto loaded = loadImage(path("frame.jpg"));
        ASSERT_TRUE(loaded->sameDimensions(*image));
        for (std::size_t i = 0; i < image->size(); ++i)
            ASSERT_NEAR(loaded->data()[i], image->data()[i], 6) << "sample " << i;
    }
    // A flat grey block, which JPEG keeps exactly: 101 where truncation would give 100.
    auto floats = std::make_shared<FloatImage>(8, 8, 1);
    floats->fill(100.6f);
    saveImage(path("float.jpeg"), floats);
    EXPECT_EQ(loadFloatImage(path("float.jpeg"))->getPixel(3, 4), 101.0f);

    // Damaged files are invalid, not fatal.
    saveImage(path("whole.jpg"), noiseFrame(64, 64, 3, 128, 127, 3));
    const std::string whole = readFile(path("whole.jpg"));
    const std::size_t scan = whole.find("\xff\xda");
    ASSERT_NE(scan, std::string::npos);
    // Cut within the scan, libjpeg only warns and pads the missing rows with grey.
    writeFile(path("truncated.jpg"), whole.substr(0, scan + (whole.size() - scan) / 2));
    writeFile(path("header-only.jpg"), whole.substr(0, scan));
    writeFile(path("text.jpg"), "This is plainly not a JPEG file.");
    for (const char* name : {"truncated.jpg", "header-only.jpg", "text.jpg"})
        EXPECT_EQ(errorOf([&] { loadImage(path(name)); }), "Invalid JPEG file: " + path(name));
    EXPECT_EQ(errorOf([&] { loadFloatImage(path("missing.jpg")); }), "Could not open file: " + path("missing.jpg"));
}

TEST_F(ImageFile, FormatFollowsTheLoweredExtensionAndFailedSavesLeaveEarlierFilesIntact)
{
    // The extension is what follows the last dot of the whole path.
    const auto image = noiseFrame(4, 4, 1, 128, 127, 5);
    for (const auto& [name, extension] :
         {std::pair{"frame.png", "png"}, {"frame", ""}, {"frame.", ""}, {"run.1/frame", "1/frame"}}) {
        EXPECT_EQ(errorOf([&] { loadFloatImage(path(name)); }), std::string("Unsupported file format: ") + extension);
        EXPECT_EQ(errorOf([&] { saveImage(path(name), image); }), std::string("Unsupported file format: ") + extension);
    }
    const std::string jpeg = path("missing/out.jpg"), fits = path("missing/out.fits");
    EXPECT_EQ(errorOf([&] { saveImage(jpeg, image); }), "Could not open file for writing: " + jpeg);
    EXPECT_EQ(fitsErrorOf([&] { saveImage(fits, toFloat(*image)); }), "Could not create FITS file: " + fits);
    EXPECT_EQ(entryCount(), 0);

    // Two channels fit neither format; JPEG finds out only while writing its temporary file.
    const auto unwritable = std::make_shared<ByteImage>(4, 4, 2);
    for (const auto& [name, magic] : {std::pair{"state.Fit", "SIMPLE"}, {"state.Jpeg", "\xff\xd8"}}) {
        saveImage(path(name), noiseFrame(8, 8, 1, 128, 20, 5));
        saveImage(path(name), noiseFrame(16, 8, 3, 128, 20, 5));
        const std::string before = readFile(path(name));
        EXPECT_EQ(before.rfind(magic, 0), 0u) << name;
        EXPECT_THROW(saveImage(path(name), unwritable), std::runtime_error) << name;
        EXPECT_EQ(readFile(path(name)), before) << name;
        EXPECT_TRUE(loadImage(path(name))->sameDimensions(ByteImage(16, 8, 3))) << name;
    }
    EXPECT_EQ(entryCount(), 2);
}
