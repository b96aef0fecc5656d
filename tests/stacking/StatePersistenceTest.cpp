#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "support/TestSupport.h"

namespace {

class StateFiles : public ::testing::Test {
protected:
    // A stacker holding the given frame loaded as a state image with the sidecar text.
    std::unique_ptr<Stacker> loadedWithSidecar(const std::string& sidecar)
    {
        saveImage(state, noiseFrame(8, 6, 1, 120, 30, 3));
        writeFile(state + ".meta", sidecar);
        auto stacker = std::make_unique<Stacker>();
        EXPECT_TRUE(stacker->loadState(state));
        return stacker;
    }

    TempDir dir;
    std::string state = dir.file("state.fits");
};

}  // namespace

TEST_F(StateFiles, SidecarValuesRoundTripAndVariantsFallBackAsDocumented)
{
    const struct {
        std::string text;
        int count;
        float orientation;
        bool checked;
    } cases[] = {{"12\n33.456\n1\n1\n0.87654", 12, 33.456f, true},
                 {"5", 5, 0.0f, false},
                 {"7 -12.5", 7, -12.5f, false},
                 {"0", 1, 0.0f, false},
                 {"", 1, 0.0f, false},
                 {"garbage\n\x01\x02 12", 1, 0.0f, false},
                 {"99999999999999999999", 1, 0.0f, false}};
    for (const auto& c : cases) {
        auto stacker = loadedWithSidecar(c.text);
        EXPECT_EQ(stacker->frameCount(), c.count) << c.text;
        EXPECT_FLOAT_EQ(stacker->orientation(), c.orientation) << c.text;
        EXPECT_EQ(stacker->nebulosity().checked, c.checked) << c.text;
    }
    // The whole record comes back, saved at two and four decimals, and loading twice keeps one entry.
    auto stacker = loadedWithSidecar(cases[0].text);
    EXPECT_TRUE(stacker->nebulosity().detected);
    ASSERT_TRUE(stacker->saveState(dir.file("copy.fits")));
    EXPECT_EQ(readFile(dir.file("copy.fits.meta")), "12\n33.46\n1\n1\n0.8765");
    ASSERT_TRUE(stacker->loadState(dir.file("copy.fits")));
    EXPECT_FLOAT_EQ(stacker->nebulosity().score, 0.8765f);
    EXPECT_EQ(stacker->frameListSize(), 1u);

    std::remove((state + ".meta").c_str());
    Stacker noSidecar;
    ASSERT_TRUE(noSidecar.loadState(state));
    EXPECT_EQ(noSidecar.frameCount(), 1);
}

// A FITS state keeps the float mean bit for bit; a JPEG state rounds it to
// 8 bits. Both keep the colour.
TEST_F(StateFiles, StackRoundTripsThroughBothStateFormats)
{
    saveImage(dir.file("a.fits"), flatFrame(5, 4, 3, 100));
    saveImage(dir.file("b.fits"), flatFrame(5, 4, 3, 201));
    for (const auto& [name, expected, tolerance] : {std::tuple("s.fits", 150.5f, 0.0f), {"s.jpg", 151.0f, 1.0f}}) {
        const std::string path = dir.file(name);
        // Flat frames have nothing to register by; the round trip is what is tested.
        Stacker first;
        first.setAlignment(false);
        ASSERT_TRUE(first.processFrame(dir.file("a.fits"), dir.file("o.jpg")) && first.saveState(path));
        Stacker second;
        second.setAlignment(false);
        ASSERT_TRUE(second.loadState(path) && second.processFrame(dir.file("b.fits"), dir.file("o.jpg")));
        ASSERT_TRUE(second.saveState(path));
        Stacker third;
        ASSERT_TRUE(third.loadState(path));
        EXPECT_EQ(third.frameCount(), 2) << name;
        ASSERT_EQ(third.stackedFrame()->channels(), 3) << name;
        EXPECT_NEAR(third.stackedFrame()->getPixel(4, 3, 2), expected, tolerance) << name;
    }
}

TEST_F(StateFiles, NothingToSaveAndUnsupportedPathsFail)
{
    Stacker empty;
    EXPECT_FALSE(empty.saveState(state));
    EXPECT_EQ(empty.lastError(), "No stacked frame to save");
    EXPECT_FALSE(fileExists(state));

    Stacker missing;
    EXPECT_FALSE(missing.loadState(dir.file("absent.fits")));
    EXPECT_EQ(missing.lastError(), "State file does not exist: " + dir.file("absent.fits"));

    auto stacker = loadedWithSidecar("3");
    EXPECT_FALSE(stacker->saveState(dir.file("state.png")));
    EXPECT_EQ(stacker->lastError(), "Unsupported file format: png");
}

TEST_F(StateFiles, UnreadableStateIsSetAsideNotOverwritten)
{
    const std::string corrupt = "SIMPLE  =                    T / truncated and broken";
    writeFile(state, corrupt);
    writeFile(state + ".meta", "40\n0.00\n1\n0\n0.1000");
    writeFile(state + ".unreadable", "an older one");

    Stacker stacker;
    EXPECT_FALSE(stacker.loadState(state));
    EXPECT_FALSE(stacker.lastError().empty());
    EXPECT_FALSE(fileExists(state));
    EXPECT_EQ(readFile(state + ".unreadable"), corrupt);
    EXPECT_EQ(readFile(state + ".meta.unreadable"), "40\n0.00\n1\n0\n0.1000");
    EXPECT_EQ(stacker.frameCount(), 0);
}

TEST_F(StateFiles, AFailedWriteLeavesImageAndSidecarAsTheyWere)
{
    namespace fs = std::filesystem;
    saveImage(dir.file("other.fits"), noiseFrame(8, 6, 1, 60, 30, 9));
    Stacker stacker;  // holds a stack unlike the one on disk
    ASSERT_TRUE(stacker.loadState(dir.file("other.fits")));
    loadedWithSidecar("3");
    const std::string image = readFile(state);

    // The sidecar cannot be put in place: the new image must not stay either.
    fs::rename(state + ".meta", dir.file("aside.meta"));
    fs::create_directory(state + ".meta");
    EXPECT_FALSE(stacker.saveState(state));
    EXPECT_NE(stacker.lastError().find(state + ".meta"), std::string::npos) << stacker.lastError();
    EXPECT_EQ(readFile(state), image);

    // The image cannot be put in place: the sidecar stays as it was.
    const std::string blocked = dir.file("blocked.fits");
    fs::create_directory(blocked);
    writeFile(blocked + ".meta", "9");
    EXPECT_FALSE(stacker.saveState(blocked));
    EXPECT_EQ(readFile(blocked + ".meta"), "9");

    // aside.meta, blocked.fits and its .meta, other.fits, state.fits and its .meta: no temporaries.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 6);
}
