#include <gtest/gtest.h>

#include <algorithm>

#include "image/ImageFile.h"
#include "support/TestSupport.h"

namespace {

std::string expectedUsage(const std::string& argv0)
{
    return "Usage: " + argv0 + " [options] input_file\n"
           "\n"
           "Options:\n"
           "  -h, --help                 Show this help message\n"
           "  -o, --output FILE          Output file (required)\n"
           "  -r, --reference FILE       Reference frame (defaults to first input file)\n"
           "  -m, --method METHOD        Stacking method: mean, median, sigmaclip (default: mean)\n"
           "  -b, --background PERCENT   Background adjustment percentage (0-100, default: 15)\n"
           "  -c, --contrast PERCENT     Contrast adjustment percentage (10-200, default: 120)\n"
           "  -t, --saturation PERCENT   Saturation adjustment percentage (0-100, default: 120)\n"
           "  -p, --compression PERCENT  Compression percentage (0-100, default: 20)\n"
           "  -f, --median-filter SIZE   Median filter size (0 to disable, default: 0)\n"
           "  -g, --sigma-clip FRAMES,LOWER,UPPER  Sigma clipping parameters (default: disabled)\n"
           "  -e, --state FILE           State file for processing (required)\n"
           "  -s, --save-state FILE      Save current state to file\n"
           "  -l, --load-state FILE      Load state from file\n"
           "  -x, --reset                Reset the internal state\n"
           "  -q, --quality THRESHOLD    Frame quality threshold (0.0-1.0, default: 0.7)\n"
           "  -i, --diagnostic PREFIX    Enable diagnostic mode with output prefix\n"
           "  -P, --poly-degree DEGREE   Polynomial degree for background modeling (1-4, default: 2)\n"
           "  -G, --grid-size SIZE       Sample grid size for background extraction (8-64, default: 16)\n"
           "  -T, --protection THRESHOLD Protection threshold for nebulae (0.0-1.0, default: 0.5)\n"
           "  -S, --smoothness FACTOR    Smoothness factor for background model (0.0-1.0, default: 0.5)\n"
           "  -L, --local-hist-eq        Enable local histogram equalization\n"
           "  -W, --hist-eq-window SIZE  Window size for local histogram equalization (default: 63)\n"
           "  -C, --hist-eq-clip LIMIT   Clip limit for local histogram equalization (0.0-4.0, default: 1.0)\n"
           "  -D, --denoise METHOD       Enable denoising (0=None, 1=NonLocalMeans, 2=Bilateral)\n"
           "  -N, --denoise-strength STR Denoising strength (1-30, default: 10)\n"
           "  -v, --verbose              Enable verbose output\n"
           "  -k, --benchmark            Enable benchmark mode to time operations\n"
           "  -z, --disable-simd         Disable SIMD acceleration\n"
           "\n"
           "Examples:\n"
           "  " + argv0 + " -o output.jpg -e state.jpg -m median input.jpg\n"
           "  " + argv0 + " -o output.jpg -e state.jpg input.jpg\n"
           "  " + argv0 + " -o output2.jpg -e state.jpg input2.jpg\n"
           "  " + argv0 + " -o output.jpg -e state.jpg -P 2 -G 16 -T 0.5 -S 0.5 input.jpg\n"
           "  " + argv0 + " -o output.jpg -e state.jpg -L -W 63 -C 1.0 input.jpg\n";
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
    void SetUp() override { saveImage(frame, noiseFrame(32, 24, 3, 100, 20, 7)); }

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

    const ProcessResult unknown = runPelorum({"--no-such-option", "-o", "o.jpg"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, usage);
    EXPECT_NE(unknown.err.find("no-such-option"), std::string::npos);

    const ProcessResult missingArgument = runPelorum({"-o"});
    EXPECT_EQ(missingArgument.exitCode, 1);
    EXPECT_EQ(missingArgument.out, usage);
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
    // Without -v only the star stage's error about the starless frame.
    EXPECT_EQ(lines(quiet.out).size(), 1u);
    EXPECT_EQ(logMessages(quiet.out, "[ERRO] "), std::vector<std::string>{"Not enough stars detected for alignment"});

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
              (std::vector<std::string>{"Median and sigma clipping methods are not supported in stateful operation.",
                                        "Falling back to mean stacking method."}));
    EXPECT_EQ(readFile(state + ".meta").substr(0, 9), "1\n0.00\n1\n");  // one frame, nebulosity checked
}

TEST_F(CommandLineRun, SeedStateIsUsedOnlyWithoutAStateFile)
{
    const std::string seed = dir.file("seed.fits");
    saveImage(seed, flatFrame(32, 24, 3, 40));
    writeFile(seed + ".meta", "9\n0.00\n0\n0\n0.0000");

    ASSERT_EQ(runPelorum({"-l", seed, "-o", output, "-e", state, frame}).exitCode, 0);
    EXPECT_EQ(readFile(state + ".meta").substr(0, 2), "10");

    ASSERT_EQ(runPelorum({"-l", seed, "-o", output, "-e", state, frame}).exitCode, 0);
    EXPECT_EQ(readFile(state + ".meta").substr(0, 2), "11");  // the state file replaces the seed

    const ProcessResult missingSeed = runPelorum({"-l", dir.file("none.fits"), "-o", output, "-e", state, frame});
    EXPECT_EQ(missingSeed.exitCode, 1);
    EXPECT_EQ(logMessages(missingSeed.out, "[ERRO] "),
              std::vector<std::string>{"Error: Failed to load state: State file does not exist: " +
                                       dir.file("none.fits")});
}

TEST_F(CommandLineRun, SaveStateWritesASecondCopy)
{
    const std::string copy = dir.file("copy.jpg");
    ASSERT_EQ(runPelorum({"-s", copy, "-o", output, "-e", state, frame, dir.file("ignored.jpg")}).exitCode, 0);
    EXPECT_EQ(readFile(copy + ".meta"), readFile(state + ".meta"));
    EXPECT_EQ(loadImage(copy)->width(), 32);

    const ProcessResult badCopy = runPelorum({"-s", dir.file("copy.png"), "-o", output, "-e", state, frame});
    EXPECT_EQ(badCopy.exitCode, 1);
    EXPECT_EQ(logMessages(badCopy.out, "[ERRO] "),
              (std::vector<std::string>{"Not enough stars detected for alignment",
                                        "Error: Failed to save state: Unsupported file format: png"}));
}
