// Why a tty cannot be used, in the terms a Linux user acts on: the group to join, the
// process that holds the lock, what the path really is.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/net_socket.h"
#include "platform/port_failure.h"

namespace qx::platform {
namespace {

thread_local PortFailure g_record;

PortProblem OfOpenErrno(int error) {
    switch (error) {
        case 0:
            return PortProblem::None;
        case ENOENT:
        case ENOTDIR:
        case ENODEV:
        case ENXIO:
            return PortProblem::NoSuchPort;
        case EACCES:
        case EPERM:
            return PortProblem::AccessDenied;
        case EBUSY:
        case EWOULDBLOCK:
            return PortProblem::InUse;
        case EISDIR:
            return PortProblem::NotSerial;
        default:
            return PortProblem::Other;
    }
}

PortProblem OfStateErrno(int error) {
    return error == ENOTTY || error == EINVAL ? PortProblem::NotSerial : PortProblem::Other;
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

std::string UserName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

// "crw-rw----", as ls shows it.
std::string ModeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISBLK(mode) ? "b" : S_ISDIR(mode) ? "d" : "-";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
    return text;
}

bool ProcessHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The user's groups as the group database has them now (a login picks them up; a running
// session keeps the ones it started with).
bool UserListedInGroup(gid_t gid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* user = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &user) != 0 || user == nullptr)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return false;
    }
    return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

std::string WhyDenied(const std::string& link) {
    struct stat node {};
    if (stat(link.c_str(), &node) != 0) return link;
    // Name the device node itself: its owner and mode are what matter.
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(link, error);
    const std::string path = error ? link : canonical.string();
    const std::string group = GroupName(node.st_gid);
    const std::string mode = ModeText(node.st_mode);
    const bool groupMayUse = (node.st_mode & 060) == 060;
    const std::string owner = path + " belongs to user " + UserName(node.st_uid) + " and group " +
                              group + ", mode " + mode;
    if (!groupMayUse) return owner + ", which lets neither you nor that group read and write it";
    if (node.st_gid == 0) return owner + ", which only root and group root may read and write";
    const std::string text = path + " belongs to group " + group + ", mode " + mode;
    if (ProcessHasGroup(node.st_gid))
        return text +
               ", and you are in that group: something beyond the mode (an access "
               "control list, a security module) refuses it";
    if (UserListedInGroup(node.st_gid))
        return text + "; you were added to " + group +
               " after logging in: log in again (or start a shell with `newgrp " + group + "`)";
    return text + ": join the group with `sudo usermod -aG " + group + " $USER`, then log in again";
}

std::string WhyMissing(const PortFailure& failure) {
    if (failure.path.empty())
        return failure.name + " names no device: without QX_COM_DIR the map covers COM1 to COM96";
    namespace fs = std::filesystem;
    struct stat link {};
    if (lstat(failure.path.c_str(), &link) != 0) {
        const fs::path folder = fs::path(failure.path).parent_path();
        struct stat dir {};
        if (!folder.empty() && stat(folder.c_str(), &dir) != 0) {
            const char* comDir = std::getenv("QX_COM_DIR");
            if (comDir != nullptr &&
                fs::path(comDir).lexically_normal() == folder.lexically_normal())
                return "QX_COM_DIR names " + std::string(comDir) + ", which does not exist";
            return "the folder " + folder.string() + " does not exist";
        }
        return "nothing at " + failure.path;
    }
    if (S_ISLNK(link.st_mode)) {
        struct stat target {};
        if (stat(failure.path.c_str(), &target) != 0) {
            std::error_code error;
            const fs::path to = fs::read_symlink(failure.path, error);
            return failure.path + " links to " + (error ? "a path" : to.string()) +
                   ", which does not exist";
        }
    }
    return failure.path + " has no device behind it (" + std::strerror(failure.osError) + ")";
}

