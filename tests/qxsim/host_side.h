// The PC's side of the line for the simulator tests: a raw terminal opened like a serial port,
// plus the request framing and link cipher written from the wire description (independent of
// the simulator's own code).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qxtest {

using Bytes = std::vector<uint8_t>;

inline uint8_t Sum8(const Bytes& b, size_t n) {
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i) s = static_cast<uint8_t>(s + b[i]);
    return s;
}
inline uint8_t Sum8(const Bytes& b) {
    return Sum8(b, b.size());
}

// Appends the request checksum.
inline Bytes Framed(Bytes b) {
    b.push_back(Sum8(b));
    return b;
}

constexpr uint8_t kKey[8] = {0x5A, 0xC3, 0x17, 0x8E, 0x42, 0xB9, 0x6D, 0xF0};

inline uint8_t KeyChain() {
    unsigned c = 0x3C;
    for (uint8_t k : kKey) c += k;
    return static_cast<uint8_t>(c);
}

// Encrypts b[from, to) in place with a fresh chain; returns the final chain byte.
inline uint8_t HostEncrypt(Bytes& b, size_t from, size_t to) {
    uint8_t c = KeyChain();
    for (size_t i = from; i < to; ++i) {
        uint8_t v = b[i] ^ c;
        for (int j = 0; j < 8; ++j) v = (j & 1) ? (v ^ kKey[j]) : static_cast<uint8_t>(v + kKey[j]);
        b[i] = c = v;
    }
    return c;
}

inline void HostDecrypt(uint8_t chain, Bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        const uint8_t y = b[i];
        uint8_t v = y;
        for (int j = 7; j >= 0; --j)
            v = (j & 1) ? (v ^ kKey[j]) : static_cast<uint8_t>(v - kKey[j]);
        b[i] = v ^ chain;
        chain = y;
    }
}

inline speed_t SpeedCode(uint32_t baud) {
    switch (baud) {
        case 19200:
            return B19200;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B9600;
    }
}

class HostLine {
  public:
    HostLine() = default;
    explicit HostLine(const std::string& path, uint32_t baud = 115200) { Open(path, baud); }
    ~HostLine() { Close(); }
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    bool Open(const std::string& path, uint32_t baud = 115200) {
        Close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return false;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd_, TCSANOW, &t);
        return SetBaud(baud);
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool IsOpen() const { return fd_ >= 0; }

    bool SetBaud(uint32_t baud) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        cfsetispeed(&t, SpeedCode(baud));
        cfsetospeed(&t, SpeedCode(baud));
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    // Purges, then writes the whole request at once, as the host library does.
    bool Send(const Bytes& b) {
        tcflush(fd_, TCIOFLUSH);
        return ::write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }

    // Reads until n bytes arrived or timeoutMs passed; closed_ tells whether the line died.
    Bytes Receive(size_t n, int timeoutMs = 1000) {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            uint8_t buf[8192];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) {
                out.insert(out.end(), buf, buf + r);
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                closed_ = true;
                break;
            }
        }
        return out;
    }

    Bytes Exchange(const Bytes& request, size_t n, int timeoutMs = 1000) {
        if (!Send(request)) return {};
        return Receive(n, timeoutMs);
    }

    bool Closed() const { return closed_; }

  private:
    int fd_ = -1;
    bool closed_ = false;
};

}  // namespace qxtest
