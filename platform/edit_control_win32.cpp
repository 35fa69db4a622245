// The debug window's edit control, driven by synchronous window messages.
#include <windows.h>

#include "platform/edit_control.h"

namespace qx::platform {

uint32_t EditGetTextLength(void* edit) {
    return static_cast<uint32_t>(SendMessageA(static_cast<HWND>(edit), WM_GETTEXTLENGTH, 0, 0));
}

void EditSetSelection(void* edit, uint32_t start, uint32_t end) {
    SendMessageA(static_cast<HWND>(edit), EM_SETSEL, static_cast<WPARAM>(start),
                 static_cast<LPARAM>(end));
}

void EditReplaceSelection(void* edit, const char* text) {
    // Not undoable (wParam FALSE).
    SendMessageA(static_cast<HWND>(edit), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

}  // namespace qx::platform
