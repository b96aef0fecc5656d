#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pelorum-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("Could not create a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Could not read " + path);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary);
    out << contents;
    if (!out)
        throw std::runtime_error("Could not write " + path);
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

ProcessResult runPelorum(const std::vector<std::string>& args) { return runProgram(PELORUM_EXECUTABLE, args); }

ProcessResult runProgram(const std::string& executable, const std::vector<std::string>& args)
{
    TempDir streams;
    const std::string outPath = streams.file("out");
    const std::string errPath = streams.file("err");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char*> argv;
        std::string program = executable;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

std::vector<std::string> logMessages(const std::string& output, const std::string& tag)
{
    // "YYYY-MM-DDTHH:MM:SS.mmm " is 24 characters; the tag follows.
    std::vector<std::string> messages;
    for (const std::string& line : lines(output))
        if (line.size() >= 24 + tag.size() && line.compare(24, tag.size(), tag) == 0)
            messages.push_back(line.substr(24 + tag.size()));
    return messages;
}

ByteImagePtr noiseFrame(int width, int height, int channels, int level, int spread, unsigned seed)
{
    auto frame = std::make_shared<ByteImage>(width, height, channels);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-spread, spread);
    unsigned char* samples = frame->data();
    for (std::size_t i = 0; i < frame->size(); ++i)
        samples[i] = static_cast<unsigned char>(std::clamp(level + noise(random), 0, 255));
    return frame;
}

ByteImagePtr flatFrame(int width, int height, int channels, unsigned char value)
{
    auto frame = std::make_shared<ByteImage>(width, height, channels);
    frame->fill(value);
    return frame;
}

ByteImagePtr checkerFrame(int width, int height, int channels, unsigned char low, unsigned char high)
{
    auto frame = std::make_shared<ByteImage>(width, height, channels);
    for (std::size_t i = 0; i < frame->size(); ++i)
        frame->data()[i] = (i / std::size_t(channels)) % 2 == 0 ? low : high;
    return frame;
}

ByteImagePtr withStars(ByteImagePtr frame, unsigned seed)
{
    const int width = frame->width(), height = frame->height();
    if (width < 64 || height < 48)
        throw std::invalid_argument("withStars needs a frame of 64 x 48 or more");
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> x(10.0, width - 10.0), y(10.0, height - 10.0);
    auto starry = frame->clone();
    for (int star = 0; star < 14; ++star) {
        const double cx = x(random), cy = y(random);
        for (int py = int(cy) - 4; py <= int(cy) + 4; ++py)
            for (int px = int(cx) - 4; px <= int(cx) + 4; ++px) {
                const double light = 120.0 * std::exp(-((px - cx) * (px - cx) + (py - cy) * (py - cy)) / 4.5);
                for (int c = 0; c < frame->channels(); ++c)
                    starry->setPixel(px, py, static_cast<unsigned char>(std::min(255.0, starry->getPixel(px, py, c) + light + 0.5)), c);
            }
    }
    return starry;
}

bool logged(const std::string& output, const std::string& tag, const std::string& message)
{
    const std::vector<std::string> messages = logMessages(output, tag);
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

ByteImagePtr indexedFrame(int width, int height, int channels, const std::function<int(std::size_t)>& sampleAt)
{
    auto frame = std::make_shared<ByteImage>(width, height, channels);
    for (std::size_t i = 0; i < frame->size(); ++i)
        frame->data()[i] = static_cast<unsigned char>(sampleAt(i));
    return frame;
}
