#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "win32_test_support.h"
#include "win32ui/win32ui.h"

namespace qx {
namespace {

using test::Instance;

constexpr wchar_t kTitle[] = L"Name the device";

// Work done on the dialog's own thread once it is up (from a thread timer its modal loop
// runs); it must end the dialog. A watchdog cancels a dialog left open.
std::function<void(HWND)> g_onShown;
bool g_watchdogFired = false;

BOOL CALLBACK FindPrompt(HWND window, LPARAM out) {
    if (test::ClassOf(window) == "#32770" && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(out) = window;
        return FALSE;
    }
    return TRUE;
}

// The open dialog of this thread.
HWND OpenPrompt() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindPrompt, reinterpret_cast<LPARAM>(&found));
    return found;
}

void CALLBACK Watchdog(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (HWND dialog = OpenPrompt(); dialog != nullptr) {
        g_watchdogFired = true;
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    }
}

void CALLBACK Tick(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND dialog = OpenPrompt();
    if (dialog == nullptr) return;
    KillTimer(nullptr, timer);
    SetTimer(nullptr, 0, 10000, &Watchdog);
    g_onShown(dialog);
}

INT_PTR RunDriven(TextPromptRequest& request, std::function<void(HWND)> onShown) {
    g_onShown = std::move(onShown);
    g_watchdogFired = false;
    SetTimer(nullptr, 0, 30, &Tick);
    const INT_PTR result = RunTextPromptDialog(Instance(), nullptr, request);
    EXPECT_FALSE(g_watchdogFired) << "the dialog was left open";
    return result;
}

// True when `upper` lies above `lower` in the z-order.
bool IsAbove(HWND upper, HWND lower) {
    for (HWND window = GetWindow(upper, GW_HWNDNEXT); window != nullptr;
         window = GetWindow(window, GW_HWNDNEXT)) {
        if (window == lower) return true;
    }
    return false;
}

struct Placement {
    RECT client{};
    RECT edit{};
    RECT ok{};
    RECT cancel{};
};

Placement Measure(HWND dialog) {
    Placement p;
    GetClientRect(dialog, &p.client);
    p.edit = test::ChildRect(GetDlgItem(dialog, kTextPromptEditId));
    p.ok = test::ChildRect(GetDlgItem(dialog, IDOK));
    p.cancel = test::ChildRect(GetDlgItem(dialog, IDCANCEL));
    return p;
}

void ExpectLayout(const Placement& p) {
    // Cancel at the bottom left, 3 pixels in; OK 3 pixels right of it, on the same line.
    EXPECT_EQ(p.cancel.left, 3);
    EXPECT_EQ(p.cancel.right - p.cancel.left, 90);
    EXPECT_EQ(p.cancel.bottom - p.cancel.top, 22);
    EXPECT_EQ(p.cancel.bottom, p.client.bottom - 3);
    EXPECT_EQ(p.ok.left, p.cancel.right + 3);
    EXPECT_EQ(p.ok.top, p.cancel.top);
    EXPECT_EQ(p.ok.right - p.ok.left, 50);
    // The edit control stays where it was made.
    EXPECT_EQ(p.edit.left, 10);
    EXPECT_EQ(p.edit.top, 10);
    EXPECT_EQ(p.edit.right - p.edit.left, 240);
    EXPECT_EQ(p.edit.bottom - p.edit.top, 18);
}

