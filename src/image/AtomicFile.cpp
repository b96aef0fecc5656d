#include "image/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "image/ImageFile.h"

namespace {

// The temporary keeps the path's extension, so a writer that picks the
// format by extension can write it too.
std::string temporaryPath(const std::string& path)
{
    const std::string extension = fileExtension(path);
    const std::string name = temporaryPrefix(path) + std::to_string(::getpid());
    return extension.empty() || extension.find('/') != std::string::npos ? name : name + "." + extension;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Errno's text when the file's data cannot be flushed to the disk; empty
// when it was.
std::string syncProblem(const std::string& path)
{
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return std::strerror(errno);
    const bool synced = ::fsync(file) == 0;
    const int error = errno;
    ::close(file);
    return synced ? std::string() : std::strerror(error);
}

}  // namespace

std::string temporaryPrefix(const std::string& path) { return path + ".tmp"; }

void syncFolderOf(const std::string& path)
{
    const int folder = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    ::fsync(folder);
    ::close(folder);
}

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
    const std::string problem = syncProblem(tempPath_);
    if (!problem.empty())
        throw std::runtime_error("Could not write file: " + path_ + " (" + problem + ")");
    if (std::rename(tempPath_.c_str(), path_.c_str()) != 0)
        throw std::runtime_error("Could not replace file: " + path_ + " (" + std::strerror(errno) + ")");
    committed_ = true;
    syncFolderOf(path_);
}
