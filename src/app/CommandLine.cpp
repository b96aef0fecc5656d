#include "app/CommandLine.h"

#include <getopt.h>

#include <cmath>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "core/Logger.h"
#include "core/Timer.h"
#include "stacking/ByteKernels.h"
#include "stacking/Stacker.h"

namespace {

const char* const shortOptions = "ho:r:m:b:c:t:p:f:g:e:s:l:xq:i:P:G:T:S:LW:C:D:N:vkzA";

// Options with a long name only.
enum LongOnly { kDark = 256, kFlat, kHotPixels, kDebayer, kWatch, kPattern, kOnce };

const option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"output", required_argument, nullptr, 'o'},
    {"reference", required_argument, nullptr, 'r'},
    {"method", required_argument, nullptr, 'm'},
    {"background", required_argument, nullptr, 'b'},
    {"contrast", required_argument, nullptr, 'c'},
    {"saturation", required_argument, nullptr, 't'},
    {"compression", required_argument, nullptr, 'p'},
    {"median-filter", required_argument, nullptr, 'f'},
    {"sigma-clip", required_argument, nullptr, 'g'},
    {"state", required_argument, nullptr, 'e'},
    {"save-state", required_argument, nullptr, 's'},
    {"load-state", required_argument, nullptr, 'l'},
    {"reset", no_argument, nullptr, 'x'},
    {"quality", required_argument, nullptr, 'q'},
    {"diagnostic", required_argument, nullptr, 'i'},
    {"poly-degree", required_argument, nullptr, 'P'},
    {"grid-size", required_argument, nullptr, 'G'},
    {"protection", required_argument, nullptr, 'T'},
    {"smoothness", required_argument, nullptr, 'S'},
    {"local-hist-eq", no_argument, nullptr, 'L'},
    {"hist-eq-window", required_argument, nullptr, 'W'},
    {"hist-eq-clip", required_argument, nullptr, 'C'},
    {"denoise", required_argument, nullptr, 'D'},
    {"denoise-strength", required_argument, nullptr, 'N'},
    {"verbose", no_argument, nullptr, 'v'},
    {"benchmark", no_argument, nullptr, 'k'},
    {"disable-simd", no_argument, nullptr, 'z'},
    {"auto-stretch", no_argument, nullptr, 'A'},
    {"dark", required_argument, nullptr, kDark},
    {"flat", required_argument, nullptr, kFlat},
    {"hot-pixels", required_argument, nullptr, kHotPixels},
    {"debayer", required_argument, nullptr, kDebayer},
    {"watch", required_argument, nullptr, kWatch},
    {"pattern", required_argument, nullptr, kPattern},
    {"once", no_argument, nullptr, kOnce},
    {nullptr, 0, nullptr, 0},
};

// Thrown when an option's argument is not a number of the expected kind.
struct BadOptionValue : std::runtime_error {
    BadOptionValue(char option, const std::string& value)
        : std::runtime_error(std::string("Error: Invalid value for option -") + option + ": " + value)
    {
    }
    BadOptionValue(const std::string& longName, const std::string& value)
        : std::runtime_error("Error: Invalid value for option --" + longName + ": " + value)
    {
    }
};

// The whole text must be the number: "0.5abc" is refused rather than read
// as 0.5, and so are "nan" and "inf", which no clamp can place in a range.
int toInt(char option, const std::string& text)
{
    std::size_t used = 0;
    try {
        const int value = std::stoi(text, &used);
        if (used == text.size())
            return value;
    } catch (const std::logic_error&) {
    }
    throw BadOptionValue(option, text);
}

float toFloat(char option, const std::string& text)
{
    std::size_t used = 0;
    try {
        const float value = std::stof(text, &used);
        if (used == text.size() && std::isfinite(value))
            return value;
    } catch (const std::logic_error&) {
    }
    throw BadOptionValue(option, text);
}

float toHotPixelSigma(const std::string& text)
{
    try {
        const float sigma = toFloat('?', text);
        if (sigma > 0.0f)
            return sigma;
    } catch (const BadOptionValue&) {
    }
    throw BadOptionValue("hot-pixels", text);
}

DebayerMethod toDebayerMethod(const std::string& text)
{
    if (const std::optional<DebayerMethod> method = debayerMethodNamed(text))
        return *method;
    throw BadOptionValue("debayer", text);
}

// "frames,lower,upper"; false when either comma is missing.
bool parseSigmaClip(const std::string& text, Stacker& stacker)
{
    const auto first = text.find(',');
    if (first == std::string::npos)
        return false;
    const auto second = text.find(',', first + 1);
    if (second == std::string::npos)
        return false;
    try {
        const int frames = toInt('g', text.substr(0, first));
        const float lower = toFloat('g', text.substr(first + 1, second - first - 1));
        const float upper = toFloat('g', text.substr(second + 1));
        stacker.setSigmaClip(frames, lower, upper);
    } catch (const BadOptionValue&) {
        throw BadOptionValue('g', text);  // name the whole argument, not the one bad field
    }
    return true;
}

