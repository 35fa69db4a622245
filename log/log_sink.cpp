#include "log/log_sink.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "log/text_sink.h"
#include "platform/edit_control.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

// The one line buffer every log line is formatted into.
char g_line[kLogLineCapacity];

// One formatting-and-append at a time, so lines never mix and each thread's lines keep
// their order. A dump holds it for all its lines, so a dump stays in one piece.
//
// On Windows a worker's EM_* message to the edit control waits until the window's thread
// handles it; if that thread were itself blocked here, the two would deadlock. So there a
// waiter keeps handling the messages sent to its thread (the worker's among them) between
// attempts to take the mutex; a releaser wakes one waiter through `released_`. No queue of
// turns: a message handled while waiting may log too, and must be able to get in first.
class LogLock {
  public:
    LogLock()
        : handleSent_(platform::WaitsHandleSentMessages()),
          released_(handleSent_ ? platform::EventCreate(false) : nullptr) {}
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

    void lock() {
        if (!handleSent_) {
            mutex_.lock();
            return;
        }
        if (mutex_.try_lock()) return;
        waiters_.fetch_add(1);
        // Bounded waits: a wake-up taken by another waiter only costs a retry.
        while (!mutex_.try_lock()) {
            platform::EventWaitHandlingSentMessages(released_, kRetryMs);
        }
        waiters_.fetch_sub(1);
    }
    void unlock() {
        mutex_.unlock();
        if (released_ != nullptr && waiters_.load() != 0) platform::EventSet(released_);
    }

  private:
    static constexpr uint32_t kRetryMs = 5;
    const bool handleSent_;
    std::mutex mutex_;
    std::atomic<int> waiters_{0};
    // Lives as long as the process: log calls may come until its end.
    OsHandle released_;
};

LogLock g_lock;

// The `window` of a text sink's record: the highest address, which is no window handle (as
// a handle it would be HWND_TOPMOST, a placement value) and no object of this program.
void* const kTextSinkMark = reinterpret_cast<void*>(~uintptr_t{0});

// A handle field read by a logging thread while another may store it. The record's layout is
// fixed (plain pointers), so the fields are accessed atomically in place.
void* LoadHandle(void* const& field) {
    return std::atomic_ref<void*>(const_cast<void*&>(field)).load(std::memory_order_acquire);
}
void StoreHandle(void*& field, void* value) {
    std::atomic_ref<void*>(field).store(value, std::memory_order_release);
}

// The control: a TextSink when the record carries the mark, else an edit window.
struct Control {
    bool isSink;
    void* edit;

    // Read under g_lock, where the handles change (SetLogWindowHandles).
    static Control Of(const LogWindow& log) {
        return Control{LoadHandle(log.window) == kTextSinkMark, LoadHandle(log.edit)};
    }
    TextSink* Sink() const { return static_cast<TextSink*>(edit); }
    uint32_t Length() const {
        return isSink ? Sink()->TextLength() : platform::EditGetTextLength(edit);
    }
    void Select(uint32_t position) const {
        if (isSink) {
            Sink()->SetSelection(position, position);
        } else {
            platform::EditSetSelection(edit, position, position);
        }
    }
    void Replace(const char* text) const {
        if (isSink) {
            Sink()->ReplaceSelection(text);
        } else {
            platform::EditReplaceSelection(edit, text);
        }
    }
};

// The callers below hold g_lock.

void AppendLocked(const Control& control, const char* text, uint32_t extraBreaks) {
    const uint32_t length = control.Length();
    control.Select(length);
    if (length != 0) {
        for (uint32_t i = 0; i < extraBreaks; ++i) AppendLocked(control, "\r\n", 0);
    }
    control.Replace(text);
}

// Puts the formatted line at the end of the control, after a break when it holds text.
void EmitLineLocked(const Control& control) {
    const uint32_t length = control.Length();
    control.Select(length);
    if (length != 0) AppendLocked(control, "\r\n", 0);
    control.Replace(g_line);
}

HResult FormatLocked(const char* format, va_list args) {
    return BoundedFormatV(g_line, kLogLineCapacity, format, args);
}

void LogLocked(const Control& control, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatLocked(format, args);
    va_end(args);
    EmitLineLocked(control);
}

// A printable byte shows as itself in the text column, anything else as '.'.
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint32_t kBytesPerLine = 16;
constexpr uint32_t kDumpLineCapacity = 256;

// "%02X " for each byte, blanks up to 48 characters, then the text column. Built directly:
// a dump runs for every packet, and formatting it a byte at a time is pure overhead.
void BuildDumpLine(char (&line)[kDumpLineCapacity], const uint8_t* bytes, uint32_t n) {
    static_assert(kBytesPerLine * 4 < kDumpLineCapacity);
    char* out = line;
    for (uint32_t i = 0; i < n; ++i) {
        *out++ = kHexDigits[bytes[i] >> 4];
        *out++ = kHexDigits[bytes[i] & 0x0F];
        *out++ = ' ';
    }
    std::memset(out, ' ', 3 * (kBytesPerLine - n));
    out += 3 * (kBytesPerLine - n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t byte = bytes[i];
        *out++ = (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
    }
    *out = '\0';
}

}  // namespace

void LogMessage(const LogWindow* log, const char* format, ...) {
    if (log == nullptr || LoadHandle(log->edit) == nullptr) return;
    std::lock_guard<LogLock> hold(g_lock);
    const Control control = Control::Of(*log);
    if (control.edit == nullptr) return;
    va_list args;
    va_start(args, format);
    FormatLocked(format, args);
    va_end(args);
    EmitLineLocked(control);
}

void LogHexDump(const LogWindow* log, const char* label, const void* bytes, uint32_t count) {
    if (log == nullptr || LoadHandle(log->edit) == nullptr || bytes == nullptr || count == 0)
        return;
    std::lock_guard<LogLock> hold(g_lock);
    const Control control = Control::Of(*log);
    if (control.edit == nullptr) return;
    // The label is a format without values.
    if (label != nullptr) LogLocked(control, label);
    const auto* data = static_cast<const uint8_t*>(bytes);
    char line[kDumpLineCapacity];
    for (uint32_t offset = 0; count != 0;) {
        const uint32_t n = count < kBytesPerLine ? count : kBytesPerLine;
        BuildDumpLine(line, data + offset, n);
        LogLocked(control, "%04X: %s", static_cast<unsigned>(offset), line);
        offset += n;
        count -= n;
    }
}

void AppendEditText(void* edit, const char* text, uint32_t extraBreaks) {
    if (edit == nullptr || text == nullptr) return;
    std::lock_guard<LogLock> hold(g_lock);
    AppendLocked(Control{false, edit}, text, extraBreaks);
}

void AppendEditText(TextSink* sink, const char* text, uint32_t extraBreaks) {
    if (sink == nullptr || text == nullptr) return;
    std::lock_guard<LogLock> hold(g_lock);
    AppendLocked(Control{true, sink}, text, extraBreaks);
}

HResult LogFormatV(const char* format, va_list args) {
    std::lock_guard<LogLock> hold(g_lock);
    return FormatLocked(format, args);
}

const char* LogLineBuffer() {
    return g_line;
}

void AttachTextSink(LogWindow& log, TextSink& sink) {
    std::lock_guard<LogLock> hold(g_lock);
    StoreHandle(log.window, kTextSinkMark);
    StoreHandle(log.edit, &sink);
}

void SetLogWindowHandles(LogWindow& log, void* window, void* edit) {
    std::lock_guard<LogLock> hold(g_lock);
    StoreHandle(log.window, window);
    StoreHandle(log.edit, edit);
}

}  // namespace qx
