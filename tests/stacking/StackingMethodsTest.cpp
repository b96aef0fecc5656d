#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "stacking/ImageStacker.h"
#include "stacking/Stacker.h"
#include "support/TestSupport.h"

namespace {

using Samples = std::vector<int>;

// Frame f of k holds values[(f + i) % k] + i % offsets at sample i of 72, so mix-ups show.
std::vector<ByteImagePtr> rotatedFrames(const Samples& values, int offsets = 1)
{
    std::vector<ByteImagePtr> frames;
    const std::size_t k = values.size();
    for (std::size_t f = 0; f < k; ++f)
        frames.push_back(indexedFrame(6, 4, 3, [&](std::size_t i) { return values[(f + i) % k] + int(i) % offsets; }));
    return frames;
}

Samples expectedSamples(std::size_t count, const std::function<int(std::size_t)>& sampleAt)
{
    Samples samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = sampleAt(i);
    return samples;
}

// base + i % 5 at each of the 72 positions of rotatedFrames(values, 5).
Samples offsetSamples(int base) { return expectedSamples(72, [base](std::size_t i) { return base + int(i % 5); }); }

Samples samplesOf(const ByteImage& image) { return Samples(image.data(), image.data() + image.size()); }

// A context that stacks the frames as they are: alignment is not the point.
ImageStacker unalignedStacker(const std::vector<ByteImagePtr>& frames)
{
    ImageStacker stacker;
    stacker.settings()->alignFrames = false;
    stacker.frames() = frames;
    return stacker;
}

Samples meanOf(const std::vector<ByteImagePtr>& frames) { return samplesOf(*unalignedStacker(frames).stackMean()); }
Samples medianOf(const std::vector<ByteImagePtr>& frames) { return samplesOf(*unalignedStacker(frames).stackMedian()); }

Samples sigmaClipOf(const std::vector<ByteImagePtr>& frames, float low, float high)
{
    ImageStacker stacker = unalignedStacker(frames);
    stacker.settings()->sigmaLow = low;
    stacker.settings()->sigmaHigh = high;
    return samplesOf(*stacker.stackSigmaClip());
}

std::vector<ByteImagePtr> copiesOf(const ByteImagePtr& frame, int count)
{
    return std::vector<ByteImagePtr>(std::size_t(count), frame);
}

}  // namespace

TEST(MeanStacking, FramesBelowTheQualityThresholdAddNothingButStillCount)
{
    // The reference holds 2 * (i % 100); a flat frame has quality 0 against it.
    const ByteImagePtr reference = indexedFrame(40, 30, 3, [](std::size_t i) { return 2 * int(i % 100); });
    ImageStacker alone = unalignedStacker({flatFrame(40, 30, 3, 120)});
    alone.referenceFrame() = reference;
    EXPECT_EQ(samplesOf(*alone.stackMean()), Samples(3600, 0));

    // N = 2 although the flat frame is skipped: each even sample is halved exactly.
    const Samples halved = expectedSamples(3600, [](std::size_t i) { return int(i % 100); });
    EXPECT_EQ(meanOf({reference, flatFrame(40, 30, 3, 120)}), halved);

    // Another size scores quality 0 too: skipped at 0.7, refused without the gate.
    const std::vector<ByteImagePtr> frames = {flatFrame(40, 30, 3, 100), flatFrame(20, 30, 3, 100)};
    EXPECT_EQ(meanOf(frames), Samples(3600, 50));
    ImageStacker ungated = unalignedStacker(frames);
    ungated.settings()->qualityThreshold = 0.0f;
    EXPECT_EQ(errorOf([&] { ungated.stackMean(); }), "Frame 2 size 20x30x3 does not match the reference 40x30x3");
}

TEST(MeanStacking, ScalesEachFrameToEightBitsBeforeSumming)
{
    const ByteImagePtr frame = noiseFrame(8, 6, 3, 120, 100, 31);
    EXPECT_EQ(meanOf({frame}), samplesOf(*frame));  // one frame comes back unchanged
    // 101 / 2 = 50.5 gives 50 truncated and 50 rounded to even: 50 + 50.
    EXPECT_EQ(meanOf(copiesOf(flatFrame(40, 30, 3, 101), 2)), Samples(3600, 100));
    // 255 * float(1/3) = 85.000002 gives 85 on every path: 3 * 85.
    EXPECT_EQ(meanOf(copiesOf(flatFrame(40, 30, 3, 255), 3)), Samples(3600, 255));
}

