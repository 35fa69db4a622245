#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "log/log_sink.h"
#include "support/text_lines.h"
#include "win32_test_support.h"
#include "win32ui/win32ui.h"

namespace qx {
namespace {

using test::Instance;
using test::WindowText;

class DebugWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(OpenDebugWindow(log_, Instance(), nullptr, SW_SHOWNORMAL), nullptr);
        test::Pump();
    }
    void TearDown() override { ReleaseLogWindow(&log_); }

    HWND Window() const { return static_cast<HWND>(log_.window); }
    HWND Edit() const { return static_cast<HWND>(log_.edit); }
    std::string Text() const { return WindowText(Edit()); }

    LogWindow log_;
};

TEST_F(DebugWindow, CreationFillsTheRecordAndBuildsTheEditControl) {
    ASSERT_NE(Window(), nullptr);
    ASSERT_NE(Edit(), nullptr);
    EXPECT_EQ(test::ClassOf(Window()), kDebugWindowClass);
    EXPECT_EQ(WindowText(Window()), kDebugWindowTitle);
    EXPECT_EQ(GetParent(Edit()), Window());
    EXPECT_EQ(test::ClassOf(Edit()), "Edit");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(Edit(), GWL_STYLE)) & kDebugEditStyle,
              kDebugEditStyle);
    EXPECT_EQ(GetWindowLongA(Edit(), GWL_STYLE) & ES_READONLY, 0);
    EXPECT_EQ(GetWindowLongPtrA(Edit(), GWLP_ID), 0);
    EXPECT_EQ(reinterpret_cast<void*>(GetWindowLongPtrA(Edit(), GWLP_WNDPROC)),
              reinterpret_cast<void*>(&EditSubclassProc));
    EXPECT_NE(log_.previousEditProc, nullptr);
    ASSERT_NE(log_.font, nullptr);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(Edit(), WM_GETFONT, 0, 0)), log_.font);
    // The 30000-character default limit is lifted.
    EXPECT_GT(static_cast<DWORD>(SendMessageA(Edit(), EM_GETLIMITTEXT, 0, 0)), 0x10000u);

    RECT window;
    RECT desktop;
    GetWindowRect(Window(), &window);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_EQ(window.right - window.left, kDebugWindowWidth);
    EXPECT_EQ(window.bottom - window.top, kDebugWindowHeight);
    const POINT centred = CentredPosition(window, desktop);
    EXPECT_EQ(window.left, centred.x);
    EXPECT_EQ(window.top, centred.y);
}

TEST_F(DebugWindow, OpeningAgainKeepsTheOneWindow) {
    HWND first = Window();
    EXPECT_EQ(OpenDebugWindow(log_, Instance(), nullptr, SW_SHOWNORMAL), first);
    EXPECT_EQ(Window(), first);
}

TEST_F(DebugWindow, LogLinesAreSeparatedByLineBreaksWithNoneBeforeTheFirst) {
    LogMessage(&log_, "QXVorrel: %s %d", "first", 1);
    EXPECT_EQ(Text(), "QXVorrel: first 1");
    LogMessage(&log_, "QXSerial: second");
    const uint8_t bytes[] = {0x41, 0x42, 0x0D};
    LogHexDump(&log_, "QXSerial: Read", bytes, sizeof(bytes));
    EXPECT_EQ(Text(), "QXVorrel: first 1\r\nQXSerial: second\r\nQXSerial: Read\r\n0000: 41 42 0D " +
                          std::string(39, ' ') + "AB.");
}

TEST_F(DebugWindow, ClearEmptiesTheTextAndTheNextLineHasNoBreakBeforeIt) {
    LogMessage(&log_, "one");
    LogMessage(&log_, "two");
    SendMessageA(Window(), WM_COMMAND, kDebugClearCommand, 0);
    EXPECT_EQ(Text(), "");
    LogMessage(&log_, "three");
    EXPECT_EQ(Text(), "three");
}

TEST_F(DebugWindow, OtherCommandsLeaveTheTextAlone) {
    LogMessage(&log_, "kept");
    SendMessageA(Window(), WM_COMMAND, kDebugClearCommand + 1, 0);
    EXPECT_EQ(Text(), "kept");
}

