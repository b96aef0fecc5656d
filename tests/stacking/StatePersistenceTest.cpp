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
        lastLoad = stacker->loadState(state);
        return stacker;
    }

    TempDir dir;
    std::string state = dir.file("state.fits");
    StateLoad lastLoad = StateLoad::Missing;
};

}  // namespace

// A state image from elsewhere carries no count: its sidecar is the only
// record of it, and without a usable one the run must stop rather than
// restart the count under the whole stack.
TEST_F(StateFiles, SidecarValuesRoundTripAndALostCountIsRefused)
{
    const struct {
        std::string text;
        int count;
        float orientation;
        bool checked;
    } cases[] = {{"12\n33.456\n1\n1\n0.87654", 12, 33.456f, true}, {"5", 5, 0.0f, false}, {"7 -12.5", 7, -12.5f, false}};
    for (const auto& c : cases) {
        auto stacker = loadedWithSidecar(c.text);
        ASSERT_EQ(lastLoad, StateLoad::Loaded) << c.text;
        EXPECT_EQ(stacker->frameCount(), c.count) << c.text;
        EXPECT_FLOAT_EQ(stacker->orientation(), c.orientation) << c.text;
        EXPECT_EQ(stacker->nebulosity().checked, c.checked) << c.text;
    }
    // The whole record comes back, saved at two and four decimals, and loading twice keeps one entry.
    auto stacker = loadedWithSidecar(cases[0].text);
    EXPECT_TRUE(stacker->nebulosity().detected);
    ASSERT_TRUE(stacker->saveState(dir.file("copy.fits")));
    EXPECT_EQ(readFile(dir.file("copy.fits.meta")), "12\n33.46\n1\n1\n0.8765");
    ASSERT_EQ(stacker->loadState(dir.file("copy.fits")), StateLoad::Loaded);
    EXPECT_FLOAT_EQ(stacker->nebulosity().score, 0.8765f);
    EXPECT_EQ(stacker->frameListSize(), 1u);

    for (const char* lost : {"0", "", "garbage\n\x01\x02 12", "99999999999999999999", "-3"}) {
        auto refused = loadedWithSidecar(lost);
        EXPECT_EQ(lastLoad, StateLoad::Refused) << lost;
        EXPECT_EQ(refused->lastError(), "The frame count of state file " + state + " is lost: its metadata file " +
                                            state + ".meta is missing or unreadable. Put it back, or start a new "
                                            "stack with -x");
        EXPECT_EQ(readFile(state + ".meta"), lost);
    }
    std::remove((state + ".meta").c_str());
    Stacker noSidecar;
    EXPECT_EQ(noSidecar.loadState(state), StateLoad::Refused);
    EXPECT_EQ(noSidecar.frameCount(), 0);
}

// The state image carries its own count and is put in place before its
// sidecar: a lost sidecar, or one left behind by a save interrupted between
// the two, gives way to the image's values. A JPEG state still needs its
// sidecar.
TEST_F(StateFiles, TheImagesOwnValuesHoldOverALostOrOlderSidecar)
{
    auto stacker = loadedWithSidecar("41\n12.50\n1\n0\n0.2500");
    ASSERT_EQ(lastLoad, StateLoad::Loaded);
    for (const char* name : {"kept.fits", "kept.jpg"}) {
        const std::string path = dir.file(name);
        ASSERT_TRUE(stacker->saveState(path));
        const char* const sidecars[] = {"40\n0.00\n0\n0\n0.0000", "no count", nullptr};
        for (const char* sidecar : sidecars) {
            if (sidecar)
                writeFile(path + ".meta", sidecar);
            else
                std::remove((path + ".meta").c_str());
            const bool jpegWithoutSidecar = !sidecar || sidecar == std::string("no count");
            Stacker reader;
            const StateLoad load = reader.loadState(path);
            if (std::string(name) == "kept.jpg" && jpegWithoutSidecar) {
                EXPECT_EQ(load, StateLoad::Refused) << sidecar;
                continue;
            }
            ASSERT_EQ(load, StateLoad::Loaded) << name << " " << (sidecar ? sidecar : "none");
            EXPECT_EQ(reader.frameCount(), 41) << name;
            EXPECT_FLOAT_EQ(reader.orientation(), 12.5f) << name;
            EXPECT_TRUE(reader.nebulosity().checked) << name;
            EXPECT_FLOAT_EQ(reader.nebulosity().score, 0.25f) << name;
        }
    }
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
        ASSERT_EQ(second.loadState(path), StateLoad::Loaded);
        ASSERT_TRUE(second.processFrame(dir.file("b.fits"), dir.file("o.jpg")));
        ASSERT_TRUE(second.saveState(path));
        Stacker third;
        ASSERT_EQ(third.loadState(path), StateLoad::Loaded);
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
    EXPECT_EQ(missing.loadState(dir.file("absent.fits")), StateLoad::Missing);
    EXPECT_EQ(missing.lastError(), "State file does not exist: " + dir.file("absent.fits"));

    auto stacker = loadedWithSidecar("3");
    EXPECT_FALSE(stacker->saveState(dir.file("state.png")));
    EXPECT_EQ(stacker->lastError(), "Unsupported file format: png");
}

