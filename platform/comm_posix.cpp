// COM ports on Linux: termios2 for the line settings (any baud rate), a nonblocking fd and
// poll for the COMMTIMEOUTS waits. The kernel's termios2 header replaces <termios.h>: the
// two cannot be included together.
#if !defined(__linux__)
#error "comm_posix.cpp needs Linux termios2 (TCGETS2/TCSETS2)"
#endif

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/net_socket.h"
#include "platform/poll_posix.h"
#include "platform/port_failure.h"

namespace qx::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPortMagic = 0x51585054;  // "QXPT"

struct Port {
    uint32_t magic = kPortMagic;
    int fd = -1;
    bool isTty = false;
    // What the line cannot report back (no modem-line ioctls on a pseudo-terminal, no DSR
    // flow control, the Windows-only members) is answered from the last DCB written.
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
};

Port* PortOf(OsHandle handle) {
    if (handle == nullptr || handle == InvalidHandle()) return nullptr;
    auto* port = static_cast<Port*>(handle);
    return port->magic == kPortMagic ? port : nullptr;
}

struct BaudCode {
    uint32_t rate;
    tcflag_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

uint32_t RateOf(const termios2& tio) {
    const tcflag_t code = tio.c_cflag & CBAUD;
    if (code == BOTHER) return tio.c_ospeed;
    for (const BaudCode& entry : kBaudCodes)
        if (entry.code == code) return entry.rate;
    return tio.c_ospeed;
}

// Standard rates keep their B-code, so a peer reading plain termios sees the usual
// constant; any other rate goes through BOTHER.
void SetRate(termios2& tio, uint32_t rate) {
    tcflag_t code = BOTHER;
    for (const BaudCode& entry : kBaudCodes)
        if (entry.rate == rate) code = entry.code;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= code;
    tio.c_ispeed = rate;
    tio.c_ospeed = rate;
}

bool GetTermios(int fd, termios2* tio) {
    return ioctl(fd, TCGETS2, tio) == 0;
}
bool SetTermios(int fd, const termios2* tio) {
    return ioctl(fd, TCSETS2, tio) == 0;
}

// Binary-clean raw line: no echo, no canonical input, no translation, no software flow
// control (a fresh Linux tty has IXON on, which would swallow 0x11/0x13 in binary data), no
// parity checking, one stop bit.
void MakeRaw(termios2& tio) {
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                     IXANY | IUCLC | IMAXBEL | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

int ModemLines(int fd) {
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -1;
}

int64_t MsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Round up: waking a fraction of a millisecond early would only cost another poll.
    return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

// One read of whatever is buffered. >0 bytes, 0 nothing there, -1 error.
ssize_t ReadAvailable(int fd, uint8_t* buffer, uint32_t count) {
    for (;;) {
        const ssize_t n = read(fd, buffer, count);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

}  // namespace

std::string ResolveComName(const char* name) {
    if (name == nullptr) return {};
    const std::optional<uint32_t> com = ComNameNumber(name);
    if (!com) return name;
    const uint32_t number = *com;
    if (const char* dir = std::getenv("QX_COM_DIR"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/COM" + std::to_string(number);
    struct Range {
        uint32_t first;
        const char* prefix;
    };
    static constexpr Range kMap[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
    for (const Range& range : kMap)
        if (number >= range.first && number < range.first + 32)
            return range.prefix + std::to_string(number - range.first);
    return {};
}

OsHandle CommOpen(const char* name) {
    // A network port, named by its URL or through the COM map.
    if (const std::string url = NetPortUrl(name); !url.empty()) {
        BeginPortRecord(name, url);
        const OsHandle port = NetOpen(url.c_str());
        if (port == InvalidHandle()) NoteOpenError(static_cast<uint32_t>(errno));
        return port;
    }
    if (LooksLikeNetPortName(name)) {
        // A mistyped URL: no device path looks like one.
        BeginPortRecord(name, name);
        SetNetFailure(NetFailure::BadName);
        NoteOpenError(static_cast<uint32_t>(errno));
        return InvalidHandle();
    }
    const std::string path = ResolveComName(name);
    BeginPortRecord(name, path);
    // Records why, and keeps errno for the caller.
    auto fail = [](int fd, int error) {
        if (fd >= 0) close(fd);
        NoteOpenError(static_cast<uint32_t>(error));
        errno = error;
        return InvalidHandle();
    };
    if (path.empty()) return fail(-1, ENOENT);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(-1, errno);
    // No sharing: flock keeps out every other user of this library (root included), and
    // TIOCEXCL every other opener of the tty that is not root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd, EBUSY);
    termios2 tio{};
    const bool isTty = GetTermios(fd, &tio);
    if (isTty) {
        if (ioctl(fd, TIOCEXCL) != 0) return fail(fd, errno);
        MakeRaw(tio);
        if (!SetTermios(fd, &tio)) {
            const int error = errno;
            ioctl(fd, TIOCNXCL);
            return fail(fd, error);
        }
    }
    // A plain file opens as CreateFileA opens one; the comm-state calls then fail on it.
    auto* port = new (std::nothrow) Port;
    if (port == nullptr) {
        if (isTty) ioctl(fd, TIOCNXCL);
        return fail(fd, ENOMEM);
    }
    port->fd = fd;
    port->isTty = isTty;
    port->dcb.DCBlength = sizeof(DCB);
    port->dcb.fBinary = 1;
    const int lines = isTty ? ModemLines(fd) : -1;
    port->dcb.fDtrControl = (lines >= 0 && (lines & TIOCM_DTR)) ? 1 : 0;
    port->dcb.fRtsControl = (lines >= 0 && (lines & TIOCM_RTS)) ? 1 : 0;
    return port;
}

bool CommClose(OsHandle handle) {
    if (IsNetHandle(handle)) return NetClose(handle);
    Port* port = PortOf(handle);
    if (port == nullptr) return false;
    // Exclusive mode outlives the fd while someone else (a pty master) keeps the tty.
    ioctl(port->fd, TIOCNXCL);
    const int rc = close(port->fd);
    port->magic = 0;
    delete port;
    return rc == 0 || errno == EINTR;
}

bool CommGetState(OsHandle handle, DCB* dcb) {
    if (IsNetHandle(handle)) return NetGetState(handle, dcb);
    Port* port = PortOf(handle);
    termios2 tio{};
    if (port == nullptr || dcb == nullptr) return false;
    if (!GetTermios(port->fd, &tio)) {
        NoteStateError(static_cast<uint32_t>(errno));
        return false;
    }
    DCB state = port->dcb;
    state.DCBlength = sizeof(DCB);
    state.BaudRate = RateOf(tio);
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            state.ByteSize = 5;
            break;
        case CS6:
            state.ByteSize = 6;
            break;
        case CS7:
            state.ByteSize = 7;
            break;
        default:
            state.ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB))
        state.Parity = kNoParity;
    else if (tio.c_cflag & CMSPAR)
        state.Parity = (tio.c_cflag & PARODD) ? 3 : 4;  // mark, space
    else
        state.Parity = (tio.c_cflag & PARODD) ? kOddParity : kEvenParity;
    // Two stop bits and one and a half share CSTOPB; keep what was asked for.
    if (!(tio.c_cflag & CSTOPB))
        state.StopBits = kOneStopBit;
    else if (state.StopBits == kOneStopBit)
        state.StopBits = kTwoStopBits;
    state.fBinary = 1;
    state.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    state.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    state.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    state.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    state.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    state.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    if (tio.c_cflag & CRTSCTS) {
        state.fRtsControl = 2;  // handshake
    } else if (const int lines = ModemLines(port->fd); lines >= 0) {
        state.fRtsControl = (lines & TIOCM_RTS) ? 1 : 0;
    } else if (state.fRtsControl == 2) {
        state.fRtsControl = 1;
    }
    if (const int lines = ModemLines(port->fd); lines >= 0 && state.fDtrControl != 2)
        state.fDtrControl = (lines & TIOCM_DTR) ? 1 : 0;
    *dcb = state;
    port->dcb = state;
    return true;
}

bool CommSetState(OsHandle handle, DCB* dcb) {
    if (IsNetHandle(handle)) return NetSetState(handle, dcb);
    Port* port = PortOf(handle);
    termios2 tio{};
    if (port == nullptr || dcb == nullptr) return false;
    // Rate 0 would be B0, which hangs the line up instead of setting a speed.
    if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > 4 ||
        dcb->StopBits > kTwoStopBits) {
        errno = EINVAL;
        return false;
    }
    if (!GetTermios(port->fd, &tio)) return false;
    MakeRaw(tio);
    tio.c_cflag &= ~(CSIZE | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
        case kOddParity:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case kEvenParity:
            tio.c_cflag |= PARENB;
            break;
        case 3:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb->StopBits != kOneStopBit) tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == 2) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~INPCK;
    if (dcb->fParity) tio.c_iflag |= INPCK;
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    SetRate(tio, dcb->BaudRate);
    if (!SetTermios(port->fd, &tio)) return false;
    // Modem lines: a pseudo-terminal has none, which is not an error.
    if (ModemLines(port->fd) >= 0) {
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        ioctl(port->fd, dcb->fDtrControl == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
        if (dcb->fRtsControl != 2)
            ioctl(port->fd, dcb->fRtsControl == 0 ? TIOCMBIC : TIOCMBIS, &rts);
    }
    port->dcb = *dcb;
    return true;
}

bool CommSetup(OsHandle handle, uint32_t inQueue, uint32_t outQueue) {
    if (IsNetHandle(handle)) return NetSetup(handle, inQueue, outQueue);
    // The kernel sizes tty queues itself; the request is accepted and has no effect.
    (void)inQueue;
    (void)outQueue;
    return PortOf(handle) != nullptr;
}

bool CommGetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    if (IsNetHandle(handle)) return NetGetTimeouts(handle, timeouts);
    Port* port = PortOf(handle);
    if (port == nullptr || timeouts == nullptr) return false;
    *timeouts = port->timeouts;
    return true;
}

bool CommSetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    if (IsNetHandle(handle)) return NetSetTimeouts(handle, timeouts);
    Port* port = PortOf(handle);
    if (port == nullptr || timeouts == nullptr) return false;
    port->timeouts = *timeouts;
    return true;
}

bool CommPurge(OsHandle handle, uint32_t flags) {
    if (IsNetHandle(handle)) return NetPurge(handle, flags);
    Port* port = PortOf(handle);
    if (port == nullptr ||
        (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) != 0) {
        return false;
    }
    // Transfers are synchronous: there is never a pending one to abort.
    const bool tx = (flags & kPurgeTxClear) != 0;
    const bool rx = (flags & kPurgeRxClear) != 0;
    if (!tx && !rx) return true;
    return ioctl(port->fd, TCFLSH, tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH)) == 0;
}

