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

WaitResult EventWaitHandlingSentMessages(OsHandle event, uint32_t milliseconds) {
    const uint64_t end = MonotonicMs() + milliseconds;
    const DWORD count = event != nullptr ? 1 : 0;
    HANDLE handles[1] = {event};
    for (;;) {
        // Peeking delivers the messages already sent to this thread (nothing is taken from
        // the posted queue). It comes first: a sender that was noticed before this wait (by
        // GetQueueStatus, say) no longer counts as new input and would not wake the wait.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        const uint64_t now = MonotonicMs();
        const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
        const DWORD woke = MsgWaitForMultipleObjectsEx(count, count != 0 ? handles : nullptr, left,
                                                       QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (count != 0 && woke == WAIT_OBJECT_0) return WaitResult::Signalled;
        if (woke == WAIT_OBJECT_0 + count) {
            if (left != 0) continue;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            return WaitResult::TimedOut;
        }
        if (woke == WAIT_TIMEOUT) return WaitResult::TimedOut;
        return WaitResult::Failed;
    }
}

bool WaitsHandleSentMessages() {
    return true;
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
