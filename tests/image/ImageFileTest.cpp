#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include "image/ImageFile.h"
#include "image/MatView.h"
#include "support/TestSupport.h"

namespace {

// Gives each test its own directory, removed afterwards.
class ImageFile : public testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }
    TempDir dir_;
};

// A FITS error names the file and ends in CFITSIO's reason, "(...)": the
// message without that reason, or "no reason" when it has none.
template <typename Action>
std::string fitsErrorOf(Action action)
{
    const std::string error = errorOf(action);
    const std::size_t open = error.rfind(" (");
    const bool reason = open != std::string::npos && error.back() == ')' && error.size() - open >= 4;
    return reason ? error.substr(0, open) : "no reason: " + error;
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
    header += withEnd ? std::string("END").append(77, ' ') : "";
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    return header + data;
}

}  // namespace

TEST_F(ImageFile, FitsRoundTripsExactlyAsChannelPlanesUnderLiteralNamesAndLoadsOnlyWhereTypeAxesAndDataFit)
{
    const float specials[] = {0.1f, 254.9999f, 1e-7f, -0.0f, -3.5f, 1e30f, std::numeric_limits<float>::denorm_min()};
    // CFITSIO would read these names as a section of frame.fits and as
    // "overwrite bang.fits"; they must be taken as they are.
    for (const auto& [channels, name] : {std::pair{1, "frame[1].fits"}, {3, "!bang.fits"}}) {
        const auto bytes = noiseFrame(4, 3, channels, 128, 127, 5);
        saveImage(path(name), bytes);
        const std::string file = readFile(path(name));
        // The short header fills one block; single bytes follow, pixel (1, 2)
        // being element 9 of each plane. Loading back tells a grey image from
        // one plane of a cube and a cube from a taller grey image.
        for (int c = 0; c < channels; ++c)
            EXPECT_EQ(static_cast<unsigned char>(file[2880 + c * 12 + 9]), bytes->getPixel(1, 2, c));
        EXPECT_EQ(std::memcmp(loadImage(path(name))->data(), bytes->data(), bytes->size()), 0);

        // Floats stored in any form but 32 bits would not come back exactly, or would not load.
        auto floats = toFloat(*bytes);
        std::copy(std::begin(specials), std::end(specials), floats->data());
        saveImage(path("floats.fits"), floats);
        const auto loaded = loadFloatImage(path("floats.fits"));
        ASSERT_TRUE(loaded->sameDimensions(*floats));
        EXPECT_EQ(std::memcmp(loaded->data(), floats->data(), floats->size() * sizeof(float)), 0) << channels;
    }
    // Planes of 2 x 1 pixels holding 1 2 | 3 4 | 5 255 interleave to 1 3 5 2 4 255,
    // and bytes load as floats too.
    writeFile(path("cube.fits"), fitsFile(8, {2, 1, 3}, "\x01\x02\x03\x04\x05\xff"));
    const auto cube = loadImage(path("cube.fits"));
    ASSERT_TRUE(cube->sameDimensions(ByteImage(2, 1, 3)));
    EXPECT_EQ(std::memcmp(cube->data(), "\x01\x03\x05\x02\x04\xff", 6), 0);
    EXPECT_EQ(loadFloatImage(path("cube.fits"))->getPixel(1, 0, 2), 255.0f);

    // Big-endian 16-bit 200 fits a byte; 256 (over.fits, below) does not.
    writeFile(path("short.fits"), fitsFile(16, {1, 1}, std::string("\x00\xc8", 2)));
    EXPECT_EQ(loadImage(path("short.fits"))->getPixel(0, 0), 200);
    EXPECT_EQ(errorOf([&] { loadFloatImage(path("short.fits")); }),
              "Unsupported FITS BITPIX 16 (expected 8 or -32): " + path("short.fits"));

    for (const auto& axes : std::vector<std::vector<long long>>{{4}, {2, 2, 2}, {2, 2, 3, 1}}) {
        writeFile(path("a.fits"), fitsFile(8, axes, std::string(12, '\0')));
        EXPECT_EQ(errorOf([&] { loadImage(path("a.fits")); }),
                  "Only 2D FITS images are supported: " + path("a.fits") + " has " + std::to_string(axes.size()) +
                      " axes");
    }

    // Hostile files are refused before the claimed size is allocated.
    writeFile(path("over.fits"), fitsFile(16, {1, 1}, std::string("\x01\x00", 2)));
    writeFile(path("huge.fits"), fitsFile(8, {40000, 40000}, "\x01"));
    writeFile(path("overflow.fits"), fitsFile(-32, {4000000000LL, 4000000000LL, 3}, "\x01"));
    writeFile(path("truncated.fits"), fitsFile(8, {100, 100}, "\x01"));
    for (const char* name : {"over.fits", "huge.fits", "overflow.fits", "truncated.fits"})
        EXPECT_EQ(fitsErrorOf([&] { loadImage(path(name)); }), "Could not read FITS image data: " + path(name));
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
        EXPECT_LE(cv::norm(matView(*loadImage(path("frame.jpg"))), matView(*image), cv::NORM_INF), 6) << channels;
    }
    // A flat grey block, which JPEG keeps exactly: 101 where truncation would give 100.
    auto floats = std::make_shared<FloatImage>(8, 8, 1);
    floats->fill(100.6f);
    saveImage(path("float.jpeg"), floats);
    EXPECT_EQ(loadFloatImage(path("float.jpeg"))->getPixel(3, 4), 101.0f);

    // Damaged files are invalid, not fatal.
    const std::string whole = readFile(path("frame.jpg"));
    const std::size_t scan = whole.find("\xff\xda");
    // Cut within the scan, libjpeg only warns and pads the missing rows with grey.
    writeFile(path("truncated.jpg"), whole.substr(0, scan + (whole.size() - scan) / 2));
    writeFile(path("header-only.jpg"), whole.substr(0, scan));
    writeFile(path("text.jpg"), "This is plainly not a JPEG file.");
    for (const char* name : {"truncated.jpg", "header-only.jpg", "text.jpg"})
        EXPECT_EQ(errorOf([&] { loadImage(path(name)); }).rfind("Invalid JPEG file: " + path(name) + " (", 0), 0u);
}

