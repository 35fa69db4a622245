#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "win32_test_support.h"
#include "win32ui/win32ui.h"

namespace qx {
namespace {

using test::Instance;

// The keyboard layout's own name for a key's scan code.
std::string RawName(UINT virtualKey, bool extended) {
    const UINT scanCode = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC) | (extended ? 0x100 : 0);
    char name[64] = {};
    GetKeyNameTextA(static_cast<LONG>(scanCode << 16), name, sizeof(name));
    return name;
}

// The name capitalised: what the dialog should show for the key.
std::string LayoutName(UINT virtualKey, bool extended = false) {
    std::string text = RawName(virtualKey, extended);
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        text[i] = static_cast<char>(i == 0 ? std::toupper(c) : std::tolower(c));
    }
    return text;
}

std::string Ctrl() {
    return LayoutName(VK_CONTROL) + " + ";
}
std::string Alt() {
    return LayoutName(VK_MENU) + " + ";
}
std::string Shift() {
    return LayoutName(VK_SHIFT) + " + ";
}

std::string Text(const KeyCombo& combo) {
    char text[100] = {};
    EXPECT_EQ(KeyComboText(&combo, text, sizeof(text)), 1);
    return text;
}

TEST(KeyComboNames, ModifierNamesComeFromTheLayout) {
    EXPECT_EQ(LayoutName(VK_SHIFT), "Shift");
    EXPECT_EQ(LayoutName(VK_F5), "F5");
    EXPECT_FALSE(LayoutName(VK_CONTROL).empty());
    EXPECT_FALSE(LayoutName(VK_MENU).empty());
}

TEST(KeyComboText, ModifiersInFixedOrderThenTheKey) {
    struct Case {
        KeyCombo combo;
        std::string expected;
    };
    const Case cases[] = {
        {{0x09, 0, 'C', {}}, Ctrl() + "C"},
        // A character code (bit 0 clear) is shown as the character itself.
        {{0x08, 0, 'C', {}}, Ctrl() + "C"},
        {{0x00, 0, 'x', {}}, "x"},
        {{0x04, 0, '#', {}}, Shift() + "#"},
        {{0x1D, 0, VK_F5, {}}, Ctrl() + Alt() + Shift() + "F5"},
        {{0x15, 0, VK_F5, {}}, Alt() + Shift() + "F5"},
        {{0x01, 0, VK_DELETE, {}}, "Delete"},
        {{0x01, 0, VK_HOME, {}}, "Home"},
        // Bits the dialog does not use change nothing.
        {{0xE9, 0xFF, 'C', {0xFF, 0xFF}}, Ctrl() + "C"},
        {{0x00, 0, 0, {}}, ""},
        {{0x0C, 0, 0, {}}, Ctrl() + Shift()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Text(c.combo), c.expected)
            << "flags " << int(c.combo.flags) << " key " << c.combo.key;
    }
}

TEST(KeyComboText, OutputFollowsTheCopyRule) {
    const KeyCombo combo{0x09, 0, 'C', {}};
    const std::string full = Ctrl() + "C";

    char text[8];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(KeyComboText(&combo, text, 5), 1);
    EXPECT_EQ(std::string(text), full.substr(0, 4));

    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(KeyComboText(&combo, text, 0), 1);
    EXPECT_EQ(text[0], '#');

    EXPECT_EQ(KeyComboText(&combo, text, 0x80000000u), 1);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], '#');

    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(KeyComboText(nullptr, text, sizeof(text)), 0);
    EXPECT_EQ(text[0], '#');
}

TEST(KeyComboEqual, ComparesTheTexts) {
    struct Case {
        KeyCombo first;
        KeyCombo second;
        int equal;
    };
    const Case cases[] = {
        {{0x09, 0, 'C', {}}, {0x08, 0, 'C', {}}, 1},  // virtual key vs. character code
        {{0x09, 0, 'C', {}}, {0x09, 0, 'C', {}}, 1},
        {{0x09, 0, 'C', {}}, {0x0D, 0, 'C', {}}, 0},
        {{0x09, 0, 'C', {}}, {0x09, 0, 'D', {}}, 0},
        {{0x09, 0, 'C', {}}, {0x08, 0, 'c', {}}, 0},  // characters are not case-folded
        {{0x05, 0, VK_F5, {}}, {0x05, 7, VK_F5, {3, 4}}, 1},
        {{0x01, 0, VK_DELETE, {}}, {0x01, 0, VK_DECIMAL, {}}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KeyComboEqual(&c.first, &c.second), c.equal)
            << Text(c.first) << " | " << Text(c.second);
    }
    const KeyCombo something{0x09, 0, 'C', {}};
    EXPECT_EQ(KeyComboEqual(nullptr, &something), 0);
}

