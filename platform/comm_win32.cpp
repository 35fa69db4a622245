// COM ports on Windows: the Win32 communications API, synchronous handles.
#include <windows.h>

#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/net_socket.h"
#include "platform/port_failure.h"

namespace qx::platform {

namespace {

// The devices speak a binary protocol. Another program may have left the port taking 0x11
// and 0x13 for flow control, dropping nulls, replacing or refusing bytes with a parity or
// framing error, ignoring input while DSR is low, or sending two stop bits: a port starts
// without all that. What the open then sets on top is the caller's business.
void MakeBinarySafe(DCB& dcb) {
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fParity = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.StopBits = ONESTOPBIT;
}

}  // namespace

OsHandle CommOpen(const char* name) {
    // A network port, named by its URL or through the COM map.
    if (const std::string url = NetPortUrl(name); !url.empty()) {
        BeginPortRecord(name, url);
        const OsHandle port = NetOpen(url.c_str());
        if (port == InvalidHandle()) NoteOpenError(GetLastError());
        return port;
    }
    if (LooksLikeNetPortName(name)) {
        // A mistyped URL: no device path looks like one.
        BeginPortRecord(name, name);
        SetNetFailure(NetFailure::BadName);
        NoteOpenError(GetLastError());
        return InvalidHandle();
    }
    BeginPortRecord(name, name != nullptr ? name : "");
    if (name == nullptr) {
        NoteOpenError(ERROR_FILE_NOT_FOUND);
        return InvalidHandle();
    }
    HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        NoteOpenError(GetLastError());
        return handle;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // Not a communications device (a plain file): it opens, and the state calls fail on it.
    if (!GetCommState(handle, &dcb)) return handle;
    MakeBinarySafe(dcb);
    if (!SetCommState(handle, &dcb)) {
        // A line that may swallow bytes is no line for the devices.
        const DWORD error = GetLastError();
        CloseHandle(handle);
        NoteOpenError(error);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool CommClose(OsHandle handle) {
    if (IsNetHandle(handle)) return NetClose(handle);
    return CloseHandle(handle) != FALSE;
}

bool CommGetState(OsHandle handle, DCB* dcb) {
    if (IsNetHandle(handle)) return NetGetState(handle, dcb);
    if (GetCommState(handle, dcb) != FALSE) return true;
    NoteStateError(GetLastError());
    return false;
}

bool CommSetState(OsHandle handle, DCB* dcb) {
    if (IsNetHandle(handle)) return NetSetState(handle, dcb);
    return SetCommState(handle, dcb) != FALSE;
}

bool CommSetup(OsHandle handle, uint32_t inQueue, uint32_t outQueue) {
    if (IsNetHandle(handle)) return NetSetup(handle, inQueue, outQueue);
    return SetupComm(handle, inQueue, outQueue) != FALSE;
}

bool CommGetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    if (IsNetHandle(handle)) return NetGetTimeouts(handle, timeouts);
    return GetCommTimeouts(handle, timeouts) != FALSE;
}

bool CommSetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    if (IsNetHandle(handle)) return NetSetTimeouts(handle, timeouts);
    return SetCommTimeouts(handle, timeouts) != FALSE;
}

bool CommPurge(OsHandle handle, uint32_t flags) {
    if (IsNetHandle(handle)) return NetPurge(handle, flags);
    return PurgeComm(handle, flags) != FALSE;
}

bool CommRead(OsHandle handle, void* buffer, uint32_t count, uint32_t* done) {
    if (IsNetHandle(handle)) return NetRead(handle, buffer, count, done);
    DWORD moved = 0;
    const BOOL ok = ReadFile(handle, buffer, count, &moved, nullptr);
    if (done != nullptr) *done = moved;
    return ok != FALSE;
}

bool CommWrite(OsHandle handle, const void* buffer, uint32_t count, uint32_t* done) {
    if (IsNetHandle(handle)) return NetWrite(handle, buffer, count, done);
    DWORD moved = 0;
    const BOOL ok = WriteFile(handle, buffer, count, &moved, nullptr);
    if (done != nullptr) *done = moved;
    return ok != FALSE;
}

std::string ResolveComName(const char* name) {
    return name == nullptr ? std::string() : name;
}

}  // namespace qx::platform
