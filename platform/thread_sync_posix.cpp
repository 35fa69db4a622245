// Events, waits and pauses on POSIX: the auto-reset event is a flag under a mutex with a
// condition variable; waits are measured on the steady clock, so a clock change cannot
// stretch or cut them.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/thread_sync.h"

namespace qx::platform {
namespace {

constexpr uint32_t kEventMagic = 0x51584556;  // "QXEV"
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

struct Event {
    uint32_t magic = kEventMagic;
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

Event* EventOf(OsHandle handle) {
    if (handle == nullptr || handle == InvalidHandle()) return nullptr;
    auto* event = static_cast<Event*>(handle);
    return event->magic == kEventMagic ? event : nullptr;
}

}  // namespace

OsHandle EventCreate(bool signalled) {
    auto* event = new (std::nothrow) Event;
    if (event != nullptr) event->signalled = signalled;
    return event;
}

WaitResult EventWait(OsHandle handle, uint32_t milliseconds) {
    Event* event = EventOf(handle);
    if (event == nullptr) return WaitResult::Failed;
    std::unique_lock lock(event->mutex);
    if (milliseconds == kInfinite) {
        event->changed.wait(lock, [event] { return event->signalled; });
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        if (!event->changed.wait_until(lock, deadline, [event] { return event->signalled; }))
            return WaitResult::TimedOut;
    }
    event->signalled = false;  // auto-reset: one waiter takes the signal
    return WaitResult::Signalled;
}

bool EventSet(OsHandle handle) {
    Event* event = EventOf(handle);
    if (event == nullptr) return false;
    {
        std::lock_guard lock(event->mutex);
        event->signalled = true;
    }
    event->changed.notify_one();
    return true;
}

bool EventClose(OsHandle handle) {
    Event* event = EventOf(handle);
    if (event == nullptr) return false;
    event->magic = 0;
    delete event;
    return true;
}

void SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// No window messages here: a plain wait.
WaitResult EventWaitHandlingSentMessages(OsHandle event, uint32_t milliseconds) {
    if (event == nullptr) {
        SleepMs(milliseconds);
        return WaitResult::TimedOut;
    }
    return EventWait(event, milliseconds);
}

bool WaitsHandleSentMessages() {
    return false;
}

uint64_t MonotonicMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace qx::platform
