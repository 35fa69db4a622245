// Launcher services over Win32.
#include <windows.h>
// After windows.h:
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

#include "platform/launcher_services.h"

namespace qx::platform {

OsHandle FileOpenAlways(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

OsHandle FileCreateEmpty(const char* path) {
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

bool FileClose(OsHandle file) {
    if (file == nullptr || file == InvalidHandle()) return false;
    return CloseHandle(file) != FALSE;
}

int64_t FileSize(OsHandle file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) return -1;
    return size.QuadPart;
}

bool FileRead(OsHandle file, void* buffer, uint32_t count, uint32_t* done) {
    DWORD moved = 0;
    const BOOL ok = ReadFile(file, buffer, count, &moved, nullptr);
    if (done != nullptr) *done = moved;
    return ok != FALSE;
}

bool FileWrite(OsHandle file, const void* buffer, uint32_t count, uint32_t* done) {
    DWORD moved = 0;
    const BOOL ok = WriteFile(file, buffer, count, &moved, nullptr);
    if (done != nullptr) *done = moved;
    return ok != FALSE;
}

bool FileSeekStart(OsHandle file, uint32_t offset) {
    return SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) !=
           INVALID_SET_FILE_POINTER;
}

bool FileTruncateHere(OsHandle file) {
    return SetEndOfFile(file) != FALSE;
}

bool FileFlush(OsHandle file) {
    return FlushFileBuffers(file) != FALSE;
}

bool FileReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool FileDelete(const char* path) {
    return DeleteFileA(path) != FALSE;
}

bool CommonAppDataFolder(char* path, uint32_t capacity) {
    char folder[MAX_PATH] = {};
    const HRESULT hr =
        SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    const size_t length = std::strlen(folder);
    if (capacity == 0) return false;
    if (FAILED(hr) || length >= capacity) {
        path[0] = '\0';
        return false;
    }
    std::memcpy(path, folder, length + 1);
    return true;
}

bool AppendPath(char* path, uint32_t capacity, const char* component) {
    // PathAppendA works in a MAX_PATH buffer; refuse anything that would not fit ours.
    char joined[MAX_PATH];
    const size_t length = std::strlen(path);
    if (length >= sizeof joined) return false;
    std::memcpy(joined, path, length + 1);
    if (!PathAppendA(joined, component)) return false;
    const size_t joinedLength = std::strlen(joined);
    if (joinedLength >= capacity) return false;
    std::memcpy(path, joined, joinedLength + 1);
    return true;
}

bool CreateFolder(const char* path) {
    return CreateDirectoryA(path, nullptr) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ExecutableFolder(char* path, uint32_t capacity) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    // A full buffer means the name was cut.
    if (n == 0 || n >= sizeof self) {
        if (capacity != 0) path[0] = '\0';
        return false;
    }
    char* slash = std::strrchr(self, '\\');
    if (slash == nullptr) slash = std::strrchr(self, '/');
    if (slash == nullptr) return false;
    slash[1] = '\0';
    const size_t length = std::strlen(self);
    if (length >= capacity) {
        if (capacity != 0) path[0] = '\0';
        return false;
    }
    std::memcpy(path, self, length + 1);
    return true;
}

NamedMutex MutexCreateOwned(const char* name) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    return {mutex, existed};
}

bool MutexRelease(OsHandle mutex) {
    return mutex != nullptr && ReleaseMutex(mutex) != FALSE;
}

LibraryHandle LibraryLoad(const char* path) {
    // Only a full path: a bare name would be looked for in the current folder as well.
    if (path == nullptr || PathIsRelativeA(path)) return nullptr;
    return LoadLibraryA(path);
}

void* LibraryEntry(LibraryHandle library) {
    if (library == nullptr) return nullptr;
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(1)));
}

bool LibraryFree(LibraryHandle library) {
    return library != nullptr && FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
}

}  // namespace qx::platform
