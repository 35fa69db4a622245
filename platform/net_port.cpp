// Network serial ports: one source for every platform over the socket seam of net_socket.h.
#include "platform/net_port.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/net_socket.h"
#include "platform/read_deadlines.h"
#include "platform/telnet_codec.h"

namespace qx::platform {
namespace {

namespace tn = telnet;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kNetPortMagic = 0x4E545851;  // "QXTN"
constexpr size_t kReceiveChunk = 16384;
constexpr uint32_t kAssumedBaud = 115200;
// A receive purge also drops what the system already holds, up to this many chunks.
constexpr int kPurgeDrainChunks = 64;
// Longer write time-outs are no limit in practice (and the clock cannot hold the longest).
constexpr uint64_t kLongestWaitMs = uint64_t{1} << 40;
// The read buffer moves its unread bytes to the front once this much has been read.
constexpr size_t kCompactAfter = 65536;

struct Answer {
    bool seen = false;
    std::vector<uint8_t> value;
};

struct NetPort {
    uint32_t magic = kNetPortMagic;
    bool telnet = false;
    NetSocket socket;
    std::atomic<bool> broken{false};

    // Reading side, line state and time-outs: under rxLock. The reading side sends the
    // answers negotiation requires, so rxLock is taken before txLock, never after.
    NetLock rxLock;
    tn::Decoder decoder;
    tn::Options options{
        {tn::kOptionComPort, tn::kOptionBinary, tn::kOptionSuppressGoAhead},
        {tn::kOptionBinary, tn::kOptionSuppressGoAhead},
    };
    std::vector<uint8_t> rx;
    size_t rxHead = 0;
    std::vector<uint8_t> chunk;
    std::vector<tn::Event> events;
    std::vector<uint8_t> replies;
    Answer answers[tn::kLastCommand + 1];
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    // SET-CONTROL values last sent (0: none yet): the server does not always answer them.
    uint8_t sentFlow = 0;
    uint8_t sentDtr = 0;
    uint8_t sentRts = 0;

    // The write time-outs, read by a writer without rxLock.
    std::atomic<uint32_t> writeMultiplier{0};
    std::atomic<uint32_t> writeConstant{0};

