// Whole-run figures of a camera's 16-bit frames, printed as one table:
//  - per-frame latency of a pelorum process on RGGB mosaics with a FITS
//    state, next to the I/O floor of the same frames, and peak memory;
//  - background noise of the stack after 1, 4, 16 and 64 frames next to the
//    exact float mean of the same frames aligned by their true transforms;
//  - how much of a faint nebula's amplitude the stack keeps, from the 16-bit
//    frames and from the same frames cut to 8 bits;
//  - corner errors of registering 16-bit mosaics against frame 1.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "BenchStatistics.h"
#include "BenchUsage.h"
#include "CameraFits.h"
#include "CornerError.h"
#include "FrameTransforms.h"
#include "PelorumRuns.h"
#include "RegistrationSequences.h"
#include "SkySimulator.h"
#include "StackResiduals.h"
#include "alignment/Registration.h"
#include "alignment/WarpFrame.h"
#include "fits/gslhelpers/GslErrors.h"
#include "image/BayerMosaic.h"
#include "image/ImageFile.h"
#include "stacking/CameraFrame.h"

namespace {

// A camera's sky: 16-bit ADU with a bright, light-polluted background.
constexpr double kSky = 1200.0;
constexpr double kReadNoise = 9.0;
constexpr double kNebula = 6.0;
// The faintest star's flux: over this sky and read noise its signal-to-noise
// ratio is that of the 8-bit benches' faintest star (flux 200 over sky 30,
// read noise 4), so the star fields are as hard to register.
constexpr double kFaintestFlux = 1000.0;
// Star light below this (ADU) leaves a pixel star-free sky: far under the
// noise of a 64-frame stack.
constexpr float kNoStarLight = 0.1f;
// Pixels this close to an edge of any frame are left out of the sky
// measures: the debayer and the resampling read fewer neighbours there.
constexpr double kEdgeMargin = 2.0;
// A frame counts as aligned when no corner is off by a pixel or more.
constexpr double kAlignedCornerError = 1.0;

SkySimSettings cameraSky(int width, int height, int frames, int channels)
{
    SkySimSettings s;
    s.frames = frames;
    s.width = width;
    s.height = height;
    s.channels = channels;
    s.seed = 7;
    s.starField.faintestFlux = kFaintestFlux;
    s.background.sky = kSky;
    s.background.nebula = kNebula;
    s.noise.readNoise = kReadNoise;
    s.motion.driftX = 1.5;
    s.motion.driftY = -0.8;
    return s;
}

std::string sizeName(const SkySimSettings& s)
{
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

// Writes the sequence's 16-bit frames into dir; their paths in order.
std::vector<std::string> writeCameraFrames(const SkySimulator& simulator, const std::string& dir)
{
    writeSequence(simulator, {dir, FrameFormat::Fits16});
    std::vector<std::string> paths;
    for (int k = 1; k <= simulator.settings().frames; ++k)
        paths.push_back(dir + "/" + frameFileName(k, FrameFormat::Fits16));
    return paths;
}

// The 16-bit frames cut to 8 bits (value / 257, rounded) and written as
// 8-bit FITS, as an 8-bit capture of the same sky would be; their paths.
std::vector<std::string> writeEightBitFrames(const SkySimulator& simulator, const std::string& dir)
{
    std::filesystem::create_directories(dir);
    std::vector<std::string> paths;
    for (int k = 1; k <= simulator.settings().frames; ++k) {
        const CameraImagePtr frame = simulator.cameraExposure(k);
        auto eightBit = std::make_shared<ByteImage>(frame->width(), frame->height(), frame->channels());
        for (std::size_t i = 0; i < frame->size(); ++i)
            eightBit->data()[i] = static_cast<unsigned char>((frame->data()[i] + 128) / 257);
        paths.push_back(dir + "/" + frameFileName(k, FrameFormat::Fits));
        saveImage(paths.back(), eightBit);
    }
    return paths;
}

void addToStack(const PelorumPrograms& programs, const std::string& dir, const std::string& frame)
{
    runProgram({programs.pelorum, "-o", dir + "/out.jpg", "-e", dir + "/state.fits", frame});
}

// The frames stacked one pelorum run at a time into a new state in dir.
FloatImagePtr pelorumStack(const PelorumPrograms& programs, const std::string& dir,
                           const std::vector<std::string>& frames)
{
    for (const std::string& frame : frames)
        addToStack(programs, dir, frame);
    return loadFloatImage(dir + "/state.fits");
}

cv::Mat floatMatView(const FloatImage& image)
{
    return cv::Mat(image.height(), image.width(), CV_32FC(image.channels()), const_cast<float*>(image.data()));
}

// A frame file's samples as pelorum stacks them: a mosaic debayered with
// pelorum's default method.
FloatImagePtr stackedSamples(const std::string& path)
{
    const CameraFrame frame = readCameraFrame(path);
    return frame.bayer ? debayer(*frame.pixels, *frame.bayer, DebayerMethod::Bilinear) : frame.pixels;
}

// The exact mean of frames resampled in float onto frame 1 by their true
// transforms: what a stack of them can at best be.
class TrueAlignedMean {
public:
    explicit TrueAlignedMean(const SkySimSettings& s)
        : width_(s.width), height_(s.height), channels_(s.channels),
          sums_(std::size_t(s.width) * s.height * s.channels, 0.0)
    {
    }

    void add(const std::string& path, const cv::Matx33d& transform)
    {
        const FloatImagePtr aligned =
            warpFrame(*stackedSamples(path), cv::Mat(transform), width_, height_, channels_);
        for (std::size_t i = 0; i < sums_.size(); ++i)
            sums_[i] += aligned->data()[i];
        ++count_;
    }

    FloatImagePtr mean() const
    {
        auto image = std::make_shared<FloatImage>(width_, height_, channels_);
        for (std::size_t i = 0; i < sums_.size(); ++i)
            image->data()[i] = float(sums_[i] / count_);
        return image;
    }

private:
    int width_;
    int height_;
    int channels_;
    std::vector<double> sums_;
    int count_ = 0;
};

bool wellInside(cv::Point2d p, int width, int height)
{
    return p.x >= kEdgeMargin && p.y >= kEdgeMargin && p.x <= width - 1 - kEdgeMargin &&
           p.y <= height - 1 - kEdgeMargin;
}

// Samples of frame 1 that every frame of the sequence sees, away from its edges.
SampleMask seenByEveryFrame(const SkySimulator& simulator)
{
    const SkySimSettings& s = simulator.settings();
    std::vector<cv::Matx33d> toFrames;
    for (int k = 1; k <= s.frames; ++k)
        toFrames.push_back(simulator.transform(k).inv());
    SampleMask mask(std::size_t(s.width) * s.height * s.channels);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const bool seen = std::all_of(toFrames.begin(), toFrames.end(), [&](const cv::Matx33d& toFrame) {
                return wellInside(applyTransform(toFrame, cv::Point2d(x, y)), s.width, s.height);
            });
            for (int c = 0; c < s.channels; ++c)
                mask[(std::size_t(y) * s.width + x) * s.channels + c] = seen;
        }
    return mask;
}

// Samples of frame 1 without star light: its truth is that of the same sky
// without stars.
SampleMask starFree(const SkySimulator& simulator)
{
    SkySimSettings starless = simulator.settings();
    starless.starField.starsPerFrame = 0;
    const FloatImagePtr sky = SkySimulator(starless).truth(1);
    const FloatImagePtr truth = simulator.truth(1);
    SampleMask mask(truth->size());
    for (std::size_t i = 0; i < truth->size(); ++i)
        mask[i] = truth->data()[i] - sky->data()[i] < kNoStarLight;
    return mask;
}

SampleMask bothOf(const SampleMask& a, const SampleMask& b)
{
    SampleMask both(a.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        both[i] = a[i] && b[i];
    return both;
}

void latencyRows(const PelorumPrograms& programs, const std::string& root, const SkySimSettings& settings)
{
    const std::string dir = root + "/latency_" + std::to_string(settings.width);
    const std::vector<std::string> frames = writeCameraFrames(SkySimulator(settings), dir);
    const RunFigures pelorum = pelorumLatency(programs, dir, frames);
    const RunFigures floor = ioFloorLatency(programs, dir, frames);
    const std::string what = sizeName(settings) + " RGGB 16-bit";
    printRow("latency " + what + " (ms)", fixed(pelorum.milliseconds, 0), fixed(floor.milliseconds, 0),
             fixed(pelorum.milliseconds / floor.milliseconds, 2));
    printRow("peak memory " + what + " (MB)", fixed(pelorum.peakKilobytes / 1024.0, 0),
             fixed(floor.peakKilobytes / 1024.0, 0), fixed(double(pelorum.peakKilobytes) / floor.peakKilobytes, 2));
}

std::string framesName(int count) { return std::to_string(count) + (count == 1 ? " frame" : " frames"); }

bool isNoiseCheckpoint(int frames) { return frames == 1 || frames == 4 || frames == 16 || frames == 64; }

void noiseRows(const PelorumPrograms& programs, const std::string& root)
{
    const std::string dir = root + "/noise";
    const SkySimSettings settings = cameraSky(640, 480, 64, 3);
    const SkySimulator simulator(settings);
    const std::vector<std::string> frames = writeCameraFrames(simulator, dir);
    const FloatImagePtr truth = simulator.truth(1);
    const SampleMask sky = bothOf(starFree(simulator), seenByEveryFrame(simulator));
    TrueAlignedMean exact(settings);
    for (int n = 1; n <= settings.frames; ++n) {
        addToStack(programs, dir, frames[std::size_t(n - 1)]);
        exact.add(frames[std::size_t(n - 1)], simulator.transform(n));
        if (!isNoiseCheckpoint(n))
            continue;
        const double stackNoise = residualDeviation(*loadFloatImage(dir + "/state.fits"), *truth, sky);
        const double exactNoise = residualDeviation(*exact.mean(), *truth, sky);
        printRow("noise " + sizeName(settings) + " RGGB, " + framesName(n) + " (ADU)",
                 fixed(stackNoise, 2), fixed(exactNoise, 2), fixed(stackNoise / exactNoise, 3));
    }
}

void requireSameStars(const SkySimulator& a, const SkySimulator& b)
{
    const std::vector<Star>& first = a.model().stars();
    const std::vector<Star>& second = b.model().stars();
    bool same = first.size() == second.size();
    for (std::size_t i = 0; same && i < first.size(); ++i)
        same = first[i].position == second[i].position && first[i].flux == second[i].flux;
    if (!same)
        throw std::runtime_error("the sky without its nebula has another star field");
}

// A sequence's frame 1 with and without its nebula, and the samples the
// nebula's share is measured on: star-free, seen by every frame, and where
// the nebula adds at least a tenth of its peak.
struct NebulaTruth {
    FloatImagePtr truth;
    FloatImagePtr withoutNebula;
    SampleMask measured;
};

NebulaTruth nebulaTruth(const SkySimulator& simulator)
{
    SkySimSettings plainSky = simulator.settings();
    plainSky.background.nebula = 0.0;
    const SkySimulator withoutNebula(plainSky);
    requireSameStars(simulator, withoutNebula);
    NebulaTruth t{simulator.truth(1), withoutNebula.truth(1), {}};
    SampleMask significant(t.truth->size());
    for (std::size_t i = 0; i < significant.size(); ++i)
        significant[i] = t.truth->data()[i] - t.withoutNebula->data()[i] >= 0.1 * kNebula;
    t.measured = bothOf(bothOf(starFree(simulator), seenByEveryFrame(simulator)), significant);
    return t;
}

// The nebula's share of a stack, its samples times stackScale: the
// least-squares slope of (stack - sky without nebula) against (truth - sky
// without nebula), the nebula's own signal. 1 keeps the nebula whole; 0
// loses it.
double nebulaKept(const FloatImage& stack, float stackScale, const NebulaTruth& t)
{
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < stack.size(); ++i) {
        if (!t.measured[i])
            continue;
        const double x = double(t.truth->data()[i]) - t.withoutNebula->data()[i];
        const double y = double(stack.data()[i]) * stackScale - t.withoutNebula->data()[i];
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        ++n;
    }
    return (sxy - sx * sy / double(n)) / (sxx - sx * sx / double(n));
}

void nebulaRows(const PelorumPrograms& programs, const std::string& root)
{
    SkySimSettings settings = cameraSky(1280, 960, 16, 1);
    settings.background.nebulaSize = 150.0;
    const SkySimulator simulator(settings);
    const NebulaTruth truth = nebulaTruth(simulator);
    const std::string deepDir = root + "/nebula16";
    const std::vector<std::string> frames = writeCameraFrames(simulator, deepDir);
    TrueAlignedMean exact(settings);
    for (int k = 1; k <= settings.frames; ++k)
        exact.add(frames[std::size_t(k - 1)], simulator.transform(k));
    const double best = nebulaKept(*exact.mean(), 1.0f, truth);
    const double deep = nebulaKept(*pelorumStack(programs, deepDir, frames), 1.0f, truth);
    const std::string shallowDir = root + "/nebula8";
    const double shallow =
        nebulaKept(*pelorumStack(programs, shallowDir, writeEightBitFrames(simulator, shallowDir)), 257.0f, truth);
    const std::string what = "nebula kept, " + framesName(settings.frames) + " " + sizeName(settings) + " grey";
    printRow(what + ", 16-bit", fixed(deep, 3), fixed(best, 3), fixed(deep / best, 3));
    printRow(what + ", 8-bit", fixed(shallow, 3), fixed(best, 3), fixed(shallow / best, 3));
}

struct RegistrationFigures {
    int frames = 0;  // registered against frame 1, or tried to be
    int aligned = 0;
    std::vector<double> cornerErrors;  // worst corner of each registered frame
};

// A frame as a camera writes it and pelorum reads it for registration: the
// 16-bit mosaic through a FITS file, debayered, as float grey.
cv::Mat greyFrame(const SkySimulator& simulator, int k, const std::string& scratch)
{
    const CameraFrameHeader header{10.0, "2026-01-01T21:00:00", simulator.settings().channels == 3};
    writeCameraFits(scratch, *simulator.cameraExposure(k), header);
    const FloatImagePtr samples = stackedSamples(scratch);
    return greyImage(floatMatView(*samples)).clone();  // a grey frame's view would outlive its samples
}

RegistrationFigures registerSequence(const RegistrationSequence& sequence, const std::string& scratch)
{
    SkySimSettings settings = cameraSky(1920, 1080, 20, 3);
    settings.seed = 11;
    sequence.configure(settings);
    const SkySimulator simulator(settings);
    const cv::Mat reference = greyFrame(simulator, 1, scratch);
    RegistrationFigures figures;
    figures.frames = settings.frames - 1;
    for (int k = 2; k <= settings.frames; ++k) {
        std::vector<ExtractedStar> referenceStars;  // measured afresh for every frame
        const cv::Mat found = registerFrame(reference, greyFrame(simulator, k, scratch), 200, referenceStars).transform;
        if (found.empty())
            continue;
        const double error = worstCornerError(found, simulator.transform(k), settings.width, settings.height);
        figures.cornerErrors.push_back(error);
        if (error < kAlignedCornerError)
            ++figures.aligned;
    }
    return figures;
}

void registrationRows(const std::string& root)
{
    const std::vector<RegistrationSequence> sequences = registrationSequences();
    for (const RegistrationSequence& sequence : sequences) {
        const RegistrationFigures f = registerSequence(sequence, root + "/registration.fits");
        printRow("corner: " + sequence.name, fixed(median(f.cornerErrors), 3), fixed(largest(f.cornerErrors), 3),
                 std::to_string(f.aligned) + "/" + std::to_string(f.frames));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const int status = checkBenchArguments(
        argc, argv, 1,
        "Usage: pelorum_bench_camera BUILD_DIR\n"
        "Measures pelorum on simulated 16-bit camera frames (sky 1200 ADU, read noise 9 ADU): whole\n"
        "runs on 1920x1080 and 4096x2160 RGGB mosaics against the I/O floor and their peak memory, the\n"
        "stack's background noise over 1 to 64 frames against the exact mean of the truly aligned\n"
        "frames, the share of a +6 ADU nebula kept at 16 and at 8 bits, and the corner errors of\n"
        "registering 1920x1080 mosaics. BUILD_DIR is the release build holding pelorum and\n"
        "bench/pelorum_io_floor.\n");
    if (status >= 0)
        return status;
    Mathematics::GSLHelpers::switchOffGslAbort();
    // Star extraction and the FITS loader need a Qt application object in the process.
    QCoreApplication application(argc, argv);
    const std::string build = argv[1];
    const PelorumPrograms programs{build + "/pelorum", build + "/bench/pelorum_io_floor"};
    const ScratchDirectory root("pelorum-camera-bench");
    try {
        printTableHead();
        latencyRows(programs, root.path(), cameraSky(1920, 1080, 6, 3));
        latencyRows(programs, root.path(), cameraSky(4096, 2160, 4, 3));
        noiseRows(programs, root.path());
        nebulaRows(programs, root.path());
        registrationRows(root.path());
    } catch (const std::exception& e) {
        std::cerr << "pelorum_bench_camera: " << e.what() << '\n';
        return 1;
    }
    std::printf(
        "\nEvery sequence: sky 1200 ADU, read noise 9 ADU, faintest star 1000 ADU, drift 1.5, -0.8 px per\n"
        "frame. Latency: median of 5 runs at 1920x1080 and 3 at 4096x2160 onto a FITS state holding the\n"
        "earlier frames; reference = I/O floor (start, read the mosaic as pelorum does, read the state,\n"
        "write a 3-channel quality-95 JPEG of the frame's size with the mosaic's samples scaled to 8 bits,\n"
        "write the state). Memory: largest peak resident size of those runs, reference = the floor's.\n"
        "Noise: value = background sigma of pelorum's stack against the true sky over star-free pixels\n"
        "every frame sees; reference = the same for the exact float mean of the frames debayered and\n"
        "warped by their true transforms. Nebula (+6 ADU): least-squares slope of the stack's nebula signal\n"
        "against the true one (1 = kept whole); the 8-bit row stacks the frames cut to 8 bits (value / 257,\n"
        "8-bit FITS) and scales the stack back by 257; reference = the slope for the exact mean of the\n"
        "16-bit frames. Corner: value = median (px), reference = worst corner error of the frames registered\n"
        "against frame 1 (float grey of the debayered mosaic); last column = frames aligned (worst corner\n"
        "below %.0f px).\n",
        kAlignedCornerError);
    return 0;
}
