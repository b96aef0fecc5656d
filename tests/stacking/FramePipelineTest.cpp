#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "support/TestSupport.h"

namespace {

// Two runs have built a state; each test then feeds one bad input and checks
// that the run fails cleanly and leaves both state files byte for byte.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        saveImage(goodFrame, withStars(noiseFrame(64, 48, 3, 100, 10, 1)));
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

    const std::string whole = readFile(goodFrame);
    writeFile(dir.file("cut.jpg"), whole.substr(0, whole.size() / 2));
    expectRejected(dir.file("cut.jpg"), "Invalid JPEG file: " + dir.file("cut.jpg") + " (Premature end of JPEG file)");

    writeFile(dir.file("frame.txt"), whole);
    expectRejected(dir.file("frame.txt"), "Unsupported file format: txt");
}

TEST_F(BadInput, FramesThatCannotBeBroughtOntoTheStackAreTurnedAway)
{
    const std::string unregistered = "it could not be registered (";
    const std::pair<std::string, std::string> frames[] = {
        {"small.jpg", unregistered},  // another size: its stars fall elsewhere
        {"grey.jpg", unregistered},
        {"noise.jpg", unregistered},
        {"flat.jpg", unregistered},
        {"other-field.jpg", unregistered},
        {"cloud.fits", "quality 0."},  // the same stars under a twentieth of the contrast
    };
    saveImage(dir.file("small.jpg"), withStars(noiseFrame(96, 48, 3, 100, 10, 2)));
    saveImage(dir.file("grey.jpg"), noiseFrame(64, 48, 1, 100, 20, 2));
    saveImage(dir.file("noise.jpg"), noiseFrame(64, 48, 3, 100, 20, 3));
    saveImage(dir.file("flat.jpg"), flatFrame(64, 48, 3, 100));
    saveImage(dir.file("other-field.jpg"), withStars(noiseFrame(64, 48, 3, 100, 10, 4), 5));
    const ByteImagePtr good = loadImage(goodFrame);
    saveImage(dir.file("cloud.fits"),
              indexedFrame(64, 48, 3, [&](std::size_t i) { return 100 + (good->data()[i] - 100) / 20; }));
    for (const auto& [name, reason] : frames) {
        std::remove(output.c_str());
        const ProcessResult r = runPelorum({"-v", "-o", output, "-e", state, dir.file(name)});
        EXPECT_EQ(r.exitCode, 0) << name;
        const auto warnings = logMessages(r.out, "[WARN] ");
        ASSERT_FALSE(warnings.empty());
        EXPECT_EQ(warnings.back().rfind("Frame " + dir.file(name) + " rejected: " + reason, 0), 0u) << warnings.back();
        EXPECT_EQ(readFile(state), stateBefore);
        EXPECT_EQ(readFile(state + ".meta"), metaBefore);
        EXPECT_EQ(loadImage(output)->width(), 64);  // still written, from the stack as it was
    }
}

TEST_F(BadInput, UnwritableOutputFailsWithoutTouchingTheState)
{
    const std::string nowhere = dir.file("no/such/dir/out.jpg");
    expectRejected(goodFrame, "Could not open file for writing: " + nowhere, nowhere);
    expectRejected(goodFrame, "Unsupported file format: tif", dir.file("out.tif"));
}

namespace {

class Run : public ::testing::Test {
protected:
    TempDir dir;
    std::string state = dir.file("state.fits");
    std::string output = dir.file("out.fits");
};

}  // namespace

TEST_F(Run, FreshStackThenSecondFrameKeepTheExactMean)
{
    saveImage(dir.file("a.fits"), withStars(checkerFrame(64, 48, 3, 90, 110)));
    saveImage(dir.file("b.fits"), withStars(checkerFrame(64, 48, 3, 111, 131)));

    ASSERT_EQ(runPelorum({"-o", output, "-e", state, dir.file("a.fits")}).exitCode, 0);
    const std::string firstMeta = readFile(state + ".meta");
    EXPECT_EQ(firstMeta.substr(0, 9), "1\n0.00\n1\n");  // the first frame was scored for nebulosity
    EXPECT_EQ(loadImage(output)->getPixel(1, 0, 2), 110);

    ASSERT_EQ(runPelorum({"-o", output, "-e", state, dir.file("b.fits")}).exitCode, 0);
    // Scored once: the second run carries the first frame's outcome unchanged.
    EXPECT_EQ(readFile(state + ".meta"), "2" + firstMeta.substr(1));
    const auto stack = loadFloatImage(state);
    EXPECT_EQ(stack->getPixel(0, 0, 0), 100.5f);  // (90 + 111) / 2, kept exactly
    EXPECT_EQ(stack->getPixel(1, 0, 1), 120.5f);
    const auto picture = loadImage(output);
    EXPECT_EQ(picture->getPixel(0, 0, 0), 101);  // rounded, not truncated to 100
    EXPECT_EQ(picture->getPixel(1, 0, 1), 121);
}

