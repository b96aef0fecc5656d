#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"

// A fresh directory for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool fileExists(const std::string& path);

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built pelorum executable with the given arguments (no shell
// expansion of their contents) and collects its exit code and both streams.
ProcessResult runPelorum(const std::vector<std::string>& args);
// The same for any program.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args);

// Lines of the text, without their newlines.
std::vector<std::string> lines(const std::string& text);

// The message parts of log lines with the given tag ("[INFO] ", "[WARN] ",
// "[ERRO] "), in order.
std::vector<std::string> logMessages(const std::string& output, const std::string& tag);
// Whether a log line with that tag carries exactly that message.
bool logged(const std::string& output, const std::string& tag, const std::string& message);

// A frame of uniform noise around `level`, reproducible from the seed.
ByteImagePtr noiseFrame(int width, int height, int channels, int level, int spread, unsigned seed);
// Alternating samples low, high, low, ...: a textured frame with a spread of
// (high - low) / 2 and nothing for registration to hold on to.
ByteImagePtr checkerFrame(int width, int height, int channels, unsigned char low, unsigned char high);
// A frame whose sample at interleaved index i is sampleAt(i).
ByteImagePtr indexedFrame(int width, int height, int channels, const std::function<int(std::size_t)>& sampleAt);
// The frame with fourteen stars added to every channel (peak 120,
// saturating) at places drawn from the seed, at least 10 px inside a frame of
// 64 x 48 or more: frames with the same stars that differ only elsewhere
// register onto each other exactly (the identity), so a test can stack
// unrelated samples and still know the exact mean; another seed is another
// star field.
ByteImagePtr withStars(ByteImagePtr frame, unsigned seed = 21);
// A frame with every sample equal to value.
ByteImagePtr flatFrame(int width, int height, int channels, unsigned char value);

// The message of the exception of the given type that action throws, or "no error".
template <typename Error = std::runtime_error, typename Action>
std::string errorOf(Action action)
{
    try {
        action();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}
