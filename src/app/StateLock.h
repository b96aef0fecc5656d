#pragma once

#include <chrono>
#include <string>

#include "app/FileDescriptor.h"

// An exclusive advisory lock (flock) on the file at path, held for the
// object's life, so that runs onto one state take turns. The file is created
// when missing and never deleted: a run that deleted it could leave the next
// two locking different files.
class StateLock {
public:
    static constexpr std::chrono::milliseconds defaultWait = std::chrono::seconds(120);

    // Waits up to `wait` for another holder to let go; throws with the path
    // when the file cannot be opened or locked, or the wait runs out.
    explicit StateLock(const std::string& path, std::chrono::milliseconds wait = defaultWait);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    // False while another holder has the lock.
    bool tryLock(const std::string& path) const;

    FileDescriptor file_;
};