// Applies one option; returns false when parsing must stop with failure.
bool applyOption(int option, const std::string& arg, Stacker& stacker, CommandLine& cl)
{
    switch (option) {
    case 'o': cl.outputPath = arg; break;
    case 'r': cl.referencePath = arg; break;
    case 'm': cl.methodName = arg; break;
    case 'e': cl.statePath = arg; break;
    case 's': cl.saveStatePath = arg; break;
    case 'l': cl.loadStatePath = arg; break;
    case 'x': cl.resetRequested = true; break;
    case 'b': cl.backgroundPercent = toFloat('b', arg); break;
    case 'c': cl.contrastPercent = toFloat('c', arg); break;
    case 't': cl.saturationPercent = toFloat('t', arg); break;
    case 'p': cl.compressionPercent = toFloat('p', arg); break;
    case 'f': cl.medianFilterSize = toInt('f', arg); break;
    case 'q': stacker.setQualityThreshold(toFloat('q', arg)); break;
    case 'i': stacker.setDiagnostic(true, arg); break;
    case 'P': stacker.setPolyDegree(toInt('P', arg)); break;
    case 'G': stacker.setGridSize(toInt('G', arg)); break;
    case 'T': stacker.setProtection(toFloat('T', arg)); break;
    case 'S': stacker.setSmoothness(toFloat('S', arg)); break;
    case 'L': cl.localHistEqRequested = true; break;
    case 'W':
        cl.histEqWindow = toInt('W', arg);
        cl.localHistEqRequested = true;
        break;
    case 'C':
        cl.histEqClip = toFloat('C', arg);
        cl.localHistEqRequested = true;
        break;
    case 'D':
        cl.denoiseMethod = toInt('D', arg);
        cl.denoiseRequested = true;
        break;
    case 'N': cl.denoiseStrength = toInt('N', arg); break;
    case 'g':
        if (!parseSigmaClip(arg, stacker)) {
            logError("Invalid sigma clipping parameters. Format: frames,lower,upper");
            return false;
        }
        break;
    case 'k':
        stacker.setBenchmark(true);
        logInfo("Benchmark mode enabled");
        benchmarkEnabled = true;
        cl.benchmarkRequested = true;
        break;
    case 'v':
        // Written before the switch, so it shows only after an earlier -v.
        logInfo("Verbose mode enabled");
        Logger::instance().setVerbose();
        break;
    case 'z':
        setSimdEnabled(false);
        logInfo("SIMD acceleration disabled");
        break;
    case 'A': stacker.setAutoStretch(true); break;
    case kDark: cl.darkPath = arg; break;
    case kFlat: cl.flatPath = arg; break;
    case kHotPixels: stacker.setHotPixels(toHotPixelSigma(arg)); break;
    case kDebayer: stacker.setDebayerMethod(toDebayerMethod(arg)); break;
    case kWatch: cl.watchFolder = arg; break;
    case kPattern: cl.watchPattern = arg; break;
    case kOnce: cl.watchOnce = true; break;
    }
    return true;
}

}  // namespace