TEST_F(DebugWindow, ClosingTheWindowSwitchesLoggingOff) {
    LogMessage(&log_, "before");
    HWND window = Window();
    HWND edit = Edit();
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(IsWindow(edit));
    EXPECT_EQ(log_.window, nullptr);
    EXPECT_EQ(log_.edit, nullptr);
    // Must return without touching the dead control.
    LogMessage(&log_, "after %d", 1);
    const uint8_t bytes[] = {1, 2, 3};
    LogHexDump(&log_, "QXSerial: Write", bytes, sizeof(bytes));
    EXPECT_EQ(log_.edit, nullptr);

    // Opened again, it starts empty and its first line has no break before it.
    ASSERT_NE(OpenDebugWindow(log_, Instance(), nullptr, SW_SHOWNORMAL), nullptr);
    LogMessage(&log_, "again");
    EXPECT_EQ(Text(), "again");
}

TEST_F(DebugWindow, ARecordWithOnlyTheEditHandleLogsIntoThatControl) {
    // The log sink needs only the edit handle: a holder may hand over just that.
    LogWindow editOnly;
    editOnly.edit = log_.edit;
    LogMessage(&editOnly, "QXVorrel: %s", "edit only");
    const uint8_t bytes[] = {0x41, 0x00};
    LogHexDump(&editOnly, "QXSerial: Read", bytes, sizeof bytes);
    AppendEditText(editOnly.edit, "!", 0);
    EXPECT_EQ(Text(), "QXVorrel: edit only\r\nQXSerial: Read\r\n0000: 41 00 " +
                          std::string(42, ' ') + "A.!");
}

// Characters and editing keys as a user would type them into the control.
struct Typed {
    const char* what;
    UINT message;
    WPARAM wParam;
};

TEST_F(DebugWindow, TypingPastingAndDeletingLeaveTheTextUnchanged) {
    // Something on the clipboard, so a paste would change the text.
    ASSERT_TRUE(OpenClipboard(Window()));
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, 7);
    std::memcpy(GlobalLock(memory), "PASTED", 7);
    GlobalUnlock(memory);
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();

    LogMessage(&log_, "line one");
    LogMessage(&log_, "line two");
    const std::string before = Text();
    const Typed cases[] = {
        {"a letter", WM_CHAR, 'x'},
        {"a blank", WM_CHAR, ' '},
        {"Enter", WM_CHAR, '\r'},
        {"Backspace", WM_CHAR, '\b'},
        {"Ctrl+V", WM_CHAR, 0x16},
        {"Ctrl+X", WM_CHAR, 0x18},
        {"Ctrl+Z", WM_CHAR, 0x1A},
        {"Delete", WM_KEYDOWN, VK_DELETE},
        {"a high character", WM_CHAR, 0xE9},
    };
    for (const Typed& typed : cases) {
        SCOPED_TRACE(typed.what);
        // The whole text selected: any edit would replace all of it.
        SendMessageA(Edit(), EM_SETSEL, 0, -1);
        SendMessageA(Edit(), typed.message, typed.wParam, 1);
        EXPECT_EQ(Text(), before);
    }
}

