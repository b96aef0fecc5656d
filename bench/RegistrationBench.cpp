// Registration accuracy and speed on simulated 1920x1080 colour sequences
// with known transforms. For every frame the matrix found for it is compared
// with the simulator's: the four image corners are mapped through both and
// the distance between the results is the corner error.
#include <chrono>
#include <cstdlib>
#include <optional>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <QCoreApplication>

#include "BenchStatistics.h"
#include "BenchUsage.h"
#include "CornerError.h"
#include "RegistrationLimit.h"
#include "RegistrationSequences.h"
#include "SkySimulator.h"
#include "alignment/Registration.h"
#include "alignment/WarpFrame.h"
#include "fits/gslhelpers/GslErrors.h"
#include "image/ImageFile.h"
#include "image/MatView.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 20;
// A frame counts as aligned when no corner is off by a pixel or more.
constexpr double kAlignedCornerError = 1.0;
// Trials averaged for the best possible registration's corner errors.
constexpr int kLimitTrials = 200;
// The sky every sequence starts from, unless the command line names another.
constexpr std::uint64_t kDefaultSky = 11;


struct Figures {
    int aligned = 0;
    int rejected = 0;
    std::vector<double> cornerErrors;  // worst corner of each found frame
    std::vector<double> alignMilliseconds;
};

// Frames go through a JPEG file and back, as they would from a camera.
ByteImagePtr asJpeg(const ByteImagePtr& frame, const std::string& path)
{
    saveImage(path, frame);
    return loadImage(path);
}

SkySimSettings baseSky(std::uint64_t seed)
{
    SkySimSettings settings;
    settings.frames = kFrames;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.seed = seed;
    return settings;
}

// Frames 2.. of the frame sky registered onto frame 1 of the reference sky.
Figures measure(const SkySimulator& referenceSky, const SkySimulator& frameSky, const std::string& scratch)
{
    const ByteImagePtr reference = asJpeg(referenceSky.exposure(1), scratch);
    Figures figures;
    for (int k = 2; k <= kFrames; ++k) {
        std::vector<ExtractedStar> referenceStars;  // measured afresh for every frame
        const ByteImagePtr frame = asJpeg(frameSky.exposure(k), scratch);
        const auto start = std::chrono::steady_clock::now();
        const cv::Mat found = registerFrame(matView(*reference), matView(*frame), 200, referenceStars).transform;
        if (!found.empty())
            warpFrame(matView(*frame), found, kWidth, kHeight, 3);
        figures.alignMilliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (found.empty()) {
            ++figures.rejected;
            continue;
        }
        const double error = worstCornerError(found, frameSky.transform(k), kWidth, kHeight);
        figures.cornerErrors.push_back(error);
        if (error < kAlignedCornerError)
            ++figures.aligned;
    }
    return figures;
}

// Frames that must all be turned away: another star field, noise alone, and
// a featureless sky, each against the base sky's first frame.
std::vector<RegistrationSequence> badSequences()
{
    return {
        {"another field (must be rejected)", [](SkySimSettings& s) { s.seed += 1; }},
        {"noise alone (must be rejected)", [](SkySimSettings& s) {
             s.starField.starsPerFrame = 0;
             s.noise.readNoise = 15.0;
         }},
        {"featureless sky (must be rejected)", [](SkySimSettings& s) {
             s.starField.starsPerFrame = 0;
             s.noise.readNoise = 0.0;
             s.noise.gain = 0.0;
         }},
    };
}

void printRow(const std::string& name, const Figures& f, const CornerErrorLimit& limit)
{
    std::printf("| %-38s | %5d/%-2d | %5d/%-2d | %10.3f px | %9.3f px | %6.3f / %5.3f px | %13.0f |\n", name.c_str(),
                f.aligned, kFrames - 1, f.rejected, kFrames - 1, median(f.cornerErrors), largest(f.cornerErrors),
                limit.median, limit.worst, median(f.alignMilliseconds));
    std::fflush(stdout);
}

void printRow(const std::string& name, const Figures& f)
{
    std::printf("| %-38s | %5d/%-2d | %5d/%-2d | %10.3f px | %9.3f px | %17s | %13.0f |\n", name.c_str(), f.aligned,
                kFrames - 1, f.rejected, kFrames - 1, median(f.cornerErrors), largest(f.cornerErrors), "",
                median(f.alignMilliseconds));
    std::fflush(stdout);
}

// The sky's seed from the command line, or the default with no argument;
// none for anything but a whole number.
std::optional<std::uint64_t> skySeed(int argc, char** argv)
{
    if (argc < 2)
        return kDefaultSky;
    char* end = nullptr;
    const unsigned long long seed = std::strtoull(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || argv[1][0] == '-')
        return std::nullopt;
    return seed;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* usage =
        "Usage: pelorum_bench_registration [SKY]\n"
        "Registers simulated 1920x1080 sequences (shift and rotation, 180-degree turn, dense and\n"
        "sparse fields, mirror, heavy noise) and prints corner errors against the true transforms,\n"
        "the least corner errors the stars' light allows, and the time per alignFrame. SKY seeds\n"
        "the simulated sky (default 11).\n";
    const int status = checkBenchArguments(argc, argv, argc > 1 ? 1 : 0, usage);
    if (status >= 0)
        return status;
    const std::optional<std::uint64_t> seed = skySeed(argc, argv);
    if (!seed) {
        std::fprintf(stderr, "%s", usage);
        return 1;
    }
    Mathematics::GSLHelpers::switchOffGslAbort();
    // Star extraction needs a Qt application object in the process.
    QCoreApplication application(argc, argv);
    const std::vector<RegistrationSequence> sequences = registrationSequences();
    const std::string scratch =
        (std::filesystem::temp_directory_path() / ("pelorum-registration-" + std::to_string(getpid()) + ".jpg"))
            .string();
    std::printf("| %-38s | %8s | %8s | %13s | %12s | %17s | %13s |\n", "sequence (1920x1080 colour, 19 frames)",
                "aligned", "rejected", "median corner", "worst corner", "limit med / worst", "alignFrame ms");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(10, '-').c_str(),
                std::string(10, '-').c_str(), std::string(15, '-').c_str(), std::string(14, '-').c_str(),
                std::string(19, '-').c_str(), std::string(15, '-').c_str());
    for (const RegistrationSequence& sequence : sequences) {
        SkySimSettings settings = baseSky(*seed);
        sequence.configure(settings);
        const SkySimulator sky(settings);
        printRow(sequence.name, measure(sky, sky, scratch), cornerErrorLimit(sky, kFrames, kLimitTrials));
    }
    const SkySimulator base(baseSky(*seed));
    for (const RegistrationSequence& sequence : badSequences()) {
        SkySimSettings settings = baseSky(*seed);
        sequence.configure(settings);
        printRow(sequence.name, measure(base, SkySimulator(settings), scratch));
    }
    std::filesystem::remove(scratch);
    std::printf("\nAligned: worst corner error below %.1f px; rejected: turned away as not registered. Corner\n"
                "errors over the frames a matrix was found for (nan: none). Limit: median and worst corner\n"
                "error of the best possible registration, averaged over %d trials: every star found at\n"
                "signal-to-noise 5 paired with its true counterpart, each centroid off by the least noise\n"
                "its light allows, a similarity fitted with inverse-variance weights. alignFrame ms: median\n"
                "time of registration plus warp per frame.\n",
                kAlignedCornerError, kLimitTrials);
    return 0;
}
