#include <gtest/gtest.h>

#include <algorithm>

#include "image/ImageFile.h"
#include "support/TestSupport.h"

namespace {

// The usage text word for word, with ARGV0 where the program's name goes.
std::string expectedUsage(const std::string& argv0)
{
    std::string text = readFile(PELORUM_TEST_DATA "/app/usage.txt");
    for (std::size_t at = text.find("ARGV0"); at != std::string::npos; at = text.find("ARGV0", at + argv0.size()))
        text.replace(at, 5, argv0);
    return text;
}

const std::string usage = expectedUsage(PELORUM_EXECUTABLE);

// Output made of one error line followed by the usage text.
void expectErrorThenUsage(const ProcessResult& r, const std::string& message)
{
    EXPECT_EQ(r.exitCode, 1);
    const auto newline = r.out.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(logMessages(r.out.substr(0, newline + 1), "[ERRO] "), std::vector<std::string>{message});
    EXPECT_EQ(r.out.substr(newline + 1), usage);
}

class CommandLineRun : public ::testing::Test {
protected:
    void SetUp() override { saveImage(frame, withStars(noiseFrame(64, 48, 3, 100, 20, 7))); }

    TempDir dir;
    std::string frame = dir.file("frame.jpg");
    std::string state = dir.file("state.fits");
    std::string output = dir.file("out.jpg");
};

}  // namespace

TEST(CommandLine, HelpPrintsTheUsageAndStopsParsing)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"-o", "x.jpg", "-h", "--no-such-option", "-b", "abc"}}) {
        const ProcessResult r = runPelorum(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    // Options are handled in order: a bad value before -h ends the run first.
    EXPECT_EQ(runPelorum({"-b", "abc", "-h"}).exitCode, 1);
}

TEST(CommandLine, MissingRequiredValuesAreReportedWithTheUsage)
{
    expectErrorThenUsage(runPelorum({"-e", "s.fits", "in.jpg"}), "Error: Output file is required");
    expectErrorThenUsage(runPelorum({"-o", "o.jpg", "in.jpg"}), "Error: State file is required (-e option)");
    expectErrorThenUsage(runPelorum({"-o", "o.jpg", "-e", "s.fits"}), "Error: No input file specified");
    expectErrorThenUsage(runPelorum({"--once", "-o", "o.jpg", "-e", "s.fits", "in.jpg"}),
                         "Error: --pattern and --once need --watch");
    expectErrorThenUsage(runPelorum({"--watch", ".", "-o", "o.jpg", "-e", "s.fits", "in.jpg"}),
                         "Error: --watch takes its frames from the folder, not from input_file");
}

TEST(CommandLine, BadOptionArgumentsExitWithOneErrorLineAndTheUsage)
{
    // Not numbers, though a conversion would take them or a part of them, and numbers out of reach.
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"-b", "abc"}, {"-f", "99999999999"}, {"-q", ""},    {"-g", "5,x,3"}, {"-q", "nan"},
        {"-b", "inf"}, {"-c", "0.5abc"},      {"-f", "3x"}, {"-P", "2.5"},   {"-g", "5,2,3abc"}};
    for (const auto& [option, value] : bad)
        expectErrorThenUsage(runPelorum({option, value, "-o", "o.jpg", "-e", "s.fits", "in.jpg"}),
                             "Error: Invalid value for option " + option + ": " + value);

    // An unknown option and a missing argument: getopt's own words on standard error, the usage on output.
    for (const std::string args : {"--no-such-option", "-o"}) {
        const ProcessResult r = runPelorum({args});
        EXPECT_TRUE(r.exitCode == 1 && r.out == usage && !r.err.empty()) << args;
    }
}

TEST(CommandLine, MalformedSigmaClipIsRejectedWithoutUsage)
{
    for (const std::string bad : {"5,2.5", "", "5"}) {
        const ProcessResult r = runPelorum({"-g", bad, "-o", "o.jpg", "-e", "s.fits", "in.jpg"});
        EXPECT_EQ(r.exitCode, 1) << bad;
        EXPECT_EQ(logMessages(r.out, "[ERRO] "),
                  std::vector<std::string>{"Invalid sigma clipping parameters. Format: frames,lower,upper"});
        EXPECT_EQ(r.out.find("Usage:"), std::string::npos);
    }
}

