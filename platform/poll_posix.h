// One descriptor waited on with poll(), for the POSIX serial port and the network socket.
#pragma once

#include <poll.h>

#include <cerrno>
#include <cstdint>

namespace qx::platform {

// Waits for `events` on fd for at most `ms` (negative: no limit), across signals. Returns the
// revents, 0 on time-out, -1 on error.
inline int PollFor(int fd, short events, int64_t ms) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int timeout = ms < 0 ? -1 : static_cast<int>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms);
        const int rc = poll(&p, 1, timeout);
        if (rc > 0) return p.revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace qx::platform