TEST_F(StateFiles, UnreadableStateIsSetAsideUnderAFreeNameNeverOverAnEarlierOne)
{
    const std::string corrupt = "SIMPLE  =                    T / truncated and broken";
    writeFile(state + ".unreadable", "an older one");
    writeFile(state + ".meta.unreadable.1", "an older sidecar");
    for (const char* second : {"first", "second"}) {
        writeFile(state, corrupt + second);
        writeFile(state + ".meta", second);
        Stacker stacker;
        EXPECT_EQ(stacker.loadState(state), StateLoad::SetAside);
        EXPECT_FALSE(stacker.lastError().empty());
        EXPECT_EQ(stacker.frameCount(), 0);
        EXPECT_FALSE(fileExists(state));
    }
    EXPECT_EQ(readFile(state + ".unreadable"), "an older one");
    EXPECT_EQ(readFile(state + ".meta.unreadable.1"), "an older sidecar");
    EXPECT_EQ(readFile(state + ".unreadable.2"), corrupt + "first");
    EXPECT_EQ(readFile(state + ".meta.unreadable.2"), "first");
    EXPECT_EQ(readFile(state + ".unreadable.3"), corrupt + "second");
    EXPECT_EQ(readFile(state + ".meta.unreadable.3"), "second");
}

// Only a file that is no state image is moved: a state that cannot be
// opened, a folder, a loop of links or a stack of NaN is left as it is, and
// the load refused.
TEST_F(StateFiles, StatesThatMustNotBeReplacedAreRefusedAndLeftAlone)
{
    namespace fs = std::filesystem;
    auto poisoned = std::make_shared<FloatImage>(8, 6, 1);
    poisoned->fill(50.0f);
    poisoned->data()[17] = std::nanf("");
    saveImage(dir.file("nan.fits"), poisoned);
    writeFile(dir.file("nan.fits.meta"), "4");
    fs::create_directory(dir.file("folder.fits"));
    fs::create_symlink(dir.file("loop.fits"), dir.file("loop.fits"));
    const std::pair<std::string, std::string> cases[] = {
        {"nan.fits", "State file " + dir.file("nan.fits") + " holds samples that are not finite numbers (NaN or "
                     "infinity); move it away, or start a new stack with -x"},
        {"folder.fits", "State file " + dir.file("folder.fits") + " is a folder"},
        {"loop.fits", "State file " + dir.file("loop.fits") + " cannot be read (Too many levels of symbolic links)"},
        {"state.txt", "State file " + dir.file("state.txt") + " must end in .fits, .fit, .jpg or .jpeg"}};
    for (const auto& [name, error] : cases) {
        Stacker stacker;
        EXPECT_EQ(stacker.loadState(dir.file(name)), StateLoad::Refused) << name;
        EXPECT_EQ(stacker.lastError(), error);
        EXPECT_FALSE(stacker.stackedFrame()) << name;
    }
    EXPECT_EQ(readFile(dir.file("nan.fits.meta")), "4");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4);
}

TEST_F(StateFiles, AFailedWriteLeavesImageAndSidecarAsTheyWere)
{
    namespace fs = std::filesystem;
    saveImage(dir.file("other.fits"), noiseFrame(8, 6, 1, 60, 30, 9));
    Stacker stacker;  // holds a stack unlike the one on disk
    writeFile(dir.file("other.fits.meta"), "2");
    ASSERT_EQ(stacker.loadState(dir.file("other.fits")), StateLoad::Loaded);
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

    // aside.meta, blocked.fits and its .meta, other.fits and state.fits with their .meta: no temporaries.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 7);
}
