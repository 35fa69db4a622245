// The multi-line edit control of the debug window, driven by window messages
// (WM_GETTEXTLENGTH, EM_SETSEL, EM_REPLACESEL). Real windows exist only on Windows;
// on POSIX these calls do nothing and the log sink writes to a TextSink instead.
#pragma once

#include <cstdint>

namespace qx::platform {

uint32_t EditGetTextLength(void* edit);
void EditSetSelection(void* edit, uint32_t start, uint32_t end);
void EditReplaceSelection(void* edit, const char* text);

}  // namespace qx::platform