    // Writing side: under txLock.
    NetLock txLock;
    std::vector<uint8_t> tx;
    // Bytes that go out before anything else: what a timed-out write left of an escape
    // sequence, and a PURGE-DATA, which leaves with the request that follows it (one segment,
    // one wake-up of the server, instead of two).
    std::vector<uint8_t> pending;
    std::atomic<bool> hasPending{false};
};

// A port handle is the object's address with bit 0 set. Handles of the system are multiples
// of four and INVALID_HANDLE_VALUE has both low bits set, so neither is ever taken for one
// of ours; the magic number guards against a stale one. The handle carries everything: the
// launcher opens a port that the user-interface library, with a copy of this code of its
// own, then uses, so no table of open ports kept by one copy could serve the other.
OsHandle HandleOf(NetPort* port) {
    return reinterpret_cast<OsHandle>(reinterpret_cast<uintptr_t>(port) | 1u);
}

NetPort* PortOf(OsHandle handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    // The top of the address space holds the pseudo-handles (-3 has bit 0 set, too).
    if ((value & 3u) != 1u || value > UINTPTR_MAX - 0xFFFF) return nullptr;
    auto* port = reinterpret_cast<NetPort*>(value & ~static_cast<uintptr_t>(3));
    return port->magic == kNetPortMagic ? port : nullptr;
}

int64_t MsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

void MarkBroken(NetPort& port) {
    port.broken = true;
    SetNetFailure(NetFailure::Closed);
}

enum class Sent { Done, TimedOut, Failed };

// txLock held. Sends bytes; `*sent` counts those that left. Unbounded without a deadline.
Sent SendBytes(NetPort& port, const uint8_t* data, size_t size, const Clock::time_point* deadline,
               size_t* sent) {
    *sent = 0;
    while (*sent < size) {
        const int64_t n = port.socket.Send(data + *sent, size - *sent);
        if (n < 0) return Sent::Failed;
        if (n > 0) {
            *sent += static_cast<size_t>(n);
            continue;
        }
        const int64_t wait = deadline != nullptr ? MsLeft(*deadline) : -1;
        if (wait == 0) return Sent::TimedOut;
        const NetSocket::Ready ready = port.socket.WaitWritable(wait);
        if (ready == NetSocket::Ready::Failed) return Sent::Failed;
        if (ready == NetSocket::Ready::TimedOut) return Sent::TimedOut;
    }
    return Sent::Done;
}

// txLock held. Sends what is pending, `bytes` after it in the same send.
Sent SendAfterPending(NetPort& port, const uint8_t* bytes, size_t size,
                      const Clock::time_point* deadline, size_t* sent) {
    *sent = 0;
    if (port.pending.empty()) return SendBytes(port, bytes, size, deadline, sent);
    const size_t prefix = port.pending.size();
    port.pending.insert(port.pending.end(), bytes, bytes + size);
    size_t left = 0;
    const Sent result = SendBytes(port, port.pending.data(), port.pending.size(), deadline, &left);
    // What did not leave of the pending bytes stays pending; of `bytes`, the caller decides.
    if (left >= prefix) {
        port.pending.clear();
    } else {
        port.pending.resize(prefix);
        port.pending.erase(port.pending.begin(),
                           port.pending.begin() + static_cast<ptrdiff_t>(left));
    }
    port.hasPending = !port.pending.empty();
    *sent = left > prefix ? left - prefix : 0;
    return result;
}

// Telnet commands of this side (negotiation, COM-PORT-OPTION): whole, within the answer bound.
bool SendControl(NetPort& port, const std::vector<uint8_t>& bytes) {
    std::lock_guard<NetLock> tx(port.txLock);
    if (port.broken) return false;
    if (bytes.empty() && port.pending.empty()) return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
    size_t sent = 0;
    if (SendAfterPending(port, bytes.data(), bytes.size(), &deadline, &sent) == Sent::Done &&
        sent == bytes.size())
        return true;
    // A command cut short would swallow the data after it: the stream is lost either way.
    MarkBroken(port);
    return false;
}

// A command that may wait for the next write (or read) to leave with it.
void QueueControl(NetPort& port, const std::vector<uint8_t>& bytes) {
    std::lock_guard<NetLock> tx(port.txLock);
    port.pending.insert(port.pending.end(), bytes.begin(), bytes.end());
    port.hasPending = true;
}

// rxLock held.
void Handle(NetPort& port, const tn::Event& event) {
    switch (event.kind) {
        case tn::Event::Kind::Negotiation:
            port.options.Receive(event.code, event.option, port.replies);
            return;
        case tn::Event::Kind::Subnegotiation: {
            if (event.option != tn::kOptionComPort || event.payload.empty()) return;
            const uint8_t code = event.payload[0];
            if (code <= tn::kServerOffset || code > tn::kServerOffset + tn::kLastCommand) return;
            Answer& answer = port.answers[code - tn::kServerOffset];
            answer.seen = true;
            answer.value.assign(event.payload.begin() + 1, event.payload.end());
            return;
        }
        case tn::Event::Kind::Command:
            return;
    }
}

// rxLock held. Bytes from the wire: data to the read buffer, the rest handled.
void Take(NetPort& port, const uint8_t* bytes, size_t size) {
    if (port.rxHead >= kCompactAfter) {
        port.rx.erase(port.rx.begin(), port.rx.begin() + static_cast<ptrdiff_t>(port.rxHead));
        port.rxHead = 0;
    }
    if (!port.telnet) {
        port.rx.insert(port.rx.end(), bytes, bytes + size);
        return;
    }
    port.events.clear();
    port.decoder.Feed(bytes, size, port.rx, port.events);
    for (const tn::Event& event : port.events) Handle(port, event);
    if (!port.replies.empty()) {
        SendControl(port, port.replies);
        port.replies.clear();
    }
}

enum class Pumped { Bytes, Nothing, Broken };

// rxLock held. Waits up to waitMs (0: not at all, < 0: no limit) and takes in what arrived.
Pumped Pump(NetPort& port, int64_t waitMs) {
    if (port.broken) return Pumped::Broken;
    if (waitMs != 0) {
        const NetSocket::Ready ready = port.socket.WaitReadable(waitMs);
        if (ready == NetSocket::Ready::Failed) {
            MarkBroken(port);
            return Pumped::Broken;
        }
        if (ready == NetSocket::Ready::TimedOut) return Pumped::Nothing;
    }
    const int64_t n = port.socket.Receive(port.chunk.data(), port.chunk.size());
    if (n < 0) {
        MarkBroken(port);
        return Pumped::Broken;
    }
    if (n == 0) return Pumped::Nothing;
    Take(port, port.chunk.data(), static_cast<size_t>(n));
    return Pumped::Bytes;
}

// rxLock held. Moves up to `count` buffered data bytes out.
uint32_t TakeBuffered(NetPort& port, uint8_t* out, uint32_t count) {
    const size_t available = port.rx.size() - port.rxHead;
    const uint32_t n = available < count ? static_cast<uint32_t>(available) : count;
    if (n == 0) return 0;
    std::memcpy(out, port.rx.data() + port.rxHead, n);
    port.rxHead += n;
    if (port.rxHead == port.rx.size()) {
        port.rx.clear();
        port.rxHead = 0;
    }
    return n;
}

void DropBuffered(NetPort& port) {
    port.rx.clear();
    port.rxHead = 0;
}

// rxLock held. Sends COM-PORT-OPTION commands and waits (bounded) for the server's answer to
// each of `awaited` (command numbers).
bool Exchange(NetPort& port, const std::vector<uint8_t>& commands,
              const std::vector<uint8_t>& awaited) {
    for (uint8_t command : awaited) port.answers[command] = Answer{};
    if (!SendControl(port, commands)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
    for (;;) {
        bool all = true;
        for (uint8_t command : awaited) all = all && port.answers[command].seen;
        if (all) return true;
        const int64_t wait = MsLeft(deadline);
        if (wait == 0) {
            SetNetFailure(NetFailure::NoAnswer);
            return false;
        }
        if (Pump(port, wait) == Pumped::Broken) return false;
    }
}

void AppendCommand(std::vector<uint8_t>& out, uint8_t command, uint8_t value) {
    tn::AppendComPortCommand(out, command, &value, 1);
}

void AppendBaud(std::vector<uint8_t>& out, uint32_t baud) {
    const uint8_t value[4] = {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                              static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
    tn::AppendComPortCommand(out, tn::kSetBaudRate, value, sizeof value);
}

// The line settings in the server's answers, into `dcb`. False when an answer is missing or
// malformed.
bool ReadAnswers(const NetPort& port, const std::vector<uint8_t>& awaited, DCB* dcb) {
    bool ok = true;
    for (uint8_t command : awaited) {
        const Answer& answer = port.answers[command];
        const std::vector<uint8_t>& v = answer.value;
        switch (command) {
            case tn::kSetBaudRate:
                if (!answer.seen || v.size() != 4) {
                    ok = false;
                    break;
                }
                dcb->BaudRate = static_cast<uint32_t>(v[0]) << 24 |
                                static_cast<uint32_t>(v[1]) << 16 |
                                static_cast<uint32_t>(v[2]) << 8 | v[3];
                break;
            case tn::kSetDataSize:
                if (!answer.seen || v.size() != 1 || v[0] < 5 || v[0] > 8) {
                    ok = false;
                    break;
                }
                dcb->ByteSize = v[0];
                break;
            case tn::kSetParity:
                ok = ok && answer.seen && v.size() == 1 && tn::ParityFromWire(v[0], &dcb->Parity);
                break;
            case tn::kSetStopSize:
                ok = ok && answer.seen && v.size() == 1 &&
                     tn::StopBitsFromWire(v[0], &dcb->StopBits);
                break;
            default:
                break;
        }
    }
    return ok;
}

// rxLock held. Agrees on the COM-PORT-OPTION (and a binary line both ways) and reads the far
// port's line settings.
bool Negotiate(NetPort& port) {
    std::vector<uint8_t> offers;
    port.options.OfferLocal(tn::kOptionComPort, offers);
    port.options.OfferLocal(tn::kOptionBinary, offers);
    port.options.AskRemote(tn::kOptionBinary, offers);
    port.options.OfferLocal(tn::kOptionSuppressGoAhead, offers);
    port.options.AskRemote(tn::kOptionSuppressGoAhead, offers);
    if (!SendControl(port, offers)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
    while (!port.options.LocalOn(tn::kOptionComPort)) {
        if (port.options.LocalRefused(tn::kOptionComPort)) {
            SetNetFailure(NetFailure::Refused);
            return false;
        }
        const int64_t wait = MsLeft(deadline);
        if (wait == 0) {
            SetNetFailure(NetFailure::NoAnswer);
            return false;
        }
        if (Pump(port, wait) == Pumped::Broken) return false;
    }
    // Value 0 asks for the current setting.
    std::vector<uint8_t> queries;
    AppendBaud(queries, 0);
    AppendCommand(queries, tn::kSetDataSize, 0);
    AppendCommand(queries, tn::kSetParity, 0);
    AppendCommand(queries, tn::kSetStopSize, 0);
    const std::vector<uint8_t> awaited = {tn::kSetBaudRate, tn::kSetDataSize, tn::kSetParity,
                                          tn::kSetStopSize};
    if (!Exchange(port, queries, awaited)) return false;
    if (!ReadAnswers(port, awaited, &port.dcb)) {
        SetNetFailure(NetFailure::Refused);
        return false;
    }
    return true;
}

bool ValidLine(const DCB& dcb) {
    return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 &&
           dcb.StopBits <= kTwoStopBits;
}

bool SameLine(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits;
}

// rxLock held. SET-CONTROL for what changed of flow control, DTR and RTS. A server may not
// answer these (ser2net does not for a pseudo-terminal), so nothing waits for them.
void AppendControl(NetPort& port, const DCB& dcb, std::vector<uint8_t>& out) {
    const bool hardware = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == 2;
    const uint8_t flow = hardware ? tn::kControlHardwareFlow
                                  : (dcb.fOutX ? tn::kControlXonXoff : tn::kControlNoFlow);
    if (flow != port.sentFlow) {
        AppendCommand(out, tn::kSetControl, flow);
        port.sentFlow = flow;
    }
    const uint8_t dtr = dcb.fDtrControl != 0 ? tn::kControlDtrOn : tn::kControlDtrOff;
    if (dtr != port.sentDtr) {
        AppendCommand(out, tn::kSetControl, dtr);
        port.sentDtr = dtr;
    }
    if (dcb.fRtsControl != 2) {
        const uint8_t rts = dcb.fRtsControl != 0 ? tn::kControlRtsOn : tn::kControlRtsOff;
        if (rts != port.sentRts) {
            AppendCommand(out, tn::kSetControl, rts);
            port.sentRts = rts;
        }
    }
}

// The line settings and control members of `requested` over those of the port's record.
void KeepControl(DCB& kept, const DCB& requested) {
    const DCB line = kept;
    kept = requested;
    kept.DCBlength = sizeof(DCB);
    kept.fBinary = 1;
    kept.BaudRate = line.BaudRate;
    kept.ByteSize = line.ByteSize;
    kept.Parity = line.Parity;
    kept.StopBits = line.StopBits;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool ParseNetAddress(const char* name, NetAddress* address) {
    if (name == nullptr) return false;
    const std::string text = name;
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos) return false;
    const std::string scheme = Lower(text.substr(0, schemeEnd));
    NetAddress parsed;
    if (scheme == "rfc2217") {
        parsed.telnet = true;
    } else if (scheme != "tcp") {
        return false;
    }
    const std::string rest = text.substr(schemeEnd + 3);
    size_t colon = 0;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        parsed.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos) return false;
        parsed.host = rest.substr(0, colon);
        if (parsed.host.find_first_of("[]") != std::string::npos) return false;
    }
    if (parsed.host.empty()) return false;
    for (char c : parsed.host) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || c == '/' || c == '@' || c == '?' || c == '#') return false;
    }
    const std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return false;
    parsed.port = static_cast<uint16_t>(port);
    if (address != nullptr) *address = parsed;
    return true;
}

bool IsNetPortName(const char* name) {
    return ParseNetAddress(name, nullptr);
}

bool LooksLikeNetPortName(const char* name) {
    return name != nullptr && std::strstr(name, "://") != nullptr;
}

std::string DescribeNetPortFailure(const PortFailure& failure) {
    if (!IsNetPortName(failure.path.c_str()))
        return "not a network port name (rfc2217://HOST:PORT or tcp://HOST:PORT)";
    return DescribeNetFailure(failure.osError);
}

bool IsNetHandle(OsHandle handle) {
    return PortOf(handle) != nullptr;
}

bool CommSpeedIsFixed(OsHandle handle) {
    const NetPort* port = PortOf(handle);
    return port != nullptr && !port->telnet;
}

OsHandle NetOpen(const char* name) {
    NetAddress address;
    if (!ParseNetAddress(name, &address)) {
        SetNetFailure(NetFailure::BadName);
        return InvalidHandle();
    }
    auto* port = new (std::nothrow) NetPort;
    if (port == nullptr) return InvalidHandle();
    port->telnet = address.telnet;
    port->chunk.resize(kReceiveChunk);
    port->dcb.DCBlength = sizeof(DCB);
    port->dcb.fBinary = 1;
    // A tcp:// port runs at whatever its server set; it is taken to be the usual 115200 8N1.
    port->dcb.BaudRate = kAssumedBaud;
    port->dcb.ByteSize = 8;
    port->dcb.Parity = kNoParity;
    port->dcb.StopBits = kOneStopBit;
    bool ok = port->socket.Connect(address.host, address.port, kNetConnectTimeoutMs, nullptr);
    if (ok && port->telnet) {
        std::lock_guard<NetLock> rx(port->rxLock);
        ok = Negotiate(*port);
    }
    if (!ok) {
        port->magic = 0;
        delete port;
        return InvalidHandle();
    }
    return HandleOf(port);
}

PortFailure TryNetPort(const char* name, const std::string& url) {
    PortFailure result;
    result.name = name != nullptr ? name : "";
    result.path = url;
    const OsHandle handle = NetOpen(url.c_str());
    if (handle == InvalidHandle()) {
        result.problem = PortProblem::Other;
        result.osError = LastNetError();
        return result;
    }
    NetClose(handle);
    return result;
}

bool NetClose(OsHandle handle) {
    NetPort* port = PortOf(handle);
    if (port == nullptr) return false;
    port->socket.Close();
    port->magic = 0;
    delete port;
    return true;
}

bool NetGetState(OsHandle handle, DCB* dcb) {
    NetPort* port = PortOf(handle);
    if (port == nullptr || dcb == nullptr) return false;
    std::lock_guard<NetLock> rx(port->rxLock);
    if (port->broken) return false;
    *dcb = port->dcb;
    return true;
}

bool NetSetState(OsHandle handle, DCB* dcb) {
    NetPort* port = PortOf(handle);
    if (port == nullptr || dcb == nullptr) return false;
    if (!ValidLine(*dcb)) {
        SetNetFailure(NetFailure::InvalidSetting);
        return false;
    }
    std::lock_guard<NetLock> rx(port->rxLock);
    if (port->broken) return false;
    if (!port->telnet) {
        if (!SameLine(*dcb, port->dcb)) {
            SetNetFailure(NetFailure::NotSupported);
            return false;
        }
        KeepControl(port->dcb, *dcb);
        return true;
    }
    std::vector<uint8_t> commands;
    std::vector<uint8_t> awaited;
    if (dcb->BaudRate != port->dcb.BaudRate) {
        AppendBaud(commands, dcb->BaudRate);
        awaited.push_back(tn::kSetBaudRate);
    }
    if (dcb->ByteSize != port->dcb.ByteSize) {
        AppendCommand(commands, tn::kSetDataSize, dcb->ByteSize);
        awaited.push_back(tn::kSetDataSize);
    }
    uint8_t wire = 0;
    if (dcb->Parity != port->dcb.Parity && tn::ParityToWire(dcb->Parity, &wire)) {
        AppendCommand(commands, tn::kSetParity, wire);
        awaited.push_back(tn::kSetParity);
    }
    if (dcb->StopBits != port->dcb.StopBits && tn::StopBitsToWire(dcb->StopBits, &wire)) {
        AppendCommand(commands, tn::kSetStopSize, wire);
        awaited.push_back(tn::kSetStopSize);
    }
    AppendControl(*port, *dcb, commands);
    if (!awaited.empty()) {
        if (!Exchange(*port, commands, awaited)) return false;
        // The far port's settings are what the server says they now are.
        const bool answered = ReadAnswers(*port, awaited, &port->dcb);
        if (!answered || !SameLine(*dcb, port->dcb)) {
            SetNetFailure(NetFailure::Refused);
            return false;
        }
    } else if (!SendControl(*port, commands)) {
        return false;
    }
    KeepControl(port->dcb, *dcb);
    return true;
}

bool NetSetup(OsHandle handle, uint32_t inQueue, uint32_t outQueue) {
    // The system sizes socket buffers itself; the request is accepted and has no effect.
    (void)inQueue;
    (void)outQueue;
    return PortOf(handle) != nullptr;
}

bool NetGetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    NetPort* port = PortOf(handle);
    if (port == nullptr || timeouts == nullptr) return false;
    std::lock_guard<NetLock> rx(port->rxLock);
    *timeouts = port->timeouts;
    return true;
}

