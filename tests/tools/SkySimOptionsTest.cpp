#include <gtest/gtest.h>

#include <stdexcept>

#include "SkySimOptions.h"

TEST(SkySimOptions, OptionsReachTheirSettingsAndBadArgumentsAreRejectedWithTheOptionNamed)
{
    // The later of repeated options wins.
    const SkySimCommand c = parseSkySimOptions({"--out", "a", "--seed", "18446744073709551615", "--drift-y", "-2",
                                                "--format", "fits", "--mirror", "--frames", "3", "--frames", "12",
                                                "--out", "d"});
    EXPECT_EQ(std::tuple(c.output.directory, c.output.format, c.settings.frames, c.settings.seed),
              std::tuple("d", FrameFormat::Fits, 12, 18446744073709551615ULL));
    EXPECT_EQ(std::pair(c.settings.motion.driftY, c.settings.motion.mirrorAtFrame), std::pair(-2.0, 2));
    // Help needs nothing else, and nothing else is checked.
    EXPECT_TRUE(parseSkySimOptions({"--frames", "0", "-h"}).helpRequested);

    // The whole text must be the number: "12px" is not 12. The ranges are
    // checked at their bounds: as many hot pixels as pixels, the flip at the
    // last frame.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--out", "d", "--speed", "3"}, "Unknown option: --speed"},
        {{"--out", "d", "--frames"}, "Missing value for --frames"},
        {{"--out", "d", "--frames", "12px"}, "Invalid value for --frames: '12px'"},
        {{"--out", "d", "--frames", "99999999999"}, "Invalid value for --frames: '99999999999'"},
        {{"--out", "d", "--fwhm", "nan"}, "Invalid value for --fwhm: 'nan'"},
        {{"--frames", "4"}, "--out DIR is required"},
        {{"--out", "d", "--width", "2", "--height", "5", "--hot-pixels", "11"},
         "--hot-pixels must be between 0 and the number of pixels"},
        {{"--out", "d", "--frames", "5", "--flip-at", "6"}, "--flip-at must be between 2 and the number of frames"},
        {{"--out", "d", "--frames", "1", "--mirror"}, "--mirror needs a frame after the first to mirror"},
        {{"--out", "d", "--exposure", "0"}, "--exposure must be above 0 and at most 86400 seconds"},
        {{"--out", "d", "--exposure", "86400.5"}, "--exposure must be above 0 and at most 86400 seconds"},
        {{"--out", "d", "--width", "2", "--height", "5", "--hot-pixels", "10", "--frames", "2", "--flip-at", "2",
          "--format", "fits16", "--exposure", "86400"}, ""},
    };
    for (const auto& [args, message] : cases) {
        std::string error;
        try {
            parseSkySimOptions(args);
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
        EXPECT_EQ(error, message);
    }
}
