#include "PelorumRuns.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "BenchStatistics.h"

namespace fs = std::filesystem;

int startProgram(const std::vector<std::string>& command)
{
    std::fflush(stdout);  // or the child would repeat what is still buffered
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed for " + command[0]);
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
    return pid;
}

RunFigures runProgram(const std::vector<std::string>& command)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = startProgram(command);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("command failed: " + command[0] + " " + command.back());
    return {std::chrono::duration<double, std::milli>(elapsed).count(), usage.ru_maxrss};
}

std::string fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void printTableHead()
{
    printRow("measure", "value", "reference", "ratio");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(10, '-').c_str());
}

void printRow(const std::string& what, const std::string& value, const std::string& reference,
              const std::string& ratio)
{
    std::printf("| %-44s | %12s | %12s | %8s |\n", what.c_str(), value.c_str(), reference.c_str(), ratio.c_str());
    std::fflush(stdout);
}

namespace {

// The median time and the largest peak memory of commands run one by one.
RunFigures medianRun(const std::vector<std::vector<std::string>>& commands)
{
    std::vector<double> times;
    long peak = 0;
    for (const auto& command : commands) {
        const RunFigures figures = runProgram(command);
        times.push_back(figures.milliseconds);
        peak = std::max(peak, figures.peakKilobytes);
    }
    return {median(times), peak};
}

}  // namespace

RunFigures pelorumLatency(const PelorumPrograms& programs, const std::string& dir,
                          const std::vector<std::string>& frames, const std::vector<std::string>& options)
{
    const std::string state = dir + "/state.fits";
    fs::remove(state);
    fs::remove(state + ".meta");
    auto command = [&](const std::string& frame) {
        std::vector<std::string> c = {programs.pelorum, "-o", dir + "/out.jpg", "-e", state};
        c.insert(c.end(), options.begin(), options.end());
        c.push_back(frame);
        return c;
    };
    runProgram(command(frames.front()));
    std::vector<std::vector<std::string>> timed;
    for (std::size_t i = 1; i < frames.size(); ++i)
        timed.push_back(command(frames[i]));
    return medianRun(timed);
}

RunFigures ioFloorLatency(const PelorumPrograms& programs, const std::string& dir,
                          const std::vector<std::string>& frames)
{
    std::vector<std::vector<std::string>> commands;
    for (std::size_t i = 1; i < frames.size(); ++i)
        commands.push_back({programs.ioFloor, frames[i], dir + "/floor.jpg", dir + "/state.fits"});
    return medianRun(commands);
}

ScratchDirectory::ScratchDirectory(const std::string& prefix)
    : path_((fs::temp_directory_path() / (prefix + "-" + std::to_string(getpid()))).string())
{
    fs::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;  // a destructor must not throw; a leftover directory is harmless
    fs::remove_all(path_, ignored);
}
