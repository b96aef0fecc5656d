#include "app/FolderWatch.h"

#include <poll.h>
#include <sys/inotify.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

FolderWatch::FolderWatch(const std::string& folder)
    : folder_(folder), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (!inotify_.isOpen() ||
        ::inotify_add_watch(inotify_.get(), folder.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0)
        throw std::runtime_error("Could not watch folder " + folder + ": " + std::strerror(errno));
}

std::vector<std::string> FolderWatch::completedFiles(std::chrono::milliseconds timeout, int wakeUp)
{
    pollfd waits[2] = {{inotify_.get(), POLLIN, 0}, {wakeUp, POLLIN, 0}};
    if (::poll(waits, wakeUp >= 0 ? 2 : 1, int(timeout.count())) < 0 && errno != EINTR)
        throw std::runtime_error("Could not watch folder " + folder_ + ": " + std::strerror(errno));
    std::vector<std::string> names;
    alignas(inotify_event) char events[16 * 1024];
    for (;;) {
        const ssize_t length = ::read(inotify_.get(), events, sizeof events);
        if (length < 0 && (errno == EAGAIN || errno == EINTR))
            return names;
        if (length <= 0)
            throw std::runtime_error("Could not watch folder " + folder_ + ": " + std::strerror(errno));
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                throw std::runtime_error("The watched folder " + folder_ + " was moved or deleted");
            if (event->len > 0 && !(event->mask & IN_ISDIR))
                names.emplace_back(event->name);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}
