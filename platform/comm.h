// COM-port services of the operating system, with the semantics of the Win32 comm API.
//
// On Windows these are CreateFileA/GetCommState/SetCommState/SetupComm/
// Get-/SetCommTimeouts/PurgeComm/ReadFile/WriteFile/CloseHandle. On POSIX they are
// implemented over termios and poll with the exact COMMTIMEOUTS meaning:
//   - ReadIntervalTimeout: once the first byte arrived, the longest gap between bytes;
//   - total = ReadTotalTimeoutMultiplier * count + ReadTotalTimeoutConstant;
//   - a read returns as soon as `count` bytes arrived;
//   - interval MAXDWORD with both totals 0: return at once with what is buffered;
//   - interval and multiplier MAXDWORD, 0 < constant < MAXDWORD: what is buffered at once,
//     else the first bytes to arrive within the constant;
//   - all three 0: wait until `count` bytes arrived.
// Write: total = WriteTotalTimeoutMultiplier * count + WriteTotalTimeoutConstant (0: none).
//
// Names: "\\.\COMn" and "COMn" (any case) resolve on POSIX through $QX_COM_DIR/COMn when
// that variable is set, else through the built-in map: COM1..32 -> /dev/ttyS0..31,
// COM33..64 -> /dev/ttyUSB0..31, COM65..96 -> /dev/ttyACM0..31, any other number -> no
// device. Any other name is a path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_types.h"

namespace qx::platform {

// Opens a port for synchronous reading and writing, no sharing. InvalidHandle() on failure.
// The line starts binary-safe, whatever another program left on it: no software flow control,
// no null stripping or error replacement, no parity checking, one stop bit (POSIX: a raw
// line; Windows: those DCB members, and no abort on error or DSR sensitivity).
OsHandle CommOpen(const char* name);
bool CommClose(OsHandle handle);

bool CommGetState(OsHandle handle, DCB* dcb);
bool CommSetState(OsHandle handle, DCB* dcb);
bool CommSetup(OsHandle handle, uint32_t inQueue, uint32_t outQueue);
bool CommGetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts);
bool CommSetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts);
bool CommPurge(OsHandle handle, uint32_t flags);

// One synchronous transfer; *done receives the bytes moved (also on a time-out, where the
// call still succeeds with fewer bytes, as ReadFile does).
bool CommRead(OsHandle handle, void* buffer, uint32_t count, uint32_t* done);
bool CommWrite(OsHandle handle, const void* buffer, uint32_t count, uint32_t* done);

// n of "\\.\COMn" or "COMn" (any case, n decimal digits only) when n <= `max`; nullopt for
// any other name, which is a path.
inline std::optional<uint32_t> ComNameNumber(std::string_view name, uint32_t max = UINT32_MAX) {
    if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
    if (name.size() < 4) return std::nullopt;
    for (size_t i = 0; i < 3; ++i) {
        if ((name[i] & ~0x20) != "COM"[i]) return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9') return std::nullopt;
        // Past `max` the value only has to stay there: the digits are still checked.
        if (value <= max) value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > max) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// The path CommOpen opens for `name`: for "\\.\COMn" and "COMn" the device that COM number
// stands for on this machine ("" when it stands for none, and the open fails at once); any
// other name unchanged. POSIX only does real work; Windows returns the name.
std::string ResolveComName(const char* name);

}  // namespace qx::platform
