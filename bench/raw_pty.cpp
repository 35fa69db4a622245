#include "raw_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace qxbench {
namespace {

using Clock = std::chrono::steady_clock;

// A round that takes longer than this has stalled (a paced 4 KiB round takes 45 ms at
// 921600 baud, 360 ms at 115200).
constexpr int kRoundLimitMs = 5000;

void SetNonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Moves exactly `count` bytes through fd in the direction `events` names, waiting with poll
// between partial transfers. False on an error or when `deadline` passes.
bool Transfer(int fd, short events, uint8_t* buffer, uint32_t count, Clock::time_point deadline) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = events == POLLIN ? read(fd, buffer + done, count - done)
                                           : write(fd, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
}

// When `bytes` bytes started on the line at `start` are through (10 bits a byte).
Clock::time_point WireDone(Clock::time_point start, uint32_t bytes, uint32_t baud) {
    return start + std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10000000000LL / baud);
}

}  // namespace

Pty::~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool Pty::Open(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        if (error) *error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        if (error) *error = std::string("open ") + name + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave_, TCSANOW, &t);
    slavePath_ = name;
    return true;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

RawTiming RawExchange(const std::vector<Exchange>& rounds, std::string* error, uint32_t pacedBaud) {
    RawTiming timing;
    Pty pty;
    if (!pty.Open(error)) return timing;
    SetNonblocking(pty.master());
    SetNonblocking(pty.slave());
    uint32_t largest = 1;
    for (const Exchange& round : rounds) largest = std::max({largest, round.request, round.reply});

    std::atomic<bool> peerFailed{false};
    std::thread peer([&] {
        std::vector<uint8_t> buffer(largest, 0x5A);
        const double cpuStart = ThreadCpuSeconds();
        struct Account {
            double start;
            double& out;
            ~Account() { out = ThreadCpuSeconds() - start; }
        } account{cpuStart, timing.peerCpuSeconds};
        for (const Exchange& round : rounds) {
            const auto deadline = Clock::now() + std::chrono::milliseconds(kRoundLimitMs);
            if (pacedBaud == 0) {
                if (!Transfer(pty.master(), POLLIN, buffer.data(), round.request, deadline) ||
                    !Transfer(pty.master(), POLLOUT, buffer.data(), round.reply, deadline)) {
                    peerFailed = true;
                    return;
                }
                continue;
            }
            pollfd first{pty.master(), POLLIN, 0};
            if (poll(&first, 1, kRoundLimitMs) <= 0) {
                peerFailed = true;
                return;
            }
            const auto requestStart = Clock::now();
            if (!Transfer(pty.master(), POLLIN, buffer.data(), round.request, deadline)) {
                peerFailed = true;
                return;
            }
            std::this_thread::sleep_until(WireDone(requestStart, round.request, pacedBaud));
            const auto replyStart = Clock::now();
            const uint32_t chunk = std::max<uint32_t>(1, pacedBaud / 10000);
            for (uint32_t sent = 0; sent < round.reply;) {
                const uint32_t n = std::min(chunk, round.reply - sent);
                std::this_thread::sleep_until(WireDone(replyStart, sent + n, pacedBaud));
                if (!Transfer(pty.master(), POLLOUT, buffer.data() + sent, n, deadline)) {
                    peerFailed = true;
                    return;
                }
                sent += n;
            }
        }
    });

    std::vector<uint8_t> request(largest, 0xA5);
    std::vector<uint8_t> reply(largest);
    bool ok = true;
    const double cpuStart = ThreadCpuSeconds();
    const auto start = Clock::now();
    for (const Exchange& round : rounds) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kRoundLimitMs);
        if (!Transfer(pty.slave(), POLLOUT, request.data(), round.request, deadline) ||
            !Transfer(pty.slave(), POLLIN, reply.data(), round.reply, deadline)) {
            ok = false;
            break;
        }
    }
    timing.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    timing.cpuSeconds = ThreadCpuSeconds() - cpuStart;
    // After a stalled round the peer gives up at its own deadline.
    peer.join();
    if (!ok || peerFailed) {
        if (error) *error = "a raw round stalled";
        return timing;
    }
    timing.ok = true;
    return timing;
}

}  // namespace qxbench
