// Kills 1920x1080 runs at instants spread over a whole run, the save
// included, and checks after each that the state's count matches the frames
// its image holds, and that the next run continues the stack and leaves no
// temporary file behind.
//
// The first frame's background is 100 and every later one's 0, with the same
// stars in each (so the quality gate, which compares spreads, passes them
// all): a stack of n frames has the background 100 / n, so the image itself
// says how many frames it holds.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchUsage.h"
#include "PelorumRuns.h"
#include "image/ImageFile.h"
#include "stacking/Stacker.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kKills = 50;

ByteImagePtr frameWithBackground(unsigned char background)
{
    auto frame = std::make_shared<ByteImage>(kWidth, kHeight, 3);
    frame->fill(background);
    std::mt19937 random(5);
    std::uniform_real_distribution<float> x(20.0f, kWidth - 20.0f), y(20.0f, kHeight - 20.0f);
    for (int star = 0; star < 60; ++star) {
        const float x0 = x(random), y0 = y(random);
        for (int py = int(y0) - 6; py <= int(y0) + 6; ++py)
            for (int px = int(x0) - 6; px <= int(x0) + 6; ++px) {
                const float light = 150.0f * std::exp(-((px - x0) * (px - x0) + (py - y0) * (py - y0)) / 4.5f);
                for (int c = 0; c < 3; ++c)
                    frame->setPixel(px, py, static_cast<unsigned char>(std::min(255.0f, frame->getPixel(px, py, c) +
                                                                                         light)),
                                    c);
            }
    }
    return frame;
}

// Starts pelorum and kills it after the delay; true when it ended first.
bool runKilledAfter(const std::vector<std::string>& command, std::chrono::microseconds delay)
{
    const pid_t pid = startProgram(command);
    std::this_thread::sleep_for(delay);
    const bool ended = waitpid(pid, nullptr, WNOHANG) == pid;
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return ended;
}

struct OnDisk {
    int count = 0;
    int framesInImage = 0;
};

OnDisk readState(const std::string& state)
{
    Stacker reader;
    if (reader.loadState(state) != StateLoad::Loaded)
        return {-1, -1};
    std::vector<float> samples(reader.stackedFrame()->data(),
                               reader.stackedFrame()->data() + reader.stackedFrame()->size());
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return {reader.frameCount(), int(std::lround(100.0 / samples[samples.size() / 2]))};
}

int temporariesIn(const std::string& dir)
{
    int found = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        found += name.find(".tmp") != std::string::npos || name.find(".previous") != std::string::npos;
    }
    return found;
}

}  // namespace

int main(int argc, char** argv)
{
    const int usage = checkBenchArguments(argc, argv, 1, "usage: pelorum_bench_kills BUILD_DIR\n");
    if (usage >= 0)
        return usage;
    const std::string pelorum = std::string(argv[1]) + "/pelorum";
    ScratchDirectory scratch("pelorum-kills");
    const std::string first = scratch.path() + "/first.jpg", later = scratch.path() + "/later.jpg";
    saveImage(first, frameWithBackground(100));
    saveImage(later, frameWithBackground(0));
    const std::string state = scratch.path() + "/state.fits";
    const auto command = [&](const std::string& frame) {
        return std::vector<std::string>{pelorum, "-o", scratch.path() + "/out.jpg", "-e", state, frame};
    };
    runProgram(command(first));
    const double runMilliseconds = runProgram(command(later)).milliseconds;

    int count = 2, mismatched = 0, unreadable = 0, completed = 0, killedBeforeSaving = 0, killedAfterSaving = 0;
    int temporariesAfterKill = 0, temporariesAfterNextRun = 0;
    for (int kill = 1; kill <= kKills; ++kill) {
        const auto delay = std::chrono::microseconds(std::lround(runMilliseconds * 1000.0 * kill / (kKills + 1)));
        completed += runKilledAfter(command(later), delay);
        const OnDisk afterKill = readState(state);
        unreadable += afterKill.count < 0;
        mismatched += afterKill.count != afterKill.framesInImage;
        killedBeforeSaving += afterKill.count == count;
        killedAfterSaving += afterKill.count == count + 1;
        temporariesAfterKill = std::max(temporariesAfterKill, temporariesIn(scratch.path()));
        count = std::max(afterKill.count, count);
        runProgram(command(later));
        const OnDisk afterNext = readState(state);
        count += 1;
        mismatched += afterNext.count != count || afterNext.framesInImage != count;
        temporariesAfterNextRun = std::max(temporariesAfterNextRun, temporariesIn(scratch.path()));
    }
    std::printf("Killed runs at %dx%d: %d kills spread over a %.0f ms run\n\n", kWidth, kHeight, kKills,
                runMilliseconds);
    printTableHead();
    printRow("kills leaving the stack as before", std::to_string(killedBeforeSaving), "", "");
    printRow("kills after the new stack was in place", std::to_string(killedAfterSaving - completed), "", "");
    printRow("runs that ended before their kill", std::to_string(completed), "", "");
    printRow("states unreadable after a kill", std::to_string(unreadable), "0", "");
    printRow("counts not matching the image", std::to_string(mismatched), "0", "");
    printRow("most temporaries left by a kill", std::to_string(temporariesAfterKill), "", "");
    printRow("most temporaries after the next run", std::to_string(temporariesAfterNextRun), "0", "");
    return mismatched == 0 && unreadable == 0 && temporariesAfterNextRun == 0 ? 0 : 1;
}
