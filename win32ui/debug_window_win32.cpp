#include <windows.h>

#include "win32ui/win32ui.h"

namespace qx {
namespace {

LogWindow* LogOf(HWND window) {
    return reinterpret_cast<LogWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

void OnCreate(HWND window, const CREATESTRUCTA* create) {
    CentreWindow(window, nullptr);
    auto* log = static_cast<LogWindow*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(log));
    if (log == nullptr) return;
    HWND edit = CreateWindowExA(0, "EDIT", "", kDebugEditStyle, 0, 0, 0, 0, window, nullptr,
                                create->hInstance, nullptr);
    if (edit == nullptr) return;
    log->previousEditProc = reinterpret_cast<void*>(
        SetWindowLongPtrA(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EditSubclassProc)));
    SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(log->font), TRUE);
    // The log grows for as long as the window is open.
    SendMessageA(edit, EM_LIMITTEXT, 0, 0);
    // Both at once: a transfer may be logging from its own thread meanwhile.
    SetLogWindowHandles(*log, window, edit);
}

void ShowClearMenu(HWND window, LPARAM position) {
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    AppendMenuA(menu, MF_STRING, kDebugClearCommand, "Clear");
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, static_cast<short>(LOWORD(position)),
                   static_cast<short>(HIWORD(position)), 0, window, nullptr);
    DestroyMenu(menu);
}

}  // namespace

LRESULT CALLBACK DebugWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lParam));
            return 0;
        case WM_SIZE:
            if (LogWindow* log = LogOf(window); log != nullptr && log->edit != nullptr) {
                MoveWindow(static_cast<HWND>(log->edit), 0, 0, LOWORD(lParam), HIWORD(lParam),
                           TRUE);
            }
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            // From here on the log sink finds no control and writes nothing.
            if (LogWindow* log = LogOf(window); log != nullptr) {
                SetLogWindowHandles(*log, nullptr, nullptr);
            }
            return 0;
        case WM_CONTEXTMENU:
            ShowClearMenu(window, lParam);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == kDebugClearCommand) {
                if (LogWindow* log = LogOf(window); log != nullptr && log->edit != nullptr) {
                    SetWindowTextA(static_cast<HWND>(log->edit), "");
                }
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK EditSubclassProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
    const LogWindow* log = LogOf(GetParent(edit));
    const auto previous =
        log != nullptr ? reinterpret_cast<WNDPROC>(log->previousEditProc) : nullptr;
    switch (message) {
        case WM_CONTEXTMENU:
            // The window's own "Clear" menu instead of the edit control's editing menu.
            SendMessageA(GetParent(edit), WM_CONTEXTMENU, wParam, lParam);
            return 0;
        case WM_CHAR:
            // Only Ctrl+C goes through, so copying works; typing, pasting (Ctrl+V), cutting
            // and backspace would change the log.
            if (wParam != 3) return 0;
            break;
        case WM_KEYDOWN:
            // The editing keys that work without a character: Delete (also Shift+Delete,
            // cut) and Shift+Insert (paste). Ctrl+Insert still copies.
            if (wParam == VK_DELETE) return 0;
            if (wParam == VK_INSERT && (GetKeyState(VK_SHIFT) & 0x8000) != 0) return 0;
            break;
        default:
            break;
    }
    if (previous == nullptr) return DefWindowProcA(edit, message, wParam, lParam);
    return CallWindowProcA(previous, edit, message, wParam, lParam);
}

void ReleaseLogWindow(LogWindow* log) {
    if (log == nullptr) return;
    if (log->window != nullptr) {
        HWND window = static_cast<HWND>(log->window);
        // DestroyWindow works only on the window's own thread; from any other the close
        // message (which destroys at once) is handled there.
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
            DestroyWindow(window);
        } else {
            SendMessageA(window, WM_CLOSE, 0, 0);
        }
        SetLogWindowHandles(*log, nullptr, nullptr);
    }
    if (log->font != nullptr) {
        DeleteObject(static_cast<HFONT>(log->font));
        log->font = nullptr;
    }
}

POINT CentredPosition(const RECT& window, const RECT& reference) {
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    const LONG referenceWidth = reference.right - reference.left;
    const LONG referenceHeight = reference.bottom - reference.top;
    return POINT{reference.left + referenceWidth / 2 - width / 2,
                 reference.top + referenceHeight / 2 - height / 2};
}

void CentreWindow(HWND window, HWND reference) {
    RECT windowRect;
    RECT referenceRect;
    if (!GetWindowRect(window, &windowRect)) return;
    if (!GetWindowRect(reference != nullptr ? reference : GetDesktopWindow(), &referenceRect)) {
        return;
    }
    const POINT position = CentredPosition(windowRect, referenceRect);
    SetWindowPos(window, nullptr, position.x, position.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK ContextForwardProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control, GWLP_USERDATA));
    if (message == WM_CONTEXTMENU) {
        SendMessageA(GetParent(GetParent(control)), kContextForwardMessage, wParam, lParam);
    }
    if (previous == nullptr) return DefWindowProcA(control, message, wParam, lParam);
    return CallWindowProcA(previous, control, message, wParam, lParam);
}

bool InstallContextForward(HWND control) {
    const LONG_PTR previous = GetWindowLongPtrA(control, GWLP_WNDPROC);
    if (previous == 0) return false;
    SetWindowLongPtrA(control, GWLP_USERDATA, previous);
    return SetWindowLongPtrA(control, GWLP_WNDPROC,
                             reinterpret_cast<LONG_PTR>(&ContextForwardProc)) != 0;
}

bool RegisterDebugWindowClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DebugWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kDebugWindowClass;
    if (RegisterClassExA(&windowClass) != 0) return true;
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HFONT CreateDebugFont() {
    // Fixed pitch, so the columns of the packet dumps line up.
    return CreateFontA(kDebugFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       FIXED_PITCH | FF_MODERN, kDebugFontFace);
}

HWND OpenDebugWindow(LogWindow& log, HINSTANCE instance, HWND owner, int showCommand) {
    if (log.window != nullptr) {
        HWND existing = static_cast<HWND>(log.window);
        ShowWindow(existing, showCommand);
        SetForegroundWindow(existing);
        return existing;
    }
    if (!RegisterDebugWindowClass(instance)) return nullptr;
    if (log.font == nullptr) log.font = CreateDebugFont();
    HWND window = CreateWindowExA(0, kDebugWindowClass, kDebugWindowTitle, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, kDebugWindowWidth,
                                  kDebugWindowHeight, owner, nullptr, instance, &log);
    if (window == nullptr) return nullptr;
    if (log.edit == nullptr) {
        // The edit control could not be made: a window that would show nothing.
        DestroyWindow(window);
        return nullptr;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return window;
}

}  // namespace qx