// What a flaky card or cable does to a frame: libjpeg decodes on with a
// warning, and the frame must be refused, never stacked. A header declaring
// gigapixels is refused before anything is allocated.
TEST_F(ImageFile, JpegWithDamagedDataOrAnOversizedHeaderIsRefused)
{
    saveImage(path("frame.jpg"), noiseFrame(64, 64, 3, 128, 60, 8));
    const std::string whole = readFile(path("frame.jpg"));
    const std::size_t scan = whole.find("\xff\xda");
    const std::size_t middle = scan + (whole.size() - scan) / 2;
    std::string earlyEnd = whole;
    earlyEnd.replace(middle, 2, "\xff\xd9");
    std::string scribbled = whole;
    scribbled.replace(middle, 24, std::string(24, '\x5a'));
    for (const auto& [name, bytes, reason] :
         {std::tuple{"early-end.jpg", earlyEnd, "Corrupt JPEG data: premature end of data segment"},
          {"scribbled.jpg", scribbled, "Corrupt JPEG data"}}) {
        writeFile(path(name), bytes);
        const std::string error = errorOf([&] { loadImage(path(name)); });
        EXPECT_EQ(error.rfind("Invalid JPEG file: " + path(name) + " (" + reason, 0), 0u) << error;
    }

    // SOF0: marker, length, precision, then height and width, big-endian.
    std::string huge = whole;
    const std::size_t frameHeader = huge.find("\xff\xc0") + 5;
    huge.replace(frameHeader, 4, "\x65\x90\x65\x90");  // 26000 x 26000
    writeFile(path("huge.jpg"), huge);
    EXPECT_EQ(errorOf([&] { loadImage(path("huge.jpg")); }),
              "Image of 26000 x 26000 x 3 samples is too large to load (at most 65535 pixels a side and 536870912 "
              "samples): " + path("huge.jpg"));
}

TEST_F(ImageFile, FormatFollowsTheLoweredExtensionAndFailedSavesLeaveEarlierFilesIntact)
{
    // The extension is what follows the last dot of the whole path.
    const auto image = noiseFrame(4, 4, 1, 128, 127, 5);
    for (const auto& [name, extension] :
         {std::pair{"frame.png", "png"}, {"frame", ""}, {"frame.", ""}, {"run.1/frame", "1/frame"}})
        EXPECT_EQ(errorOf([&] { saveImage(path(name), image); }), std::string("Unsupported file format: ") + extension);
    const std::string fits = path("missing/out.fits");
    EXPECT_EQ(fitsErrorOf([&] { saveImage(fits, toFloat(*image)); }), "Could not create FITS file: " + fits);

    // Two channels fit neither format; JPEG finds out only while writing its temporary file.
    for (const auto& [name, magic, error] :
         {std::tuple{"state.Fit", "SIMPLE", "FITS images need 1 or 3 channels, found 2: "},
          {"state.Jpeg", "\xff\xd8", "Could not write JPEG file: "}}) {
        saveImage(path(name), noiseFrame(8, 8, 1, 128, 20, 5));
        saveImage(path(name), noiseFrame(16, 8, 3, 128, 20, 5));
        const std::string before = readFile(path(name));
        EXPECT_EQ(before.rfind(magic, 0), 0u) << name;
        EXPECT_EQ(errorOf([&] { saveImage(path(name), std::make_shared<ByteImage>(4, 4, 2)); }), error + path(name));
        EXPECT_EQ(readFile(path(name)), before) << name;
        EXPECT_TRUE(loadImage(path(name))->sameDimensions(ByteImage(16, 8, 3))) << name;
    }
    // The two files and no temporary left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2);
}
