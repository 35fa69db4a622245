// Console services over the Win32 console.
#include <windows.h>

#include <atomic>

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

}  // namespace qx::platform
