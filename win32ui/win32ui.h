// The diagnostic windows offered to the holder of the device object: the debug output
// window that shows the log, the key-combination dialog and the text prompt dialog.
// Windows only; the dialogs build their own controls, so an empty dialog template is enough
// (RunEmptyDialog makes one in memory).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "log/log_sink.h"

namespace qx {

// ---- Debug output window ----

inline constexpr char kDebugWindowClass[] = "QXDEBUGWND";
inline constexpr char kDebugWindowTitle[] = "Quillon Debug Output";
inline constexpr int kDebugWindowWidth = 640;
inline constexpr int kDebugWindowHeight = 400;
inline constexpr char kDebugFontFace[] = "Courier New";
inline constexpr int kDebugFontHeight = 14;  // pixels
inline constexpr UINT kDebugClearCommand = 100;
inline constexpr DWORD kDebugEditStyle =
    0x50200044;  // child, visible, VSCROLL, AUTOVSCROLL, MULTILINE
// What ContextForwardProc sends to the control's grandparent on a context-menu request.
inline constexpr UINT kContextForwardMessage = WM_USER + 500;

// The window procedure of the debug window class; created with a LogWindow* as the
// creation parameter, it keeps the record's window and edit handles current.
LRESULT CALLBACK DebugWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Installed on the debug window's edit control: the user can select and copy, not edit.
LRESULT CALLBACK EditSubclassProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
// Destroys the window if there is one, then deletes the font if there is one.
void ReleaseLogWindow(LogWindow* log);
// Centres `window` over `reference` (null: the desktop) without resizing, activating or
// changing the z-order.
void CentreWindow(HWND window, HWND reference);
// The top-left corner CentreWindow moves a window with rectangle `window` to.
POINT CentredPosition(const RECT& window, const RECT& reference);
// Subclass procedure for a control two levels inside a window: its previous procedure is
// kept in the control's user data, and a context-menu request also reaches the
// grandparent as kContextForwardMessage.
LRESULT CALLBACK ContextForwardProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam);
// Subclasses `control` with ContextForwardProc; false when it cannot.
bool InstallContextForward(HWND control);

// Registers the debug window class (once per module instance; later calls succeed).
bool RegisterDebugWindowClass(HINSTANCE instance);
// The fixed-pitch font the debug window gives its edit control; the LogWindow owns it.
HFONT CreateDebugFont();
// Opens the debug window for `log`: registers the class, gives the record a font when it
// has none, creates the window (owned by `owner`, may be null) and shows it. With a window
// already open it is only brought to the front. Null when the window cannot be created.
HWND OpenDebugWindow(LogWindow& log, HINSTANCE instance, HWND owner, int showCommand);

// ---- Key-combination dialog ----

inline constexpr uint8_t kComboVirtualKey = 0x01;
inline constexpr uint8_t kComboShift = 0x04;
inline constexpr uint8_t kComboCtrl = 0x08;
inline constexpr uint8_t kComboAlt = 0x10;
inline constexpr int kKeyComboTextId = 7;
inline constexpr int kKeyComboCancelId = 0xA160;
inline constexpr char kKeyComboTitle[] = "Enter key combination";
inline constexpr char kKeyComboRefusedText[] = "Key Combo Unavailable. Please choose an alternate.";
inline constexpr char kKeyComboRefusedCaption[] = "Unavailable combo";

// A keyboard shortcut; reserved lists are arrays of these, 6 bytes apart.
struct KeyCombo {
    uint8_t flags;  // kCombo* bits
    uint8_t reserved1;
    uint16_t key;  // a virtual-key code with kComboVirtualKey, else a character code; 0: none
    uint8_t reserved2[2];
};
static_assert(sizeof(KeyCombo) == 6);
static_assert(offsetof(KeyCombo, key) == 2);

// The key-combination dialog's initialisation parameter.
struct KeyComboRequest {
    KeyCombo* combo;           // edited in place
    const KeyCombo* reserved;  // may be null
    uint32_t reservedCount;
};
static_assert(sizeof(void*) != 4 || sizeof(KeyComboRequest) == 12);

// Dialog result 1 when accepted, 0 when cancelled.
INT_PTR CALLBACK KeyComboDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// The thread keyboard hook installed while the dialog is open.
LRESULT CALLBACK KeyboardHookProc(int code, WPARAM virtualKey, LPARAM keyInfo);
// The modifier names joined by " + ", then the key's name. 1; 0 for a null combination.
int KeyComboText(const KeyCombo* combo, char* text, uint32_t capacity);
// The keyboard layout's name for a virtual key (navigation keys as the extended ones);
// non-zero when there is one.
int KeyNameText(UINT virtualKey, char* text, int capacity);
// 1 when the two combinations read the same, else 0.
int KeyComboEqual(const KeyCombo* first, const KeyCombo* second);
// First character upper case, the next length - 1 lower case (up to the terminator).
void Capitalise(char* text, int length);

// ---- Text prompt dialog ----

inline constexpr int kTextPromptEditId = 3;
inline constexpr int kTextPromptWidth = 260;
inline constexpr int kTextPromptHeight = 110;
inline constexpr UINT kTextPromptRaiseMs = 5000;

// The text prompt's initialisation parameter.
struct TextPromptRequest {
    uint32_t unused;
    wchar_t* text;      // output
    uint32_t capacity;  // in wide characters on entry; the entered length on acceptance
    const wchar_t* title;
};
static_assert(sizeof(void*) != 4 ||
              (sizeof(TextPromptRequest) == 16 && offsetof(TextPromptRequest, capacity) == 8));

// Dialog result 1 when accepted with OK, 0 when cancelled.
INT_PTR CALLBACK TextPromptDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// ---- Running the dialogs ----

// Runs `procedure` modally on an empty in-memory dialog template with `parameter` as the
// initialisation parameter; -1 when the dialog cannot be created.
INT_PTR RunEmptyDialog(HINSTANCE instance, HWND owner, DLGPROC procedure, LPARAM parameter,
                       DWORD style);
INT_PTR RunKeyComboDialog(HINSTANCE instance, HWND owner, KeyComboRequest& request);
INT_PTR RunTextPromptDialog(HINSTANCE instance, HWND owner, TextPromptRequest& request);

}  // namespace qx
