#include <windows.h>

#include <cstring>

#include "base/bounded_text.h"
#include "win32ui/win32ui.h"

namespace qx {
namespace {

// One prompt at a time.
TextPromptRequest* g_request = nullptr;

constexpr UINT_PTR kRaiseTimer = 0;
constexpr int kEditTextCapacity = 256;  // 255 characters and the terminator

HWND CreateControl(HWND dialog, DWORD exStyle, const wchar_t* className, const wchar_t* text,
                   DWORD style, int x, int y, int width, int height, int id) {
    auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
    HWND control =
        CreateWindowExW(exStyle, className, text, style, x, y, width, height, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (control != nullptr) SendMessageW(control, WM_SETFONT, 0, TRUE);
    return control;
}

// Cancel at the bottom left, OK just right of it.
void Layout(HWND dialog, int clientHeight) {
    HWND cancel = GetDlgItem(dialog, IDCANCEL);
    HWND ok = GetDlgItem(dialog, IDOK);
    if (cancel == nullptr || ok == nullptr) return;
    RECT cancelRect;
    GetWindowRect(cancel, &cancelRect);
    const int cancelWidth = cancelRect.right - cancelRect.left;
    const int cancelHeight = cancelRect.bottom - cancelRect.top;
    const int cancelY = clientHeight - cancelHeight - 3;
    SetWindowPos(cancel, nullptr, 3, cancelY, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SetWindowPos(ok, nullptr, 3 + cancelWidth + 3, cancelY, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void OnInitDialog(HWND dialog, TextPromptRequest* request) {
    g_request = request;
    CreateControl(dialog, WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 10, 10, 240, 18,
                  kTextPromptEditId);
    CreateControl(dialog, 0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 10, 10, 50,
                  22, IDOK);
    CreateControl(dialog, 0, L"BUTTON", L"Cancel", WS_CHILD | WS_VISIBLE, 70, 10, 90, 22, IDCANCEL);
    if (request != nullptr && request->title != nullptr) SetWindowTextW(dialog, request->title);
    SetWindowPos(dialog, nullptr, 0, 0, kTextPromptWidth, kTextPromptHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    CentreWindow(dialog, nullptr);
    SetTimer(dialog, kRaiseTimer, kTextPromptRaiseMs, nullptr);
}

// The entry as UTF-8, cut to 255 bytes at a character boundary.
void ReadEntry(HWND dialog, char (&utf8)[kEditTextCapacity]) {
    wchar_t wide[kEditTextCapacity] = {};
    const int count = GetDlgItemTextW(dialog, kTextPromptEditId, wide, kEditTextCapacity);
    int used = 0;
    for (int i = 0; i < count;) {
        // A surrogate pair converts as one character.
        const int units = (wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < count &&
                           wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
                              ? 2
                              : 1;
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, wide + i, units, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0 || used + bytes > kEditTextCapacity - 1) break;
        WideCharToMultiByte(CP_UTF8, 0, wide + i, units, utf8 + used, bytes, nullptr, nullptr);
        used += bytes;
        i += units;
    }
    utf8[used] = '\0';
}

void OnOk(HWND dialog) {
    TextPromptRequest* request = g_request;
    if (request == nullptr) {
        EndDialog(dialog, 0);
        return;
    }
    char utf8[kEditTextCapacity];
    ReadEntry(dialog, utf8);
    uint32_t length = 0;
    BoundedLength(utf8, kEditTextCapacity, &length);
    // Converted whole, then cut to the caller's capacity so the output is always
    // terminated: a conversion straight into a short buffer fails and leaves it unterminated.
    wchar_t wide[kEditTextCapacity] = {};
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(length) + 1, wide,
                                          kEditTextCapacity);
    uint32_t written = 0;
    if (request->text != nullptr && request->capacity != 0 && units > 0) {
        written = static_cast<uint32_t>(units) - 1 < request->capacity - 1
                      ? static_cast<uint32_t>(units) - 1
                      : request->capacity - 1;
        // Half a surrogate pair is no character.
        if (written != 0 && wide[written - 1] >= 0xD800 && wide[written - 1] <= 0xDBFF) --written;
        std::memcpy(request->text, wide, written * sizeof(wchar_t));
        request->text[written] = L'\0';
    }
    // The characters the buffer received before the terminator: for plain ASCII that fits,
    // the entry's length; never more than was written, so a caller can index by it.
    request->capacity = written;
    EndDialog(dialog, 1);
}

}  // namespace

INT_PTR CALLBACK TextPromptDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // Every message returns 0, the initialisation included: the focus is not placed.
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog(dialog, reinterpret_cast<TextPromptRequest*>(lParam));
            break;
        case WM_SIZE:
            Layout(dialog, HIWORD(lParam));
            break;
        case WM_TIMER:
            // Kept above other windows while it waits for an answer.
            SetWindowPos(dialog, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            break;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                OnOk(dialog);
            } else if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, 0);
            }
            break;
        case WM_DESTROY:
            KillTimer(dialog, kRaiseTimer);
            g_request = nullptr;
            break;
        default:
            break;
    }
    return 0;
}

INT_PTR RunTextPromptDialog(HINSTANCE instance, HWND owner, TextPromptRequest& request) {
    return RunEmptyDialog(instance, owner, &TextPromptDialogProc,
                          reinterpret_cast<LPARAM>(&request),
                          WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
}

}  // namespace qx
