#include "app/StateLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/Logger.h"

namespace {

using Clock = std::chrono::steady_clock;

// Short against a run, which takes a second or more, so a waiting run starts
// soon after the holder ends.
constexpr std::chrono::milliseconds pollInterval{20};

std::string secondsText(std::chrono::milliseconds duration)
{
    std::ostringstream text;
    text << double(duration.count()) / 1000.0;
    return text.str();
}

}  // namespace

// Opened for writing: over NFS flock becomes a byte-range lock, and an
// exclusive one needs a writable descriptor.
StateLock::StateLock(const std::string& path, std::chrono::milliseconds wait)
    : file_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666))
{
    if (!file_.isOpen())
        throw std::runtime_error("Could not open the state lock " + path + ": " + std::strerror(errno));
    if (tryLock(path))
        return;
    logInfo("Waiting for another run to release the state lock " + path);
    const Clock::time_point deadline = Clock::now() + wait;
    while (!tryLock(path)) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            throw std::runtime_error("Another run holds the state lock " + path + "; gave up after " +
                                     secondsText(wait) + " s");
        std::this_thread::sleep_for(std::min<Clock::duration>(pollInterval, deadline - now));
    }
}

StateLock::~StateLock() { ::flock(file_.get(), LOCK_UN); }

bool StateLock::tryLock(const std::string& path) const
{
    if (::flock(file_.get(), LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno == EWOULDBLOCK || errno == EINTR)
        return false;
    throw std::runtime_error("Could not lock the state lock " + path + ": " + std::strerror(errno));
}
