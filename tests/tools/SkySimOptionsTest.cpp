#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SkySimOptions.h"

namespace {

using Args = std::vector<std::string>;

std::string errorOf(const Args& args)
{
    try {
        parseSkySimOptions(args);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(SkySimOptions, OptionsReachTheirSettings)
{
    const SkySimCommand plain = parseSkySimOptions({"--out", "frames"});
    EXPECT_EQ(plain.output.directory, "frames");
    EXPECT_EQ(plain.output.format, FrameFormat::Jpeg);
    EXPECT_EQ(plain.settings.motion.mirrorAtFrame, 0);

    const SkySimCommand c = parseSkySimOptions({"--out", "d", "--frames", "12", "--format", "fits", "--seed",
                                                "18446744073709551615", "--fwhm", "2.5", "--gradient-angle", "-30",
                                                "--drift-y", "-2", "--flip-at", "7", "--mirror", "--truth-per-frame"});
    const SkySimSettings& s = c.settings;
    EXPECT_EQ(c.output.format, FrameFormat::Fits);
    EXPECT_TRUE(c.output.truthPerFrame);
    EXPECT_EQ(s.frames, 12);
    EXPECT_EQ(s.seed, 18446744073709551615ULL);
    EXPECT_EQ(s.starField.fwhm, 2.5);
    EXPECT_EQ(s.background.gradientAngle, -30.0);
    EXPECT_EQ(s.motion.driftY, -2.0);
    EXPECT_EQ(s.motion.flipAtFrame, 7);
    EXPECT_EQ(s.motion.mirrorAtFrame, 2);
}

TEST(SkySimOptions, LaterRepetitionWinsAndHelpNeedsNothingElse)
{
    EXPECT_EQ(parseSkySimOptions({"--out", "a", "--frames", "3", "--frames", "5", "--out", "b"}).settings.frames, 5);
    EXPECT_EQ(parseSkySimOptions({"--out", "a", "--out", "b"}).output.directory, "b");
    EXPECT_TRUE(parseSkySimOptions({"--help"}).helpRequested);
    EXPECT_TRUE(parseSkySimOptions({"--frames", "0", "-h"}).helpRequested);
}

TEST(SkySimOptions, MalformedArgumentsAreRejectedWithTheOptionNamed)
{
    EXPECT_EQ(errorOf({"--out", "d", "--speed", "3"}), "Unknown option: --speed");
    EXPECT_EQ(errorOf({"frames", "--out", "d"}), "Unknown option: frames");
    EXPECT_EQ(errorOf({"--out", "d", "--frames"}), "Missing value for --frames");
    EXPECT_EQ(errorOf({"--out", "d", "--frames", "12px"}), "Invalid value for --frames: '12px'");
    EXPECT_EQ(errorOf({"--out", "d", "--frames", ""}), "Invalid value for --frames: ''");
    EXPECT_EQ(errorOf({"--out", "d", "--frames", "3.5"}), "Invalid value for --frames: '3.5'");
    EXPECT_EQ(errorOf({"--out", "d", "--frames", "99999999999"}), "Invalid value for --frames: '99999999999'");
    EXPECT_EQ(errorOf({"--out", "d", "--fwhm", "nan"}), "Invalid value for --fwhm: 'nan'");
    EXPECT_EQ(errorOf({"--out", "d", "--seed", "-1"}), "Invalid value for --seed: '-1'");
    EXPECT_EQ(errorOf({"--out", "d", "--format", "png"}), "Invalid value for --format: 'png'");
    EXPECT_EQ(errorOf({"--frames", "4"}), "--out DIR is required");
}

TEST(SkySimOptions, ValuesOutOfRangeAreRejected)
{
    const Args out{"--out", "d"};
    const auto with = [&](Args extra) {
        extra.insert(extra.begin(), out.begin(), out.end());
        return errorOf(extra);
    };
    EXPECT_EQ(with({"--frames", "0"}), "--frames must be at least 1");
    EXPECT_EQ(with({"--width", "0"}), "--width must be between 1 and 30000");
    EXPECT_EQ(with({"--height", "30001"}), "--height must be between 1 and 30000");
    EXPECT_EQ(with({"--channels", "2"}), "--channels must be 1 or 3");
    EXPECT_EQ(with({"--stars", "-1"}), "--stars must not be negative");
    EXPECT_EQ(with({"--fwhm", "0"}), "--fwhm must be positive");
    EXPECT_EQ(with({"--beta", "1"}), "--beta must be greater than 1");
    EXPECT_EQ(with({"--flux-scale", "0"}), "--flux-scale must be positive");
    EXPECT_EQ(with({"--sky", "-0.5"}), "--sky must not be negative");
    EXPECT_EQ(with({"--nebula-size", "0"}), "--nebula-size must be positive");
    EXPECT_EQ(with({"--read-noise", "-1"}), "--read-noise must not be negative");
    EXPECT_EQ(with({"--gain", "-1"}), "--gain must not be negative");
    EXPECT_EQ(with({"--width", "10", "--height", "10", "--hot-pixels", "101"}),
              "--hot-pixels must be between 0 and the number of pixels");
    EXPECT_EQ(with({"--shift-max", "-2"}), "--shift-max must not be negative");
    EXPECT_EQ(with({"--flip-at", "1"}), "--flip-at must be between 2 and the number of frames");
    EXPECT_EQ(with({"--frames", "5", "--flip-at", "6"}), "--flip-at must be between 2 and the number of frames");
    EXPECT_EQ(with({"--frames", "1", "--mirror"}), "--mirror needs a frame after the first to mirror");
    EXPECT_EQ(with({"--width", "10", "--height", "10", "--hot-pixels", "100", "--frames", "5", "--flip-at", "5"}),
              "no error");
}
