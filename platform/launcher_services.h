// Operating-system services of the launcher: the settings file, the single-instance mutex,
// the user-interface library, and the folders it all lives in.
//
// Windows: CreateFileA/ReadFile/WriteFile/SetFilePointer/SetEndOfFile, CreateMutexA,
// LoadLibraryA/GetProcAddress by ordinal, SHGetFolderPathA(CSIDL_COMMON_APPDATA).
//
// POSIX equivalents, keeping the names and sizes:
//   - mutex "NAME": an flock on "NAME.lock" in $QX_LOCK_DIR, else $XDG_RUNTIME_DIR, else
//     /tmp (there as "NAME-<uid>.lock"). The lock lives as long as the handle, as a named
//     mutex exists as long as a handle to it is open.
//   - the library: dlopen of the file beside the executable; its entry is the symbol
//     kUIEntrySymbol.
//   - common application-data folder: $QX_COMMON_APPDATA, else $XDG_DATA_HOME, else
//     $HOME/.local/share (created when missing).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/os_types.h"

// Calling convention and export of the user-interface library's entry.
#if defined(_WIN32)
#define QX_UI_CDECL __cdecl
#define QX_UI_EXPORT
#else
#define QX_UI_CDECL
#define QX_UI_EXPORT __attribute__((visibility("default")))
#endif

namespace qx::platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
// The entry a POSIX user-interface library exports (Windows finds it by ordinal 1).
inline constexpr const char* kUIEntrySymbol = "UIProcedure";
#endif

// ---- files: one synchronous handle, InvalidHandle() when it cannot be opened.

// Read and write, others may read and write too; created when missing.
OsHandle FileOpenAlways(const char* path);
// Write only, emptied or created.
OsHandle FileCreateEmpty(const char* path);
bool FileClose(OsHandle file);
// Size in bytes; -1 when it cannot be read.
int64_t FileSize(OsHandle file);
bool FileRead(OsHandle file, void* buffer, uint32_t count, uint32_t* done);
bool FileWrite(OsHandle file, const void* buffer, uint32_t count, uint32_t* done);
bool FileSeekStart(OsHandle file, uint32_t offset);
// Cuts the file at the current position.
bool FileTruncateHere(OsHandle file);
// Forces written data to the disk.
bool FileFlush(OsHandle file);
// Puts `from` in the place of `to` in one step (an existing `to` is replaced).
bool FileReplace(const char* from, const char* to);
bool FileDelete(const char* path);

// ---- folders: paths are plain text in a buffer of `capacity` characters.

// The machine's common application-data folder (no trailing separator). False when it is
// unknown; `path` is then empty.
bool CommonAppDataFolder(char* path, uint32_t capacity);
// Appends `component` with one separator between; false (path unchanged) when it would not fit.
bool AppendPath(char* path, uint32_t capacity, const char* component);
// Creates one folder; an existing one counts as success.
bool CreateFolder(const char* path);
// Creates one folder for the machine's shared data, which every user may change: Windows
// grants the built-in Users group modify rights on it, inherited by the files and folders
// made in it. POSIX creates it as CreateFolder does. An existing one counts as success and
// keeps its permissions.
bool CreateSharedFolder(const char* path);
#if defined(_WIN32)
// The security descriptor CreateSharedFolder makes the folder with, self-relative: its access
// list holds the one entry for Users and is not protected. Empty when it cannot be built.
std::vector<uint8_t> SharedFolderDescriptor();
#endif
// The folder of the running executable, with a trailing separator. False when unknown or
// too long.
bool ExecutableFolder(char* path, uint32_t capacity);

// ---- the named single-instance mutex.

struct NamedMutex {
    OsHandle handle;      // nullptr when it could not be created at all
    bool alreadyExisted;  // another process holds a handle to it
};
// Creates the mutex, owned by the caller. When it already existed the caller does not own it.
NamedMutex MutexCreateOwned(const char* name);
bool MutexRelease(OsHandle mutex);

// ---- the user-interface library.

using LibraryHandle = void*;
// Loads the library from exactly `path` (no search); nullptr on failure.
LibraryHandle LibraryLoad(const char* path);
// The entry exported by ordinal 1 (POSIX: kUIEntrySymbol); nullptr when missing.
void* LibraryEntry(LibraryHandle library);
bool LibraryFree(LibraryHandle library);

}  // namespace qx::platform
