// Console services over the Win32 console and the registry.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"

namespace qx::platform {
namespace {

std::atomic<InterruptHandler> g_handler{nullptr};

// Runs on a thread the system creates for the event.
BOOL WINAPI ConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    const InterruptHandler handler = g_handler.load();
    return handler != nullptr && handler() ? TRUE : FALSE;
}

HANDLE StreamHandle(ConsoleStream stream) {
    return GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

int ComNumber(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0) return -1;
    char* end = nullptr;
    const long number = std::strtol(name + 3, &end, 10);
    if (end == name + 3 || *end != '\0' || number < 0 || number > 255) return -1;
    return static_cast<int>(number);
}

void AddPort(std::vector<SerialPortEntry>& ports, int number, const char* source) {
    for (const auto& entry : ports)
        if (entry.comNumber == number) return;
    SerialPortEntry entry;
    entry.comNumber = number;
    entry.name = "COM" + std::to_string(number);
    entry.path = "\\\\.\\" + entry.name;
    entry.source = source;
    ports.push_back(std::move(entry));
}

void FromRegistry(std::vector<SerialPortEntry>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD valueNameLength = sizeof valueName;
        char data[64];
        DWORD dataLength = sizeof data - 1;
        DWORD type = 0;
        const LONG status = RegEnumValueA(key, index, valueName, &valueNameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataLength);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataLength] = '\0';
        const int number = ComNumber(data);
        if (number >= 0) AddPort(ports, number, "registry");
    }
    RegCloseKey(key);
}

// Every DOS device name of the system, COM ports among them, in use or not; it also sees
// ports some virtual port drivers leave out of the registry.
void FromDosDevices(std::vector<SerialPortEntry>& ports) {
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (length == 0) return;
    for (const char* name = names.data(); name < names.data() + length && *name != '\0';
         name += std::strlen(name) + 1) {
        const int number = ComNumber(name);
        if (number >= 0) AddPort(ports, number, "DOS device");
    }
}

// The numbers nothing listed yet: a missing port fails to open at once; links Wine keeps in
// its dosdevices folder are found only this way.
void FromOpening(std::vector<SerialPortEntry>& ports) {
    for (int number = 1; number <= 255; ++number) {
        const bool listed = std::any_of(ports.begin(), ports.end(), [number](const auto& entry) {
            return entry.comNumber == number;
        });
        if (listed) continue;
        const std::string path = "\\\\.\\COM" + std::to_string(number);
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            AddPort(ports, number, "open");
        } else if (GetLastError() == ERROR_ACCESS_DENIED) {
            AddPort(ports, number, "open (in use)");
        }
    }
}

}  // namespace

bool SetInterruptHandler(InterruptHandler handler) {
    g_handler.store(handler);
    return SetConsoleCtrlHandler(ConsoleControl, TRUE) != 0;
}

bool IsTerminal(ConsoleStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(StreamHandle(stream), &mode) != 0;
}

uint32_t TerminalColumns(ConsoleStream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(StreamHandle(stream), &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<uint32_t>(columns) : 0;
}

std::vector<SerialPortEntry> ListSerialPorts() {
    std::vector<SerialPortEntry> ports;
    FromRegistry(ports);
    FromDosDevices(ports);
    FromOpening(ports);
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return a.comNumber < b.comNumber;
    });
    return ports;
}

}  // namespace qx::platform
