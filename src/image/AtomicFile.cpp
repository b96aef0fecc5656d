#include "image/AtomicFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

namespace {

// The process that wrote a temporary named prefix, its number and the
// path's extension; 0 when the name is not such a temporary.
pid_t writerOf(const std::string& name, const std::string& prefix)
{
    if (name.rfind(prefix, 0) != 0)
        return 0;
    std::size_t end = prefix.size();
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end])))
        ++end;
    const std::size_t digits = end - prefix.size();
    if (digits == 0 || digits > 9 || (end < name.size() && name[end] != '.'))
        return 0;
    return pid_t(std::stol(name.substr(prefix.size(), digits)));
}

// A process that has ended but was not yet waited for (a zombie) still
// answers kill(); its state in /proc tells it apart.
bool isRunning(pid_t process)
{
    if (::kill(process, 0) != 0 && errno != EPERM)
        return false;
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t nameEnd = line.rfind(')');
    return nameEnd == std::string::npos || nameEnd + 2 >= line.size() || line[nameEnd + 2] != 'Z';
}

}  // namespace

std::vector<std::string> removeAbandonedTemporaries(const std::string& path)
{
    namespace fs = std::filesystem;
    const std::string prefix = temporaryPrefix(fs::path(path).filename().string());
    std::vector<std::string> removed;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folderOf(path), error)) {
        const pid_t writer = writerOf(entry.path().filename().string(), prefix);
        if (writer > 0 && !isRunning(writer) && entry.is_regular_file(error) && fs::remove(entry.path(), error))
            removed.push_back(entry.path().string());
    }
    return removed;
}

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
