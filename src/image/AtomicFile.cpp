#include "image/AtomicFile.h"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

AtomicFile::AtomicFile(const std::string& path)
    : path_(path), tempPath_(path + ".tmp" + std::to_string(::getpid()))
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
        throw std::runtime_error("Could not replace file: " + path_);
    committed_ = true;
}
