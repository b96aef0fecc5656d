#include "FileTestSupport.h"
#include "image/ImageFile.h"

using JpegFileTest = FileTest;

TEST_F(JpegFileTest, RoundTripKeepsChannelsInRgbOrderAndStaysClose)
{
    for (int channels : {1, 3}) {
        const auto image = gradientImage(40, 24, channels);
        saveImage(path("frame.jpg"), image);
        const auto loaded = loadImage(path("frame.jpg"));
        ASSERT_TRUE(loaded->sameDimensions(*image));
        for (std::size_t i = 0; i < image->size(); ++i)
            ASSERT_NEAR(loaded->data()[i], image->data()[i], 6) << "sample " << i;
    }
    auto red = std::make_shared<ByteImage>(16, 16, 3);
    for (std::size_t i = 0; i < red->size(); i += 3)
        red->data()[i] = 220;
    saveImage(path("red.jpg"), red);
    const auto loaded = loadImage(path("red.jpg"));
    EXPECT_NEAR(loaded->getPixel(8, 8, 0), 220, 6);
    EXPECT_LT(loaded->getPixel(8, 8, 1), 10);
    EXPECT_LT(loaded->getPixel(8, 8, 2), 10);
}

TEST_F(JpegFileTest, DamagedFilesAreInvalidNotFatal)
{
    auto noise = std::make_shared<ByteImage>(64, 64, 3);
    std::mt19937 random(3);
    std::generate(noise->data(), noise->data() + noise->size(), [&] { return static_cast<unsigned char>(random()); });
    saveImage(path("whole.jpg"), noise);
    const std::string whole = readFile(path("whole.jpg"));
    const std::size_t scan = whole.find("\xff\xda");
    ASSERT_NE(scan, std::string::npos);
    writeFile(path("truncated.jpg"), whole.substr(0, scan + (whole.size() - scan) / 2));
    writeFile(path("header-only.jpg"), whole.substr(0, scan));
    writeFile(path("text.jpg"), "This is plainly not a JPEG file.");
    writeFile(path("empty.jpg"), "");
    for (const char* name : {"truncated.jpg", "header-only.jpg", "text.jpg", "empty.jpg"}) {
        expectError<std::runtime_error>([&] { loadImage(path(name)); }, "Invalid JPEG file: " + path(name));
        expectError<std::runtime_error>([&] { loadFloatImage(path(name)); }, "Invalid JPEG file: " + path(name));
    }
    expectError<std::runtime_error>([&] { loadImage(path("missing.jpg")); }, "Could not open file: " + path("missing.jpg"));
}

TEST_F(JpegFileTest, FloatsAreRoundedToNearestWhenSavedAndLoadExactly)
{
    // One flat 8 x 8 block per value: JPEG keeps a flat grey block exactly.
    const float values[] = {100.4f, 100.6f, 300.0f, -5.0f, 254.6f, 0.49f};
    const unsigned char expected[] = {100, 101, 255, 0, 255, 0};
    auto image = std::make_shared<FloatImage>(8 * 6, 8, 1);
    for (int i = 0; i < 8 * 6 * 8; ++i)
        image->data()[i] = values[i % 48 / 8];
    saveImage(path("float.jpeg"), image);
    const auto bytes = loadImage(path("float.jpeg"));
    const auto floats = loadFloatImage(path("float.jpeg"));
    for (int block = 0; block < 6; ++block) {
        EXPECT_EQ(bytes->getPixel(block * 8 + 3, 4), expected[block]) << values[block];
        EXPECT_EQ(floats->getPixel(block * 8 + 3, 4), float(expected[block])) << values[block];
    }
}
