#include "core/Timer.h"

#include "core/Logger.h"

std::atomic<bool> benchmarkEnabled{false};

namespace {

// Taken during static initialisation, before main runs.
const std::chrono::system_clock::time_point programStartTime = std::chrono::system_clock::now();

long long millisecondsSince(std::chrono::system_clock::time_point start)
{
    const auto elapsed = std::chrono::system_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000LL;
}

}  // namespace

Timer::Timer(const std::string& name) : name_(name), start_(std::chrono::system_clock::now()) {}

Timer::~Timer()
{
    if (!benchmarkEnabled)
        return;
    const long long elapsed = millisecondsSince(start_);
    if (!Logger::instance().isVerbose())
        return;
    logInfo("Timer [" + name_ + "]: " + std::to_string(elapsed) + " ms");
}

void reportTotalTime()
{
    if (!benchmarkEnabled)
        return;
    logInfo("Total execution time: " + std::to_string(millisecondsSince(programStartTime)) + " ms");
}
