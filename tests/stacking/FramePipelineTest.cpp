#include <gtest/gtest.h>

#include "image/ImageFile.h"
#include "support/TestSupport.h"

namespace {

// Two runs have built a state; each test then feeds one bad input and checks
// that the run fails cleanly and leaves both state files byte for byte.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        saveImage(goodFrame, noiseFrame(40, 30, 3, 100, 20, 1));
        for (int run = 0; run < 2; ++run)
            ASSERT_EQ(runPelorum({"-o", output, "-e", state, goodFrame}).exitCode, 0);
        stateBefore = readFile(state);
        metaBefore = readFile(state + ".meta");
    }

    void expectRejected(const std::string& frame, const std::string& reason, const std::string& out = "")
    {
        const ProcessResult r = runPelorum({"-o", out.empty() ? output : out, "-e", state, frame});
        EXPECT_EQ(r.exitCode, 1) << frame;
        const auto errors = logMessages(r.out, "[ERRO] ");
        ASSERT_FALSE(errors.empty()) << r.out;
        EXPECT_EQ(errors.back(), "Error: Failed to process frame: " + reason);
        EXPECT_EQ(readFile(state), stateBefore);
        EXPECT_EQ(readFile(state + ".meta"), metaBefore);
    }

    TempDir dir;
    std::string goodFrame = dir.file("good.jpg");
    std::string state = dir.file("state.fits");
    std::string output = dir.file("out.jpg");
    std::string stateBefore;
    std::string metaBefore;
};

}  // namespace

TEST_F(BadInput, UnreadableFramesFailWithoutTouchingTheState)
{
    expectRejected(dir.file("missing.jpg"), "Could not open file: " + dir.file("missing.jpg"));

    writeFile(dir.file("empty.jpg"), "");
    expectRejected(dir.file("empty.jpg"), "Invalid JPEG file: " + dir.file("empty.jpg"));

    writeFile(dir.file("text.jpg"), "this is not a picture");
    expectRejected(dir.file("text.jpg"), "Invalid JPEG file: " + dir.file("text.jpg"));

    const std::string whole = readFile(goodFrame);
    writeFile(dir.file("cut.jpg"), whole.substr(0, whole.size() / 2));
    expectRejected(dir.file("cut.jpg"), "Invalid JPEG file: " + dir.file("cut.jpg"));

    writeFile(dir.file("frame.png"), whole);
    expectRejected(dir.file("frame.png"), "Unsupported file format: png");
}

TEST_F(BadInput, FramesOfAnotherShapeFailWithoutTouchingTheState)
{
    saveImage(dir.file("small.jpg"), noiseFrame(20, 30, 3, 100, 20, 2));
    expectRejected(dir.file("small.jpg"), "Frame dimensions do not match stacked frame dimensions");
    saveImage(dir.file("grey.jpg"), noiseFrame(40, 30, 1, 100, 20, 2));
    expectRejected(dir.file("grey.jpg"), "Frame dimensions do not match stacked frame dimensions");
}

TEST_F(BadInput, UnwritableOutputFailsWithoutTouchingTheState)
{
    const std::string nowhere = dir.file("no/such/dir/out.jpg");
    expectRejected(goodFrame, "Could not open file for writing: " + nowhere, nowhere);
    expectRejected(goodFrame, "Unsupported file format: tif", dir.file("out.tif"));
}

TEST_F(BadInput, CorruptStateStartsFreshAndKeepsTheOldFilesAside)
{
    writeFile(state, stateBefore.substr(0, 100));
    writeFile(state + ".meta", "\x7f\x45garbage");
    const ProcessResult r = runPelorum({"-o", output, "-e", state, goodFrame});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(state + ".unreadable"), stateBefore.substr(0, 100));
    EXPECT_EQ(readFile(state + ".meta.unreadable"), "\x7f\x45garbage");
    EXPECT_EQ(readFile(state + ".meta"), "1\n0.00\n0\n0\n0.0000");
    const auto errors = logMessages(r.out, "[ERRO] ");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].rfind("Exception in loadState method: ", 0), 0u) << errors[0];
}
