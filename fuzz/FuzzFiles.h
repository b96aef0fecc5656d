#pragma once

// What the fuzz targets share: a private directory for the readers that take
// only a path, and writing an input's bytes into it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <QByteArray>

// A fresh directory of this process, on a tmpfs when the machine has one so
// that millions of small files cost no disk, removed with its files when the
// process ends.
class PrivateDirectory {
public:
    PrivateDirectory()
    {
        std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        pattern += "/pelorum-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("Could not create a private directory from " + pattern);
        path_ = pattern;
    }
    ~PrivateDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Removes every file in it, so that what one input left behind (a state
    // set aside as unreadable) never meets the next.
    void clear() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            std::filesystem::remove_all(entry.path());
    }

private:
    std::string path_;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

inline void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file || std::fwrite(data, 1, size, file.get()) != size || std::fflush(file.get()) != 0)
        throw std::runtime_error("Could not write the fuzz input to " + path);
}

inline QByteArray bytesOf(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}
