#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "app/FileDescriptor.h"

// The files of a folder that are complete: closed by the program that wrote
// them, or moved in whole (inotify close-write and moved-to). A file still
// open for writing is never reported.
class FolderWatch {
public:
    // Throws, naming the folder, when it cannot be watched.
    explicit FolderWatch(const std::string& folder);

    // The names (without the folder) completed since the last call, waiting
    // up to `timeout` for the first; returns early, possibly with none, when
    // `wakeUp` (a descriptor, -1 for none) becomes readable. Throws when the
    // watch fails or the folder goes away.
    std::vector<std::string> completedFiles(std::chrono::milliseconds timeout, int wakeUp);

private:
    std::string folder_;
    FileDescriptor inotify_;
};
