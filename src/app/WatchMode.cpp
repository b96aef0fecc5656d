#include "app/WatchMode.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <QString>

#include "app/BackgroundSave.h"
#include "app/CommandLine.h"
#include "app/FileDescriptor.h"
#include "app/FolderWatch.h"
#include "app/FrameRecord.h"
#include "app/RunSequence.h"
#include "app/StateLock.h"
#include "core/Logger.h"
#include "fits/FITSData.h"
#include "image/ImageFile.h"
#include "stacking/Stacker.h"

namespace fs = std::filesystem;

namespace {

// A file found in the folder is taken once it has not changed for this long:
// one being written now might not be complete.
constexpr auto kSettleTime = std::chrono::seconds(1);
// How often files waiting to settle are looked at again.
constexpr std::chrono::milliseconds kPollInterval{200};

// SIGINT and SIGTERM end the watch after the frame in hand: the handler only
// raises the flag and wakes the wait through a pipe.
std::atomic<bool> stopRequested{false};
int stopPipeWriter = -1;

extern "C" void requestStop(int)
{
    stopRequested = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stopPipeWriter, &wake, 1);
}

class StopSignals {
public:
    StopSignals()
    {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            reader_ = ends[0];
            writer_ = ends[1];
        }
        stopRequested = false;
        stopPipeWriter = writer_;
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM})
            ::sigaction(signal, &action, nullptr);
    }
    ~StopSignals()
    {
        for (int signal : {SIGINT, SIGTERM})
            std::signal(signal, SIG_DFL);
        stopPipeWriter = -1;
        for (int end : {reader_, writer_})
            if (end >= 0)
                ::close(end);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int wakeUp() const { return reader_; }

private:
    int reader_ = -1;
    int writer_ = -1;
};

std::string absolutePath(const std::string& path) { return fs::absolute(path).lexically_normal().string(); }

bool isFrameFile(const std::string& name)
{
    const std::string extension = fileExtension(name);
    return extension == "jpg" || extension == "jpeg" || FITSData::isSupportedFile(QString::fromStdString(name));
}

// One watch: the frames done and waiting, and the state kept in memory.
class Watch {
public:
    Watch(const CommandLine& commandLine, Stacker& stacker)
        : commandLine_(commandLine), stacker_(stacker), folder_(absolutePath(commandLine.watchFolder)),
          saver_(commandLine)
    {
        stacker_.setBeforeStackChanges([this] {
            saveError_ = saver_.finish();
            if (!saveError_.empty())
                throw RunFailure("Failed to save state: " + saveError_);
        });
        if (!commandLine.resetRequested)
            skipRecordedFrames();
    }

    // The frames already in the folder, in name order; those still changing
    // wait for the next round.
    void takeFolder()
    {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder_))
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().string());
        for (const std::string& name : names)
            if (isWanted(name))
                waiting_.insert(name);
    }

    void take(const std::vector<std::string>& completed)
    {
        for (const std::string& name : completed)
            if (isWanted(name))
                ready_.insert(name);
    }

    // Stacks what is ready, in name order; false when the watch must end.
    bool stackReady()
    {
        moveSettledToReady();
        const std::vector<std::string> batch(ready_.begin(), ready_.end());
        ready_.clear();
        total_ += int(batch.size());
        for (const std::string& name : batch) {
            if (stopRequested)
                return false;
            waiting_.erase(name);
            stackFile(name);
            if (!saveError_.empty())
                return false;
        }
        return true;
    }

    bool hasWaiting() const { return !waiting_.empty(); }

    // Waits for the last save; the exit status.
    int finish()
    {
        const std::string error = saveError_.empty() ? saver_.finish() : saveError_;
        if (!error.empty()) {
            logError("Error: Failed to save state: " + error);
            return 1;
        }
        return 0;
    }

