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

std::vector<uint8_t> SharedFolderDescriptor() {
    // By default a file in the common application-data folder belongs to the user who made
    // it, and every other standard user may only read it. One entry more than the folder
    // inherits from its parent: Users may read, write, run and delete, in this folder and in
    // everything made in it.
    constexpr DWORD kModify =
        FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD usersSize = sizeof users;
    alignas(DWORD) BYTE aclBuffer[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
    auto* acl = reinterpret_cast<ACL*>(aclBuffer);
    SECURITY_DESCRIPTOR descriptor;
    if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &usersSize) ||
        !InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               kModify, users) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        return {};
    }
    DWORD size = 0;
    MakeSelfRelativeSD(&descriptor, nullptr, &size);
    std::vector<uint8_t> relative(size);
    if (size == 0 || !MakeSelfRelativeSD(&descriptor, relative.data(), &size)) return {};
    return relative;
}

bool CreateSharedFolder(const char* path) {
    std::vector<uint8_t> descriptor = SharedFolderDescriptor();
    if (descriptor.empty()) return CreateFolder(path);
    // Not protected: the parent's inheritable entries join the one asked for.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.data(), FALSE};
    return CreateDirectoryA(path, &attributes) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;
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