TEST(TextPromptDialog, BuildsItsControlsSizesCentresAndLaysOut) {
    wchar_t buffer[16] = L"";
    TextPromptRequest request{0, buffer, 16, kTitle};
    std::wstring title;
    RECT window{};
    Placement first;
    Placement resized;
    LONG editExStyle = 0;
    std::string editClass, okText, cancelText;
    const INT_PTR result = RunDriven(request, [&](HWND dialog) {
        wchar_t text[64] = {};
        GetWindowTextW(dialog, text, 64);
        title = text;
        GetWindowRect(dialog, &window);
        first = Measure(dialog);
        editClass = test::ClassOf(GetDlgItem(dialog, kTextPromptEditId));
        editExStyle = GetWindowLongW(GetDlgItem(dialog, kTextPromptEditId), GWL_EXSTYLE);
        okText = test::ItemText(dialog, IDOK);
        cancelText = test::ItemText(dialog, IDCANCEL);
        SetWindowPos(dialog, nullptr, 0, 0, 400, 237, SWP_NOMOVE | SWP_NOZORDER);
        resized = Measure(dialog);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(title, kTitle);
    EXPECT_EQ(window.right - window.left, kTextPromptWidth);
    EXPECT_EQ(window.bottom - window.top, kTextPromptHeight);
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    const POINT centred = CentredPosition(window, desktop);
    EXPECT_EQ(window.left, centred.x);
    EXPECT_EQ(window.top, centred.y);
    EXPECT_EQ(editClass, "Edit");
    EXPECT_NE(editExStyle & WS_EX_CLIENTEDGE, 0);
    EXPECT_EQ(okText, "OK");
    EXPECT_EQ(cancelText, "Cancel");
    {
        SCOPED_TRACE("as opened");
        ExpectLayout(first);
    }
    {
        SCOPED_TRACE("after a resize");
        EXPECT_GT(resized.client.bottom, first.client.bottom);
        ExpectLayout(resized);
    }
}

TEST(TextPromptDialog, RaiseTimerRunsAndLiftsTheDialogAboveOtherWindows) {
    wchar_t buffer[16] = L"";
    TextPromptRequest request{0, buffer, 16, kTitle};
    bool timerExisted = false;
    bool coverAbove = false;
    bool dialogAbove = false;
    RECT before{}, after{};
    RunDriven(request, [&](HWND dialog) {
        // The raise timer (id 0) runs on the dialog; killing it proves it was there.
        timerExisted = KillTimer(dialog, 0) != FALSE;
        HWND cover = CreateWindowExW(0, L"STATIC", L"cover", WS_POPUP | WS_VISIBLE, 0, 0, 1024, 768,
                                     nullptr, nullptr, Instance(), nullptr);
        SetWindowPos(cover, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        coverAbove = IsAbove(cover, dialog);
        GetWindowRect(dialog, &before);
        SendMessageW(dialog, WM_TIMER, 0, 0);
        GetWindowRect(dialog, &after);
        dialogAbove = IsAbove(dialog, cover);
        DestroyWindow(cover);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_TRUE(timerExisted);
    EXPECT_TRUE(coverAbove);
    EXPECT_TRUE(dialogAbove);
    EXPECT_TRUE(EqualRect(&before, &after));
}

TEST(TextPromptDialog, OkReturnsTheEntryAsWideTextWithItsLength) {
    struct Case {
        const char* what;
        std::wstring entry;
        uint32_t capacity;
        std::wstring expected;
        uint32_t length;
    };
    const Case cases[] = {
        {"plain ASCII", L"Quillon 42", 64, L"Quillon 42", 10},
        {"empty", L"", 64, L"", 0},
        // The length never exceeds the wide characters written: not the UTF-8 bytes (7, 5).
        {"accented", L"Gr\u00f6\u00dfe", 64, L"Gr\u00f6\u00dfe", 5},
        {"outside the BMP", L"A\U0001F600", 64, L"A\U0001F600", 3},
        // A short buffer keeps what fits, terminated, and the length says what that is.
        {"cut to the capacity", L"abcdef", 4, L"abc", 3},
        {"20 characters into 10", std::wstring(20, L'x'), 10, std::wstring(9, L'x'), 9},
        {"capacity 1", L"abcdef", 1, L"", 0},
        // A cut never leaves half a surrogate pair behind.
        {"cut inside a pair", L"A\U0001F600B", 3, L"A", 1},
        {"at most 255 characters", std::wstring(300, L'a'), 300, std::wstring(255, L'a'), 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<wchar_t> buffer(c.capacity + 8, L'#');
        TextPromptRequest request{0, buffer.data(), c.capacity, kTitle};
        const INT_PTR result = RunDriven(request, [&](HWND dialog) {
            SetDlgItemTextW(dialog, kTextPromptEditId, c.entry.c_str());
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(std::wstring(buffer.data()), c.expected);
        EXPECT_EQ(request.capacity, c.length);
        // Nothing written past the capacity.
        for (size_t i = c.capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], L'#') << i;
    }
}

TEST(TextPromptDialog, CancelLeavesTheRequestUntouched) {
    struct Case {
        const char* what;
        UINT message;
        WPARAM wParam;
    };
    const Case cases[] = {
        {"Cancel button", WM_COMMAND, IDCANCEL},
        {"close box", WM_CLOSE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t buffer[8] = L"before";
        TextPromptRequest request{0xDEADBEEF, buffer, 8, kTitle};
        const INT_PTR result = RunDriven(request, [&](HWND dialog) {
            SetDlgItemTextW(dialog, kTextPromptEditId, L"typed");
            PostMessageW(dialog, c.message, c.wParam, 0);
        });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::wstring(buffer), L"before");
        EXPECT_EQ(request.capacity, 8u);
        EXPECT_EQ(request.unused, 0xDEADBEEFu);
        EXPECT_EQ(request.title, kTitle);
    }
}

}  // namespace
}  // namespace qx
