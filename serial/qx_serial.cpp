#include "serial/qx_serial.h"

#include <cstring>
#include <new>

#include "base/bounded_text.h"
#include "platform/comm.h"
#include "platform/net_port.h"

namespace qx {
namespace {

constexpr uint32_t kOpenBaud = 115200;
constexpr uint32_t kQueueSize = 1024;
constexpr COMMTIMEOUTS kOpenTimeouts = {40, 0, 300, 0, 300};

uint8_t* NewBlock(const uint8_t* bytes, uint32_t length, uint32_t* storedLength) {
    auto* block = new (std::nothrow) uint8_t[length];
    if (block != nullptr) std::memcpy(block, bytes, length);
    *storedLength = block != nullptr ? length : 0;
    return block;
}

constexpr uint8_t kCrLf[] = {0x0D, 0x0A};
constexpr uint8_t kCr[] = {0x0D};

}  // namespace

QXSerial::QXSerial()
    : handle(InvalidHandle()),
      logger(nullptr),
      portName{},
      dcb{},
      timeouts{},
      scratchBuffer(nullptr),
      scratchLength(0),
      terminatorPrimary(nullptr),
      terminatorPrimaryLength(0),
      terminatorSecondary(nullptr),
      terminatorSecondaryLength(0) {
    Reset();
}

QXSerial::~QXSerial() {
    Close();
    delete[] scratchBuffer;
    delete[] terminatorPrimary;
    delete[] terminatorSecondary;
}

void QXSerial::Reset() {
    Close();
    logger = nullptr;
    handle = InvalidHandle();
    delete[] scratchBuffer;
    scratchBuffer = nullptr;
    portName[0] = '\0';
    scratchLength = 0;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    std::memset(&timeouts, 0, sizeof timeouts);
    ResetPrimaryTerminator();
    ResetSecondaryTerminator();
}

void QXSerial::ResetPrimaryTerminator() {
    delete[] terminatorPrimary;
    terminatorPrimary = NewBlock(kCrLf, sizeof kCrLf, &terminatorPrimaryLength);
}

void QXSerial::ResetSecondaryTerminator() {
    delete[] terminatorSecondary;
    terminatorSecondary = NewBlock(kCr, sizeof kCr, &terminatorSecondaryLength);
}

bool QXSerial::Open(const char* name) {
    if (IsOpen()) {
        platform::CommClose(handle);
        handle = InvalidHandle();
        LogMessage(logger, "QXSerial: Port Closed");
    }
    if (name != nullptr && name != portName) BoundedCopy(portName, sizeof portName, name);

    handle = platform::CommOpen(portName);
    if (!IsOpen()) {
        LogMessage(logger, "QXSerial: Open Port %s Failed", portName);
    } else {
        LogMessage(logger, "QXSerial: Successfully opened %s", portName);
        if (!platform::CommGetState(handle, &dcb)) {
            LogMessage(logger, "QXSerial: GetCommState Failed");
        } else {
            dcb.BaudRate = kOpenBaud;
            dcb.ByteSize = 8;
            dcb.Parity = kNoParity;
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 0;
            dcb.fDtrControl = kDtrControlEnable;
            dcb.fRtsControl = kRtsControlEnable;
            if (!platform::CommSetState(handle, &dcb)) {
                LogMessage(logger, "QXSerial: SetCommState Failed");
            } else {
                timeouts = kOpenTimeouts;
                platform::CommSetTimeouts(handle, &timeouts);
                // Reopening the previous name (null) logs the name that was opened: a
                // null %s argument is undefined behaviour.
                LogMessage(logger, "QXSerial: %s opened at %i baud",
                           name != nullptr ? name : portName, static_cast<int>(kOpenBaud));
                return true;
            }
        }
    }
    if (IsOpen()) {
        platform::CommClose(handle);
        handle = InvalidHandle();
    }
    LogMessage(logger, "QXSerial: Port Closed");
    return false;
}

bool QXSerial::SpeedIsFixed() const {
    return IsOpen() && platform::CommSpeedIsFixed(handle);
}

void QXSerial::Close() {
    if (IsOpen()) {
        platform::CommClose(handle);
        handle = InvalidHandle();
    }
    LogMessage(logger, "QXSerial: Port Closed");
}

bool QXSerial::SetBaud(uint32_t rate) {
    if (!IsOpen()) return false;
    if (!platform::CommGetState(handle, &dcb)) {
        LogMessage(logger, "QXSerial: GetCommState Failed");
        return false;
    }
    if (dcb.BaudRate == rate) return true;
    dcb.BaudRate = rate;
    if (!platform::CommSetState(handle, &dcb)) {
        LogMessage(logger, "QXSerial: SetCommState Failed");
        return false;
    }
    LogMessage(logger, "QXSerial: Baud changed to %i", static_cast<int>(rate));
    return true;
}

bool QXSerial::SetReadTimeout(uint32_t milliseconds) {
    if (!IsOpen() || !platform::CommGetTimeouts(handle, &timeouts)) return false;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    return platform::CommSetTimeouts(handle, &timeouts);
}

bool QXSerial::SetTimeouts(const COMMTIMEOUTS* values, uint32_t mask) {
    if (!IsOpen() || values == nullptr || !platform::CommGetTimeouts(handle, &timeouts))
        return false;
    if (mask & kTimeoutReadInterval) timeouts.ReadIntervalTimeout = values->ReadIntervalTimeout;
    if (mask & kTimeoutReadTotalConstant)
        timeouts.ReadTotalTimeoutConstant = values->ReadTotalTimeoutConstant;
    if (mask & kTimeoutReadTotalMultiplier)
        timeouts.ReadTotalTimeoutMultiplier = values->ReadTotalTimeoutMultiplier;
    if (mask & kTimeoutWriteTotalConstant)
        timeouts.WriteTotalTimeoutConstant = values->WriteTotalTimeoutConstant;
    if (mask & kTimeoutWriteTotalMultiplier)
        timeouts.WriteTotalTimeoutMultiplier = values->WriteTotalTimeoutMultiplier;
    return platform::CommSetTimeouts(handle, &timeouts);
}

bool QXSerial::GetTimeouts() {
    if (!IsOpen()) return false;
    return platform::CommGetTimeouts(handle, &timeouts);
}

bool QXSerial::SetupBuffers() {
    if (!IsOpen()) return false;
    return platform::CommSetup(handle, kQueueSize, kQueueSize);
}

bool QXSerial::Purge() {
    return platform::CommPurge(handle, kPurgeTxClear | kPurgeRxClear);
}

uint32_t QXSerial::Read(void* buffer, uint32_t count) {
    if (!IsOpen() || buffer == nullptr || count == 0) return 0;
    uint32_t done = 0;
    if (!platform::CommRead(handle, buffer, count, &done)) return 0;
    LogHexDump(logger, "QXSerial: Read", buffer, done);
    return done;
}

uint32_t QXSerial::Write(const void* buffer, uint32_t count) {
    if (!IsOpen() || buffer == nullptr || count == 0) return 0;
    uint32_t done = 0;
    if (!platform::CommWrite(handle, buffer, count, &done)) return 0;
    LogHexDump(logger, "QXSerial: Write", buffer, done);
    return done;
}

}  // namespace qx