TEST(KeyNameText, NavigationKeysAreNamedAsTheExtendedKeys) {
    const UINT keys[] = {VK_PRIOR, VK_NEXT,  VK_END,  VK_HOME,   VK_LEFT,
                         VK_UP,    VK_RIGHT, VK_DOWN, VK_INSERT, VK_DELETE};
    for (UINT key : keys) {
        char name[32] = {};
        EXPECT_NE(KeyNameText(key, name, sizeof(name)), 0) << key;
        EXPECT_EQ(std::string(name), RawName(key, true)) << key;
        // Not the keypad key that shares the scan code.
        EXPECT_NE(std::string(name), RawName(key, false)) << key;
    }
    // Outside those ranges the plain scan code: the keypad's keys stay the keypad's.
    for (UINT key : {UINT{VK_DECIMAL}, UINT{VK_NUMPAD7}, UINT{VK_RETURN}, UINT{VK_ESCAPE}}) {
        char name[32] = {};
        KeyNameText(key, name, sizeof(name));
        EXPECT_EQ(std::string(name), RawName(key, false)) << key;
    }
    char name[32] = {};
    KeyNameText(VK_DELETE, name, sizeof(name));
    EXPECT_STREQ(name, "Delete");
    KeyNameText(VK_F5, name, sizeof(name));
    EXPECT_STREQ(name, "F5");
    KeyNameText('C', name, sizeof(name));
    EXPECT_STREQ(name, "C");
}

TEST(Capitalise, FirstUpperThenLowerWithinTheLength) {
    struct Case {
        const char* text;
        int length;
        const char* expected;
    };
    const Case cases[] = {
        {"CONTROL", 25, "Control"},
        {"shift", 25, "Shift"},
        {"kP_dELETE", 25, "Kp_delete"},
        {"ABCD", 2, "AbCD"},
        {"abc", 1, "Abc"},
        {"abc", 0, "abc"},
        {"", 25, ""},
        {"f5", 25, "F5"},
    };
    for (const Case& c : cases) {
        char text[32];
        std::strcpy(text, c.text);
        Capitalise(text, c.length);
        EXPECT_STREQ(text, c.expected) << c.text << " " << c.length;
    }
}

// Runs the dialog on this thread while `drive` works it from another thread; the driver
// cancels a dialog that `drive` left open (and fails the test).
INT_PTR RunDriven(KeyComboRequest& request, HWND owner, const std::function<void(HWND)>& drive) {
    std::thread driver([&] {
        HWND dialog = test::WaitForDialog(kKeyComboTitle);
        if (dialog == nullptr) {
            ADD_FAILURE() << "the dialog did not appear";
            return;
        }
        SetForegroundWindow(dialog);
        test::WaitUntil([&] { return GetForegroundWindow() == dialog; }, 2000);
        drive(dialog);
        if (!test::WaitUntil([&] { return !IsWindow(dialog); })) {
            ADD_FAILURE() << "the dialog is still open";
            PostMessageA(dialog, WM_COMMAND, kKeyComboCancelId, 0);
        }
    });
    const INT_PTR result = RunKeyComboDialog(Instance(), owner, request);
    driver.join();
    return result;
}

bool WaitForComboText(HWND dialog, const std::string& expected) {
    return test::WaitUntil([&] { return test::ItemText(dialog, kKeyComboTextId) == expected; });
}