bool NetSetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts) {
    NetPort* port = PortOf(handle);
    if (port == nullptr || timeouts == nullptr) return false;
    std::lock_guard<NetLock> rx(port->rxLock);
    port->timeouts = *timeouts;
    port->writeMultiplier = timeouts->WriteTotalTimeoutMultiplier;
    port->writeConstant = timeouts->WriteTotalTimeoutConstant;
    return true;
}

bool NetPurge(OsHandle handle, uint32_t flags) {
    NetPort* port = PortOf(handle);
    if (port == nullptr ||
        (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) != 0) {
        return false;
    }
    const bool txClear = (flags & kPurgeTxClear) != 0;
    const bool rxClear = (flags & kPurgeRxClear) != 0;
    std::lock_guard<NetLock> rx(port->rxLock);
    if (port->broken) return false;
    if (rxClear) {
        // What this side holds and what the system already received are stale alike.
        DropBuffered(*port);
        for (int i = 0; i < kPurgeDrainChunks && Pump(*port, 0) == Pumped::Bytes; ++i) {
        }
        DropBuffered(*port);
    }
    // Writes leave whole (or with their time-out), so only the server holds unsent bytes.
    if (port->telnet && (rxClear || txClear)) {
        std::vector<uint8_t> purge;
        AppendCommand(purge, tn::kPurgeData,
                      rxClear && txClear ? tn::kPurgeBoth
                                         : (rxClear ? tn::kPurgeFromLine : tn::kPurgeToLine));
        QueueControl(*port, purge);
    }
    return !port->broken;
}

