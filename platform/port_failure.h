// Why a port cannot be used. The comm layer keeps, per thread, the reason the last CommOpen
// failed or left a handle that is no serial port (its first line-settings read failed), so a
// tool can say more than the library's result code does. The library itself never reads it.
#pragma once

#include <cstdint>
#include <string>

namespace qx::platform {

enum class PortProblem : uint8_t {
    None,          // opened, and the line settings could be read
    NoSuchPort,    // no device by that name
    AccessDenied,  // the device exists; this user may not open it
    InUse,         // another program has it open
    NotSerial,     // it opens but is no serial port (a plain file, another kind of device)
    Other,         // any other system error
};

struct PortFailure {
    PortProblem problem = PortProblem::None;
    uint32_t osError = 0;  // errno, or GetLastError() on Windows
    std::string name;      // what was asked for: "\\.\COM3", "COM3" or a path
    std::string path;      // what that name opens ("" when a COM name stands for none)
};

// The record of this thread's last CommOpen, updated by a failed line-settings read after it.
PortFailure LastPortFailure();

// Opens `name` as CommOpen would, reads its line settings and closes it again, changing
// nothing on the line: whether it can be used now, and if not, why.
PortFailure TryPort(const char* name);

// The reason in words, without the port's name: "in use by another program (qxsim, process
// 4242)", "permission denied (/dev/ttyUSB0 belongs to group dialout ...)". On Linux it names
// the group that owns the device node and how to join it, and the process holding the lock.
std::string DescribePortFailure(const PortFailure& failure);

// Short stable words for scripts.
inline const char* PortProblemKey(PortProblem problem) {
    switch (problem) {
        case PortProblem::None:
            return "";
        case PortProblem::NoSuchPort:
            return "missing";
        case PortProblem::AccessDenied:
            return "permission";
        case PortProblem::InUse:
            return "in-use";
        case PortProblem::NotSerial:
            return "not-serial";
        case PortProblem::Other:
            break;
    }
    return "error";
}

// For the comm layer: start this thread's record for an open of `name` resolved to `path`;
// note the system error of a failed open, or of a failed line-settings read.
void BeginPortRecord(const char* name, const std::string& path);
void NoteOpenError(uint32_t osError);
void NoteStateError(uint32_t osError);

}  // namespace qx::platform
