// Whole-run figures of the main job, printed as one table:
//  - per-frame latency of a pelorum process on colour JPEG frames with a FITS
//    state, default options and with contrast, saturation and compression on,
//    next to the I/O floor measured in the same run;
//  - peak resident memory of one run;
//  - noise gain of the stack against the noise-free sky after 1, 4, 16 and 64
//    frames, for a FITS and a JPEG state, against the ideal sqrt(N);
//  - how far a trail across one frame of ten moves the stack, with the mean
//    and with the stateful sigma clip;
//  - how bright the edges of a drifting stack stay, for a FITS and a JPEG
//    state.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "BenchUsage.h"
#include "PelorumRuns.h"
#include "StackResiduals.h"
#include "image/ImageFile.h"
#include "image/MatView.h"

namespace {

namespace fs = std::filesystem;

struct Tools {
    PelorumPrograms programs;
    std::string skysim;
};

std::string frameName(const std::string& dir, int index)
{
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%04d", index);
    return dir + name;
}

void simulate(const Tools& tools, const std::string& dir, int frames, int width, int height,
              const std::vector<std::string>& extra = {})
{
    fs::create_directories(dir);
    std::vector<std::string> command = {tools.skysim, "--out", dir, "--frames", std::to_string(frames),
                                        "--width", std::to_string(width), "--height", std::to_string(height),
                                        "--seed", "7"};
    command.insert(command.end(), extra.begin(), extra.end());
    runProgram(command);
}

// The JPEG frames 1 .. count of a simulated sequence.
std::vector<std::string> jpegFrames(const std::string& dir, int count)
{
    std::vector<std::string> frames;
    for (int k = 1; k <= count; ++k)
        frames.push_back(frameName(dir, k) + ".jpg");
    return frames;
}

void latencyRows(const Tools& tools, const std::string& root, int width, int height)
{
    const int runs = 5;
    const std::string dir = root + "/latency_" + std::to_string(width);
    simulate(tools, dir, runs + 1, width, height);
    const std::vector<std::string> frames = jpegFrames(dir, runs + 1);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const RunFigures plain = pelorumLatency(tools.programs, dir, frames);
    const double floor = ioFloorLatency(tools.programs, dir, frames).milliseconds;
    const RunFigures tone = pelorumLatency(tools.programs, dir, frames, {"-c", "60", "-t", "60", "-p", "30"});
    printRow("latency " + size + ", default options (ms)", fixed(plain.milliseconds, 0), fixed(floor, 0),
             fixed(plain.milliseconds / floor, 2));
    printRow("latency " + size + ", -c 60 -t 60 -p 30 (ms)", fixed(tone.milliseconds, 0), fixed(floor, 0),
             fixed(tone.milliseconds / floor, 2));
    printRow("peak memory " + size + " (MB)", fixed(std::max(plain.peakKilobytes, tone.peakKilobytes) / 1024.0, 0),
             "", "");
    if (width > 1920)
        return;  // non-local means alone takes several seconds per run at this size
    const std::vector<std::string> fewer(frames.begin(), frames.begin() + 4);
    const RunFigures all = pelorumLatency(tools.programs, dir, fewer, {"-b", "15", "-L", "-D", "1"});
    printRow("latency " + size + ", -b 15 -L -D 1 (ms)", fixed(all.milliseconds, 0), fixed(floor, 0),
             fixed(all.milliseconds / floor, 2));
    printRow("peak memory " + size + ", -b 15 -L -D 1 (MB)", fixed(all.peakKilobytes / 1024.0, 0), "", "");
}

// Standard deviation of stack minus truth over the sky background (where
// the noise-free sky is within 3 levels of its median: no stars).
double backgroundNoise(const ImageBuffer<float>& stack, const ImageBuffer<float>& truth)
{
    std::vector<float> sky(truth.data(), truth.data() + truth.size());
    std::nth_element(sky.begin(), sky.begin() + sky.size() / 2, sky.end());
    const float level = sky[sky.size() / 2];
    SampleMask background(truth.size());
    for (std::size_t i = 0; i < truth.size(); ++i)
        background[i] = std::fabs(truth.data()[i] - level) <= 3.0f;
    return residualDeviation(stack, truth, background);
}

void noiseGainRows(const Tools& tools, const std::string& root)
{
    const std::string dir = root + "/noise";
    simulate(tools, dir, 64, 640, 480, {"--format", "fits", "--channels", "1"});
    const auto truth = loadFloatImage(dir + "/sky_truth.fits");
    for (const std::string extension : {"fits", "jpg"}) {
        const std::string state = dir + "/state." + extension;
        double first = 0.0;
        for (int n = 1; n <= 64; ++n) {
            runProgram({tools.programs.pelorum, "-o", dir + "/out.jpg", "-e", state, frameName(dir, n) + ".fits"});
            if (n != 1 && n != 4 && n != 16 && n != 64)
                continue;
            const double noise = backgroundNoise(*loadFloatImage(state), *truth);
            if (n == 1)
                first = noise;
            printRow("noise gain, " + extension + " state, " + std::to_string(n) + " frames",
                     fixed(first / noise, 2), fixed(std::sqrt(double(n)), 2), fixed(noise, 3));
        }
    }
}

// The stack after adding the frames one run each to a new state.
FloatImagePtr stackOf(const Tools& tools, const std::string& state, const std::vector<std::string>& frames,
                      const std::vector<std::string>& options = {})
{
    for (const std::string& frame : frames) {
        std::vector<std::string> command = {tools.programs.pelorum, "-o", state + ".out.jpg", "-e", state};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(frame);
        runProgram(command);
    }
    return loadFloatImage(state);
}

// A 2 px satellite trail across the frame, 150 levels above it.
cv::Mat trailMask(int width, int height)
{
    cv::Mat mask = cv::Mat::zeros(height, width, CV_8UC1);
    cv::line(mask, cv::Point(0, height / 5), cv::Point(width - 1, height * 4 / 5), cv::Scalar(255), 2);
    return mask;
}

// Over every sample the mask marks: the mean of stack minus clean, and the
// share of samples where they differ by more than 2 levels.
std::pair<double, double> deviationWithin(const FloatImage& stack, const FloatImage& clean, const cv::Mat& mask)
{
    double sum = 0.0;
    std::size_t beyond = 0;
    std::size_t count = 0;
    const std::size_t channels = std::size_t(stack.channels());
    for (std::size_t pixel = 0; pixel < mask.total(); ++pixel)
        for (std::size_t c = 0; mask.data[pixel] && c < channels; ++c) {
            const double deviation = stack.data()[pixel * channels + c] - clean.data()[pixel * channels + c];
            sum += deviation;
            beyond += std::fabs(deviation) > 2.0 ? 1 : 0;
            count += 1;
        }
    return {sum / double(count), double(beyond) / double(count)};
}

// Ten still frames; the eighth is given the trail in a second sequence.
void trailRows(const Tools& tools, const std::string& root)
{
    const std::string dir = root + "/trail";
    simulate(tools, dir, 10, 640, 480);
    const std::vector<std::string> clean = jpegFrames(dir, 10);
    std::vector<std::string> trailed = clean;
    trailed[7] = dir + "/trailed_0008.jpg";
    const ByteImagePtr frame = loadImage(clean[7]);
    const cv::Mat mask = trailMask(frame->width(), frame->height());
    cv::Mat samples = matView(*frame);
    cv::add(samples, cv::Scalar::all(150), samples, mask);
    saveImage(trailed[7], frame);
    for (const std::string method : {"mean", "sigmaclip"}) {
        const std::vector<std::string> options = {"-m", method, "-g", "5,2,2"};
        const FloatImagePtr withTrail = stackOf(tools, dir + "/trailed_" + method + ".fits", trailed, options);
        const FloatImagePtr without = stackOf(tools, dir + "/clean_" + method + ".fits", clean, options);
        const auto [mean, beyond] = deviationWithin(*withTrail, *without, mask);
        printRow("trail in 1 of 10 frames, -m " + method, fixed(mean, 2), "15.00", fixed(beyond, 3));
    }
}

// The darkest border strip, 5 % of the frame wide, against the centre, by
// the medians of their samples (stars left aside).
double edgeToCentre(const FloatImage& stack)
{
    const int w = stack.width(), h = stack.height();
    const std::size_t channels = std::size_t(stack.channels());
    const auto median = [&](const cv::Rect& area) {
        std::vector<float> samples;
        for (int y = area.y; y < area.y + area.height; ++y)
            samples.insert(samples.end(), stack.data() + (std::size_t(y) * w + area.x) * channels,
                           stack.data() + (std::size_t(y) * w + area.x + area.width) * channels);
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        return double(samples[samples.size() / 2]);
    };
    double darkest = median(cv::Rect(w / 4, h / 4, w / 2, h / 2));
    const double centre = darkest;
    for (const cv::Rect& strip : {cv::Rect(0, 0, w, h / 20), cv::Rect(0, h - h / 20, w, h / 20),
                                  cv::Rect(0, 0, w / 20, h), cv::Rect(w - w / 20, 0, w / 20, h)})
        darkest = std::min(darkest, median(strip));
    return darkest / centre;
}

// Twenty frames drifting 3 px right and 2 px down each.
void edgeRows(const Tools& tools, const std::string& root)
{
    const std::string dir = root + "/drift";
    simulate(tools, dir, 20, 640, 480, {"--drift-x", "3", "--drift-y", "2", "--gradient", "0"});
    for (const std::string extension : {"fits", "jpg"})
        printRow("edge / centre, 20 drifting, " + extension + " state",
                 fixed(edgeToCentre(*stackOf(tools, dir + "/state." + extension, jpegFrames(dir, 20))), 3), "1.000",
                 "");
}

}  // namespace

