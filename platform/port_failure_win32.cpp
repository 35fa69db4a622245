// Why a COM port cannot be used, from the Win32 error codes of CreateFileA and GetCommState.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/net_socket.h"
#include "platform/port_failure.h"

namespace qx::platform {
namespace {

thread_local PortFailure g_record;

bool IsComName(const std::string& name) {
    return ComNameNumber(name).has_value();
}

PortProblem OfOpenError(DWORD error, const std::string& name) {
    switch (error) {
        case ERROR_SUCCESS:
            return PortProblem::None;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return PortProblem::NoSuchPort;
        // A COM port opened by another program answers "access denied", not a sharing
        // violation.
        case ERROR_ACCESS_DENIED:
            return IsComName(name) ? PortProblem::InUse : PortProblem::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return PortProblem::InUse;
        default:
            return PortProblem::Other;
    }
}

PortProblem OfStateError(DWORD error) {
    switch (error) {
        case ERROR_INVALID_FUNCTION:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_PARAMETER:
            return PortProblem::NotSerial;
        default:
            return PortProblem::Other;
    }
}

std::string SystemMessage(DWORD error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    char code[32];
    std::snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
    return message.empty() ? std::string(code) : std::string(code) + ": " + message;
}

}  // namespace

void BeginPortRecord(const char* name, const std::string& path) {
    g_record = PortFailure{};
    g_record.name = name != nullptr ? name : "";
    g_record.path = path;
}

void NoteOpenError(uint32_t osError) {
    g_record.problem = OfOpenError(osError, g_record.name);
    g_record.osError = osError;
}

void NoteStateError(uint32_t osError) {
    g_record.problem = OfStateError(osError);
    g_record.osError = osError;
}

PortFailure LastPortFailure() {
    return g_record;
}

PortFailure TryPort(const char* name) {
    if (const std::string url = NetPortUrl(name); !url.empty() || LooksLikeNetPortName(name))
        return TryNetPort(name, url.empty() ? name : url);
    PortFailure result;
    result.name = name != nullptr ? name : "";
    result.path = result.name;
    HANDLE handle = CreateFileA(result.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result.osError = GetLastError();
        result.problem = OfOpenError(result.osError, result.name);
        return result;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        result.osError = GetLastError();
        result.problem = OfStateError(result.osError);
    }
    CloseHandle(handle);
    return result;
}

std::string DescribePortFailure(const PortFailure& failure) {
    if (failure.problem != PortProblem::None && LooksLikeNetPortName(failure.path.c_str()))
        return DescribeNetPortFailure(failure);
    switch (failure.problem) {
        case PortProblem::None:
            return "opens";
        case PortProblem::NoSuchPort:
            return "no such port (" + failure.path + " does not exist)";
        case PortProblem::AccessDenied:
            return "permission denied (" + SystemMessage(failure.osError) + ")";
        case PortProblem::InUse:
            return "in use by another program";
        case PortProblem::NotSerial:
            return "not a serial device (" + failure.path +
                   " is no communications port: " + SystemMessage(failure.osError) + ")";
        case PortProblem::Other:
            break;
    }
    return "cannot be opened (" + SystemMessage(failure.osError) + ")";
}

}  // namespace qx::platform
