#pragma once

#include <mutex>
#include <string>

enum class LogLevel { Info = 0, Warn = 1, Error = 2 };

// The process-wide log on standard output. Info and warning lines appear only
// in verbose mode; error lines always. Every line is written whole under one
// mutex, so lines from worker threads never interleave.
class Logger {
public:
    static Logger& instance();

    void log(const std::string& message, LogLevel level);
    void setVerbose();
    bool isVerbose();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    Logger() = default;

    std::mutex mutex_;
    bool verbose_ = false;
};

inline void logInfo(const std::string& message) { Logger::instance().log(message, LogLevel::Info); }
inline void logWarn(const std::string& message) { Logger::instance().log(message, LogLevel::Warn); }
inline void logError(const std::string& message) { Logger::instance().log(message, LogLevel::Error); }

// The line prefix for a time point given in nanoseconds since the epoch:
// local time "%Y-%m-%dT%H:%M:%S", '.', three-digit milliseconds, a space and
// the level tag.
std::string logPrefix(long long nanosecondsSinceEpoch, LogLevel level);