TEST_F(DebugWindow, CtrlCCopiesTheSelection) {
    LogMessage(&log_, "copy me");
    ASSERT_TRUE(OpenClipboard(Window()));
    EmptyClipboard();
    CloseClipboard();
    SendMessageA(Edit(), EM_SETSEL, 0, 4);
    SendMessageA(Edit(), WM_CHAR, 3, 1);
    std::string copied;
    ASSERT_TRUE(OpenClipboard(Window()));
    if (HANDLE data = GetClipboardData(CF_TEXT); data != nullptr) {
        copied = static_cast<const char*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    EXPECT_EQ(copied, "copy");
    EXPECT_EQ(Text(), "copy me");
}

TEST_F(DebugWindow, EditControlFillsTheClientAreaAfterEveryResize) {
    const SIZE sizes[] = {{500, 300}, {800, 600}, {200, 120}, {641, 401}};
    for (const SIZE& size : sizes) {
        SCOPED_TRACE(std::to_string(size.cx) + "x" + std::to_string(size.cy));
        SetWindowPos(Window(), nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
        RECT client;
        GetClientRect(Window(), &client);
        const RECT edit = test::ChildRect(Edit());
        EXPECT_EQ(edit.left, 0);
        EXPECT_EQ(edit.top, 0);
        EXPECT_EQ(edit.right, client.right);
        EXPECT_EQ(edit.bottom, client.bottom);
        EXPECT_GT(client.right, 0);
    }
}

// Watches the debug window for the popup menu it tracks, reads it and closes it.
struct MenuSpy {
    static inline WNDPROC previous = nullptr;
    static inline int items = -1;
    static inline UINT firstId = 0;
    static inline std::string firstText;

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITMENUPOPUP) {
            HMENU menu = reinterpret_cast<HMENU>(wParam);
            items = GetMenuItemCount(menu);
            firstId = GetMenuItemID(menu, 0);
            char text[32] = {};
            GetMenuStringA(menu, 0, text, sizeof(text), MF_BYPOSITION);
            firstText = text;
            // Closes the menu once its loop runs.
            PostMessageA(window, WM_CANCELMODE, 0, 0);
        }
        return CallWindowProcA(previous, window, message, wParam, lParam);
    }
};

TEST_F(DebugWindow, ContextMenuOnTheEditControlOffersClear) {
    MenuSpy::previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(Window(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MenuSpy::Proc)));
    SetForegroundWindow(Window());
    RECT rect;
    GetWindowRect(Edit(), &rect);
    // A right-click's request arrives at the edit control; it returns once the menu closes.
    const LRESULT result = SendMessageA(Edit(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(Edit()),
                                        MAKELPARAM(rect.left + 20, rect.top + 20));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(MenuSpy::items, 1);
    EXPECT_EQ(MenuSpy::firstId, kDebugClearCommand);
    EXPECT_EQ(MenuSpy::firstText, "Clear");
}

TEST_F(DebugWindow, LinesLoggedFromAnotherThreadArriveInOrder) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 20; ++i) LogMessage(&log_, "worker %d", i);
        done = true;
    });
    // The window's thread keeps handling the edit control's messages meanwhile.
    EXPECT_TRUE(test::WaitUntil([&] { return done.load(); }, 20000));
    worker.join();
    std::string expected;
    for (int i = 0; i < 20; ++i) expected += (i ? "\r\nworker " : "worker ") + std::to_string(i);
    EXPECT_EQ(Text(), expected);
}

// Handles what other threads send to this one until `done` holds; false after `timeoutMs`.
bool ServeUntil(const std::function<bool()>& done, int timeoutMs) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(timeoutMs);
    while (!done()) {
        if (static_cast<LONG>(GetTickCount() - end) > 0) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        test::Pump();
    }
    return true;
}

// What the worker below logs per round, in order: each line in one piece.
bool IsWorkerLine(const std::string& line, size_t position) {
    switch (position % 4) {
        case 0:
            return line.rfind("worker ", 0) == 0;
        case 1:
            return line == "QXSerial: Read";
        case 2:
            return line == "0000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ................";
        default:
            return line == "0010: 10 11 12 13 " + std::string(36, ' ') + "....";
    }
}

