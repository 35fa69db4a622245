// File watching with ReadDirectoryChangesW on the file's directory (overlapped, so a wait
// can end on its time-out).
#include <windows.h>

#include <wchar.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/file_watch.h"

namespace qx::platform {
namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

std::string LastError(const char* what) {
    return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                          FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_CREATION;

}  // namespace

struct FileWatch::Impl {
    HANDLE directory = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    bool pending = false;
    std::wstring name;
    alignas(DWORD) BYTE buffer[16384];

    ~Impl() { Close(); }

    void Close() {
        if (directory != INVALID_HANDLE_VALUE) {
            if (pending) {
                CancelIo(directory);
                DWORD ignored = 0;
                GetOverlappedResult(directory, &overlapped, &ignored, TRUE);
                pending = false;
            }
            CloseHandle(directory);
            directory = INVALID_HANDLE_VALUE;
        }
        if (event != nullptr) {
            CloseHandle(event);
            event = nullptr;
        }
    }

    bool Issue() {
        ResetEvent(event);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        pending = ReadDirectoryChangesW(directory, buffer, sizeof buffer, FALSE, kFilter, nullptr,
                                        &overlapped, nullptr) != 0;
        return pending;
    }

    // The records of one completed read: whether one names the file (or some were lost) and
    // whether the last of those renamed a file onto the name. Windows reports no close, so an
    // in-place write is never settled.
    bool Concerns(DWORD bytes, bool& settled) const {
        if (bytes == 0) {  // the buffer overflowed: changes were dropped
            settled = false;
            return true;
        }
        bool hit = false;
        for (DWORD at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
            const std::wstring changed(info->FileName, info->FileNameLength / sizeof(WCHAR));
            // Windows file names compare without case.
            if (_wcsicmp(changed.c_str(), name.c_str()) == 0) {
                hit = true;
                settled = info->Action == FILE_ACTION_RENAMED_NEW_NAME;
            }
            if (info->NextEntryOffset == 0) return hit;
            at += info->NextEntryOffset;
        }
    }
};

FileWatch::FileWatch() : impl_(std::make_unique<Impl>()) {}
FileWatch::~FileWatch() = default;

bool FileWatch::Start(const std::string& path, std::string* error) {
    impl_->Close();
    const std::filesystem::path file(path);
    const std::string directory = file.has_parent_path() ? file.parent_path().string() : ".";
    impl_->name = Wide(file.filename().string());
    impl_->directory =
        CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (impl_->directory == INVALID_HANDLE_VALUE) {
        if (error) *error = "cannot watch " + directory + ": " + LastError("CreateFile");
        return false;
    }
    impl_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (impl_->event == nullptr || !impl_->Issue()) {
        if (error) *error = "cannot watch " + directory + ": " + LastError("ReadDirectoryChangesW");
        impl_->Close();
        return false;
    }
    return true;
}

FileWatch::Event FileWatch::Wait(uint32_t timeoutMs) {
    if (impl_->directory == INVALID_HANDLE_VALUE || !impl_->pending) return Event::Failed;
    // Records about other files of the directory do not end the wait early.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Rounded up: a wait never ends before its time.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        const DWORD waited =
            WaitForSingleObject(impl_->event, left > 0 ? static_cast<DWORD>(left) : 0);
        if (waited == WAIT_TIMEOUT) return Event::Timeout;
        if (waited != WAIT_OBJECT_0) return Event::Failed;
        DWORD bytes = 0;
        impl_->pending = false;
        if (!GetOverlappedResult(impl_->directory, &impl_->overlapped, &bytes, FALSE))
            return Event::Failed;
        bool settled = false;
        const bool hit = impl_->Concerns(bytes, settled);
        const Event change = settled ? Event::Settled : Event::Changed;
        if (!impl_->Issue()) return hit ? change : Event::Failed;
        if (hit) return change;
        if (left <= 0) return Event::Timeout;
    }
}

}  // namespace qx::platform
