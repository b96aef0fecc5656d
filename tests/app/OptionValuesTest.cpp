#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "stacking/Stacker.h"

namespace {

// Parses the arguments plus the required ones and applies the post-processing values.
StackerOptions parsed(std::vector<std::string> args)
{
    args.insert(args.begin(), "pelorum");
    for (const char* required : {"-o", "o.jpg", "-e", "s.fits", "in.jpg"})
        args.push_back(required);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    Stacker stacker;
    CommandLine commandLine;
    EXPECT_EQ(parseCommandLine(int(argv.size()), argv.data(), stacker, commandLine), ParseOutcome::Run);
    applyPostProcessingOptions(commandLine, stacker);
    return stacker.options();
}

}  // namespace

TEST(OptionValues, PercentagesAreMappedAndClamped)
{
    EXPECT_FLOAT_EQ(parsed({"-c", "50"}).contrast, 105.0f);
    EXPECT_FLOAT_EQ(parsed({"-c", "0"}).contrast, 10.0f);
    EXPECT_FLOAT_EQ(parsed({"-c", "120"}).contrast, 200.0f);
    EXPECT_FLOAT_EQ(parsed({"-t", "50"}).saturation, 100.0f);
    EXPECT_FLOAT_EQ(parsed({"-b", "150"}).backgroundPercent, 100.0f);
    EXPECT_FLOAT_EQ(parsed({"-p", "-1"}).compression, 0.0f);
    EXPECT_EQ(parsed({"-f", "-4"}).medianFilterSize, 0);
    EXPECT_TRUE(parsed({"-f", "-4"}).medianFilterSet);

    const StackerOptions untouched = parsed({});
    EXPECT_FALSE(untouched.contrastSet || untouched.backgroundSet || untouched.histEqSet || untouched.denoiseSet);
    EXPECT_FLOAT_EQ(untouched.contrast, 120.0f);  // defaults are not mapped when not given
}

TEST(OptionValues, LaterRepetitionOverridesEarlier)
{
    EXPECT_FLOAT_EQ(parsed({"-b", "10", "-b", "30"}).backgroundPercent, 30.0f);
}

TEST(OptionValues, EqualisationAndDenoiseRequests)
{
    const StackerOptions eq = parsed({"-W", "1", "-C", "9"});
    EXPECT_TRUE(eq.histEqSet);
    EXPECT_EQ(eq.histEqWindow, 3);
    EXPECT_FLOAT_EQ(eq.histEqClip, 4.0f);
    EXPECT_EQ(parsed({"-L"}).histEqWindow, 63);

    const StackerOptions strong = parsed({"-D", "7", "-N", "99"});
    EXPECT_EQ(strong.denoiseMethod, 2);
    EXPECT_EQ(strong.denoiseStrength, 30);
    const StackerOptions none = parsed({"-D", "-1"});
    EXPECT_TRUE(none.denoiseSet);
    EXPECT_EQ(none.denoiseMethod, 0);
    EXPECT_FALSE(parsed({"-N", "5"}).denoiseSet);  // strength alone requests nothing
}

TEST(OptionValues, ModelAndGateValuesAreClampedAtOnce)
{
    const StackerOptions o = parsed({"-P", "9", "-G", "2", "-T", "1.5", "-S", "-1", "-q", "-3", "-g", "1,0.5,9",
                                     "-i", "diag_"});
    EXPECT_EQ(o.polyDegree, 4);
    EXPECT_EQ(o.gridSize, 8);
    EXPECT_FLOAT_EQ(o.protectionThreshold, 1.0f);
    EXPECT_FLOAT_EQ(o.smoothness, 0.0f);
    EXPECT_FLOAT_EQ(o.qualityThreshold, 0.0f);
    EXPECT_EQ(o.sigmaClipFrames, 3);
    EXPECT_FLOAT_EQ(o.sigmaLow, 1.0f);
    EXPECT_FLOAT_EQ(o.sigmaHigh, 7.0f);
    EXPECT_TRUE(o.diagnostic);
    EXPECT_EQ(o.diagnosticPrefix, "diag_");
}

TEST(StackerSetters, ClampAsDocumented)
{
    Stacker s;
    s.setLocalHistEq(false, 63, 1.0f);
    EXPECT_EQ(s.options().histEqWindow, 0);
    EXPECT_TRUE(s.options().histEqSet);
    s.setDenoise(1, 0);
    EXPECT_EQ(s.options().denoiseMethod, 1);
    EXPECT_EQ(s.options().denoiseStrength, 1);
    s.setMaxStars(1);
    EXPECT_EQ(s.options().maxStars, 3);
    s.setSaturation(100);
    EXPECT_FLOAT_EQ(s.options().saturation, 200.0f);

    Stacker fresh;
    fresh.resetState();
    EXPECT_EQ(fresh.frameCount(), 0);
    EXPECT_EQ(fresh.frameListSize(), 0u);
    EXPECT_EQ(fresh.stackedFrame(), nullptr);
}
