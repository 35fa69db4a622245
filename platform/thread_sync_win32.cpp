// Events, waits and pauses on Windows.
#include <windows.h>

#include "platform/thread_sync.h"

namespace qx::platform {

OsHandle EventCreate(bool signalled) {
    return CreateEventA(nullptr, FALSE, signalled ? TRUE : FALSE, nullptr);
}

WaitResult EventWait(OsHandle event, uint32_t milliseconds) {
    switch (WaitForSingleObject(event, milliseconds)) {
        case WAIT_OBJECT_0:
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

bool EventSet(OsHandle event) {
    return SetEvent(event) != FALSE;
}

bool EventClose(OsHandle event) {
    return CloseHandle(event) != FALSE;
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

// The performance counter rather than the 15.6 ms tick: time-outs are measured with it.
uint64_t MonotonicMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t c = static_cast<uint64_t>(counter.QuadPart);
    return c / f * 1000 + c % f * 1000 / f;
}

}  // namespace qx::platform