bool CommRead(OsHandle handle, void* buffer, uint32_t count, uint32_t* done) {
    if (IsNetHandle(handle)) return NetRead(handle, buffer, count, done);
    Port* port = PortOf(handle);
    if (done != nullptr) *done = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return false;
    if (count == 0) return true;
    auto* bytes = static_cast<uint8_t*>(buffer);
    const COMMTIMEOUTS t = port->timeouts;
    const auto start = Clock::now();

    bool returnOnFirst = false;  // return as soon as anything is there
    bool hasTotal = false;
    Clock::time_point totalDeadline{};
    uint32_t interval = t.ReadIntervalTimeout;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        // Whatever is buffered, at once.
        returnOnFirst = true;
        hasTotal = true;
        totalDeadline = start;
    } else if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        // Buffered bytes at once; else the first arrival, within the constant.
        returnOnFirst = true;
        hasTotal = true;
        totalDeadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else {
        const uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                               t.ReadTotalTimeoutConstant;
        if (total != 0) {
            hasTotal = true;
            totalDeadline = start + std::chrono::milliseconds(total);
        }
    }

    uint32_t got = 0;
    Clock::time_point lastArrival{};
    for (;;) {
        const ssize_t n = ReadAvailable(port->fd, bytes + got, count - got);
        if (n < 0) {
            if (done != nullptr) *done = got;
            return false;
        }
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            lastArrival = Clock::now();
            if (got == count || returnOnFirst) break;
        } else if (!port->isTty) {
            break;  // end of a plain file: it will never grow by waiting
        }
        // How long to wait for more: the earlier of the total and the interval deadline.
        int64_t waitMs = -1;
        if (hasTotal) waitMs = MsUntil(totalDeadline);
        if (got > 0 && interval != 0) {
            const int64_t gap = MsUntil(lastArrival + std::chrono::milliseconds(interval));
            waitMs = waitMs < 0 ? gap : std::min(waitMs, gap);
        }
        if (waitMs == 0) break;
        const int revents = PollFor(port->fd, POLLIN, waitMs);
        if (revents < 0) {
            if (done != nullptr) *done = got;
            return false;
        }
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // The device went away: take what is still buffered, then report the failure.
            const ssize_t last = ReadAvailable(port->fd, bytes + got, count - got);
            if (last > 0) {
                got += static_cast<uint32_t>(last);
                lastArrival = Clock::now();
                continue;
            }
            if (done != nullptr) *done = got;
            return false;
        }
    }
    if (done != nullptr) *done = got;
    return true;
}

bool CommWrite(OsHandle handle, const void* buffer, uint32_t count, uint32_t* done) {
    if (IsNetHandle(handle)) return NetWrite(handle, buffer, count, done);
    Port* port = PortOf(handle);
    if (done != nullptr) *done = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return false;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const COMMTIMEOUTS t = port->timeouts;
    const uint64_t total =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    const auto deadline = Clock::now() + std::chrono::milliseconds(total);

    uint32_t sent = 0;
    bool ok = true;
    while (sent < count) {
        const ssize_t n = write(port->fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ok = false;
            break;
        }
        const int64_t waitMs = total == 0 ? -1 : MsUntil(deadline);
        if (waitMs == 0) break;  // time-out: a successful short write
        const int revents = PollFor(port->fd, POLLOUT, waitMs);
        if (revents < 0 || (revents & (POLLERR | POLLHUP | POLLNVAL))) {
            ok = false;
            break;
        }
        if (revents == 0) break;
    }
    if (done != nullptr) *done = sent;
    return ok;
}

}  // namespace qx::platform
