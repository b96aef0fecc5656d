// Whole-run figures of the main job, printed as one table:
//  - per-frame latency of a pelorum process on colour JPEG frames with a FITS
//    state, default options and with contrast, saturation and compression on,
//    next to the I/O floor measured in the same run;
//  - peak resident memory of one run;
//  - noise gain of the stack against the noise-free sky after 1, 4, 16 and 64
//    frames, for a FITS and a JPEG state, against the ideal sqrt(N).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchUsage.h"
#include "image/ImageFile.h"

namespace {

namespace fs = std::filesystem;

struct RunFigures {
    double milliseconds = 0.0;
    long peakKilobytes = 0;
};

// Runs a program to completion with its output discarded.
RunFigures run(const std::vector<std::string>& command)
{
    std::fflush(stdout);  // or the child would repeat what is still buffered
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> argv;
        std::vector<std::string> copies = command;
        for (std::string& a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("command failed: " + command[0]);
    return {std::chrono::duration<double, std::milli>(elapsed).count(), usage.ru_maxrss};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Tools {
    std::string pelorum, ioFloor, skysim;
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
    run(command);
}

void printRow(const std::string& what, const std::string& value, const std::string& reference,
              const std::string& ratio)
{
    std::printf("| %-44s | %12s | %12s | %8s |\n", what.c_str(), value.c_str(), reference.c_str(), ratio.c_str());
}

std::string fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Median time of `runs` consecutive frames added to a FITS state that
// already holds the first frame, and the largest peak memory seen.
RunFigures pelorumLatency(const Tools& tools, const std::string& dir, const std::vector<std::string>& options,
                          int runs)
{
    const std::string state = dir + "/state.fits";
    fs::remove(state);
    fs::remove(state + ".meta");
    auto command = [&](int frame) {
        std::vector<std::string> c = {tools.pelorum, "-o", dir + "/out.jpg", "-e", state};
        c.insert(c.end(), options.begin(), options.end());
        c.push_back(frameName(dir, frame) + ".jpg");
        return c;
    };
    run(command(1));
    std::vector<double> times;
    long peak = 0;
    for (int i = 0; i < runs; ++i) {
        const RunFigures figures = run(command(2 + i));
        times.push_back(figures.milliseconds);
        peak = std::max(peak, figures.peakKilobytes);
    }
    return {median(times), peak};
}

double ioFloor(const Tools& tools, const std::string& dir, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(run({tools.ioFloor, frameName(dir, 2 + i) + ".jpg", dir + "/floor.jpg", dir + "/state.fits"})
                            .milliseconds);
    return median(times);
}

void latencyRows(const Tools& tools, const std::string& root, int width, int height)
{
    const int runs = 5;
    const std::string dir = root + "/latency_" + std::to_string(width);
    simulate(tools, dir, runs + 1, width, height);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const RunFigures plain = pelorumLatency(tools, dir, {}, runs);
    const double floor = ioFloor(tools, dir, runs);
    const RunFigures tone = pelorumLatency(tools, dir, {"-c", "60", "-t", "60", "-p", "30"}, runs);
    printRow("latency " + size + ", default options (ms)", fixed(plain.milliseconds, 0), fixed(floor, 0),
             fixed(plain.milliseconds / floor, 2));
    printRow("latency " + size + ", -c 60 -t 60 -p 30 (ms)", fixed(tone.milliseconds, 0), fixed(floor, 0),
             fixed(tone.milliseconds / floor, 2));
    printRow("peak memory " + size + " (MB)", fixed(std::max(plain.peakKilobytes, tone.peakKilobytes) / 1024.0, 0),
             "", "");
    if (width > 1920)
        return;  // non-local means alone takes several seconds per run at this size
    const RunFigures all = pelorumLatency(tools, dir, {"-b", "15", "-L", "-D", "1"}, 3);
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
    double sum = 0.0, squares = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < truth.size(); ++i) {
        if (std::fabs(truth.data()[i] - level) > 3.0f)
            continue;
        const double d = double(stack.data()[i]) - double(truth.data()[i]);
        sum += d;
        squares += d * d;
        ++count;
    }
    const double mean = sum / double(count);
    return std::sqrt(squares / double(count) - mean * mean);
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
            run({tools.pelorum, "-o", dir + "/out.jpg", "-e", state, frameName(dir, n) + ".fits"});
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

}  // namespace

int main(int argc, char** argv)
{
    const int status = checkBenchArguments(
        argc, argv, 1,
        "Usage: pelorum_bench_pipeline BUILD_DIR\n"
        "Times whole pelorum runs at 1920x1080 and 3840x2160 against the I/O floor, measures peak\n"
        "memory, and the noise gain of the stack over 1 to 64 frames. BUILD_DIR is the release build\n"
        "holding pelorum, bench/pelorum_io_floor and tools/skysim.\n");
    if (status >= 0)
        return status;
    const std::string build = argv[1];
    const Tools tools{build + "/pelorum", build + "/bench/pelorum_io_floor", build + "/tools/skysim"};
    const std::string root = (fs::temp_directory_path() / ("pelorum-bench-" + std::to_string(getpid()))).string();
    try {
        std::printf("| %-44s | %12s | %12s | %8s |\n", "measure", "value", "reference", "ratio");
        std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(14, '-').c_str(),
                    std::string(14, '-').c_str(), std::string(10, '-').c_str());
        latencyRows(tools, root, 1920, 1080);
        latencyRows(tools, root, 3840, 2160);
        noiseGainRows(tools, root);
    } catch (const std::exception& e) {
        std::cerr << "pelorum_bench_pipeline: " << e.what() << '\n';
        fs::remove_all(root);
        return 1;
    }
    fs::remove_all(root);
    std::printf("\nLatency: median of 5 runs; reference = I/O floor (start, decode frame, encode output at\n"
                "quality 95, read and write the FITS state). Noise gain: value = sigma(1 frame) / sigma(N),\n"
                "reference = sqrt(N), last column = background sigma of the stack against the true sky.\n");
    return 0;
}
