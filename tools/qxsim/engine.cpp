// The device's protocol engine: parses requests out of the received bytes and builds replies.
#include <algorithm>
#include <cstring>

#include "cipher.h"
#include "sim.h"

namespace qxsim {

namespace {

constexpr uint8_t kAck = 'O';
constexpr uint8_t kRefuse = '?';
constexpr uint8_t kGarbage[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0xFF, 0x55, 0xAA};

bool IsTolliverEarly(const Config& c) {
    return c.firmwareMajor == 1 && c.firmwareMinor < 6;
}

void AppendWithChecksum(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    out.insert(out.end(), data, data + size);
    out.push_back(Checksum8(data, size));
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Answered:
            return "answered";
        case Outcome::Refused:
            return "refused";
        case Outcome::BadChecksum:
            return "bad-checksum";
        case Outcome::WrongSpeed:
            return "wrong-speed";
        case Outcome::Incomplete:
            return "incomplete";
        case Outcome::Faulted:
            return "faulted";
    }
    return "?";
}

std::string FormatTranscriptEntry(const TranscriptEntry& e) {
    static const char* hex = "0123456789ABCDEF";
    std::string line = std::to_string(e.baud) + ' ';
    for (size_t i = 0; i < e.bytes.size(); ++i) {
        line += hex[e.bytes[i] >> 4];
        line += hex[e.bytes[i] & 15];
    }
    if (e.bytes.empty()) line += '-';
    line += ' ';
    line += e.command.empty() ? std::string("-") : e.command;
    line += ' ';
    line += OutcomeName(e.outcome);
    if (e.encrypted) line += " enc";
    return line;
}

// One complete request as framed on the wire.
struct Engine::Parsed {
    std::string key;
    size_t length = 0;  // bytes of the request, checksum included
    bool encrypted = false;
    size_t bodyStart = 0;  // first byte after the command and count bytes
    size_t runEnd = 0;     // one past the last encrypted byte (encrypted form)
};

Engine::Engine(const Config& config) : config_(config) {
    const char record0 = config.eepromDeviceId == '=' ? config.hardwareId : config.eepromDeviceId;
    auto found =
        LookupModel(config.hardwareId, config.firmwareMajor, config.firmwareMinor, record0);
    if (found) {
        model_ = *found;
    } else {
        // An unlisted letter still answers the common requests over a 64 KiB window.
        model_.letter = config.hardwareId;
        model_.family = 1;
        model_.memorySize = model_.bankSize = 0x10000;
    }
    if (model_.type == 14) {
        switch (config.tolliverMode) {
            case 1:
            case 2:
            case 5:
                model_.bankSize = 0x10000;
                break;
            case 3:
                model_.bankSize = 0x20000;
                break;
            case 4:
                model_.bankSize = 0x40000;
                break;
            default:
                model_.bankSize = model_.memorySize;
                break;
        }
        model_.bankCount = static_cast<int>(model_.memorySize / model_.bankSize);
    }

    space20_.assign(model_.memorySize, config.fill);
    std::copy_n(config.image.begin(), std::min(config.image.size(), space20_.size()),
                space20_.begin());
    if (model_.twoSpaces) {
        space10_.assign(model_.memorySize, config.fill);
        std::copy_n(config.image10.begin(), std::min(config.image10.size(), space10_.size()),
                    space10_.begin());
    }

    eeprom_.assign(0x10000, 0xFF);
    std::copy_n(config.eeprom.begin(), std::min(config.eeprom.size(), eeprom_.size()),
                eeprom_.begin());
    if (record0 != 0) eeprom_[1] = static_cast<uint8_t>(record0);
    if (config.interfaceLetter != 0) eeprom_[4] = static_cast<uint8_t>(config.interfaceLetter);

    if (model_.type == 14) {
        const uint8_t bytes[3] = {config.tolliverMode, config.tolliverBank, config.tolliverMarker};
        uint8_t* target = IsTolliverEarly(config) ? space20_.data() : eeprom_.data() + 0x100;
        std::memcpy(target, bytes, 3);
    }

    emulationBank_ = config.emulationBank;
    readWriteBank_ = config.readWriteBank;
    bauds_ = config.bauds;
    for (const Fault& f : config.faults) AddFault(f);
}

bool Engine::EncryptionOn() const {
    return config_.serial[0] != 0 && config_.serial[0] != 'n';
}

void Engine::Feed(const uint8_t* data, size_t size, uint32_t lineBaud) {
    if (size == 0) return;
    if (buffer_.empty()) bufferBaud_ = lineBaud;
    buffer_.insert(buffer_.end(), data, data + size);
}

void Engine::AppendDiscarded(const uint8_t* data, size_t size) {
    if (transcript_.empty() || size == 0) return;
    auto& bytes = transcript_.back().bytes;
    bytes.insert(bytes.end(), data, data + size);
}

void Engine::DropPartial() {
    if (!buffer_.empty()) Record(buffer_.size(), "", false, Outcome::Incomplete);
}

int Engine::DeviceSpeedIndex() const {
    return deviceBaud_ == 0 ? 7 : static_cast<int>(921600 / deviceBaud_) - 1;
}

void Engine::PowerCycle() {
    deviceBaud_ = 0;
    buffer_.clear();
}

void Engine::AddFault(const Fault& fault) {
    faults_.push_back({fault, 0});
}
void Engine::ClearFaults() {
    faults_.clear();
}
std::vector<Fault> Engine::Faults() const {
    std::vector<Fault> out;
    for (const auto& f : faults_) out.push_back(f.fault);
    return out;
}

std::vector<uint8_t>& Engine::Memory(uint8_t space) {
    return (space == kSpace1 && model_.twoSpaces) ? space10_ : space20_;
}
const std::vector<uint8_t>& Engine::Memory(uint8_t space) const {
    return (space == kSpace1 && model_.twoSpaces) ? space10_ : space20_;
}

bool Engine::SpeedAccepted(uint32_t lineBaud) const {
    if (!bauds_.empty() && std::find(bauds_.begin(), bauds_.end(), lineBaud) == bauds_.end())
        return false;
    return deviceBaud_ == 0 || lineBaud == deviceBaud_;
}

void Engine::Record(size_t length, const std::string& command, bool encrypted, Outcome outcome) {
    length = std::min(length, buffer_.size());
    const size_t limit = config_.transcriptLimit;
    if (limit != 0 && transcript_.size() >= limit)
        transcript_.erase(
            transcript_.begin(),
            transcript_.begin() + static_cast<std::ptrdiff_t>(transcript_.size() - limit / 2));
    TranscriptEntry e;
    e.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    e.baud = bufferBaud_;
    e.command = command;
    e.encrypted = encrypted;
    e.outcome = outcome;
    transcript_.push_back(std::move(e));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
}

Engine::Step Engine::Next(Action& action, bool settled) {
    action = Action{};
    if (buffer_.empty()) return Step::Idle;

    auto refuseNow = [&](const std::string& key) {
        // Length unknown to the device: answer '?' and drop the rest of the burst.
        Record(buffer_.size(), key, false, Outcome::Refused);
        action.reply = {kRefuse};
        action.discardUntilQuiet = true;
        return Step::Act;
    };
    auto badChecksum = [&](const std::string& key, bool encrypted) {
        Record(buffer_.size(), key, encrypted, Outcome::BadChecksum);
        action.discardUntilQuiet = true;
        return Step::Act;
    };

    if (!SpeedAccepted(bufferBaud_)) {
        Record(buffer_.size(), "", false, Outcome::WrongSpeed);
        action.discardUntilQuiet = true;
        return Step::Act;
    }

    const size_t have = buffer_.size();
    auto at = [&](size_t i) { return buffer_[i]; };
    const bool fam1 = model_.family == 1;
    const uint32_t caps = model_.capabilities;

    Parsed p;
    bool cipherable = false;
    size_t plainLen = 0;
    size_t runExtra = 0;  // encrypted run beyond the randoms and address bytes (data)

    switch (at(0)) {
        case 'V':
            if (have < 2) return Step::NeedMore;
            if (at(1) == 'V') {
                p.key = "VV";
                p.length = 2;
                break;
            }
            if (at(1) != 'S') return refuseNow("");
            if (have < 3) return Step::NeedMore;
            if (at(2) != 'S' || model_.family != 4) return refuseNow("VSS");
            p.key = "VSS";
            p.length = 4;
            break;
        case 'N':
            if (have < 2) return Step::NeedMore;
            if (at(1) != 'S') return refuseNow("");
            p.key = "NS";
            p.length = 3;
            break;
        case 'H':
            if (!fam1) return refuseNow("");
            if (have < 3) return Step::NeedMore;
            if (at(1) == 'R') {
                p.key = "HR";
                p.length = 6;
            } else if (at(1) == 'W') {
                p.key = "HW";
                p.length = 6 + (at(2) == 0 ? 256u : at(2));
            } else {
                return refuseNow("");
            }
            break;
        case 'E':
        case 'e':
            if (fam1) return refuseNow("");
            if (have < 2) return Step::NeedMore;
            p.key = std::string(1, static_cast<char>(at(0)));
            p.length = 5 + (at(1) == 0 ? 256u : at(1));
            break;
        case 'S':
            if (!fam1) return refuseNow("S");
            p.key = "S";
            p.length = 3;
            break;
        case 'B':
            if (!(caps & 0x08) || model_.type == 14 || model_.type == 16) return refuseNow("B");
            p.key = "B";
            p.length = 4;
            break;
        case '8':
            if (model_.type != 16) return refuseNow("8");
            p.key = "8";
            p.length = 4;
            break;
        case 'D': {
            static const char kDoli[] = "DOLI";
            for (size_t i = 1; i < 4 && i < have; ++i)
                if (at(i) != static_cast<uint8_t>(kDoli[i])) return refuseNow("");
            if (!(caps & 0x80)) return refuseNow("DOLI");
            p.key = "DOLI";
            p.length = 5;
            break;
        }
        case 'R':
        case 'W':
        case 'w':
        case 'X': {
            if (have < 2) return Step::NeedMore;
            const size_t n = at(1) == 0 ? 256u : at(1);
            p.key = std::string(1, static_cast<char>(at(0)));
            cipherable = true;
            p.bodyStart = 2;
            runExtra = at(0) == 'R' ? 0 : n;
            plainLen = 2 + model_.addressBytes + runExtra + 1;
            break;
        }
        case 'Z': {
            if (have < 2) return Step::NeedMore;
            if (at(1) != 'R' && at(1) != 'W') return refuseNow("");
            p.key = {'Z', static_cast<char>(at(1))};
            if (!(caps & 0x40)) return refuseNow(p.key);
            if (have < 3) return Step::NeedMore;
            cipherable = true;
            p.bodyStart = 3;
            runExtra = at(1) == 'R' ? 0 : size_t{at(2)} * 256;
            plainLen = 3 + 2 + runExtra + 1;
            break;
        }
        default:
            return refuseNow("");
    }

    if (!cipherable) {
        if (have < p.length) return Step::NeedMore;
        if (p.key != "VV" && Checksum8(buffer_.data(), p.length - 1) != at(p.length - 1))
            return badChecksum(p.key, false);
        return Handle(p, action);
    }

    // Plain and encrypted forms differ by the two random bytes; the length tells them apart.
    const size_t encLen = plainLen + 2;
    auto valid = [&](size_t len) { return Checksum8(buffer_.data(), len - 1) == at(len - 1); };
    if (have < plainLen) return Step::NeedMore;
    if (EncryptionOn()) {
        if (have >= encLen && valid(encLen)) {
            p.encrypted = true;
            p.length = encLen;
        } else if (valid(plainLen) && (have > plainLen || settled)) {
            p.length = plainLen;
        } else if (have < encLen) {
            return valid(plainLen) ? Step::Ambiguous : Step::NeedMore;
        } else {
            return badChecksum(p.key, true);
        }
    } else {
        if (!valid(plainLen)) return badChecksum(p.key, false);
        p.length = plainLen;
    }
    p.runEnd = p.encrypted ? p.length - 1 : 0;
    return Handle(p, action);
}

Engine::Step Engine::Handle(const Parsed& request, Action& action) {
    // Decrypted body: address bytes, then data.
    std::vector<uint8_t> body(buffer_.begin() + static_cast<std::ptrdiff_t>(request.bodyStart),
                              buffer_.begin() + static_cast<std::ptrdiff_t>(request.length - 1));
    if (request.encrypted && !body.empty()) {
        DecryptRun(StartChain(), body.data(), body.size());
        body.erase(body.begin(), body.begin() + 2);
    }

    const Fault* fault = nullptr;
    for (auto& f : faults_) {
        if (f.fault.command != "*" && f.fault.command != request.key) continue;
        ++f.seen;
        if (f.fault.occurrence == 0 || f.fault.occurrence == f.seen) {
            fault = &f.fault;
            break;
        }
    }

    Outcome outcome = Outcome::Answered;
    if (fault && fault->kind == FaultKind::NoReply) {
        outcome = Outcome::Faulted;
    } else if (fault && fault->kind == FaultKind::Refuse) {
        outcome = Outcome::Faulted;
        action.reply = {kRefuse};
    } else {
        bool refused = false;
        action.reply = Execute(request, body, refused);
        if (refused) outcome = Outcome::Refused;
        if (fault) {
            outcome = Outcome::Faulted;
            auto& r = action.reply;
            switch (fault->kind) {
                case FaultKind::ShortReply:
                    r.resize(std::min<size_t>(fault->param, r.size()));
                    break;
                case FaultKind::BadChecksum:
                    if (!r.empty()) r.back() = static_cast<uint8_t>(r.back() + 1);
                    break;
                case FaultKind::Delay:
                    action.delayMs = fault->param;
                    break;
                case FaultKind::Garbage: {
                    std::vector<uint8_t> g;
                    for (unsigned i = 0; i < fault->param; ++i)
                        g.push_back(kGarbage[i % sizeof kGarbage]);
                    r.insert(r.begin(), g.begin(), g.end());
                    break;
                }
                case FaultKind::Unplug:
                    r.resize(std::min<size_t>(fault->param, r.size()));
                    action.unplug = true;
                    action.replugAfterMs = fault->replugAfterMs;
                    break;
                default:
                    break;
            }
        }
    }
    Record(request.length, request.key, request.encrypted, outcome);
    return Step::Act;
}

// Where the 2-byte-address models' window starts, from the banks.
uint64_t Engine::WindowBase() const {
    if (!model_.hasGeometry) return 0;
    if (model_.largeBinBank >= 0 && emulationBank_ == model_.largeBinBank)
        return readWriteBank_ == model_.largeBinBank ? 0 : uint64_t{readWriteBank_} * 0x10000;
    return uint64_t{readWriteBank_} * model_.bankSize;
}

uint64_t Engine::WideOffset(uint8_t top, uint8_t mid, uint8_t low, uint8_t& space) const {
    space = kSpace2;
    const uint64_t rest = (uint64_t{mid} << 8) | low;
    if (model_.addressBytes == 3) {
        if (model_.twoSpaces) {
            if (top & kSpace1) space = kSpace1;
            return (uint64_t{top & 0x0Fu} << 16) | rest;
        }
        return (uint64_t{top} << 16) | rest;
    }
    return WindowBase() + ((uint64_t{top} << 16) | rest);
}

std::vector<uint8_t> Engine::Execute(const Parsed& q, const std::vector<uint8_t>& body,
                                     bool& refused) {
    const uint8_t* b = buffer_.data();
    std::vector<uint8_t> out;
    auto refuse = [&] {
        refused = true;
        return std::vector<uint8_t>{kRefuse};
    };
    const std::string& k = q.key;

    if (k == "VV")
        return {config_.firmwareMajor, config_.firmwareMinor,
                static_cast<uint8_t>(config_.hardwareId)};
    if (k == "VSS") {
        uint8_t name[255] = {'S', '!'};
        std::memcpy(name + 2, config_.name.data(), std::min<size_t>(config_.name.size(), 252));
        AppendWithChecksum(out, name, sizeof name);
        return out;
    }
    if (k == "NS") {
        AppendWithChecksum(out, config_.serial.data(), config_.serial.size());
        return out;
    }
    if (k == "DOLI") {
        AppendWithChecksum(out, config_.flashInfo.data(), config_.flashInfo.size());
        return out;
    }
    if (k == "HR" || k == "E") {
        const size_t off = k == "HR" ? 2 : 1;
        const size_t n = b[off] == 0 ? 256 : b[off];
        const size_t address = (size_t{b[off + 1]} << 8) | b[off + 2];
        std::vector<uint8_t> data(n);
        for (size_t i = 0; i < n; ++i) data[i] = eeprom_[(address + i) & 0xFFFF];
        AppendWithChecksum(out, data.data(), n);
        return out;
    }
    if (k == "HW" || k == "e") {
        const size_t off = k == "HW" ? 2 : 1;
        const size_t n = b[off] == 0 ? 256 : b[off];
        const size_t address = (size_t{b[off + 1]} << 8) | b[off + 2];
        for (size_t i = 0; i < n; ++i) eeprom_[(address + i) & 0xFFFF] = b[off + 3 + i];
        return {kAck};
    }
    if (k == "S") {
        const uint8_t index = b[1];
        if (index != 0 && index != 1 && index != 3 && index != 7) return refuse();
        const uint32_t rate = 921600 / (index + 1u);
        if (!bauds_.empty() && std::find(bauds_.begin(), bauds_.end(), rate) == bauds_.end())
            return refuse();
        deviceBaud_ = rate;  // the 'O' still leaves at the old rate
        return {kAck};
    }
    if (k == "B" || k == "8") {
        const uint8_t which = b[1], arg = b[2];
        if (k == "B" && which == 'R' && arg == 'R') return {readWriteBank_};
        if (k == "B" && which == 'E' && arg == 'E') return {emulationBank_};
        if (which == 'R') {
            if (arg > model_.bankCount) return refuse();
            readWriteBank_ = arg;
            return {kAck};
        }
        if (which == 'E' || which == 'S') {
            emulationBank_ = arg;
            return {kAck};
        }
        return refuse();
    }

    // Block and bulk transfers: body = address bytes, then data.
    const bool bulk = k[0] == 'Z';
    uint8_t space = kSpace2;
    uint64_t offset = 0;
    size_t n = 0;
    size_t addrLen = 0;
    if (bulk) {
        const uint8_t pages = b[2];
        if (pages == 0 || pages > 16) return refuse();
        n = size_t{pages} * 256;
        addrLen = 2;
        offset = WideOffset(body[0], body[1], 0, space);
    } else {
        n = b[1] == 0 ? 256 : b[1];
        addrLen = model_.addressBytes;
        offset = addrLen == 3 ? WideOffset(body[0], body[1], body[2], space)
                              : WindowBase() + ((uint64_t{body[0]} << 8) | body[1]);
    }

    // Whole runs, not byte by byte: a 4 KiB bulk request must cost the far end no more than
    // the copy, or the simulator, not the library, dominates the host-overhead figures.
    const std::vector<uint8_t>& stored = Memory(space);
    const size_t inRange = offset < stored.size() ? std::min<size_t>(n, stored.size() - offset) : 0;
    if (k == "R" || k == "ZR") {
        std::vector<uint8_t> data(n, 0xFF);
        std::copy_n(stored.begin() + static_cast<std::ptrdiff_t>(offset), inRange, data.begin());
        // The reply chain continues from the last encrypted request byte.
        if (q.encrypted) EncryptRun(b[q.runEnd - 1], data.data(), n);
        AppendWithChecksum(out, data.data(), n);
        return out;
    }
    const uint8_t* data = body.data() + addrLen;
    std::copy_n(data, inRange, Memory(space).begin() + static_cast<std::ptrdiff_t>(offset));
    if (k == "X") {
        uint16_t sum = 0;
        for (size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + data[i]);
        return {static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
    }
    return {kAck};
}

}  // namespace qxsim
