#include "stacking/StateFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "core/Logger.h"
#include "image/AtomicFile.h"
#include "image/ImageFile.h"

namespace fs = std::filesystem;

namespace {

bool isStateSuffix(const std::string& extension)
{
    return extension == "fits" || extension == "fit" || extension == "jpg" || extension == "jpeg";
}

// Errno's text when the file cannot be opened for reading; empty when it can.
std::string openProblem(const std::string& path)
{
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0)
        return std::strerror(errno);
    ::close(file);
    return {};
}

bool exists(const std::string& path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

// Renames without ever replacing: a hard link to the new name, then the old
// name removed; where the file system has no hard links, a rename once the
// new name was seen free (the state's lock keeps other runs out meanwhile).
void moveWithoutReplacing(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return;
    }
    const int linkError = errno;
    if (linkError != EEXIST && !exists(to) && std::rename(from.c_str(), to.c_str()) == 0)
        return;
    throw std::runtime_error("Could not move " + from + " aside to " + to + " (" +
                             std::strerror(linkError == EEXIST ? EEXIST : errno) + ")");
}

}  // namespace

std::string stateFileProblem(const std::string& path)
{
    if (!isStateSuffix(fileExtension(path)))
        return "State file " + path + " must end in .fits, .fit, .jpg or .jpeg";
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        return {};
    if (error)
        return "State file " + path + " cannot be read (" + error.message() + ")";
    if (status.type() == fs::file_type::directory)
        return "State file " + path + " is a folder";
    if (status.type() != fs::file_type::regular)
        return "State file " + path + " is not a regular file";
    const std::string problem = openProblem(path);
    if (!problem.empty())
        return "State file " + path + " cannot be read (" + problem + ")";
    return {};
}

void removeInterruptedSaves(const std::string& path)
{
    const fs::path state(path);
    const std::string name = state.filename().string();
    const std::string prefixes[] = {temporaryPrefix(name), temporaryPrefix(name + ".meta"),
                                    temporaryPrefix(name + ".stars"), name + ".previous"};
    std::error_code error;
    const fs::path folder = state.has_parent_path() ? state.parent_path() : fs::path(".");
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::string entryName = entry.path().filename().string();
        for (const std::string& prefix : prefixes) {
            if (entryName.rfind(prefix, 0) != 0 || !entry.is_regular_file(error))
                continue;
            if (fs::remove(entry.path(), error))
                logInfo("Removed " + entry.path().string() + ", left by an interrupted save");
            break;
        }
    }
}

std::string setAsideUnreadable(const std::string& path)
{
    const std::string metaPath = path + ".meta";
    for (int number = 0;; ++number) {
        const std::string suffix = ".unreadable" + (number == 0 ? std::string() : "." + std::to_string(number));
        if (exists(path + suffix) || exists(metaPath + suffix))
            continue;
        moveWithoutReplacing(path, path + suffix);
        if (exists(metaPath))
            moveWithoutReplacing(metaPath, metaPath + suffix);
        return path + suffix;
    }
}
