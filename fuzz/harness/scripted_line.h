// A scripted serial line at the platform seam: the COM-port and event services of
// platform/comm.h and platform/thread_sync.h, in process and without a clock. The "device"
// is a byte script: every port read takes one mode byte from it, then (depending on the
// mode) the reply bytes. Nothing ever waits: a read past the end of the script is a read
// time-out that returns at once, a sleep returns at once, an event that is not signalled
// times out at once. The real QXSerial and device code run on top of it unchanged.
//
// Read modes (one byte per platform read):
//   0x00..0xBF  the whole count from the script (fewer when the script runs out)
//   0xC0..0xEF  a short read: at most (mode - 0xC0) bytes
//   0xF0..0xFF  the read fails (the device went away)
//
// Single-threaded: one fuzz input at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qxfuzz {

struct ScriptedLine {
    const uint8_t* script = nullptr;
    size_t size = 0;
    size_t position = 0;

    int openablePort = 9;       // the one COM number that opens (-1: none)
    uint32_t failWriteAt = 0;   // 1-based write call that fails (0: none)
    uint32_t shortWriteAt = 0;  // 1-based write call that sends one byte less (0: none)
    uint32_t writeCalls = 0;
    uint32_t readCalls = 0;
    uint32_t sleeps = 0;
    std::vector<std::vector<uint8_t>> writes;  // every request as written
    std::function<void()> afterWrite;          // test hook, runs after each write call
    std::function<void()> onExhausted;         // runs when a read finds the script empty
    std::function<void()> onSleep;             // runs after each (instant) pause

    bool exhausted() const { return position >= size; }
};

// The line the platform functions use. Reset() starts a new script.
ScriptedLine& Line();
void ResetLine(const uint8_t* script, size_t size);

// Handles still open (ports and events): every open must be closed again.
int OpenPortHandles();
int OpenEventHandles();

}  // namespace qxfuzz
