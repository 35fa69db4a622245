#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>

#include "platform/net_socket.h"

namespace qx::platform {
namespace {

using Clock = std::chrono::steady_clock;

// SIO_TCP_SET_ACK_FREQUENCY, which not every SDK declares.
constexpr DWORD kSetAckFrequency = _WSAIOW(IOC_VENDOR, 23);

// Winsock is started once per module and left running until the process ends.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int64_t MsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

// select() on one socket: > 0 ready, 0 time-out, < 0 failure. `failed` reports the error
// set of a pending connect.
int SelectOne(SOCKET s, bool write, int64_t ms, bool* failed = nullptr) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval wait{};
    if (ms >= 0) {
        const int64_t capped = ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms;
        wait.tv_sec = static_cast<long>(capped / 1000);
        wait.tv_usec = static_cast<long>((capped % 1000) * 1000);
    }
    const int rc = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors,
                          ms < 0 ? nullptr : &wait);
    if (failed != nullptr) *failed = rc > 0 && FD_ISSET(s, &errors);
    return rc;
}

std::string ErrorText(int code) {
    char text[256] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "error " + std::to_string(code);
    return message;
}

// One nonblocking connect, bounded. The socket on success; INVALID_SOCKET with the Winsock
// error set on failure.
SOCKET ConnectOne(const addrinfo& address, Clock::time_point deadline) {
    const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) return s;
    u_long nonblocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        const int saved = WSAGetLastError();
        closesocket(s);
        WSASetLastError(saved);
        return INVALID_SOCKET;
    }
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            const int saved = WSAGetLastError();
            closesocket(s);
            WSASetLastError(saved);
            return INVALID_SOCKET;
        }
        bool failed = false;
        const int ready = SelectOne(s, true, MsLeft(deadline), &failed);
        int error = 0;
        int length = sizeof error;
        if (ready <= 0) {
            error = ready == 0 ? WSAETIMEDOUT : WSAGetLastError();
        } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
                   0) {
            error = WSAGetLastError();
        } else if (failed && error == 0) {
            error = WSAECONNREFUSED;
        }
        if (error != 0) {
            closesocket(s);
            WSASetLastError(error);
            return INVALID_SOCKET;
        }
    }
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Acknowledge every segment: a server that sends a reply in two segments with Nagle's
    // algorithm on holds the second until the first is acknowledged. Older systems refuse
    // the request; the server's own setting (ser2net: tcp(nodelay)) covers them.
    DWORD frequency = 1;
    DWORD returned = 0;
    WSAIoctl(s, kSetAckFrequency, &frequency, sizeof frequency, nullptr, 0, &returned, nullptr,
             nullptr);
    return s;
}

SOCKET Native(intptr_t s) {
    return static_cast<SOCKET>(s);
}

}  // namespace

bool NetSocket::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                        std::string* error) {
    Close();
    if (!StartWinsock()) {
        if (error != nullptr) *error = "Winsock did not start";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        if (error != nullptr) *error = "cannot resolve " + host + ": " + ErrorText(rc);
        WSASetLastError(rc);
        return false;
    }
    int saved = WSAETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (MsLeft(deadline) == 0) break;
        const SOCKET s = ConnectOne(*a, deadline);
        if (s != INVALID_SOCKET) {
            socket_ = static_cast<intptr_t>(s);
            break;
        }
        saved = WSAGetLastError();
    }
    freeaddrinfo(found);
    if (socket_ == kNone) {
        if (error != nullptr) {
            *error = "cannot connect to " + host + ":" + service + ": " + ErrorText(saved);
        }
        WSASetLastError(saved);
        return false;
    }
    return true;
}

NetSocket::Ready NetSocket::WaitReadable(int64_t ms) {
    if (socket_ == kNone) return Ready::Failed;
    const int rc = SelectOne(Native(socket_), false, ms);
    if (rc < 0) return Ready::Failed;
    // An error or the end of the stream is "readable": the next Receive reports it.
    return rc == 0 ? Ready::TimedOut : Ready::Yes;
}

NetSocket::Ready NetSocket::WaitWritable(int64_t ms) {
    if (socket_ == kNone) return Ready::Failed;
    bool failed = false;
    const int rc = SelectOne(Native(socket_), true, ms, &failed);
    if (rc < 0 || failed) return Ready::Failed;
    return rc == 0 ? Ready::TimedOut : Ready::Yes;
}

int64_t NetSocket::Receive(uint8_t* buffer, size_t size) {
    if (socket_ == kNone) return -1;
    const int capped = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int n = recv(Native(socket_), reinterpret_cast<char*>(buffer), capped, 0);
    if (n > 0) return n;
    if (n == 0) return -1;  // the peer closed the connection
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int64_t NetSocket::Send(const uint8_t* data, size_t size) {
    if (socket_ == kNone) return -1;
    const int capped = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int n = send(Native(socket_), reinterpret_cast<const char*>(data), capped, 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void NetSocket::Close() {
    if (socket_ != kNone) closesocket(Native(socket_));
    socket_ = kNone;
}

void SetNetFailure(NetFailure failure) {
    switch (failure) {
        case NetFailure::BadName:
            SetLastError(ERROR_INVALID_NAME);
            return;
        case NetFailure::InvalidSetting:
            SetLastError(ERROR_INVALID_PARAMETER);
            return;
        case NetFailure::NotSupported:
            SetLastError(ERROR_NOT_SUPPORTED);
            return;
        case NetFailure::NoAnswer:
            SetLastError(ERROR_TIMEOUT);
            return;
        case NetFailure::Refused:
            SetLastError(WSAEPROTONOSUPPORT);
            return;
        case NetFailure::Closed:
            SetLastError(WSAECONNRESET);
            return;
    }
}

uint32_t LastNetError() {
    return GetLastError();
}

std::string DescribeNetFailure(uint32_t error) {
    switch (error) {
        case ERROR_TIMEOUT:
        case WSAETIMEDOUT:
            return "no answer from the server in time";
        case WSAEPROTONOSUPPORT:
            return "the server takes no RFC 2217 commands (a raw port is reached as tcp://)";
        case WSAECONNRESET:
            return "the server closed the connection (its port in use, or its device missing)";
        default:
            return "no connection (" + ErrorText(static_cast<int>(error)) + ")";
    }
}

NetLock::NetLock() {
    InitializeSRWLock(&lock_);
}

void NetLock::lock() {
    AcquireSRWLockExclusive(&lock_);
}

void NetLock::unlock() {
    ReleaseSRWLockExclusive(&lock_);
}

}  // namespace qx::platform
