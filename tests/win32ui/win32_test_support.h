// Helpers for driving real windows in tests: pumping, waiting, finding windows, key input.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qx::test {

inline HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

// Handles whatever is queued for this thread.
inline void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Polls `done` (pumping this thread's messages) until it holds or `timeoutMs` passes.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Pump();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(10);
    }
}

inline std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(window, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

inline std::string ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item != nullptr ? WindowText(item) : std::string("<no control>");
}

inline std::wstring ItemTextW(HWND dialog, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

inline std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

// A rectangle of a child in its parent's client coordinates.
inline RECT ChildRect(HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The standard dialog-class window titled `title`, from any thread of this process.
inline HWND FindDialog(const char* title) {
    return FindWindowA("#32770", title);
}

inline HWND WaitForDialog(const char* title, int timeoutMs = 5000) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindDialog(title)) != nullptr && IsWindowVisible(found); },
              timeoutMs);
    return found;
}

// Presses (or releases) keys through the system's input queue, as a keyboard would.
inline void SendKeys(const std::vector<WORD>& keys, bool release) {
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(key, MAPVK_VK_TO_VSC));
        const bool extended =
            (key >= VK_PRIOR && key <= VK_DOWN) || key == VK_INSERT || key == VK_DELETE;
        input.ki.dwFlags = (extended ? KEYEVENTF_EXTENDEDKEY : 0) | (release ? KEYEVENTF_KEYUP : 0);
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

inline void PressAndRelease(WORD key) {
    SendKeys({key}, false);
    SendKeys({key}, true);
}

}  // namespace qx::test
