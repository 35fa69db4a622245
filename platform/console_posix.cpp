// Console services over POSIX signals, termios and /dev.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/console.h"

namespace qx::platform {
namespace {

std::atomic<InterruptHandler> g_handler{nullptr};
std::once_flag g_watcherStarted;

// The signals are blocked everywhere and taken here with sigwait, so the handler runs as
// ordinary code and no read or poll inside the library ever sees EINTR.
void WatchSignals(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        const InterruptHandler handler = g_handler.load();
        if (handler != nullptr && handler()) continue;
        std::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(signal);
        _exit(128 + signal);
    }
}

int Descriptor(ConsoleStream stream) {
    return stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO;
}

std::string CanonicalOr(const std::filesystem::path& path, const std::string& fallback) {
    std::error_code error;
    const auto canonical = std::filesystem::canonical(path, error);
    return error ? fallback : canonical.string();
}

}  // namespace

bool SetInterruptHandler(InterruptHandler handler) {
    g_handler.store(handler);
    bool ok = true;
    std::call_once(g_watcherStarted, [&ok] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
            ok = false;
            return;
        }
        try {
            std::thread(WatchSignals, set).detach();
        } catch (...) {
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            ok = false;
        }
    });
    return ok;
}

bool IsTerminal(ConsoleStream stream) {
    return isatty(Descriptor(stream)) == 1;
}

uint32_t TerminalColumns(ConsoleStream stream) {
    if (!IsTerminal(stream)) return 0;
    winsize size{};
    if (ioctl(Descriptor(stream), TIOCGWINSZ, &size) == 0 && size.ws_col != 0) return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000) return static_cast<uint32_t>(value);
    }
    return 0;
}

std::vector<SerialPortEntry> ListSerialPorts() {
    namespace fs = std::filesystem;
    std::vector<SerialPortEntry> ports;
    std::set<std::string> reached;  // canonical targets of the COM names
    const char* comDir = std::getenv("QX_COM_DIR");
    const bool fromDir = comDir != nullptr && *comDir != '\0';
    for (int number = 0; number <= 255; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const std::string resolved = ResolveComName(name.c_str());
        if (resolved.empty()) continue;
        struct stat link {};
        if (lstat(resolved.c_str(), &link) != 0) continue;
        struct stat target {};
        const bool present = stat(resolved.c_str(), &target) == 0;
        // Without a link directory the built-in map names every candidate; list only those
        // that exist on this machine.
        if (!present && !fromDir) continue;
        SerialPortEntry entry;
        entry.comNumber = number;
        entry.name = name;
        entry.path = resolved;
        if (S_ISLNK(link.st_mode)) {
            std::error_code error;
            fs::path to = fs::read_symlink(resolved, error);
            if (!error) {
                if (to.is_relative()) to = fs::path(resolved).parent_path() / to;
                entry.path = to.lexically_normal().string();
            }
        }
        entry.present = present;
        entry.source = fromDir ? "QX_COM_DIR" : "built-in map";
        if (present) reached.insert(CanonicalOr(resolved, resolved));
        ports.push_back(std::move(entry));
    }

    std::vector<SerialPortEntry> others;
    std::error_code error;
    for (const auto& node : fs::directory_iterator("/dev", error)) {
        const std::string file = node.path().filename().string();
        static const char* const kPrefixes[] = {"ttyUSB", "ttyACM", "rfcomm", "ttyAMA"};
        const bool serial = std::any_of(std::begin(kPrefixes), std::end(kPrefixes),
                                        [&file](const char* p) { return file.rfind(p, 0) == 0; });
        if (!serial) continue;
        const std::string path = node.path().string();
        if (reached.count(CanonicalOr(path, path)) != 0) continue;
        SerialPortEntry entry;
        entry.name = path;
        entry.path = path;
        entry.source = "device node";
        others.push_back(std::move(entry));
    }
    std::sort(others.begin(), others.end(),
              [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.name < b.name; });
    ports.insert(ports.end(), others.begin(), others.end());
    return ports;
}

}  // namespace qx::platform