int main(int argc, char** argv)
{
    const int status = checkBenchArguments(
        argc, argv, 1,
        "Usage: pelorum_bench_pipeline BUILD_DIR\n"
        "Times whole pelorum runs at 1920x1080 and 3840x2160 against the I/O floor, measures peak\n"
        "memory, the noise gain of the stack over 1 to 64 frames, what a trail in one frame leaves in\n"
        "the stack with and without -m sigmaclip, and the edges of a drifting stack against its centre.\n"
        "BUILD_DIR is the release build holding pelorum, bench/pelorum_io_floor and tools/skysim.\n");
    if (status >= 0)
        return status;
    const std::string build = argv[1];
    const Tools tools{{build + "/pelorum", build + "/bench/pelorum_io_floor"}, build + "/tools/skysim"};
    const ScratchDirectory root("pelorum-bench");
    try {
        printTableHead();
        latencyRows(tools, root.path(), 1920, 1080);
        latencyRows(tools, root.path(), 3840, 2160);
        noiseGainRows(tools, root.path());
        trailRows(tools, root.path());
        edgeRows(tools, root.path());
    } catch (const std::exception& e) {
        std::cerr << "pelorum_bench_pipeline: " << e.what() << '\n';
        return 1;
    }
    std::printf("\nLatency: median of 5 runs; reference = I/O floor (start, decode frame, encode output at\n"
                "quality 95, read and write the FITS state). Noise gain: value = sigma(1 frame) / sigma(N),\n"
                "reference = sqrt(N), last column = background sigma of the stack against the true sky.\n"
                "Trail: mean of stack - clean stack over the trail's samples (levels), reference = the\n"
                "trail's share of a ten-frame mean (150 / 10), last column = share of those samples more\n"
                "than 2 levels off. Edge: median of the darkest border strip (5 %% of the frame) / median\n"
                "of the centre.\n");
    return 0;
}
