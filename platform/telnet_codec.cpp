#include "platform/telnet_codec.h"

#include <algorithm>
#include <cstring>

namespace qx::platform::telnet {

void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    // Sized once: an image full of 0xFF doubles, and growing byte by byte would cost more
    // than the copy.
    const auto doubled = static_cast<size_t>(std::count(data, data + size, kIac));
    const size_t at = out.size();
    out.resize(at + size + doubled);
    uint8_t* to = out.data() + at;
    if (doubled == 0) {
        if (size != 0) std::memcpy(to, data, size);
        return;
    }
    for (const uint8_t* end = data + size; data < end; ++data) {
        *to++ = *data;
        if (*data == kIac) *to++ = kIac;
    }
}

size_t DataBytesSent(const uint8_t* data, size_t size, size_t wireSent, bool* cutEscape) {
    *cutEscape = false;
    size_t wire = 0;
    size_t moved = 0;
    while (moved < size && wire < wireSent) {
        const size_t width = data[moved] == kIac ? 2 : 1;
        if (wire + width > wireSent) *cutEscape = true;
        wire += width;
        ++moved;
    }
    return moved;
}

void AppendNegotiation(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
    out.push_back(kIac);
    out.push_back(verb);
    out.push_back(option);
}

void AppendComPortCommand(std::vector<uint8_t>& out, uint8_t command, const uint8_t* value,
                          size_t size) {
    const uint8_t head[] = {kIac, kSb, kOptionComPort};
    out.insert(out.end(), head, head + sizeof head);
    AppendEscaped(out, &command, 1);
    AppendEscaped(out, value, size);
    out.push_back(kIac);
    out.push_back(kSe);
}

// DCB parity 0..4 (none, odd, even, mark, space) travels as 1..5.
bool ParityToWire(uint8_t dcbParity, uint8_t* wire) {
    if (dcbParity > 4) return false;
    *wire = static_cast<uint8_t>(dcbParity + 1);
    return true;
}

bool ParityFromWire(uint8_t wire, uint8_t* dcbParity) {
    if (wire < 1 || wire > 5) return false;
    *dcbParity = static_cast<uint8_t>(wire - 1);
    return true;
}

// DCB stop bits 0, 1, 2 (one, one and a half, two); the wire says 1, 3, 2.
bool StopBitsToWire(uint8_t dcbStopBits, uint8_t* wire) {
    static constexpr uint8_t kWire[] = {1, 3, 2};
    if (dcbStopBits > 2) return false;
    *wire = kWire[dcbStopBits];
    return true;
}

bool StopBitsFromWire(uint8_t wire, uint8_t* dcbStopBits) {
    static constexpr uint8_t kDcb[] = {0, 0, 2, 1};
    if (wire < 1 || wire > 3) return false;
    *dcbStopBits = kDcb[wire];
    return true;
}

void Decoder::Reset() {
    state_ = State::Data;
    verb_ = 0;
    sub_ = Event{};
}

void Decoder::Feed(const uint8_t* wire, size_t size, std::vector<uint8_t>& data,
                   std::vector<Event>& events) {
    const uint8_t* end = wire + size;
    while (wire < end) {
        if (state_ != State::Data) {
            Step(*wire++, data, events);
            continue;
        }
        const auto* iac = static_cast<const uint8_t*>(std::memchr(wire, kIac, end - wire));
        const uint8_t* runEnd = iac != nullptr ? iac : end;
        data.insert(data.end(), wire, runEnd);
        if (iac == nullptr) break;
        state_ = State::Iac;
        wire = iac + 1;
    }
}

void Decoder::Step(uint8_t byte, std::vector<uint8_t>& data, std::vector<Event>& events) {
    switch (state_) {
        case State::Data:
            if (byte == kIac) {
                state_ = State::Iac;
            } else {
                data.push_back(byte);
            }
            return;
        case State::Iac:
            if (byte == kIac) {
                data.push_back(kIac);
                state_ = State::Data;
            } else if (byte >= kWill && byte <= kDont) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte == kSb) {
                state_ = State::SubOption;
            } else {
                Event event;
                event.kind = Event::Kind::Command;
                event.code = byte;
                events.push_back(std::move(event));
                state_ = State::Data;
            }
            return;
        case State::Option: {
            Event event;
            event.kind = Event::Kind::Negotiation;
            event.code = verb_;
            event.option = byte;
            events.push_back(std::move(event));
            state_ = State::Data;
            return;
        }
        case State::SubOption:
            sub_ = Event{};
            sub_.kind = Event::Kind::Subnegotiation;
            sub_.option = byte;
            state_ = State::Sub;
            return;
        case State::Sub:
            if (byte == kIac) {
                state_ = State::SubIac;
            } else if (sub_.payload.size() < kMaxPayload) {
                sub_.payload.push_back(byte);
            } else {
                sub_.truncated = true;
            }
            return;
        case State::SubIac:
            if (byte == kSe) {
                events.push_back(std::move(sub_));
                sub_ = Event{};
                state_ = State::Data;
            } else if (byte == kIac) {
                if (sub_.payload.size() < kMaxPayload) {
                    sub_.payload.push_back(kIac);
                } else {
                    sub_.truncated = true;
                }
                state_ = State::Sub;
            } else {
                // IAC and anything but SE or IAC ends a malformed subnegotiation: drop it and
                // read the byte as the command it introduces.
                sub_ = Event{};
                state_ = State::Iac;
                Step(byte, data, events);
            }
            return;
    }
}

Options::Options(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote) {
    for (uint8_t option : local) localAllowed_[option] = true;
    for (uint8_t option : remote) remoteAllowed_[option] = true;
}

void Options::OfferLocal(uint8_t option, std::vector<uint8_t>& out) {
    if (local_[option] != State::No) return;
    local_[option] = State::Asked;
    localRefused_[option] = false;
    AppendNegotiation(out, kWill, option);
}

void Options::AskRemote(uint8_t option, std::vector<uint8_t>& out) {
    if (remote_[option] != State::No) return;
    remote_[option] = State::Asked;
    AppendNegotiation(out, kDo, option);
}

void Options::Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>& out) {
    switch (verb) {
        case kDo:
            if (local_[option] == State::Asked) {
                local_[option] = State::Yes;
            } else if (local_[option] == State::No) {
                if (localAllowed_[option]) {
                    local_[option] = State::Yes;
                    AppendNegotiation(out, kWill, option);
                } else {
                    AppendNegotiation(out, kWont, option);
                }
            }
            return;
        case kDont:
            if (local_[option] == State::Asked) {
                local_[option] = State::No;
                localRefused_[option] = true;
            } else if (local_[option] == State::Yes) {
                local_[option] = State::No;
                AppendNegotiation(out, kWont, option);
            }
            return;
        case kWill:
            if (remote_[option] == State::Asked) {
                remote_[option] = State::Yes;
            } else if (remote_[option] == State::No) {
                if (remoteAllowed_[option]) {
                    remote_[option] = State::Yes;
                    AppendNegotiation(out, kDo, option);
                } else {
                    AppendNegotiation(out, kDont, option);
                }
            }
            return;
        case kWont:
            if (remote_[option] == State::Asked) {
                remote_[option] = State::No;
            } else if (remote_[option] == State::Yes) {
                remote_[option] = State::No;
                AppendNegotiation(out, kDont, option);
            }
            return;
        default:
            return;
    }
}

}  // namespace qx::platform::telnet
