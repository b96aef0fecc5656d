#include "FileTestSupport.h"
#include "image/ImageFile.h"

using ImageFileTest = FileTest;

TEST_F(ImageFileTest, ExtensionIsTheLoweredTextAfterTheLastDot)
{
    EXPECT_EQ(fileExtension("/a.b/frame.Jpeg"), "jpeg");
    EXPECT_EQ(fileExtension("archive.tar.FZ"), "fz");
    EXPECT_EQ(fileExtension("frame."), "");
    const auto image = gradientImage(4, 4, 1);
    const std::pair<const char*, const char*> refused[] = {
        {"frame.png", "png"}, {"frame", ""}, {"run.1/frame", "1/frame"}};
    for (const auto& [name, extension] : refused) {
        const std::string message = std::string("Unsupported file format: ") + extension;
        expectError<std::runtime_error>([&] { loadImage(path(name)); }, message);
        expectError<std::runtime_error>([&] { loadFloatImage(path(name)); }, message);
        expectError<std::runtime_error>([&] { saveImage(path(name), image); }, message);
        expectError<std::runtime_error>([&] { saveImage(path(name), toFloat(*image)); }, message);
    }
    EXPECT_EQ(entryCount(), 0u);
}

TEST_F(ImageFileTest, SavingAgainReplacesTheFileInTheFormatOfItsExtension)
{
    for (const char* name : {"state.Fit", "state.Jpeg"}) {
        saveImage(path(name), gradientImage(8, 8, 1));
        saveImage(path(name), gradientImage(16, 8, 3));
        const auto loaded = loadImage(path(name));
        EXPECT_EQ(loaded->width(), 16) << name;
        EXPECT_EQ(loaded->channels(), 3) << name;
    }
    EXPECT_EQ(readFile(path("state.Fit")).substr(0, 6), "SIMPLE");
    EXPECT_EQ(readFile(path("state.Jpeg")).substr(0, 2), "\xff\xd8");
    EXPECT_EQ(entryCount(), 2u);
}

TEST_F(ImageFileTest, SavingIntoAMissingDirectoryFailsCleanly)
{
    const auto image = gradientImage(4, 4, 1);
    const std::string jpeg = path("missing/out.jpg");
    const std::string fits = path("missing/out.fits");
    expectError<std::runtime_error>([&] { saveImage(jpeg, image); }, "Could not open file for writing: " + jpeg);
    expectError<std::runtime_error>([&] { saveImage(fits, image); }, "Could not create FITS file: " + fits);
    expectError<std::runtime_error>([&] { saveImage(fits, toFloat(*image)); }, "Could not create FITS file: " + fits);
    EXPECT_EQ(entryCount(), 0u);
}

TEST_F(ImageFileTest, FailedSaveLeavesTheEarlierFileIntact)
{
    // Two channels fit neither format; JPEG finds out only while writing its temporary file.
    const auto unwritable = std::make_shared<ByteImage>(4, 4, 2);
    for (const char* name : {"keep.jpg", "keep.fits"}) {
        saveImage(path(name), gradientImage(8, 8, 3));
        const std::string before = readFile(path(name));
        EXPECT_THROW(saveImage(path(name), unwritable), std::runtime_error) << name;
        EXPECT_EQ(readFile(path(name)), before) << name;
    }
    expectError<std::runtime_error>([&] { saveImage(path("keep.jpg"), unwritable); },
                                    "Could not write JPEG file: " + path("keep.jpg"));
    EXPECT_EQ(entryCount(), 2u);
}
