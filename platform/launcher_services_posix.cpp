// Launcher services over POSIX: files by descriptor, the mutex as a lock file, dlopen.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/launcher_services.h"

namespace qx::platform {
namespace {

// A file or mutex handle: a descriptor behind a pointer, so that no valid handle is null.
struct Descriptor {
    int fd;
};

Descriptor* DescriptorOf(OsHandle handle) {
    if (handle == nullptr || handle == InvalidHandle()) return nullptr;
    return static_cast<Descriptor*>(handle);
}

OsHandle Wrap(int fd) {
    if (fd < 0) return InvalidHandle();
    auto* d = new (std::nothrow) Descriptor{fd};
    if (d == nullptr) {
        close(fd);
        return InvalidHandle();
    }
    return d;
}

bool CopyOut(const std::string& text, char* path, uint32_t capacity) {
    if (capacity == 0) return false;
    if (text.size() >= capacity) {
        path[0] = '\0';
        return false;
    }
    std::memcpy(path, text.c_str(), text.size() + 1);
    return true;
}

const char* NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

// mkdir -p: the documented defaults may not exist yet on a fresh account.
bool CreateFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return CreateFolder(path.c_str());
}

}  // namespace

OsHandle FileOpenAlways(const char* path) {
    return Wrap(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
}

OsHandle FileCreateEmpty(const char* path) {
    return Wrap(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
}

bool FileClose(OsHandle file) {
    Descriptor* d = DescriptorOf(file);
    if (d == nullptr) return false;
    const bool ok = close(d->fd) == 0;
    delete d;
    return ok;
}

int64_t FileSize(OsHandle file) {
    Descriptor* d = DescriptorOf(file);
    struct stat st {};
    if (d == nullptr || fstat(d->fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool FileRead(OsHandle file, void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    Descriptor* d = DescriptorOf(file);
    if (d == nullptr) return false;
    uint32_t total = 0;
    while (total < count) {
        const ssize_t n = read(d->fd, static_cast<char*>(buffer) + total, count - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        total += static_cast<uint32_t>(n);
    }
    if (done != nullptr) *done = total;
    return true;
}

bool FileWrite(OsHandle file, const void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    Descriptor* d = DescriptorOf(file);
    if (d == nullptr) return false;
    uint32_t total = 0;
    while (total < count) {
        const ssize_t n = write(d->fd, static_cast<const char*>(buffer) + total, count - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        total += static_cast<uint32_t>(n);
        if (done != nullptr) *done = total;
    }
    return true;
}

bool FileSeekStart(OsHandle file, uint32_t offset) {
    Descriptor* d = DescriptorOf(file);
    return d != nullptr && lseek(d->fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool FileTruncateHere(OsHandle file) {
    Descriptor* d = DescriptorOf(file);
    if (d == nullptr) return false;
    const off_t here = lseek(d->fd, 0, SEEK_CUR);
    return here >= 0 && ftruncate(d->fd, here) == 0;
}

bool FileFlush(OsHandle file) {
    Descriptor* d = DescriptorOf(file);
    return d != nullptr && fsync(d->fd) == 0;
}

bool FileReplace(const char* from, const char* to) {
    if (rename(from, to) != 0) return false;
    // Make the new directory entry itself durable; failing that is no reason to fail.
    std::string folder(to);
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool FileDelete(const char* path) {
    return unlink(path) == 0;
}

bool CommonAppDataFolder(char* path, uint32_t capacity) {
    std::string folder;
    if (const char* own = NonEmptyEnv("QX_COMMON_APPDATA")) {
        folder = own;
    } else if (const char* xdg = NonEmptyEnv("XDG_DATA_HOME")) {
        folder = xdg;
    } else if (const char* home = NonEmptyEnv("HOME")) {
        folder = std::string(home) + "/.local/share";
    } else {
        if (capacity != 0) path[0] = '\0';
        return false;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    CreateFolders(folder);
    return CopyOut(folder, path, capacity);
}

bool AppendPath(char* path, uint32_t capacity, const char* component) {
    std::string joined(path);
    if (!joined.empty() && joined.back() != '/') joined += '/';
    while (*component == '/') ++component;
    joined += component;
    if (joined.size() >= capacity) return false;
    std::memcpy(path, joined.c_str(), joined.size() + 1);
    return true;
}

bool CreateFolder(const char* path) {
    if (mkdir(path, 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateSharedFolder(const char* path) {
    // The default common folder here is the user's own ($XDG_DATA_HOME): writable for the
    // group it would not be shared but exposed. Who shares a folder set by
    // QX_COMMON_APPDATA gives it the group and mode that fit (a setgid folder, say).
    return CreateFolder(path);
}

bool ExecutableFolder(char* path, uint32_t capacity) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        if (capacity != 0) path[0] = '\0';
        return false;
    }
    std::string folder(self, static_cast<size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    return CopyOut(folder, path, capacity);
}

NamedMutex MutexCreateOwned(const char* name) {
    std::string file;
    if (const char* dir = NonEmptyEnv("QX_LOCK_DIR")) {
        file = std::string(dir) + "/" + name + ".lock";
    } else if (const char* runtime = NonEmptyEnv("XDG_RUNTIME_DIR")) {
        file = std::string(runtime) + "/" + name + ".lock";
    } else {
        // Shared /tmp: one file per user, so that nobody else's lock stands in the way.
        file = "/tmp/" + std::string(name) + "-" + std::to_string(getuid()) + ".lock";
    }
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return {nullptr, false};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return {nullptr, held};
    }
    // The handle stays open until the process ends, so it carries the descriptor itself
    // (plus one, never null) rather than an allocation nobody frees.
    return {reinterpret_cast<OsHandle>(static_cast<intptr_t>(fd) + 1), false};
}

bool MutexRelease(OsHandle mutex) {
    // Ownership ends here, but the lock stands for the handle, which stays open until the
    // process ends, just as the named mutex keeps existing while its handle is open.
    return mutex != nullptr && mutex != InvalidHandle();
}

LibraryHandle LibraryLoad(const char* path) {
    if (path == nullptr || std::strchr(path, '/') == nullptr) return nullptr;  // never search
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* LibraryEntry(LibraryHandle library) {
    if (library == nullptr) return nullptr;
    return dlsym(library, kUIEntrySymbol);
}

bool LibraryFree(LibraryHandle library) {
    return library != nullptr && dlclose(library) == 0;
}

}  // namespace qx::platform
