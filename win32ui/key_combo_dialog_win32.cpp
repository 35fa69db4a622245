#include <windows.h>

#include <cctype>
#include <cstring>
#include <cwchar>

#include "base/bounded_text.h"
#include "win32ui/win32ui.h"

namespace qx {
namespace {

// One dialog at a time: the hook finds the dialog (and through it the request) here.
HWND g_dialog = nullptr;
HHOOK g_hook = nullptr;
// The caller's combination as it came: the hook edits it in place, and every end but
// acceptance puts it back.
KeyCombo g_entry{};
bool g_accepted = false;

KeyComboRequest* RequestOf(HWND dialog) {
    if (dialog == nullptr) return nullptr;
    return reinterpret_cast<KeyComboRequest*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

bool IsDown(int virtualKey) {
    return (GetKeyState(virtualKey) & 0x8000) != 0;
}

void SetFlag(KeyCombo& combo, uint8_t flag, bool on) {
    combo.flags = static_cast<uint8_t>(on ? (combo.flags | flag) : (combo.flags & ~flag));
}

HKL ThreadLayout() {
    return GetKeyboardLayout(0);
}

// Appends the modifier's name and the separator.
void AppendModifier(char (&work)[100], UINT virtualKey) {
    const UINT scanCode = MapVirtualKeyExA(virtualKey, MAPVK_VK_TO_VSC, ThreadLayout());
    char name[25] = {};
    GetKeyNameTextA(static_cast<LONG>(scanCode << 16), name, sizeof(name));
    Capitalise(name, sizeof(name));
    BoundedAppend100(work, name);
    BoundedAppend100(work, " + ");
}

void OnInitDialog(HWND dialog, KeyComboRequest* request) {
    g_dialog = dialog;
    g_accepted = false;
    if (request != nullptr && request->combo != nullptr) g_entry = *request->combo;
    SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(request));
    g_hook = SetWindowsHookExA(WH_KEYBOARD, &KeyboardHookProc, nullptr, GetCurrentThreadId());

    auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    const auto id = [](int value) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(value)); };
    CreateWindowExA(0, "Static", "", WS_CHILD | WS_VISIBLE, 10, 5, 210, 22, dialog,
                    id(kKeyComboTextId), instance, nullptr);
    CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 30, 40, 50, 22,
                    dialog, id(IDOK), instance, nullptr);
    CreateWindowExA(0, "BUTTON", "Cancel", WS_CHILD | WS_VISIBLE, 90, 40, 90, 22, dialog,
                    id(kKeyComboCancelId), instance, nullptr);

    SetWindowTextA(dialog, kKeyComboTitle);
    SetWindowPos(dialog, nullptr, 0, 0, 220, 100, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    CentreWindow(dialog, GetParent(dialog));
}

bool IsReserved(const KeyComboRequest& request) {
    if (request.reserved == nullptr) return false;
    char edited[50];
    KeyComboText(request.combo, edited, sizeof(edited));
    for (uint32_t i = 0; i < request.reservedCount; ++i) {
        char reserved[50];
        KeyComboText(&request.reserved[i], reserved, sizeof(reserved));
        if (std::strcmp(edited, reserved) == 0) return true;
    }
    return false;
}

void OnOk(HWND dialog) {
    KeyComboRequest* request = RequestOf(dialog);
    if (request == nullptr || request->combo == nullptr) {
        EndDialog(dialog, 0);
        return;
    }
    // Modifiers alone make no shortcut.
    if (request->combo->key == 0) request->combo->flags = 0;
    if (IsReserved(*request)) {
        MessageBoxA(dialog, kKeyComboRefusedText, kKeyComboRefusedCaption, MB_ICONINFORMATION);
        return;
    }
    g_accepted = true;
    EndDialog(dialog, 1);
}

}  // namespace

INT_PTR CALLBACK KeyComboDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog(dialog, reinterpret_cast<KeyComboRequest*>(lParam));
            return 1;
        case WM_COMMAND:
            // IDCANCEL (Escape) is deliberately not handled: Escape is a key to capture.
            if (LOWORD(wParam) == IDOK) {
                OnOk(dialog);
                return 1;
            }
            if (LOWORD(wParam) == kKeyComboCancelId) {
                EndDialog(dialog, 0);
                return 1;
            }
            return 0;
        case WM_DESTROY:
            if (g_hook != nullptr) UnhookWindowsHookEx(g_hook);
            g_hook = nullptr;
            // Cancelled (or closed with its owner): the caller's shortcut stays as it was.
            if (KeyComboRequest* request = RequestOf(dialog);
                !g_accepted && request != nullptr && request->combo != nullptr) {
                *request->combo = g_entry;
            }
            g_dialog = nullptr;
            return 0;
        default:
            return 0;
    }
}

