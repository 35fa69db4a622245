#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

#include "platform/loopback_client.h"

namespace qx::platform {
namespace {

// Winsock is started once per process and left running until exit.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET Native(intptr_t s) {
    return static_cast<SOCKET>(s);
}

}  // namespace

bool LoopbackClient::Connect(uint16_t port, std::string* error) {
    Close();
    if (!StartWinsock()) {
        if (error) *error = "WSAStartup failed";
        return false;
    }
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        if (error) *error = "socket: error " + std::to_string(WSAGetLastError());
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error)
            *error = "connect to port " + std::to_string(port) + ": error " +
                     std::to_string(WSAGetLastError());
        closesocket(s);
        return false;
    }
    socket_ = static_cast<intptr_t>(s);
    return true;
}

bool LoopbackClient::SendAll(std::string_view text) {
    if (socket_ == kNoSocket) return false;
    while (!text.empty()) {
        const int n = send(Native(socket_), text.data(), static_cast<int>(text.size()), 0);
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool LoopbackClient::Receive(uint32_t timeoutMs) {
    if (socket_ == kNoSocket) return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(socket_), &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return false;
    char buffer[4096];
    const int n = recv(Native(socket_), buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool LoopbackClient::ReadLine(std::string& line, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t eol = pending_.find('\n');
        if (eol != std::string::npos) {
            line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Receive(static_cast<uint32_t>(left.count()))) return false;
    }
}

void LoopbackClient::Close() {
    if (socket_ != kNoSocket) closesocket(Native(socket_));
    socket_ = kNoSocket;
    pending_.clear();
}

}  // namespace qx::platform
