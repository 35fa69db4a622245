#include "ui_settings.h"

#include <algorithm>
#include <cstring>

namespace tarnwell {
namespace {

constexpr uint8_t kMagic[4] = {'T', 'W', 'S', 'B'};

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void WriteHeader(uint8_t* block, const Header& h) {
    std::memcpy(block, kMagic, sizeof kMagic);
    PutU16(block + 4, h.version);
    PutU16(block + 6, h.headerSize);
    PutU32(block + 8, h.runCount);
    block[12] = static_cast<uint8_t>(h.lastHardwareId);
    block[13] = h.lastFirmwareMajor;
    block[14] = h.lastFirmwareMinor;
    block[15] = 0;
}

}  // namespace

const char* BlockStateName(BlockState state) {
    switch (state) {
        case BlockState::Fresh:
            return "fresh";
        case BlockState::Ours:
            return "kept";
        case BlockState::Newer:
            return "newer layout, left untouched";
        case BlockState::Foreign:
            return "unrecognised, started afresh";
    }
    return "?";
}

BlockState Inspect(const uint8_t* block, Header* header) {
    Header h{};
    if (std::all_of(block, block + kBlockSize, [](uint8_t b) { return b == 0; })) {
        if (header != nullptr) *header = h;
        return BlockState::Fresh;
    }
    if (std::memcmp(block, kMagic, sizeof kMagic) != 0) return BlockState::Foreign;
    h.version = GetU16(block + 4);
    h.headerSize = GetU16(block + 6);
    h.runCount = GetU32(block + 8);
    h.lastHardwareId = static_cast<char>(block[12]);
    h.lastFirmwareMajor = block[13];
    h.lastFirmwareMinor = block[14];
    if (header != nullptr) *header = h;
    if (h.version > kLayoutVersion) return BlockState::Newer;
    if (h.version != kLayoutVersion || h.headerSize != kHeaderSize) return BlockState::Foreign;
    return BlockState::Ours;
}

BlockState BeginRun(uint8_t* block, char hardwareId, uint8_t firmwareMajor, uint8_t firmwareMinor,
                    Header* header) {
    Header h{};
    const BlockState state = Inspect(block, &h);
    if (state == BlockState::Newer) {
        if (header != nullptr) *header = h;
        return state;
    }
    if (state != BlockState::Ours) {
        std::memset(block, 0, kBlockSize);
        h = Header{kLayoutVersion, kHeaderSize, 0, 0, 0, 0};
    }
    // Saturates rather than wrapping back to a "first run".
    if (h.runCount != UINT32_MAX) ++h.runCount;
    if (hardwareId != 0) {
        h.lastHardwareId = hardwareId;
        h.lastFirmwareMajor = firmwareMajor;
        h.lastFirmwareMinor = firmwareMinor;
    }
    WriteHeader(block, h);
    if (header != nullptr) *header = h;
    return state;
}

bool SetPayload(uint8_t* block, uint32_t offset, const uint8_t* bytes, uint32_t count) {
    if (offset < kHeaderSize || offset > kBlockSize || count > kBlockSize - offset) return false;
    if (count != 0) std::memcpy(block + offset, bytes, count);
    return true;
}

}  // namespace tarnwell
