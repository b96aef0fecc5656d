// Watch-mode figures, printed as one table:
//  - time per 1920x1080 colour JPEG frame from the file being closed in the
//    watched folder to the picture being written, next to a per-frame run's
//    time and the I/O floor measured in the same run;
//  - frames per second of --once on a folder of 20 such frames;
//  - peak memory of --once at 3840x2160 after 10 and after 100 frames.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BenchStatistics.h"
#include "BenchUsage.h"
#include "PelorumRuns.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string frameName(const std::string& dir, int index)
{
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%04d.jpg", index);
    return dir + name;
}

std::vector<std::string> simulate(const std::string& skysim, const std::string& dir, int frames, int width,
                                  int height)
{
    fs::create_directories(dir);
    runProgram({skysim, "--out", dir, "--frames", std::to_string(frames), "--width", std::to_string(width),
                "--height", std::to_string(height), "--seed", "7"});
    std::vector<std::string> paths;
    for (int k = 1; k <= frames; ++k)
        paths.push_back(frameName(dir, k));
    return paths;
}

// The file's inode and modification time: a rename into place changes them.
std::pair<ino_t, long long> replacedAt(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return {0, 0};
    return {status.st_ino, status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec};
}

// Copies the frame into the folder and returns the milliseconds from its
// close to the picture being replaced.
double frameLatency(const std::string& frame, const std::string& folder, const std::string& output)
{
    const auto before = replacedAt(output);
    fs::copy_file(frame, folder + "/" + fs::path(frame).filename().string());
    const auto closed = Clock::now();
    while (replacedAt(output) == before)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    return std::chrono::duration<double, std::milli>(Clock::now() - closed).count();
}

// The median time per frame of a watch that holds the stack of frames[0],
// fed frames[1..] one at a time once the last was done.
double watchLatency(const std::string& pelorum, const std::string& root, const std::vector<std::string>& frames)
{
    const std::string folder = root + "/watched", output = root + "/watch.jpg", state = root + "/watch.fits";
    fs::create_directories(folder);
    runProgram({pelorum, "-o", output, "-e", state, frames.front()});
    const pid_t watch = startProgram({pelorum, "--watch", folder, "-o", output, "-e", state});
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the state read and the folder watched
    std::vector<double> times;
    for (std::size_t k = 1; k < frames.size(); ++k)
        times.push_back(frameLatency(frames[k], folder, output));
    kill(watch, SIGTERM);
    waitpid(watch, nullptr, 0);
    return median(times);
}

// --once over a folder holding the frames, from a new state.
RunFigures onceRun(const std::string& pelorum, const std::string& folder, const std::string& root)
{
    fs::remove(root + "/once.fits");
    fs::remove(root + "/once.fits.meta");
    fs::remove(root + "/once.fits.frames.jsonl");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // files a second old count as complete
    return runProgram({pelorum, "--watch", folder, "--once", "-o", root + "/once.jpg", "-e", root + "/once.fits"});
}

std::string folderOf(const std::vector<std::string>& frames, std::size_t count, const std::string& dir)
{
    fs::create_directories(dir);
    for (std::size_t k = 0; k < count; ++k)
        fs::copy_file(frames[k], dir + "/" + fs::path(frames[k]).filename().string(),
                      fs::copy_options::overwrite_existing);
    return dir;
}

}  // namespace

int main(int argc, char** argv)
{
    const int usage = checkBenchArguments(argc, argv, 1, "usage: pelorum_bench_watch BUILD_DIR\n");
    if (usage >= 0)
        return usage;
    const std::string build = argv[1];
    const PelorumPrograms programs{build + "/pelorum", build + "/bench/pelorum_io_floor"};
    const std::string skysim = build + "/tools/skysim";
    ScratchDirectory scratch("pelorum-watch");
    const std::string root = scratch.path();

    const std::vector<std::string> hd = simulate(skysim, root + "/hd", 21, 1920, 1080);
    const std::vector<std::string> firstSix(hd.begin(), hd.begin() + 6);
    const RunFigures perFrame = pelorumLatency(programs, root + "/hd", firstSix);
    const double floor = ioFloorLatency(programs, root + "/hd", firstSix).milliseconds;
    const double watch = watchLatency(programs.pelorum, root, std::vector<std::string>(hd.begin(), hd.begin() + 11));
    const RunFigures once = onceRun(programs.pelorum, folderOf(hd, 20, root + "/once20"), root);

    printTableHead();
    printRow("per-frame run 1920x1080 (ms)", fixed(perFrame.milliseconds, 0), fixed(floor, 0),
             fixed(perFrame.milliseconds / floor, 2));
    printRow("watch, file closed to picture 1920x1080 (ms)", fixed(watch, 0), fixed(perFrame.milliseconds, 0),
             fixed(watch / perFrame.milliseconds, 2));
    printRow("watch against the I/O floor", fixed(watch, 0), fixed(floor, 0), fixed(watch / floor, 2));
    printRow("--once, 20 frames 1920x1080 (frames/s)", fixed(20000.0 / once.milliseconds, 2), "", "");

    const std::vector<std::string> uhd = simulate(skysim, root + "/uhd", 100, 3840, 2160);
    const RunFigures ten = onceRun(programs.pelorum, folderOf(uhd, 10, root + "/uhd10"), root);
    fs::remove_all(root + "/uhd10");
    const RunFigures hundred = onceRun(programs.pelorum, folderOf(uhd, 100, root + "/uhd100"), root);
    printRow("--once 3840x2160, peak memory after 10 (MB)", fixed(ten.peakKilobytes / 1024.0, 0), "500", "");
    printRow("--once 3840x2160, peak memory after 100 (MB)", fixed(hundred.peakKilobytes / 1024.0, 0), "500", "");
    printRow("--once 3840x2160, 100 frames (frames/s)", fixed(100000.0 / hundred.milliseconds, 2), "", "");
    return 0;
}