// The process holding an flock (or any lock) on the node, from /proc/locks.
std::string Holder(const std::string& path) {
    struct stat node {};
    if (path.empty() || stat(path.c_str(), &node) != 0) return "";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos) continue;  // a waiter, not the holder
        std::istringstream fields(line);
        std::string id, kind, advisory, access, where;
        long pid = 0;
        if (!(fields >> id >> kind >> advisory >> access >> pid >> where)) continue;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &devMajor, &devMinor, &inode) != 3) continue;
        if (devMajor != major(node.st_dev) || devMinor != minor(node.st_dev) ||
            inode != node.st_ino)
            continue;
        if (pid <= 0 || pid == getpid()) continue;
        std::string command;
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::getline(comm, command);
        return " (" + (command.empty() ? std::string() : command + ", ") + "process " +
               std::to_string(pid) + ")";
    }
    return "";
}

std::string WhatItIs(const std::string& link) {
    struct stat node {};
    if (stat(link.c_str(), &node) != 0) return link + " is not a terminal";
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(link, error);
    const std::string path = error ? link : canonical.string();
    const char* what = S_ISREG(node.st_mode)    ? "a regular file"
                       : S_ISDIR(node.st_mode)  ? "a folder"
                       : S_ISBLK(node.st_mode)  ? "a block device"
                       : S_ISFIFO(node.st_mode) ? "a pipe"
                       : S_ISSOCK(node.st_mode) ? "a socket"
                                                : "a device that is not a terminal";
    return path + " is " + what;
}

}  // namespace

void BeginPortRecord(const char* name, const std::string& path) {
    g_record = PortFailure{};
    g_record.name = name != nullptr ? name : "";
    g_record.path = path;
}

void NoteOpenError(uint32_t osError) {
    g_record.problem = OfOpenErrno(static_cast<int>(osError));
    g_record.osError = osError;
}

void NoteStateError(uint32_t osError) {
    g_record.problem = OfStateErrno(static_cast<int>(osError));
    g_record.osError = osError;
}

PortFailure LastPortFailure() {
    return g_record;
}

PortFailure TryPort(const char* name) {
    if (const std::string url = NetPortUrl(name); !url.empty() || LooksLikeNetPortName(name))
        return TryNetPort(name, url.empty() ? name : url);
    PortFailure result;
    result.name = name != nullptr ? name : "";
    result.path = ResolveComName(name);
    auto fail = [&result](PortProblem problem, int error) {
        result.problem = problem;
        result.osError = static_cast<uint32_t>(error);
        return result;
    };
    if (result.path.empty()) return fail(PortProblem::NoSuchPort, ENOENT);
    const int fd = open(result.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(OfOpenErrno(errno), errno);
    // The same two checks as CommOpen, without touching the line settings.
    int error = 0;
    PortProblem problem = PortProblem::None;
    termios tio{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        problem = PortProblem::InUse;
        error = EBUSY;
    } else if (tcgetattr(fd, &tio) != 0) {
        error = errno;
        problem = OfStateErrno(error);
    }
    close(fd);
    return fail(problem, error);
}

std::string DescribePortFailure(const PortFailure& failure) {
    if (failure.problem != PortProblem::None && LooksLikeNetPortName(failure.path.c_str()))
        return DescribeNetPortFailure(failure);
    switch (failure.problem) {
        case PortProblem::None:
            return "opens";
        case PortProblem::NoSuchPort:
            return "no such port (" + WhyMissing(failure) + ")";
        case PortProblem::AccessDenied:
            return "permission denied (" + WhyDenied(failure.path) + ")";
        case PortProblem::InUse:
            return "in use by another program" + Holder(failure.path);
        case PortProblem::NotSerial:
            return "not a serial device (" + WhatItIs(failure.path) + ")";
        case PortProblem::Other:
            break;
    }
    return std::string("cannot be opened (") + std::strerror(static_cast<int>(failure.osError)) +
           ")";
}

}  // namespace qx::platform