bool NetRead(OsHandle handle, void* buffer, uint32_t count, uint32_t* done) {
    NetPort* port = PortOf(handle);
    if (done != nullptr) *done = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return false;
    if (count == 0) return true;
    std::lock_guard<NetLock> rx(port->rxLock);
    // A purge with no write after it leaves now: what this read waits for comes after it.
    if (port->hasPending) SendControl(*port, {});
    auto* out = static_cast<uint8_t*>(buffer);
    const ReadDeadlines deadlines(port->timeouts, count, Clock::now());
    uint32_t got = 0;
    Clock::time_point lastArrival{};
    bool lastLook = false;
    bool ok = true;
    for (;;) {
        const uint32_t took = TakeBuffered(*port, out + got, count - got);
        if (took > 0) {
            got += took;
            lastArrival = Clock::now();
        }
        if (got == count || (deadlines.ReturnsOnFirst() && got > 0)) break;
        if (port->broken) {
            ok = false;
            break;
        }
        const int64_t wait = deadlines.WaitMs(Clock::now(), got, lastArrival);
        if (wait == 0) {
            // Time is up, but what the system already received still counts.
            if (lastLook || Pump(*port, 0) != Pumped::Bytes) break;
            lastLook = true;
            continue;
        }
        Pump(*port, wait);
    }
    if (done != nullptr) *done = got;
    return ok;
}

