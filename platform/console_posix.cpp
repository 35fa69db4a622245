// Console services over POSIX signals and termios.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

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

}  // namespace qx::platform
