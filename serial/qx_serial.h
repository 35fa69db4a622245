// QXSerial: the COM-port object of the device library. One synchronous port handle with
// its line settings, time-outs and log channel; no retries, no framing: a short read or
// write is returned as it is and the caller decides.
#pragma once

#include <cstdint>

#include "log/log_sink.h"
#include "platform/os_types.h"

namespace qx {

// Bits of the SetTimeouts mask.
inline constexpr uint32_t kTimeoutReadTotalConstant = 0x01;
inline constexpr uint32_t kTimeoutReadTotalMultiplier = 0x02;
inline constexpr uint32_t kTimeoutReadInterval = 0x04;
inline constexpr uint32_t kTimeoutWriteTotalConstant = 0x08;
inline constexpr uint32_t kTimeoutWriteTotalMultiplier = 0x10;

inline constexpr uint32_t kPortNameCapacity = 260;

class QXSerial {
  public:
    // Fields in this order: the device object (and with it this one) is handed by address
    // to a separately built user-interface library.
    OsHandle handle;
    LogWindow* logger;
    char portName[kPortNameCapacity];
    DCB dcb;
    COMMTIMEOUTS timeouts;
    uint8_t* scratchBuffer;
    uint32_t scratchLength;
    uint8_t* terminatorPrimary;
    uint32_t terminatorPrimaryLength;
    uint8_t* terminatorSecondary;
    uint32_t terminatorSecondaryLength;

    QXSerial();
    ~QXSerial();
    QXSerial(const QXSerial&) = delete;
    QXSerial& operator=(const QXSerial&) = delete;

    void Reset();
    void ResetPrimaryTerminator();
    void ResetSecondaryTerminator();

    bool IsOpen() const { return handle != InvalidHandle(); }
    // A port whose line speed this side cannot change (a tcp:// network port).
    bool SpeedIsFixed() const;
    // Opens `name` (null: the previous portName) at 115200 baud, 8N1, DTR and RTS on.
    [[nodiscard]] bool Open(const char* name);
    void Close();

    [[nodiscard]] bool SetBaud(uint32_t rate);
    bool SetReadTimeout(uint32_t milliseconds);
    bool SetTimeouts(const COMMTIMEOUTS* values, uint32_t mask);
    bool GetTimeouts();
    bool SetupBuffers();
    bool Purge();
    [[nodiscard]] uint32_t Read(void* buffer, uint32_t count);
    [[nodiscard]] uint32_t Write(const void* buffer, uint32_t count);
};

}  // namespace qx
