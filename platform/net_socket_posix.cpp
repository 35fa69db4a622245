#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/net_socket.h"
#include "platform/poll_posix.h"

namespace qx::platform {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

// One nonblocking connect, bounded. The socket on success, -1 (errno set) on failure.
int ConnectOne(const addrinfo& address, Clock::time_point deadline) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address.ai_protocol);
    if (fd < 0) return -1;
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        const int ready = PollFor(fd, POLLOUT, MsLeft(deadline));
        int error = 0;
        socklen_t length = sizeof error;
        if (ready <= 0) {
            error = ready == 0 ? ETIMEDOUT : errno;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error != 0) {
            close(fd);
            errno = error;
            return -1;
        }
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace

bool NetSocket::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                        std::string* error) {
    Close();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        if (error != nullptr) *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        errno = EHOSTUNREACH;
        return false;
    }
    int saved = ETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (MsLeft(deadline) == 0) break;
        const int fd = ConnectOne(*a, deadline);
        if (fd >= 0) {
            socket_ = fd;
            break;
        }
        saved = errno;
    }
    freeaddrinfo(found);
    if (socket_ == kNone) {
        if (error != nullptr) {
            *error = "cannot connect to " + host + ":" + service + ": " + std::strerror(saved);
        }
        errno = saved;
        return false;
    }
    return true;
}

NetSocket::Ready NetSocket::WaitReadable(int64_t ms) {
    if (socket_ == kNone) return Ready::Failed;
    const int revents = PollFor(static_cast<int>(socket_), POLLIN, ms);
    if (revents < 0) return Ready::Failed;
    // A hang-up or an error is "readable": the next Receive reports it.
    return revents == 0 ? Ready::TimedOut : Ready::Yes;
}

NetSocket::Ready NetSocket::WaitWritable(int64_t ms) {
    if (socket_ == kNone) return Ready::Failed;
    const int revents = PollFor(static_cast<int>(socket_), POLLOUT, ms);
    if (revents < 0 || (revents & (POLLERR | POLLHUP | POLLNVAL))) return Ready::Failed;
    return revents == 0 ? Ready::TimedOut : Ready::Yes;
}

int64_t NetSocket::Receive(uint8_t* buffer, size_t size) {
    if (socket_ == kNone) return -1;
    for (;;) {
        const ssize_t n = recv(static_cast<int>(socket_), buffer, size, 0);
        if (n > 0) {
            // Acknowledge at once: a server that sends a reply in two segments with Nagle's
            // algorithm on holds the second until the first is acknowledged, and a delayed
            // acknowledgement costs 40 ms a reply.
            const int on = 1;
            setsockopt(static_cast<int>(socket_), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            return n;
        }
        if (n == 0) return -1;  // the peer closed the connection
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int64_t NetSocket::Send(const uint8_t* data, size_t size) {
    if (socket_ == kNone) return -1;
    for (;;) {
        // MSG_NOSIGNAL: a connection the peer reset fails the call instead of raising SIGPIPE.
        const ssize_t n = send(static_cast<int>(socket_), data, size, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

void NetSocket::Close() {
    if (socket_ != kNone) close(static_cast<int>(socket_));
    socket_ = kNone;
}

void SetNetFailure(NetFailure failure) {
    switch (failure) {
        case NetFailure::BadName:
        case NetFailure::InvalidSetting:
            errno = EINVAL;
            return;
        case NetFailure::NotSupported:
            errno = EOPNOTSUPP;
            return;
        case NetFailure::NoAnswer:
            errno = ETIMEDOUT;
            return;
        case NetFailure::Refused:
            errno = EPROTONOSUPPORT;
            return;
        case NetFailure::Closed:
            errno = ECONNRESET;
            return;
    }
}

uint32_t LastNetError() {
    return static_cast<uint32_t>(errno);
}

std::string DescribeNetFailure(uint32_t error) {
    switch (error) {
        case ETIMEDOUT:
            return "no answer from the server in time";
        case EPROTONOSUPPORT:
            return "the server takes no RFC 2217 commands (a raw port is reached as tcp://)";
        case ECONNRESET:
            return "the server closed the connection (its port in use, or its device missing)";
        case EHOSTUNREACH:
            return "no connection (the host is unknown or cannot be reached)";
        default:
            return std::string("no connection (") + std::strerror(static_cast<int>(error)) + ")";
    }
}

NetLock::NetLock() = default;

void NetLock::lock() {
    mutex_.lock();
}

void NetLock::unlock() {
    mutex_.unlock();
}

}  // namespace qx::platform
