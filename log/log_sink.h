// The log sink: one line per call into the debug window's edit control, and the
// 16-bytes-a-line packet dump. Logging is on exactly when a LogWindow with an edit
// control is attached; with none, a call returns before formatting anything.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "base/bounded_text.h"

namespace qx {

class TextSink;

// The logger record, fields in this order (it is handed across the library boundary).
// `window` and `edit` are window handles on Windows; the log sink reads only `edit`, so a
// record with an edit control and no window handle is as good as a full one. A record made
// by AttachTextSink writes into a TextSink instead (console tools, POSIX, tests): its
// `window` then holds a mark that no window handle can be.
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

// Appends `text` at the end of the edit control (or the sink), preceded by `extraBreaks`
// line breaks when it already holds text.
void AppendEditText(void* edit, const char* text, uint32_t extraBreaks);
void AppendEditText(TextSink* sink, const char* text, uint32_t extraBreaks);

// Formats into the shared line buffer (at most 4095 characters); kEInsufficientBuffer when cut.
HResult LogFormatV(const char* format, va_list args);
// The shared line buffer (for tests and for callers holding the log lock).
const char* LogLineBuffer();

// Makes `log` write into `sink`: one call for a console or file log.
void AttachTextSink(LogWindow& log, TextSink& sink);

// Stores the record's window and edit handles as one step for every logging thread: a log
// call sees both old or both new, never one of each. For the debug window's procedures and
// ReleaseLogWindow; the record must not be a text sink's.
void SetLogWindowHandles(LogWindow& log, void* window, void* edit);

}  // namespace qx