void printUsage(const std::string& argv0)
{
    std::cout << "Usage: " << argv0 << " [options] input_file\n"
              << "\n"
              << "Options:\n"
              << "  -h, --help                 Show this help message\n"
              << "  -o, --output FILE          Output file (required)\n"
              << "  -r, --reference FILE       Reference frame (defaults to first input file)\n"
              << "  -m, --method METHOD        Stacking method: mean, median, sigmaclip (default: mean)\n"
              << "  -b, --background PERCENT   Background adjustment percentage (0-100, default: 15)\n"
              << "  -c, --contrast PERCENT     Contrast adjustment percentage (10-200, default: 120)\n"
              << "  -t, --saturation PERCENT   Saturation adjustment percentage (0-100, default: 120)\n"
              << "  -p, --compression PERCENT  Compression percentage (0-100, default: 20)\n"
              << "  -f, --median-filter SIZE   Median filter size (0 to disable, default: 0)\n"
              << "  -g, --sigma-clip FRAMES,LOWER,UPPER  Sigma clipping parameters (default: disabled)\n"
              << "  -e, --state FILE           State file for processing (required)\n"
              << "  -s, --save-state FILE      Save current state to file\n"
              << "  -l, --load-state FILE      Load state from file\n"
              << "  -x, --reset                Reset the internal state\n"
              << "  -q, --quality THRESHOLD    Frame quality threshold (0.0-1.0, default: 0.7)\n"
              << "  -i, --diagnostic PREFIX    Enable diagnostic mode with output prefix\n"
              << "  -P, --poly-degree DEGREE   Polynomial degree for background modeling (1-4, default: 2)\n"
              << "  -G, --grid-size SIZE       Sample grid size for background extraction (8-64, default: 16)\n"
              << "  -T, --protection THRESHOLD Protection threshold for nebulae (0.0-1.0, default: 0.5)\n"
              << "  -S, --smoothness FACTOR    Smoothness factor for background model (0.0-1.0, default: 0.5)\n"
              << "  -L, --local-hist-eq        Enable local histogram equalization\n"
              << "  -W, --hist-eq-window SIZE  Window size for local histogram equalization (default: 63)\n"
              << "  -C, --hist-eq-clip LIMIT   Clip limit for local histogram equalization (0.0-4.0, default: 1.0)\n"
              << "  -D, --denoise METHOD       Enable denoising (0=None, 1=NonLocalMeans, 2=Bilateral)\n"
              << "  -N, --denoise-strength STR Denoising strength (1-30, default: 10)\n"
              << "  -v, --verbose              Enable verbose output\n"
              << "  -k, --benchmark            Enable benchmark mode to time operations\n"
              << "  -z, --disable-simd         Disable SIMD acceleration\n"
              << "  -A, --auto-stretch         Stretch an 8-bit stack automatically, as a linear one always is\n"
              << "      --dark FILE            Master dark subtracted from every frame\n"
              << "      --flat FILE            Master flat every frame is divided by, normalised to its mean\n"
              << "      --hot-pixels SIGMA     Replace pixels SIGMA robust deviations above their neighbours (default: off)\n"
              << "      --debayer METHOD       Debayering of Bayer mosaics: bilinear, nearest (default: bilinear)\n"
              << "      --watch DIR            Instead of input_file: stack every frame in DIR, then each new one\n"
              << "                             as it is written, keeping the stack in memory until stopped\n"
              << "      --pattern GLOB         With --watch: only files whose names match GLOB (default: all frames)\n"
              << "      --once                 With --watch: stack the frames in DIR, then exit\n"
              << "\n"
              << "Examples:\n"
              << "  " << argv0 << " -o output.jpg -e state.jpg -m median input.jpg\n"
              << "  " << argv0 << " -o output.jpg -e state.jpg input.jpg\n"
              << "  " << argv0 << " -o output2.jpg -e state.jpg input2.jpg\n"
              << "  " << argv0 << " -o output.jpg -e state.jpg -P 2 -G 16 -T 0.5 -S 0.5 input.jpg\n"
              << "  " << argv0 << " -o output.jpg -e state.jpg -L -W 63 -C 1.0 input.jpg\n"
              << std::flush;
}

void applyPostProcessingOptions(const CommandLine& cl, Stacker& stacker)
{
    if (cl.backgroundPercent)
        stacker.setBackground(*cl.backgroundPercent);
    if (cl.contrastPercent)
        stacker.setContrast(*cl.contrastPercent);
    if (cl.saturationPercent)
        stacker.setSaturation(*cl.saturationPercent);
    if (cl.compressionPercent)
        stacker.setCompression(*cl.compressionPercent);
    if (cl.medianFilterSize)
        stacker.setMedianFilter(*cl.medianFilterSize);
    if (cl.localHistEqRequested)
        stacker.setLocalHistEq(true, cl.histEqWindow, cl.histEqClip);
    if (cl.denoiseRequested)
        stacker.setDenoise(cl.denoiseMethod, cl.denoiseStrength);
}

ParseOutcome parseCommandLine(int argc, char** argv, Stacker& stacker, CommandLine& cl)
{
    const std::string argv0 = argc > 0 ? argv[0] : "pelorum";
    optind = 0;  // full re-initialisation of getopt, should parsing run twice in one process
    int option;
    while ((option = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1) {
        if (option == 'h') {
            printUsage(argv0);
            return ParseOutcome::ExitSuccess;
        }
        if (option == '?') {
            printUsage(argv0);
            return ParseOutcome::ExitFailure;
        }
        try {
            if (!applyOption(option, optarg ? optarg : "", stacker, cl))
                return ParseOutcome::ExitFailure;
        } catch (const BadOptionValue& e) {
            logError(e.what());
            printUsage(argv0);
            return ParseOutcome::ExitFailure;
        }
    }
    if (cl.outputPath.empty()) {
        logError("Error: Output file is required");
        printUsage(argv0);
        return ParseOutcome::ExitFailure;
    }
    if (cl.statePath.empty()) {
        logError("Error: State file is required (-e option)");
        printUsage(argv0);
        return ParseOutcome::ExitFailure;
    }
    if ((!cl.watchPattern.empty() || cl.watchOnce) && cl.watchFolder.empty()) {
        logError("Error: --pattern and --once need --watch");
        printUsage(argv0);
        return ParseOutcome::ExitFailure;
    }
    if (!cl.watchFolder.empty()) {
        if (optind < argc) {
            logError("Error: --watch takes its frames from the folder, not from input_file");
            printUsage(argv0);
            return ParseOutcome::ExitFailure;
        }
        return ParseOutcome::Run;
    }
    if (optind >= argc) {
        logError("Error: No input file specified");
        printUsage(argv0);
        return ParseOutcome::ExitFailure;
    }
    cl.inputPath = argv[optind];
    return ParseOutcome::Run;
}
