#include "core/Logger.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

const char* levelTag(LogLevel level)
{
    switch (level) {
    case LogLevel::Info:
        return "[INFO] ";
    case LogLevel::Warn:
        return "[WARN] ";
    case LogLevel::Error:
        return "[ERRO] ";
    }
    return "";
}

}  // namespace

Logger& Logger::instance()
{
    static Logger logger;
    return logger;
}

std::string logPrefix(long long nanosecondsSinceEpoch, LogLevel level)
{
    const std::time_t seconds = static_cast<std::time_t>(nanosecondsSinceEpoch / 1000000000LL);
    const long long milliseconds = (nanosecondsSinceEpoch / 1000000LL) % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    std::ostringstream prefix;
    prefix << std::put_time(&local, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
           << milliseconds << ' ' << levelTag(level);
    return prefix.str();
}

void Logger::log(const std::string& message, LogLevel level)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!verbose_ && level != LogLevel::Error)
        return;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long long nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    std::cout << logPrefix(nanoseconds, level) << message << '\n' << std::flush;
}

void Logger::setVerbose()
{
    std::lock_guard<std::mutex> lock(mutex_);
    verbose_ = true;
}

bool Logger::isVerbose()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return verbose_;
}