// The stand-in's case: the user closes and opens the debug window while a transfer logs on
// its worker thread. The record changes under the logging thread's feet; no line may go to
// a half-made record, and neither side may wait for the other for good.
TEST(DebugWindowReopen, ReopeningWhileAnotherThreadLogsKeepsEveryLineWhole) {
    LogWindow log;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<int> rounds{0};
    std::thread worker([&] {
        uint8_t bytes[20];
        for (int i = 0; i < 20; ++i) bytes[i] = static_cast<uint8_t>(i);
        for (int i = 0; !stop.load(); ++i) {
            LogMessage(&log, "worker %d", i);
            LogHexDump(&log, "QXSerial: Read", bytes, sizeof bytes);
            rounds.fetch_add(1);
        }
        finished = true;
    });
    for (int open = 0; open < 12; ++open) {
        SCOPED_TRACE("opening " + std::to_string(open));
        HWND window = OpenDebugWindow(log, Instance(), nullptr, SW_SHOWNOACTIVATE);
        EXPECT_NE(window, nullptr);
        if (window == nullptr) break;
        const int seen = rounds.load();
        EXPECT_TRUE(ServeUntil([&] { return rounds.load() > seen + 2; }, 20000));
        const std::string text = WindowText(static_cast<HWND>(log.edit));
        std::vector<std::string> lines = qxtest::SplitLines(text);
        // A line goes in as its break and then its text: read between the two, the text
        // ends in a break still waiting for its line.
        if (lines.size() > 1 && lines.back().empty()) lines.pop_back();
        // The window opened between two log calls: at a message or at a dump's label.
        const size_t first = lines.front() == "QXSerial: Read" ? 1 : 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(IsWorkerLine(lines[i], first + i)) << i << ": " << lines[i];
        }
        EXPECT_GE(lines.size(), 8u);
        // Closed both ways the stand-in closes it: by the user and at the end.
        if (open % 2 == 0) {
            SendMessageA(window, WM_CLOSE, 0, 0);
        } else {
            ReleaseLogWindow(&log);
        }
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(log.edit, nullptr);
    }
    stop = true;
    EXPECT_TRUE(ServeUntil([&] { return finished.load(); }, 20000));
    worker.join();
    ReleaseLogWindow(&log);
}

TEST(ReleaseLogWindow, DestroysTheWindowThenDeletesTheFont) {
    LogWindow log;
    ASSERT_NE(OpenDebugWindow(log, Instance(), nullptr, SW_SHOWNORMAL), nullptr);
    HWND window = static_cast<HWND>(log.window);
    HGDIOBJ font = log.font;
    ASSERT_NE(GetObjectType(font), 0u);
    ReleaseLogWindow(&log);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(GetObjectType(font), 0u);
    EXPECT_EQ(log.window, nullptr);
    EXPECT_EQ(log.edit, nullptr);
    EXPECT_EQ(log.font, nullptr);
}

TEST(ReleaseLogWindow, WithoutAWindowDeletesOnlyTheFont) {
    LogWindow log;
    log.font = CreateDebugFont();
    ASSERT_NE(log.font, nullptr);
    HGDIOBJ font = log.font;
    ReleaseLogWindow(&log);
    EXPECT_EQ(GetObjectType(font), 0u);
    EXPECT_EQ(log.font, nullptr);
    ReleaseLogWindow(&log);  // nothing left: no effect
    ReleaseLogWindow(nullptr);
}

TEST(ReleaseLogWindow, WorksFromAnotherThread) {
    LogWindow log;
    ASSERT_NE(OpenDebugWindow(log, Instance(), nullptr, SW_SHOWNORMAL), nullptr);
    HWND window = static_cast<HWND>(log.window);
    std::atomic<bool> done{false};
    std::thread other([&] {
        ReleaseLogWindow(&log);
        done = true;
    });
    EXPECT_TRUE(test::WaitUntil([&] { return done.load(); }));
    other.join();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(log.edit, nullptr);
}

struct CentreCase {
    RECT window;
    RECT reference;
    POINT expected;
};

TEST(CentreWindow, PositionIsTheHalfDifferenceRoundedTowardZero) {
    const CentreCase cases[] = {
        {{0, 0, 200, 100}, {0, 0, 1024, 768}, {412, 334}},
        // Odd sizes: each half is cut, not the difference.
        {{0, 0, 201, 101}, {0, 0, 1025, 769}, {412, 334}},
        {{5, 5, 6, 6}, {0, 0, 3, 3}, {1, 1}},
        // Reference left of and above the origin.
        {{0, 0, 51, 31}, {-101, -51, 0, 0}, {-76, -41}},
        // Window larger than the reference: it overhangs on both sides.
        {{0, 0, 300, 300}, {100, 100, 201, 151}, {0, -25}},
        // A mirrored reference (negative width) halves toward zero as well.
        {{0, 0, 10, 10}, {0, 0, -7, -7}, {-8, -8}},
    };
    for (const CentreCase& c : cases) {
        const POINT p = CentredPosition(c.window, c.reference);
        EXPECT_EQ(p.x, c.expected.x) << c.reference.left << "," << c.reference.right;
        EXPECT_EQ(p.y, c.expected.y) << c.reference.top << "," << c.reference.bottom;
    }
}

