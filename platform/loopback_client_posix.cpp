#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/loopback_client.h"

namespace qx::platform {

bool LoopbackClient::Connect(uint16_t port, std::string* error) {
    Close();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error) *error = "connect to port " + std::to_string(port) + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

bool LoopbackClient::SendAll(std::string_view text) {
    if (socket_ == kNoSocket) return false;
    while (!text.empty()) {
        const ssize_t n = send(static_cast<int>(socket_), text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool LoopbackClient::Receive(uint32_t timeoutMs) {
    if (socket_ == kNoSocket) return false;
    pollfd p{static_cast<int>(socket_), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(timeoutMs));
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = recv(static_cast<int>(socket_), buffer, sizeof buffer, 0);
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
    if (socket_ != kNoSocket) close(static_cast<int>(socket_));
    socket_ = kNoSocket;
    pending_.clear();
}

}  // namespace qx::platform
