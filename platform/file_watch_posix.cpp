// File watching with inotify on the file's directory.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/file_watch.h"

namespace qx::platform {

struct FileWatch::Impl {
    int fd = -1;
    std::string name;  // the file's name within the directory

    ~Impl() {
        if (fd >= 0) close(fd);
    }

    // Reads every pending event: whether one concerned the file and whether the last of those
    // ended a save.
    bool Drain(bool& failed, bool& settled) {
        bool hit = false;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                failed = errno != EAGAIN && errno != EWOULDBLOCK;
                return hit;
            }
            if (n == 0) return hit;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                // A full queue loses events: count it as a change rather than miss one.
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    hit = true;
                    settled = false;
                }
                // The directory itself went away: nothing more will come.
                if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0)
                    failed = true;
                if (event->len > 0 && name == event->name) {
                    hit = true;
                    // A permission change after the close does not reopen the save.
                    if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0)
                        settled = true;
                    else if ((event->mask & IN_ATTRIB) == 0)
                        settled = false;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }
};

FileWatch::FileWatch() : impl_(std::make_unique<Impl>()) {}
FileWatch::~FileWatch() = default;

bool FileWatch::Start(const std::string& path, std::string* error) {
    const std::filesystem::path file(path);
    std::filesystem::path directory = file.parent_path();
    if (directory.empty()) directory = ".";
    impl_->name = file.filename().string();
    if (impl_->fd >= 0) close(impl_->fd);
    impl_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (impl_->fd < 0) {
        if (error) *error = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    // Writes in place (modify, close), new files and renames onto the name, and removal.
    constexpr uint32_t kMask = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO |
                               IN_MOVED_FROM | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF |
                               IN_MOVE_SELF;
    if (inotify_add_watch(impl_->fd, directory.c_str(), kMask) < 0) {
        if (error) *error = "cannot watch " + directory.string() + ": " + std::strerror(errno);
        close(impl_->fd);
        impl_->fd = -1;
        return false;
    }
    return true;
}

FileWatch::Event FileWatch::Wait(uint32_t timeoutMs) {
    if (impl_->fd < 0) return Event::Failed;
    // Events about other files of the directory do not end the wait early.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Rounded up: a wait never ends before its time.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd pfd{impl_->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno != EINTR) return Event::Failed;
        if (ready > 0) {
            bool failed = false;
            bool settled = false;
            if (impl_->Drain(failed, settled)) return settled ? Event::Settled : Event::Changed;
            if (failed) return Event::Failed;
        }
        if (left <= 0) return Event::Timeout;
    }
}

}  // namespace qx::platform