TEST_F(CommandLineRun, VerboseGatesInfoAndBenchmarkReportsTheTotalTime)
{
    const ProcessResult quiet = runPelorum({"-o", output, "-e", state, "-k", frame});
    EXPECT_EQ(quiet.exitCode, 0);
    // Without -v a run that goes well prints nothing.
    EXPECT_EQ(quiet.out, "");

    const ProcessResult verbose = runPelorum({"-v", "-v", "-k", "-o", output, "-e", state, frame});
    EXPECT_EQ(verbose.exitCode, 0);
    const auto info = logMessages(verbose.out, "[INFO] ");
    EXPECT_EQ(std::count(info.begin(), info.end(), "Verbose mode enabled"), 1);  // only the second -v shows
    ASSERT_FALSE(info.empty());
    const std::string total = "Total execution time: ";
    ASSERT_EQ(info.back().rfind(total, 0), 0u) << info.back();
    const std::string ms = info.back().substr(total.size());
    EXPECT_TRUE(ms.find_first_not_of("0123456789") == ms.size() - 3 && ms.substr(ms.size() - 3) == " ms") << ms;
}

TEST_F(CommandLineRun, UnknownMethodFailsAndMedianFallsBackToMean)
{
    const ProcessResult unknown = runPelorum({"-m", "kappa", "-o", output, "-e", state, frame});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out.find("Usage:"), std::string::npos);
    EXPECT_EQ(logMessages(unknown.out, "[ERRO] "), std::vector<std::string>{"Error: Unknown stacking method: kappa"});
    EXPECT_FALSE(fileExists(state));

    const ProcessResult median = runPelorum({"-v", "-m", "median", "-g", "5,2,3", "-o", output, "-e", state, frame});
    EXPECT_EQ(median.exitCode, 0);
    EXPECT_EQ(logMessages(median.out, "[WARN] "),
              (std::vector<std::string>{"The median method is not supported in stateful operation.",
                                        "Falling back to mean stacking method."}));
    EXPECT_EQ(readFile(state + ".meta").substr(0, 9), "1\n0.00\n1\n");  // one frame, nebulosity checked
}

TEST_F(CommandLineRun, SeedStateCountsOnlyWithoutAStateFileAndSaveStateWritesASecondCopy)
{
    const std::string seed = dir.file("seed.fits"), copy = dir.file("copy.jpg");
    saveImage(seed, withStars(flatFrame(64, 48, 3, 40)));
    writeFile(seed + ".meta", "9\n0.00\n0\n0\n0.0000");
    ASSERT_EQ(runPelorum({"-l", seed, "-o", output, "-e", state, frame}).exitCode, 0);
    EXPECT_EQ(readFile(state + ".meta").substr(0, 3), "10\n");
    ASSERT_EQ(runPelorum({"-l", seed, "-s", copy, "-o", output, "-e", state, frame, dir.file("ignored.jpg")}).exitCode,
              0);
    EXPECT_EQ(readFile(state + ".meta").substr(0, 3), "11\n");  // the state file replaces the seed
    EXPECT_EQ(readFile(copy + ".meta"), readFile(state + ".meta"));
    EXPECT_EQ(loadImage(copy)->width(), 64);

    const ProcessResult missingSeed = runPelorum({"-l", dir.file("none.fits"), "-o", output, "-e", state, frame});
    EXPECT_EQ(missingSeed.exitCode, 1);
    EXPECT_TRUE(logged(missingSeed.out, "[ERRO] ",
                       "Error: Failed to load state: State file does not exist: " + dir.file("none.fits")));
    const ProcessResult badCopy = runPelorum({"-s", dir.file("copy.png"), "-o", output, "-e", state, frame});
    EXPECT_EQ(badCopy.exitCode, 1);
    EXPECT_TRUE(logged(badCopy.out, "[ERRO] ",
                       "Error: State file " + dir.file("copy.png") + " must end in .fits, .fit, .jpg or .jpeg"));
    EXPECT_EQ(readFile(state + ".meta").substr(0, 3), "11\n");
}