TEST(MeanStacking, DiagnosticModeSavesEachAcceptedStepAndSurvivesAFailedSave)
{
    TempDir dir;
    const ByteImagePtr reference = noiseFrame(16, 12, 3, 120, 60, 41);
    const std::vector<ByteImagePtr> frames = {reference, flatFrame(16, 12, 3, 90), reference};
    ImageStacker stacker = unalignedStacker(frames);
    stacker.settings()->diagnostic = true;
    stacker.settings()->diagnosticPrefix = dir.file("step_");
    const Samples saved = samplesOf(*stacker.stackMean());
    EXPECT_TRUE(fileExists(dir.file("step_1.jpg")));
    EXPECT_FALSE(fileExists(dir.file("step_2.jpg")));  // skipped by the quality gate
    EXPECT_TRUE(fileExists(dir.file("step_3.jpg")));
    // An unwritable prefix costs the images, never the stack.
    stacker.settings()->diagnosticPrefix = dir.file("missing/step_");
    EXPECT_EQ(samplesOf(*stacker.stackMean()), saved);
}

TEST(MedianStacking, TakesTheMiddleSampleOrTheFlooredMeanOfTheTwoMiddleOnes)
{
    // (10 + 200) / 2 = 105; (10 + 201) / 2 = 105.5, floored.
    EXPECT_EQ(medianOf(rotatedFrames({10, 200})), Samples(72, 105));
    EXPECT_EQ(medianOf(rotatedFrames({10, 201})), Samples(72, 105));
    // Sorted 10 + o, 11 + o, 200 + o with o = i % 5: the middle one.
    EXPECT_EQ(medianOf(rotatedFrames({10, 11, 200}, 5)), offsetSamples(11));
}

TEST(SigmaClipStacking, DropsSamplesOutsideTheBoundsAndAveragesTheRest)
{
    // m = 120, s = 44.72: 1.5 s bounds 52.9 .. 187.1 drop 200; an offset moves m and bounds alike.
    EXPECT_EQ(sigmaClipOf(rotatedFrames({100, 100, 100, 100, 200}, 5), 1.5f, 1.5f), offsetSamples(100));

    // m = 82, s = 40.25: 82 - 1.5 s = 21.6 drops 10; 82 - 2 s = 1.5 keeps it.
    EXPECT_EQ(sigmaClipOf(rotatedFrames({10, 100, 100, 100, 100}), 1.5f, 2.0f), Samples(72, 100));
    EXPECT_EQ(sigmaClipOf(rotatedFrames({10, 100, 100, 100, 100}), 2.0f, 1.5f), Samples(72, 82));

    // Nine samples (dispatching path): m = 116.67, s = 50, upper bound 216.67 drops 250.
    EXPECT_EQ(sigmaClipOf(rotatedFrames({100, 100, 100, 100, 100, 100, 100, 100, 250}), 2, 2),
              Samples(72, 100));
    // m = 4.2, s = 5.76: bounds 3.62 .. 4.78 hold no sample, so trunc(4.2) = 4.
    EXPECT_EQ(sigmaClipOf(rotatedFrames({0, 0, 0, 10, 11}), 0.1f, 0.1f), Samples(72, 4));
    // Four frames of 101 (five needed) fall back to the mean: 4 * trunc(25.25) = 100, a clipped mean 101.
    EXPECT_EQ(sigmaClipOf(copiesOf(flatFrame(6, 4, 3, 101), 4), 2, 2), Samples(72, 100));
}

TEST(StackingMethods, EmptyListAndFramesOfAnotherSizeThrow)
{
    const ByteImagePtr good = flatFrame(40, 30, 3, 100);
    const struct {
        std::vector<ByteImagePtr> frames;
        std::string message;
    } cases[] = {
        {{}, "No frames to stack"},
        {{good, flatFrame(20, 30, 3, 100), good}, "Frame 2 size 20x30x3 does not match the reference 40x30x3"},
        {{good, good, flatFrame(40, 30, 1, 100)}, "Frame 3 size 40x30x1 does not match the reference 40x30x3"},
    };
    for (const auto& c : cases) {
        ImageStacker stacker = unalignedStacker(c.frames);
        stacker.settings()->sigmaClipFrames = 3;
        EXPECT_EQ(errorOf([&] { stacker.stackMedian(); }), c.message);
        EXPECT_EQ(errorOf([&] { stacker.stackSigmaClip(); }), c.message);
    }
    ImageStacker empty;
    EXPECT_EQ(errorOf([&] { empty.stackMean(); }), "No frames to stack");
}

TEST(StackAllFrames, StoresTheChosenMethodsResultAsTheStackedFrame)
{
    TempDir dir;
    Stacker stacker;
    stacker.setAlignment(false);
    const std::vector<ByteImagePtr> frames = rotatedFrames({10, 11, 200}, 5);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const std::string path = dir.file("frame" + std::to_string(f) + ".fits");
        saveImage(path, frames[f]);
        ASSERT_TRUE(stacker.processFrame(path, dir.file("out.fits"))) << stacker.lastError();
    }

    stacker.setMethod(StackingMethod::Median);
    ASSERT_TRUE(stacker.stackAllFrames());
    const auto stacked = stacker.stackedFrame();
    EXPECT_EQ(Samples(stacked->data(), stacked->data() + stacked->size()), offsetSamples(11));
    EXPECT_EQ(stacker.frameCount(), 3);
}