TEST(KeyComboDialog, BuildsItsControlsAndCentresOverItsOwner) {
    HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 97, 61, 501, 399,
                                 nullptr, nullptr, Instance(), nullptr);
    ASSERT_NE(owner, nullptr);
    KeyCombo combo{};
    KeyComboRequest request{&combo, nullptr, 0};
    RECT dialogRect{};
    RECT staticRect{}, okRect{}, cancelRect{};
    std::string staticClass, okText, cancelText;
    LONG okStyle = 0;
    HWND parent = nullptr;
    const INT_PTR result = RunDriven(request, owner, [&](HWND dialog) {
        GetWindowRect(dialog, &dialogRect);
        parent = GetParent(dialog);
        staticClass = test::ClassOf(GetDlgItem(dialog, kKeyComboTextId));
        staticRect = test::ChildRect(GetDlgItem(dialog, kKeyComboTextId));
        okRect = test::ChildRect(GetDlgItem(dialog, IDOK));
        cancelRect = test::ChildRect(GetDlgItem(dialog, kKeyComboCancelId));
        okText = test::ItemText(dialog, IDOK);
        cancelText = test::ItemText(dialog, kKeyComboCancelId);
        okStyle = GetWindowLongA(GetDlgItem(dialog, IDOK), GWL_STYLE);
        PostMessageA(dialog, WM_COMMAND, kKeyComboCancelId, 0);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(parent, owner);
    EXPECT_EQ(dialogRect.right - dialogRect.left, 220);
    EXPECT_EQ(dialogRect.bottom - dialogRect.top, 100);
    EXPECT_EQ(dialogRect.left, 97 + 501 / 2 - 110);
    EXPECT_EQ(dialogRect.top, 61 + 399 / 2 - 50);
    EXPECT_EQ(staticClass, "Static");
    EXPECT_EQ(staticRect.left, 10);
    EXPECT_EQ(staticRect.top, 5);
    EXPECT_EQ(staticRect.right - staticRect.left, 210);
    EXPECT_EQ(okText, "OK");
    EXPECT_EQ(okRect.left, 30);
    EXPECT_EQ(okRect.top, 40);
    EXPECT_EQ(okRect.right - okRect.left, 50);
    EXPECT_EQ(okStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(cancelText, "Cancel");
    EXPECT_EQ(cancelRect.left, 90);
    EXPECT_EQ(cancelRect.right - cancelRect.left, 90);
    EXPECT_EQ(cancelRect.bottom - cancelRect.top, 22);
    // Nothing pressed, nothing changed.
    EXPECT_EQ(combo.flags, 0);
    EXPECT_EQ(combo.key, 0);
    DestroyWindow(owner);
}

// Keys held down in order, then released in reverse; the dialog ended with OK or Cancel.
struct PressCase {
    const char* what;
    KeyCombo start;
    std::vector<WORD> keys;
    std::function<std::string()> shown;
    bool accept;
    INT_PTR result;
    uint8_t flags;
    uint16_t key;
};

TEST(KeyComboDialog, CapturesPressedKeysThroughTheHook) {
    // clang-format off
    const PressCase cases[] = {
        {"Ctrl, Shift, F5", {}, {VK_CONTROL, VK_SHIFT, VK_F5},
            [] { return Ctrl() + Shift() + "F5"; }, true, 1, 0x0D, 0x74},
        {"Delete, the extended key", {}, {VK_DELETE}, [] { return std::string("Delete"); }, true,
            1, 0x01, 0x2E},
        {"Ctrl+Home", {}, {VK_CONTROL, VK_HOME}, [] { return Ctrl() + "Home"; }, true, 1, 0x09,
            0x24},
        {"Shift alone from nothing", {}, {VK_SHIFT}, [] { return Shift(); }, true, 1, 0x00, 0},
        {"Shift added to a held key", {0x01, 0, 'A', {}}, {VK_SHIFT}, [] { return Shift() + "A"; },
            true, 1, 0x05, 0x41},
        // F5 was captured (and shown), but Cancel leaves the caller's Ctrl+C as it was.
        {"cancelled after F5", {0x09, 0, 'C', {}}, {VK_F5}, [] { return std::string("F5"); },
            false, 0, 0x09, 'C'},
    };
    // clang-format on
    for (const PressCase& c : cases) {
        SCOPED_TRACE(c.what);
        KeyCombo combo = c.start;
        KeyComboRequest request{&combo, nullptr, 0};
        const std::string expected = c.shown();
        std::string shown;
        std::string afterRelease;
        const INT_PTR result = RunDriven(request, nullptr, [&](HWND dialog) {
            test::SendKeys(c.keys, false);
            WaitForComboText(dialog, expected);
            shown = test::ItemText(dialog, kKeyComboTextId);
            test::SendKeys(std::vector<WORD>(c.keys.rbegin(), c.keys.rend()), true);
            // Releases are not captured: the text stays as it was.
            Sleep(300);
            afterRelease = test::ItemText(dialog, kKeyComboTextId);
            PostMessageA(dialog, WM_COMMAND, c.accept ? IDOK : kKeyComboCancelId, 0);
        });
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(afterRelease, expected);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(combo.flags, c.flags);
        EXPECT_EQ(combo.key, c.key);
    }
}

TEST(KeyComboDialog, EscapeIsCapturedAndDoesNotCloseTheDialog) {
    KeyCombo combo{};
    KeyComboRequest request{&combo, nullptr, 0};
    std::string shown;
    KeyCombo captured{};
    bool openAfterEscape = false;
    const INT_PTR result = RunDriven(request, nullptr, [&](HWND dialog) {
        test::PressAndRelease(VK_ESCAPE);
        WaitForComboText(dialog, LayoutName(VK_ESCAPE));
        shown = test::ItemText(dialog, kKeyComboTextId);
        captured = combo;
        // The standard cancel command as Escape sends it, and the close request.
        SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        test::Pump();
        Sleep(200);
        openAfterEscape = IsWindow(dialog) && IsWindowVisible(dialog);
        PostMessageA(dialog, WM_COMMAND, kKeyComboCancelId, 0);
    });
    EXPECT_EQ(shown, LayoutName(VK_ESCAPE));
    EXPECT_EQ(captured.flags, 0x01);
    EXPECT_EQ(captured.key, VK_ESCAPE);
    EXPECT_TRUE(openAfterEscape);
    EXPECT_EQ(result, 0);
    // Cancelled: the combination is the one the dialog was given.
    EXPECT_EQ(combo.flags, 0);
    EXPECT_EQ(combo.key, 0);
}

// What happened at OK: accepted, or refused with the message box (then cancelled).
struct Outcome {
    INT_PTR result = -2;
    bool refused = false;
    std::string boxText;
    bool dialogOpenWithBox = false;
    bool dialogOpenAfterBox = false;
    std::string shownAfterBoxKey;
    KeyCombo atRefusal{};  // the edited combination while the box was up
};

Outcome PressOk(KeyComboRequest& request, const std::vector<WORD>& keys = {},
                const std::string& waitFor = "") {
    Outcome outcome;
    outcome.result = RunDriven(request, nullptr, [&](HWND dialog) {
        if (!keys.empty()) {
            test::SendKeys(keys, false);
            WaitForComboText(dialog, waitFor);
            test::SendKeys(std::vector<WORD>(keys.rbegin(), keys.rend()), true);
        }
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        HWND box = nullptr;
        test::WaitUntil([&] {
            box = test::FindDialog(kKeyComboRefusedCaption);
            return box != nullptr || !IsWindow(dialog);
        });
        if (box == nullptr) return;
        outcome.refused = true;
        outcome.atRefusal = *request.combo;
        outcome.dialogOpenWithBox = IsWindow(dialog) != FALSE;
        outcome.boxText = test::ItemText(box, 0xFFFF);
        // A key pressed while the box is up is meant for the box, not captured.
        SetForegroundWindow(box);
        test::PressAndRelease('Q');
        Sleep(300);
        outcome.shownAfterBoxKey = test::ItemText(dialog, kKeyComboTextId);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        test::WaitUntil([&] { return !IsWindow(box); });
        Sleep(100);
        outcome.dialogOpenAfterBox = IsWindow(dialog) && IsWindowVisible(dialog);
        PostMessageA(dialog, WM_COMMAND, kKeyComboCancelId, 0);
    });
    return outcome;
}

TEST(KeyComboDialog, ReservedCombinationIsRefusedAndTheDialogStays) {
    KeyCombo combo{};
    const KeyCombo reserved[] = {{0x08, 0, 'X', {}}, {0x08, 0, 'C', {}}};
    KeyComboRequest request{&combo, reserved, 2};
    const Outcome outcome = PressOk(request, {VK_CONTROL, 'C'}, Ctrl() + "C");
    EXPECT_TRUE(outcome.refused);
    EXPECT_EQ(outcome.boxText, kKeyComboRefusedText);
    EXPECT_TRUE(outcome.dialogOpenWithBox);
    EXPECT_TRUE(outcome.dialogOpenAfterBox);
    EXPECT_EQ(outcome.shownAfterBoxKey, Ctrl() + "C");
    EXPECT_EQ(outcome.atRefusal.flags, 0x09);
    EXPECT_EQ(outcome.atRefusal.key, 'C');
    EXPECT_EQ(outcome.result, 0);
    // Cancelled after the refusal: the caller's combination is untouched.
    EXPECT_EQ(combo.flags, 0);
    EXPECT_EQ(combo.key, 0);
}

TEST(KeyComboDialog, OkChecksOnlyTheGivenReservedEntries) {
    const KeyCombo ctrlC{0x08, 0, 'C', {}};
    const KeyCombo list[] = {{0x08, 0, 'X', {}}, ctrlC};
    const KeyCombo ctrlShiftC{0x0C, 0, 'C', {}};
    const KeyCombo nothing{0x00, 0, 0, {}};
    struct Case {
        const char* what;
        KeyCombo start;
        const KeyCombo* reserved;
        uint32_t count;
        bool refused;
        uint8_t flagsAtOk;  // the flags OK compared (kept when accepted)
    };
    const Case cases[] = {
        {"second entry matches", {0x09, 0, 'C', {}}, list, 2, true, 0x09},
        {"match beyond the count", {0x09, 0, 'C', {}}, list, 1, false, 0x09},
        {"count 0", {0x09, 0, 'C', {}}, &ctrlC, 0, false, 0x09},
        {"no list", {0x09, 0, 'C', {}}, nullptr, 3, false, 0x09},
        {"other modifiers", {0x09, 0, 'C', {}}, &ctrlShiftC, 1, false, 0x09},
        // Modifiers without a key are cleared first, and then read as nothing.
        {"modifiers only vs. an empty entry", {0x0C, 0, 0, {}}, &nothing, 1, true, 0x00},
        {"modifiers only, no list", {0x0C, 0, 0, {}}, nullptr, 0, false, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KeyCombo combo = c.start;
        KeyComboRequest request{&combo, c.reserved, c.count};
        const Outcome outcome = PressOk(request);
        EXPECT_EQ(outcome.refused, c.refused);
        EXPECT_EQ(outcome.result, c.refused ? 0 : 1);
        if (c.refused) {
            EXPECT_EQ(outcome.atRefusal.flags, c.flagsAtOk);
            // Refused, then cancelled: back to what the dialog was given.
            EXPECT_EQ(combo.flags, c.start.flags);
            EXPECT_EQ(combo.key, c.start.key);
        } else {
            EXPECT_EQ(combo.flags, c.flagsAtOk);
        }
    }
}

TEST(KeyComboDialog, HookIsRemovedWhenTheDialogEnds) {
    KeyCombo combo{};
    KeyComboRequest request{&combo, nullptr, 0};
    EXPECT_EQ(
        RunDriven(request, nullptr, [](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDOK, 0); }),
        1);
    // With no dialog open, keys reaching this thread leave the last combination alone.
    HWND window = CreateWindowExA(0, "EDIT", "", WS_POPUP | WS_VISIBLE, 0, 0, 100, 30, nullptr,
                                  nullptr, Instance(), nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    test::PressAndRelease('Z');
    EXPECT_TRUE(test::WaitUntil([&] { return test::WindowText(window) == "z"; }));
    EXPECT_EQ(combo.flags, 0);
    EXPECT_EQ(combo.key, 0);
    DestroyWindow(window);
}

}  // namespace
}  // namespace qx