bool NetWrite(OsHandle handle, const void* buffer, uint32_t count, uint32_t* done) {
    NetPort* port = PortOf(handle);
    if (done != nullptr) *done = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return false;
    std::lock_guard<NetLock> tx(port->txLock);
    if (port->broken) return false;
    const uint64_t total =
        static_cast<uint64_t>(port->writeMultiplier.load()) * count + port->writeConstant.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::min(total, kLongestWaitMs));
    const Clock::time_point* bound = total != 0 ? &deadline : nullptr;

    // In pieces: the work (and the buffer) grows with what the socket takes, not with what
    // the caller offers; a write that times out has escaped little more than it sent.
    const auto* data = static_cast<const uint8_t*>(buffer);
    uint32_t moved = 0;
    Sent result = Sent::Done;
    while (result == Sent::Done && (moved < count || port->hasPending)) {
        const uint32_t piece = std::min<uint32_t>(count - moved, kNetWritePiece);
        const uint8_t* chunk = data + moved;
        const uint8_t* wire = chunk;
        size_t wireSize = piece;
        if (port->telnet) {
            port->tx.clear();
            tn::AppendEscaped(port->tx, chunk, piece);
            wire = port->tx.data();
            wireSize = port->tx.size();
        }
        size_t sent = 0;
        result = SendAfterPending(*port, wire, wireSize, bound, &sent);
        if (sent == wireSize) {
            moved += piece;
            continue;
        }
        // A doubled 0xFF cut in the middle has its second half sent before anything else.
        bool cutEscape = false;
        moved += static_cast<uint32_t>(
            port->telnet ? tn::DataBytesSent(chunk, piece, sent, &cutEscape) : sent);
        if (cutEscape) {
            port->pending.push_back(tn::kIac);
            port->hasPending = true;
        }
        break;
    }
    if (done != nullptr) *done = moved;
    if (result == Sent::Failed) {
        MarkBroken(*port);
        return false;
    }
    return true;
}

}  // namespace qx::platform
