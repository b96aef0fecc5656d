#pragma once

#include <atomic>
#include <chrono>
#include <string>

// Set by the benchmark option; makes every Timer report.
extern std::atomic<bool> benchmarkEnabled;

// Measures the scope that holds it, exits by exception included, and in
// benchmark mode logs "Timer [name]: N ms" (Info, so only when verbose).
class Timer {
public:
    explicit Timer(const std::string& name);
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::string name_;
    std::chrono::system_clock::time_point start_;
};

// Logs "Total execution time: N ms" since process start, in benchmark mode.
void reportTotalTime();
