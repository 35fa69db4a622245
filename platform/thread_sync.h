// Events, waits and pauses: the auto-reset event of the port lock, bounded waits, Sleep.
#pragma once

#include <cstdint>

#include "platform/os_types.h"

namespace qx::platform {

enum class WaitResult { Signalled, TimedOut, Failed };

// An unnamed auto-reset event; nullptr when it cannot be created.
OsHandle EventCreate(bool signalled);
WaitResult EventWait(OsHandle event, uint32_t milliseconds);
bool EventSet(OsHandle event);
bool EventClose(OsHandle event);

void SleepMs(uint32_t milliseconds);

// Waits up to `milliseconds` for `event` (null: for the time alone) while handling the
// messages other threads send to this thread's windows. A thread that owns windows must keep
// answering them while it waits for something their senders may hold. Where no such
// messages exist (POSIX) this is EventWait, or SleepMs for a null event.
WaitResult EventWaitHandlingSentMessages(OsHandle event, uint32_t milliseconds);
// True where waiting threads can be asked to handle sent messages (Windows).
bool WaitsHandleSentMessages();

// Milliseconds from an arbitrary fixed point, never going backwards.
uint64_t MonotonicMs();

}  // namespace qx::platform