LRESULT CALLBACK KeyboardHookProc(int code, WPARAM virtualKey, LPARAM keyInfo) {
    KeyComboRequest* request = code >= 0 ? RequestOf(g_dialog) : nullptr;
    const bool released = (static_cast<uint32_t>(keyInfo) & 0x80000000u) != 0;
    // Keys meant for another window of the thread (the refusal message box) are not
    // captured: the Enter that closes the box would otherwise become the shortcut.
    if (request != nullptr && request->combo != nullptr && !released &&
        GetActiveWindow() == g_dialog) {
        KeyCombo& combo = *request->combo;
        // The thread's key state is brought up to date only after the hooks have seen the
        // press, so the key being pressed counts as down by itself.
        const auto down = [virtualKey](int key) {
            return virtualKey == static_cast<WPARAM>(key) || IsDown(key);
        };
        SetFlag(combo, kComboShift, down(VK_SHIFT));
        SetFlag(combo, kComboAlt, down(VK_MENU));
        SetFlag(combo, kComboCtrl, down(VK_CONTROL));
        if (virtualKey != VK_SHIFT && virtualKey != VK_CONTROL && virtualKey != VK_MENU) {
            combo.key = static_cast<uint16_t>(virtualKey);
        }
        combo.flags |= kComboVirtualKey;
        char text[100];
        KeyComboText(&combo, text, sizeof(text));
        SetDlgItemTextA(g_dialog, kKeyComboTextId, text);
    }
    return CallNextHookEx(g_hook, code, virtualKey, keyInfo);
}

int KeyComboText(const KeyCombo* combo, char* text, uint32_t capacity) {
    if (combo == nullptr) return 0;
    char work[100] = {};
    if (combo->flags & kComboCtrl) AppendModifier(work, VK_CONTROL);
    if (combo->flags & kComboAlt) AppendModifier(work, VK_MENU);
    if (combo->flags & kComboShift) AppendModifier(work, VK_SHIFT);
    // Zeroed: a key that cannot be named or formatted adds nothing.
    char key[20] = {};
    if (combo->flags & kComboVirtualKey) {
        if (KeyNameText(combo->key, key, sizeof(key)) != 0) {
            Capitalise(key, sizeof(key));
            BoundedAppend100(work, key);
        }
    } else {
        BoundedFormat(key, sizeof(key), "%lc", static_cast<wint_t>(combo->key));
        BoundedAppend100(work, key);
    }
    if (text != nullptr) BoundedCopy(text, capacity, work);
    return 1;
}

int KeyNameText(UINT virtualKey, char* text, int capacity) {
    UINT scanCode = MapVirtualKeyExA(virtualKey, MAPVK_VK_TO_VSC, ThreadLayout());
    // The navigation block shares its scan codes with the keypad; the extended bit tells
    // Delete from the keypad's decimal key, Home from keypad 7, and so on.
    if ((virtualKey >= VK_PRIOR && virtualKey <= VK_DOWN) ||
        (virtualKey >= VK_INSERT && virtualKey <= VK_DELETE)) {
        scanCode |= 0x100;
    }
    return GetKeyNameTextA(static_cast<LONG>(scanCode << 16), text, capacity);
}

int KeyComboEqual(const KeyCombo* first, const KeyCombo* second) {
    char firstText[50];
    char secondText[50];
    // A null combination reads as nothing.
    firstText[0] = secondText[0] = '\0';
    KeyComboText(first, firstText, sizeof(firstText));
    KeyComboText(second, secondText, sizeof(secondText));
    return std::strcmp(firstText, secondText) == 0 ? 1 : 0;
}

void Capitalise(char* text, int length) {
    if (text == nullptr || length <= 0 || text[0] == '\0') return;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    for (int i = 1; i < length && text[i] != '\0'; ++i) {
        text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    }
}

INT_PTR RunEmptyDialog(HINSTANCE instance, HWND owner, DLGPROC procedure, LPARAM parameter,
                       DWORD style) {
    // A dialog template without controls: no menu, the standard class, an empty title.
    struct alignas(4) EmptyTemplate {
        DLGTEMPLATE header;
        WORD menu;
        WORD windowClass;
        WORD title;
    };
    EmptyTemplate dialogTemplate{};
    dialogTemplate.header.style = style;
    return DialogBoxIndirectParamW(instance, &dialogTemplate.header, owner, procedure, parameter);
}

INT_PTR RunKeyComboDialog(HINSTANCE instance, HWND owner, KeyComboRequest& request) {
    // No close box: the standard cancel is not handled, only the Cancel button ends it.
    return RunEmptyDialog(instance, owner, &KeyComboDialogProc, reinterpret_cast<LPARAM>(&request),
                          WS_POPUP | WS_CAPTION | DS_MODALFRAME);
}

}  // namespace qx
