#pragma once

#include <atomic>
#include <chrono>
#include <string>

// Set by the benchmark option; makes every Timer report.
extern std::atomic<bool> benchmarkEnabled;

// Measures the scope that holds it, exits by exception included, adds the
// time to the total kept under its name (read by timedMilliseconds) and in
// benchmark mode logs "Timer [name]: N ms" (Info, so only when verbose).
class Timer {
public:
    explicit Timer(const std::string& name);
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::string name_;
    std::chrono::steady_clock::time_point start_;
};

// What every Timer of that name has measured so far in this process, in
// milliseconds; 0 for a name never timed. Safe from any thread.
double timedMilliseconds(const std::string& name);

// Milliseconds since the process started.
double millisecondsSinceStart();

// Logs "Total execution time: N ms" since process start, in benchmark mode.
void reportTotalTime();
