// A worker logging into the debug window while the window's own thread waits for the log
// lock. The worker holds the lock while its EM_* messages wait for the window's thread; that
// thread must keep handling them while it waits, or neither ever moves again. A watchdog ends
// the process if it hangs, so a regression fails instead of stalling the suite.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log_sink.h"
#include "win32ui/win32ui.h"

namespace {

constexpr int kWatchdogSeconds = 30;

class Watchdog {
  public:
    explicit Watchdog(const char* what)
        : thread_([this, what] {
              const auto end =
                  std::chrono::steady_clock::now() + std::chrono::seconds(kWatchdogSeconds);
              while (!done_.load()) {
                  if (std::chrono::steady_clock::now() > end) {
                      std::fprintf(stderr, "deadlock: %s did not finish in %d s\n", what,
                                   kWatchdogSeconds);
                      std::fflush(stderr);
                      std::_Exit(3);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::string EditText(HWND edit) {
    const int length = GetWindowTextLengthA(edit);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(edit, text.data(), length + 1)));
    return text;
}

// True once another thread waits in SendMessage for this one (without handling it).
bool SentMessageWaiting() {
    return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0;
}

void PumpUntil(const std::atomic<bool>& flag) {
    while (!flag.load()) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

struct Scenario {
    const char* name;
    bool dumpOnWindowThread;  // the window's thread writes whole dumps (long lock holds)
};

TEST(LogLockWin32, WindowThreadWaitingForTheLockKeepsServingTheWorker) {
    const Scenario scenarios[] = {{"lines from both threads", false},
                                  {"dumps from the window's thread", true}};
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Watchdog watchdog(s.name);
        qx::LogWindow log;
        HWND window =
            qx::OpenDebugWindow(log, GetModuleHandleA(nullptr), nullptr, SW_SHOWNOACTIVATE);
        ASSERT_NE(window, nullptr);
        HWND edit = static_cast<HWND>(log.edit);

        // Few lines: every append to a visible edit control costs tens of milliseconds here.
        constexpr int kLines = 40;

        std::atomic<bool> workerDone{false};
        std::thread worker([&] {
            for (int i = 0; i < kLines; ++i) qx::LogMessage(&log, "worker %d", i);
            workerDone = true;
        });
        // Without handling anything: wait until the worker holds the lock and waits for us.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!SentMessageWaiting() && std::chrono::steady_clock::now() < end) Sleep(1);
        ASSERT_TRUE(SentMessageWaiting()) << "the worker never reached the window";

        // Now the lock is the worker's: this thread has to wait for it.
        const uint8_t bytes[20] = {0x41, 0x42, 0x0D};
        for (int i = 0; i < kLines; ++i) {
            if (s.dumpOnWindowThread) {
                qx::LogHexDump(&log, "window dump", bytes, sizeof bytes);
            } else {
                qx::LogMessage(&log, "window %d", i);
            }
        }
        PumpUntil(workerDone);
        worker.join();

        // Every line arrived whole, each thread's in its own order, a dump in one piece.
        std::istringstream lines(EditText(edit));
        int nextWorker = 0;
        int nextWindow = 0;
        int dumps = 0;
        std::vector<std::string> all;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            all.push_back(line);
        }
        for (size_t i = 0; i < all.size(); ++i) {
            const std::string& line = all[i];
            if (line == "worker " + std::to_string(nextWorker)) {
                ++nextWorker;
            } else if (!s.dumpOnWindowThread && line == "window " + std::to_string(nextWindow)) {
                ++nextWindow;
            } else if (s.dumpOnWindowThread && line == "window dump") {
                ASSERT_LT(i + 2, all.size());
                EXPECT_EQ(all[i + 1].substr(0, 6), "0000: ");
                EXPECT_EQ(all[i + 2].substr(0, 6), "0010: ");
                i += 2;
                ++dumps;
            } else {
                ADD_FAILURE() << "line " << i << " out of place: \"" << line << "\"";
                break;
            }
        }
        EXPECT_EQ(nextWorker, kLines);
        EXPECT_EQ(s.dumpOnWindowThread ? dumps : nextWindow, kLines);
        qx::ReleaseLogWindow(&log);
    }
}

}  // namespace
