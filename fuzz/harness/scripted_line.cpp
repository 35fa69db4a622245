// The platform seam over a scripted line: comm.h and thread_sync.h without a device, a
// terminal or a clock.
#include "scripted_line.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/comm.h"
#include "platform/thread_sync.h"

namespace qxfuzz {
namespace {

constexpr uint32_t kPortMagic = 0x46555A50;   // "FUZP"
constexpr uint32_t kEventMagic = 0x46555A45;  // "FUZE"

struct Port {
    uint32_t magic = kPortMagic;
    qx::DCB dcb{};
    qx::COMMTIMEOUTS timeouts{};
};

struct Event {
    uint32_t magic = kEventMagic;
    bool signalled = false;
};

ScriptedLine gLine;
int gPorts = 0;
int gEvents = 0;
uint64_t gClock = 0;

Port* PortOf(qx::OsHandle handle) {
    if (handle == nullptr || handle == qx::InvalidHandle()) return nullptr;
    auto* port = static_cast<Port*>(handle);
    return port->magic == kPortMagic ? port : nullptr;
}

Event* EventOf(qx::OsHandle handle) {
    if (handle == nullptr || handle == qx::InvalidHandle()) return nullptr;
    auto* event = static_cast<Event*>(handle);
    return event->magic == kEventMagic ? event : nullptr;
}

// "\\.\COMn" or "COMn": n, else -1.
int ComNumber(const char* name) {
    if (name == nullptr) return -1;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == '\0') return -1;
    int value = 0;
    for (const char* p = name + 3; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > 100000) return -1;
        value = value * 10 + (*p - '0');
    }
    return value;
}

}  // namespace

ScriptedLine& Line() {
    return gLine;
}

void ResetLine(const uint8_t* script, size_t size) {
    gLine = ScriptedLine{};
    gLine.script = script;
    gLine.size = size;
}

int OpenPortHandles() {
    return gPorts;
}

int OpenEventHandles() {
    return gEvents;
}

}  // namespace qxfuzz

namespace qx::platform {

using qxfuzz::gLine;

OsHandle CommOpen(const char* name) {
    const int number = qxfuzz::ComNumber(name);
    if (number < 0 || number != gLine.openablePort) return InvalidHandle();
    auto* port = new qxfuzz::Port;
    port->dcb.DCBlength = sizeof(DCB);
    port->dcb.BaudRate = 9600;
    port->dcb.ByteSize = 8;
    ++qxfuzz::gPorts;
    return port;
}

bool CommClose(OsHandle handle) {
    qxfuzz::Port* port = qxfuzz::PortOf(handle);
    if (port == nullptr) return false;
    port->magic = 0;
    delete port;
    --qxfuzz::gPorts;
    return true;
}

bool CommGetState(OsHandle handle, DCB* dcb) {
    qxfuzz::Port* port = qxfuzz::PortOf(handle);
    if (port == nullptr || dcb == nullptr) return false;
    *dcb = port->dcb;
    return true;
}

bool CommSetState(OsHandle handle, DCB* dcb) {
    qxfuzz::Port* port = qxfuzz::PortOf(handle);
    if (port == nullptr || dcb == nullptr || dcb->BaudRate == 0) return false;
    port->dcb = *dcb;
    return true;
}

bool CommSetup(OsHandle handle, uint32_t, uint32_t) {
    return qxfuzz::PortOf(handle) != nullptr;
}

bool CommGetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    qxfuzz::Port* port = qxfuzz::PortOf(handle);
    if (port == nullptr || timeouts == nullptr) return false;
    *timeouts = port->timeouts;
    return true;
}

bool CommSetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    qxfuzz::Port* port = qxfuzz::PortOf(handle);
    if (port == nullptr || timeouts == nullptr) return false;
    port->timeouts = *timeouts;
    return true;
}

bool CommPurge(OsHandle handle, uint32_t) {
    // The script is consumed on demand: there is nothing buffered to discard.
    return qxfuzz::PortOf(handle) != nullptr;
}

bool CommRead(OsHandle handle, void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (qxfuzz::PortOf(handle) == nullptr || (buffer == nullptr && count != 0)) return false;
    ++gLine.readCalls;
    if (count == 0) return true;
    if (gLine.exhausted()) {
        if (gLine.onExhausted) gLine.onExhausted();
        return true;  // the read time-out, at once
    }
    const uint8_t mode = gLine.script[gLine.position++];
    if (mode >= 0xF0) return false;
    size_t want = count;
    if (mode >= 0xC0) want = std::min<size_t>(want, mode - 0xC0u);
    const size_t take = std::min(want, gLine.size - gLine.position);
    std::memcpy(buffer, gLine.script + gLine.position, take);
    gLine.position += take;
    if (done != nullptr) *done = static_cast<uint32_t>(take);
    return true;
}

bool CommWrite(OsHandle handle, const void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (qxfuzz::PortOf(handle) == nullptr || (buffer == nullptr && count != 0)) return false;
    ++gLine.writeCalls;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    bool ok = true;
    uint32_t sent = count;
    if (gLine.writeCalls == gLine.failWriteAt) {
        ok = false;
        sent = 0;
    } else if (gLine.writeCalls == gLine.shortWriteAt && count > 0) {
        sent = count - 1;
    }
    gLine.writes.emplace_back(bytes, bytes + count);
    if (done != nullptr) *done = sent;
    if (gLine.afterWrite) gLine.afterWrite();
    return ok;
}

std::string ResolveComName(const char* name) {
    return name == nullptr ? std::string() : std::string(name);
}

OsHandle EventCreate(bool signalled) {
    auto* event = new qxfuzz::Event;
    event->signalled = signalled;
    ++qxfuzz::gEvents;
    return event;
}

WaitResult EventWait(OsHandle handle, uint32_t) {
    qxfuzz::Event* event = qxfuzz::EventOf(handle);
    if (event == nullptr) return WaitResult::Failed;
    if (!event->signalled) return WaitResult::TimedOut;  // nobody else could ever set it
    event->signalled = false;
    return WaitResult::Signalled;
}

bool EventSet(OsHandle handle) {
    qxfuzz::Event* event = qxfuzz::EventOf(handle);
    if (event == nullptr) return false;
    event->signalled = true;
    return true;
}

bool EventClose(OsHandle handle) {
    qxfuzz::Event* event = qxfuzz::EventOf(handle);
    if (event == nullptr) return false;
    event->magic = 0;
    delete event;
    --qxfuzz::gEvents;
    return true;
}

// One thread and no windows: a plain wait.
WaitResult EventWaitHandlingSentMessages(OsHandle handle, uint32_t milliseconds) {
    if (handle == nullptr) {
        SleepMs(milliseconds);
        return WaitResult::TimedOut;
    }
    return EventWait(handle, milliseconds);
}

bool WaitsHandleSentMessages() {
    return false;
}

void SleepMs(uint32_t milliseconds) {
    qxfuzz::gClock += milliseconds;
    ++gLine.sleeps;
    if (gLine.onSleep) gLine.onSleep();
}

uint64_t MonotonicMs() {
    return ++qxfuzz::gClock;
}

}  // namespace qx::platform