TEST_F(Run, NoisierFramesThanTheStackAreNotRejected)
{
    // After many frames the stack is far smoother than any single frame; a
    // frame must not be judged against the noise the stack averaged away.
    saveImage(state, withStars(checkerFrame(64, 48, 1, 99, 101)));
    writeFile(state + ".meta", "50\n0.00\n0\n0\n0.0000");
    saveImage(dir.file("f.fits"), withStars(noiseFrame(64, 48, 1, 100, 30, 5)));
    const ProcessResult r = runPelorum({"-o", output, "-e", state, dir.file("f.fits")});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(state + ".meta").substr(0, 3), "51\n");
}

TEST_F(Run, ContrastIsHandedOverAsTheUserGaveIt)
{
    // -c 50 is stored as 105 and -c 100 as 200; mapped a second time both
    // would arrive as 200 and give the same picture.
    saveImage(dir.file("f.fits"), noiseFrame(64, 48, 3, 100, 60, 9));
    ASSERT_EQ(runPelorum({"-c", "50", "-o", dir.file("c50.fits"), "-e", state, dir.file("f.fits")}).exitCode, 0);
    ASSERT_EQ(runPelorum({"-c", "100", "-o", dir.file("c100.fits"), "-e", dir.file("other.fits"), dir.file("f.fits")})
                  .exitCode,
              0);
    EXPECT_NE(readFile(dir.file("c50.fits")), readFile(dir.file("c100.fits")));
}

TEST_F(Run, ReferenceStarsAreKeptWithTheStateAndMeasuredAgainWhenTheyNoLongerFit)
{
    const std::string frame = dir.file("f.jpg"), stars = state + ".stars";
    const auto firstLine = [&] { return lines(readFile(stars)).front(); };
    for (int run = 1; run <= 5; ++run) {
        saveImage(frame, withStars(noiseFrame(64, 48, 3, 100, 10, unsigned(run))));
        ASSERT_EQ(runPelorum({"-o", output, "-e", state, frame}).exitCode, 0);
    }
    // Measured again while the stack grew by half: at 1, 2 and 3 frames, then kept.
    EXPECT_EQ(firstLine(), "frames 3");
    EXPECT_GT(lines(readFile(stars)).size(), 7u);  // most of the fourteen

    // Stars that no longer fit the stack are measured again, and the frame still stacked.
    writeFile(stars, "frames 5\n1 1 900\n2 2 900\n3 3 900\n");
    ASSERT_EQ(runPelorum({"-o", output, "-e", state, frame}).exitCode, 0);
    EXPECT_EQ(readFile(state + ".meta").substr(0, 2), "6\n");
    EXPECT_EQ(firstLine(), "frames 5");
    EXPECT_GT(lines(readFile(stars)).size(), 7u);
}

// A run reads its frame and measures its stars while the state is read; the
// frame must come out registered and stacked exactly as when read in turn.
TEST_F(Run, AFrameReadAheadOfTheStateStacksAsOneReadInTurn)
{
    const std::string first = dir.file("first.jpg"), second = dir.file("second.jpg");
    saveImage(first, withStars(noiseFrame(64, 48, 3, 100, 10, 1)));
    saveImage(second, withStars(noiseFrame(64, 48, 3, 100, 10, 2)));
    ASSERT_EQ(runPelorum({"-o", output, "-e", state, first}).exitCode, 0);

    Stacker inTurn, ahead;
    ahead.readFrameAhead(second, true);
    for (Stacker* stacker : {&inTurn, &ahead}) {
        ASSERT_EQ(stacker->loadState(state), StateLoad::Loaded);
        ASSERT_TRUE(stacker->processFrame(second, dir.file("picture.jpg"))) << stacker->lastError();
    }
    const RegistrationReport &a = inTurn.lastRegistration(), &b = ahead.lastRegistration();
    ASSERT_FALSE(a.transform.empty());
    EXPECT_EQ(cv::norm(a.transform, b.transform), 0.0);
    EXPECT_EQ(a.frameStars, b.frameStars);
    EXPECT_TRUE(std::equal(inTurn.stackedFrame()->data(), inTurn.stackedFrame()->data() + inTurn.stackedFrame()->size(),
                           ahead.stackedFrame()->data()));
}
