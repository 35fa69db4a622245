// The log sink: one line per call into the debug window's edit control, and the
// 16-bytes-a-line packet dump. Logging is on exactly when a LogWindow with an edit
// control is attached; with none, a call returns before formatting anything.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "launcher/bounded_text.h"

namespace qx {

class TextSink;

// The logger record, fields in this order. `window` and `edit` are window handles on
// Windows. A LogWindow whose `window` is null and whose `edit` is set writes into a
// TextSink (console tools, POSIX, tests): see AttachTextSink.
struct LogWindow {
    void* window = nullptr;
    void* edit = nullptr;
    void* font = nullptr;
    void* previousEditProc = nullptr;
};

inline constexpr uint32_t kLogLineCapacity = 4096;

void LogMessage(const LogWindow* log, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void LogHexDump(const LogWindow* log, const char* label, const void* bytes, uint32_t count);

// Appends `text` at the end of the control, preceded by `extraBreaks` line breaks when the
// control already holds text. `window` null means `edit` is a TextSink.
void AppendEditText(void* window, void* edit, const char* text, uint32_t extraBreaks);

// Formats into the shared line buffer (at most 4095 characters); kEInsufficientBuffer when cut.
HResult LogFormatV(const char* format, va_list args);
// The shared line buffer (for tests and for callers holding the log lock).
const char* LogLineBuffer();

// Makes `log` write into `sink`: one call for a console or file log.
void AttachTextSink(LogWindow& log, TextSink& sink);

}  // namespace qx