TEST(CentreWindow, MovesOverTheReferenceWithoutResizingOrActivating) {
    HWND reference = CreateWindowExA(0, "STATIC", "reference", WS_POPUP | WS_VISIBLE, 101, 53, 401,
                                     301, nullptr, nullptr, Instance(), nullptr);
    HWND window = CreateWindowExA(0, "STATIC", "window", WS_POPUP | WS_VISIBLE, 0, 0, 120, 61,
                                  nullptr, nullptr, Instance(), nullptr);
    ASSERT_NE(reference, nullptr);
    ASSERT_NE(window, nullptr);
    SetForegroundWindow(reference);
    test::Pump();
    HWND activeBefore = GetActiveWindow();

    CentreWindow(window, reference);
    RECT rect;
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.left, 101 + 401 / 2 - 120 / 2);
    EXPECT_EQ(rect.top, 53 + 301 / 2 - 61 / 2);
    EXPECT_EQ(rect.right - rect.left, 120);
    EXPECT_EQ(rect.bottom - rect.top, 61);
    EXPECT_EQ(GetActiveWindow(), activeBefore);

    CentreWindow(window, nullptr);
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.left, desktop.left + (desktop.right - desktop.left) / 2 - 60);
    EXPECT_EQ(rect.top, desktop.top + (desktop.bottom - desktop.top) / 2 - 30);
    DestroyWindow(window);
    DestroyWindow(reference);
}

// Windows of three levels for ContextForwardProc: each records what reaches it.
struct Recorded {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Recorded> g_recorded;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CONTEXTMENU || message >= WM_USER) {
        g_recorded.push_back({window, message, wParam, lParam});
        return message == WM_USER + 1 ? 77 : 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST(ContextForwardProc, ContextMenuAlsoReachesTheGrandparent) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &RecordingProc;
    windowClass.hInstance = Instance();
    windowClass.lpszClassName = "QXTESTRECORDING";
    RegisterClassA(&windowClass);
    HWND top = CreateWindowExA(0, "QXTESTRECORDING", "top", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                               nullptr, nullptr, Instance(), nullptr);
    HWND middle = CreateWindowExA(0, "QXTESTRECORDING", "", WS_CHILD | WS_VISIBLE, 0, 0, 200, 100,
                                  top, nullptr, Instance(), nullptr);
    HWND control = CreateWindowExA(0, "QXTESTRECORDING", "", WS_CHILD | WS_VISIBLE, 0, 0, 50, 20,
                                   middle, nullptr, Instance(), nullptr);
    ASSERT_NE(control, nullptr);
    ASSERT_TRUE(InstallContextForward(control));
    EXPECT_EQ(GetWindowLongPtrA(control, GWLP_USERDATA),
              reinterpret_cast<LONG_PTR>(&RecordingProc));

    g_recorded.clear();
    const LPARAM position = MAKELPARAM(static_cast<WORD>(-5), 20);
    SendMessageA(control, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(control), position);
    ASSERT_EQ(g_recorded.size(), 2u);
    EXPECT_EQ(g_recorded[0].window, top);
    EXPECT_EQ(g_recorded[0].message, kContextForwardMessage);
    EXPECT_EQ(g_recorded[0].wParam, reinterpret_cast<WPARAM>(control));
    EXPECT_EQ(g_recorded[0].lParam, position);
    EXPECT_EQ(g_recorded[1].window, control);
    EXPECT_EQ(g_recorded[1].message, static_cast<UINT>(WM_CONTEXTMENU));
    EXPECT_EQ(g_recorded[1].lParam, position);

    // Anything else goes to the previous procedure only, with its result.
    g_recorded.clear();
    EXPECT_EQ(SendMessageA(control, WM_USER + 1, 4, 5), 77);
    ASSERT_EQ(g_recorded.size(), 1u);
    EXPECT_EQ(g_recorded[0].window, control);
    DestroyWindow(top);
}

}  // namespace
}  // namespace qx
