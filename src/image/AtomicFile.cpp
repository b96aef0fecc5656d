#include "image/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

#include "image/ImageFile.h"

namespace {

// The temporary keeps the path's extension, so a writer that picks the
// format by extension can write it too.
std::string temporaryPath(const std::string& path)
{
    const std::string extension = fileExtension(path);
    const std::string suffix = ".tmp" + std::to_string(::getpid());
    return extension.empty() || extension.find('/') != std::string::npos ? path + suffix
                                                                          : path + suffix + "." + extension;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& path) : path_(path), tempPath_(temporaryPath(path))
{
    // A stale temporary from a killed run would make CFITSIO refuse to create the file.
    std::remove(tempPath_.c_str());
}

AtomicFile::~AtomicFile()
{
    if (!committed_)
        std::remove(tempPath_.c_str());
}

void AtomicFile::commit()
{
    if (std::rename(tempPath_.c_str(), path_.c_str()) != 0)
        throw std::runtime_error("Could not replace file: " + path_ + " (" + std::strerror(errno) + ")");
    committed_ = true;
}
