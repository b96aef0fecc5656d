#pragma once

#include <string>

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

    // Throws std::runtime_error "Could not replace file: " + path + the
    // system's reason.
    void commit();

private:
    std::string path_;
    std::string tempPath_;
    bool committed_ = false;
};