private:
    // The record lists frames with the stack's count after each: one whose
    // count the state on disk has reached is in it (or was turned away from
    // it) and is never stacked again; one beyond it was stacked by a watch
    // that stopped before saving, and is stacked anew.
    void skipRecordedFrames()
    {
        for (const auto& [path, frames] : recordedFrames(commandLine_.statePath + ".frames.jsonl"))
            if (frames <= stacker_.frameCount())
                done_.insert(absolutePath(path));
    }

    // A frame file of the folder, matching the pattern, not one of the run's
    // own files and not done.
    bool isWanted(const std::string& name) const
    {
        if (!isFrameFile(name) || isOwnFile(name))
            return false;
        if (!commandLine_.watchPattern.empty() && ::fnmatch(commandLine_.watchPattern.c_str(), name.c_str(), 0) != 0)
            return false;
        return done_.count(folder_ + "/" + name) == 0;
    }

    // The picture, the state and its copy with their temporaries and
    // backups, should any of them be written into the watched folder.
    bool isOwnFile(const std::string& name) const
    {
        for (const std::string& own : {commandLine_.outputPath, commandLine_.statePath, commandLine_.saveStatePath}) {
            if (own.empty())
                continue;
            const fs::path path(absolutePath(own));
            if (path.parent_path() != folder_)
                continue;
            const std::string file = path.filename().string();
            const std::string stem = path.stem().string();
            if (name.rfind(file, 0) == 0 || name.rfind(stem + ".backup-", 0) == 0)
                return true;
        }
        return false;
    }

    void moveSettledToReady()
    {
        const auto now = fs::file_time_type::clock::now();
        for (auto name = waiting_.begin(); name != waiting_.end();) {
            std::error_code error;
            const auto changed = fs::last_write_time(folder_ + "/" + *name, error);
            if (error) {
                name = waiting_.erase(name);  // gone again
            } else if (now - changed >= kSettleTime) {
                ready_.insert(*name);
                name = waiting_.erase(name);
            } else {
                ++name;
            }
        }
    }

    void stackFile(const std::string& name)
    {
        const std::string path = folder_ + "/" + name;
        done_.insert(path);
        const StepClock start = StepClock::now();
        std::string failure;
        try {
            stackFrame(commandLine_, stacker_, path);
        } catch (const std::exception& e) {
            failure = e.what();
            logError("Error: " + failure);
        }
        const bool accepted = failure.empty() && stacker_.lastFrameAccepted();
        recordFrame(commandLine_, stacker_, path, failure, stacker_.frameCount(), start);
        if (accepted) {
            stacker_.continueFromStack();
            saver_.start(stacker_.snapshotForSaving());
        }
        reportProgress(name, accepted ? "stacked" : failure.empty() ? "turned away: " + stacker_.lastRejectionReason()
                                                                    : "failed: " + failure);
    }

    void reportProgress(const std::string& name, const std::string& outcome)
    {
        ++stacked_;
        const std::string position =
            commandLine_.watchOnce ? "[" + std::to_string(stacked_) + "/" + std::to_string(total_) + "] " : "";
        const int frames = stacker_.frameCount();
        std::cout << position << name << ": " << outcome << "; the stack holds " << frames
                  << (frames == 1 ? " frame" : " frames") << std::endl;
    }

    const CommandLine& commandLine_;
    Stacker& stacker_;
    std::string folder_;
    BackgroundSave saver_;
    std::set<std::string> done_;     // absolute paths stacked, turned away or failed
    std::set<std::string> waiting_;  // names found in the folder, not yet settled
    std::set<std::string> ready_;    // names complete, to be stacked
    std::string saveError_;
    int stacked_ = 0;  // frames taken so far, whatever became of them
    int total_ = 0;
};

int watchLocked(const CommandLine& commandLine, Stacker& stacker, const StopSignals& stop)
{
    openStack(commandLine, stacker);
    // Watched before the folder is read, so a frame written meanwhile is not missed.
    FolderWatch folder(commandLine.watchFolder);
    Watch watch(commandLine, stacker);
    watch.takeFolder();
    logInfo("Watching " + commandLine.watchFolder + " for frames");
    while (!stopRequested && watch.stackReady()) {
        if (commandLine.watchOnce && !watch.hasWaiting())
            break;
        watch.take(folder.completedFiles(kPollInterval, stop.wakeUp()));
    }
    const int status = watch.finish();
    logInfo(status == 0 ? "Watch ended; the state is saved" : "Watch ended");
    return status;
}

}  // namespace

int runWatch(const CommandLine& commandLine, Stacker& stacker)
{
    std::error_code error;
    if (!fs::is_directory(commandLine.watchFolder, error)) {
        logError("Error: Watch folder " + commandLine.watchFolder + " is not a folder");
        return 1;
    }
    const StopSignals stop;
    try {
        const StateLock lock(commandLine.statePath + ".lock");
        return watchLocked(commandLine, stacker, stop);
    } catch (const std::exception& e) {
        logError(std::string("Error: ") + e.what());
        return 1;
    }
}
