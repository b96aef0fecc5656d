#pragma once

#include <string>
#include <vector>

// A file written under a temporary name beside its final path and renamed
// into place by commit(), so readers never see a half-written file and a
// failed write leaves the previous file intact. The temporary file is removed
// if the object goes away uncommitted. The temporary name ends in the path's
// own extension, so it can be written by a writer that picks the format by
// extension.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& path);
    ~AtomicFile();

    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    const std::string& path() const { return path_; }
    const std::string& tempPath() const { return tempPath_; }

    // Flushes the temporary file to the disk, renames it into place and
    // flushes the folder, so that a power cut afterwards keeps the new file.
    // Throws std::runtime_error "Could not write file: " or "Could not
    // replace file: " + path + the system's reason.
    void commit();

private:
    std::string path_;
    std::string tempPath_;
    bool committed_ = false;
};

// What every temporary name of the file at path starts with, so that those
// left by a killed run can be found.
std::string temporaryPrefix(const std::string& path);

// Removes the temporaries of the file at path whose writer no longer runs
// (a run killed while writing it), and returns their paths. A temporary
// whose process still runs is another writer's, midway, and is kept.
std::vector<std::string> removeAbandonedTemporaries(const std::string& path);

// Flushes the folder holding path, so that renames within it survive a
// power cut. Best effort: some file systems cannot.
void syncFolderOf(const std::string& path);
