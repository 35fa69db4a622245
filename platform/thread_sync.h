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

// Milliseconds from an arbitrary fixed point, never going backwards.
uint64_t MonotonicMs();

}  // namespace qx::platform
