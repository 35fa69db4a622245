// The kernel's termios2 (exact speeds, BOTHER included) instead of <termios.h>; the pair
// comes from posix_openpt, which needs neither.
#include "pty_peer.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qxtest {
namespace {

using Clock = std::chrono::steady_clock;

struct BaudCode {
    uint32_t rate;
    tcflag_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
    {3000000, B3000000}, {4000000, B4000000},
};

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PtyPeer::PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        error_ = Errno("posix_openpt");
        return;
    }
    char name[128] = {};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        error_ = Errno("grantpt/unlockpt/ptsname");
        close(master_);
        master_ = -1;
        return;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error_ = Errno("open slave");
        close(master_);
        master_ = -1;
        return;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPeer::~PtyPeer() {
    WaitWrites();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

std::vector<uint8_t> PtyPeer::Read(size_t count, int timeoutMs) {
    std::vector<uint8_t> bytes;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t chunk[4096];
    while (bytes.size() < count) {
        const size_t want = std::min(sizeof chunk, count - bytes.size());
        const ssize_t n = read(master_, chunk, want);
        if (n > 0) {
            bytes.insert(bytes.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd p{master_, POLLIN, 0};
        const int left = MsLeft(deadline);
        if (left == 0 || poll(&p, 1, left) == 0) break;
    }
    return bytes;
}

std::vector<uint8_t> PtyPeer::Drain(int quietMs) {
    std::vector<uint8_t> all;
    for (;;) {
        std::vector<uint8_t> more = Read(65536, quietMs);
        if (more.empty()) return all;
        all.insert(all.end(), more.begin(), more.end());
    }
}

bool PtyPeer::Write(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0) return false;  // the host stopped reading
    }
    return true;
}

void PtyPeer::WriteLater(std::vector<uint8_t> bytes, int delayMs, size_t chunkSize, int gapMs) {
    const auto start = Clock::now() + std::chrono::milliseconds(delayMs);
    std::lock_guard lock(writersMutex_);
    writers_.emplace_back([this, bytes = std::move(bytes), start, chunkSize, gapMs] {
        std::this_thread::sleep_until(start);
        std::lock_guard order(writeOrder_);
        const size_t step = chunkSize == 0 ? bytes.size() : chunkSize;
        for (size_t at = 0; at < bytes.size(); at += step) {
            if (at != 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            const size_t n = std::min(step, bytes.size() - at);
            Write(std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n));
        }
    });
}

void PtyPeer::WaitWrites() {
    std::vector<std::thread> writers;
    {
        std::lock_guard lock(writersMutex_);
        writers.swap(writers_);
    }
    for (std::thread& writer : writers) writer.join();
}

size_t PtyPeer::WaitHostInput(size_t count, int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int queued = 0;
        if (ioctl(slave_, FIONREAD, &queued) != 0) return 0;
        if (static_cast<size_t>(queued) >= count || MsLeft(deadline) == 0)
            return static_cast<size_t>(queued);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

LineState PtyPeer::Line() const {
    LineState line;
    termios2 tio{};
    if (ioctl(slave_, TCGETS2, &tio) != 0) return line;
    const tcflag_t code = tio.c_cflag & CBAUD;
    line.baud = tio.c_ospeed;
    if (code != BOTHER) {
        line.baud = 0;
        for (const BaudCode& entry : kBaudCodes)
            if (entry.code == code) line.baud = entry.rate;
    }
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            line.byteSize = 5;
            break;
        case CS6:
            line.byteSize = 6;
            break;
        case CS7:
            line.byteSize = 7;
            break;
        default:
            line.byteSize = 8;
            break;
    }
    if (tio.c_cflag & PARENB) {
        const bool odd = (tio.c_cflag & PARODD) != 0;
        line.parity = (tio.c_cflag & CMSPAR) ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
    }
    line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    line.rtsCts = (tio.c_cflag & CRTSCTS) != 0;
    line.xonXoff = (tio.c_iflag & (IXON | IXOFF)) != 0;
    line.canonical = (tio.c_lflag & ICANON) != 0;
    line.echo = (tio.c_lflag & ECHO) != 0;
    return line;
}

bool PtyPeer::SetLine(const LineState& line) {
    termios2 tio{};
    if (ioctl(slave_, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &=
        ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= BOTHER;
    for (const BaudCode& entry : kBaudCodes)
        if (entry.rate == line.baud) tio.c_cflag = (tio.c_cflag & ~CBAUD) | entry.code;
    tio.c_ispeed = tio.c_ospeed = line.baud;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[std::clamp(line.byteSize, 5, 8) - 5];
    switch (line.parity) {
        case 'O':
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 'E':
            tio.c_cflag |= PARENB;
            break;
        case 'M':
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 'S':
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
    if (line.rtsCts) tio.c_cflag |= CRTSCTS;
    tio.c_iflag = line.xonXoff ? (tio.c_iflag | IXON | IXOFF) : (tio.c_iflag & ~(IXON | IXOFF));
    tio.c_lflag = line.canonical ? (tio.c_lflag | ICANON) : (tio.c_lflag & ~ICANON);
    tio.c_lflag = line.echo ? (tio.c_lflag | ECHO) : (tio.c_lflag & ~ECHO);
    return ioctl(slave_, TCSETS2, &tio) == 0;
}

ComDir::ComDir() {
    char pattern[] = "/tmp/qxcom.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    path_ = pattern;
    if (const char* old = std::getenv("QX_COM_DIR")) {
        hadPrevious_ = true;
        previous_ = old;
    }
    setenv("QX_COM_DIR", path_.c_str(), 1);
}

ComDir::~ComDir() {
    if (path_.empty()) return;
    if (hadPrevious_)
        setenv("QX_COM_DIR", previous_.c_str(), 1);
    else
        unsetenv("QX_COM_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool ComDir::Link(const std::string& name, const std::string& target) {
    const std::string link = path_ + "/" + name;
    unlink(link.c_str());
    return symlink(target.c_str(), link.c_str()) == 0;
}

}  // namespace qxtest
