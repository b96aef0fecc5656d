#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "stacking/Stacker.h"

namespace {

// The settings record after parsing the arguments plus the required ones and
// applying the post-processing values, as a run does.
StackerSettings parsed(std::vector<std::string> args)
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
    return stacker.options().settings;
}

}  // namespace

// Each letter lands in its own field, once mapped or clamped.
TEST(OptionValues, EachOptionReachesItsFieldOfTheOneSettingsRecord)
{
    const StackerSettings s = parsed({"-b", "150", "-c", "50", "-t", "50", "-p", "-1", "-f", "4", "-q", "-3", "-P",
                                      "9", "-G", "2", "-T", "0.3", "-S", "0.25", "-g", "1,0.5,9", "-i", "diag_",
                                      "-W", "64", "-C", "9", "-D", "7", "-N", "99"});
    EXPECT_FLOAT_EQ(s.backgroundPercent, 100.0f);
    EXPECT_FLOAT_EQ(s.contrast, 105.0f);  // 50 / 100 x 190 + 10
    EXPECT_FLOAT_EQ(s.saturation, 100.0f);
    EXPECT_FLOAT_EQ(s.compression, 0.0f);
    EXPECT_EQ(s.medianFilterSize, 5);  // kernels are odd
    EXPECT_FLOAT_EQ(s.qualityThreshold, 0.0f);
    EXPECT_EQ(s.polyDegree, 4);
    EXPECT_EQ(s.gridSize, 8);
    EXPECT_FLOAT_EQ(s.protectionThreshold.value_or(-1.0f), 0.3f);
    EXPECT_FLOAT_EQ(s.smoothness.value_or(-1.0f), 0.25f);
    EXPECT_EQ(s.sigmaClipFrames, 3);
    EXPECT_FLOAT_EQ(s.sigmaLow, 1.0f);
    EXPECT_FLOAT_EQ(s.sigmaHigh, 7.0f);
    EXPECT_TRUE(s.diagnostic);
    EXPECT_EQ(s.diagnosticPrefix, "diag_");
    EXPECT_EQ(s.histEqWindow, 65);
    EXPECT_FLOAT_EQ(s.histEqClip, 4.0f);
    EXPECT_EQ(s.denoiseMethod, 2);
    EXPECT_EQ(s.denoiseStrength, 30);
    EXPECT_TRUE(s.backgroundSet && s.contrastSet && s.saturationSet && s.compressionSet && s.medianFilterSet &&
                s.histEqSet && s.denoiseSet);
}

TEST(OptionValues, WhatIsNotGivenKeepsTheDefaultsAndRequestsNothing)
{
    const StackerSettings s = parsed({"-N", "5", "-b", "10", "-b", "0"});  // a strength alone requests nothing
    EXPECT_FALSE(s.contrastSet || s.saturationSet || s.compressionSet || s.medianFilterSet || s.histEqSet ||
                 s.denoiseSet || s.diagnostic || s.polyDegree || s.gridSize || s.protectionThreshold || s.smoothness);
    EXPECT_FLOAT_EQ(s.backgroundPercent, 0.0f);  // the last repetition counts
    EXPECT_FLOAT_EQ(s.contrast, 120.0f);         // not mapped when not given
    // -L alone takes the window and clip the usage names as defaults.
    EXPECT_EQ(parsed({"-L"}).histEqWindow, 63);
    EXPECT_FLOAT_EQ(parsed({"-L"}).histEqClip, 1.0f);
    EXPECT_EQ(parsed({"-f", "256"}).medianFilterSize, 255);  // the largest kernel
}
