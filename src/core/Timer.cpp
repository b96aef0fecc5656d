#include "core/Timer.h"

#include <map>
#include <mutex>

#include "core/Logger.h"

std::atomic<bool> benchmarkEnabled{false};

namespace {

using Clock = std::chrono::steady_clock;

// Taken during static initialisation, before main runs.
const Clock::time_point programStartTime = Clock::now();

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Timers run on worker threads too, so the totals are kept under a lock.
class TimeTotals {
public:
    void add(const std::string& name, double milliseconds)
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        totals_[name] += milliseconds;
    }
    double of(const std::string& name)
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        const auto found = totals_.find(name);
        return found == totals_.end() ? 0.0 : found->second;
    }

private:
    std::mutex mutex_;
    std::map<std::string, double> totals_;
};

TimeTotals& timeTotals()
{
    static TimeTotals totals;
    return totals;
}

std::string wholeMilliseconds(double milliseconds) { return std::to_string(static_cast<long long>(milliseconds)); }

}  // namespace

Timer::Timer(const std::string& name) : name_(name), start_(Clock::now()) {}

Timer::~Timer()
{
    const double elapsed = millisecondsSince(start_);
    timeTotals().add(name_, elapsed);
    if (benchmarkEnabled && Logger::instance().isVerbose())
        logInfo("Timer [" + name_ + "]: " + wholeMilliseconds(elapsed) + " ms");
}

double timedMilliseconds(const std::string& name) { return timeTotals().of(name); }

double millisecondsSinceStart() { return millisecondsSince(programStartTime); }

void reportTotalTime()
{
    if (!benchmarkEnabled)
        return;
    logInfo("Total execution time: " + wholeMilliseconds(millisecondsSinceStart()) + " ms");
}
