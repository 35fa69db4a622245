#include "ui_state.h"

#include <cstring>

#include "ui_settings.h"

namespace tarnwell {
namespace {

constexpr uint8_t kTag[4] = {'T', 'W', 'U', 'I'};
constexpr uint8_t kFlagPlacement = 0x01;
constexpr uint8_t kFlagVerify = 0x02;

int32_t GetI32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) |
                                (static_cast<uint32_t>(p[3]) << 24));
}

void PutI32(uint8_t* p, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A field without its terminator is not trusted (nothing tells where its text ends).
std::string GetText(const uint8_t* p, uint32_t capacity) {
    const void* end = std::memchr(p, 0, capacity);
    if (end == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(end) - p);
}

bool PutText(uint8_t* p, uint32_t capacity, const std::string& text) {
    std::memset(p, 0, capacity);
    // An embedded NUL would cut the text on the way back.
    if (text.size() >= capacity || text.find('\0') != std::string::npos) return false;
    std::memcpy(p, text.data(), text.size());
    return true;
}

}  // namespace

UiState LoadUiState(const uint8_t* block) {
    UiState state;
    if (Inspect(block, nullptr) != BlockState::Ours) return state;
    const uint8_t* tag = block + kUiTagOffset;
    if (std::memcmp(tag, kTag, sizeof kTag) != 0 || tag[4] != kUiRecordVersion) return state;
    const uint8_t flags = tag[5];
    state.verify = (flags & kFlagVerify) != 0;
    const uint8_t* place = block + kUiPlacementOffset;
    state.placement = {GetI32(place), GetI32(place + 4), GetI32(place + 8), GetI32(place + 12)};
    // A placement without a size cannot be a window's.
    state.hasPlacement =
        (flags & kFlagPlacement) != 0 && state.placement.width > 0 && state.placement.height > 0;
    const uint8_t* shortcut = block + kUiShortcutOffset;
    state.shortcut.flags = shortcut[0];
    state.shortcut.key = static_cast<uint16_t>(shortcut[2] | (shortcut[3] << 8));
    state.deviceName = GetText(block + kUiNameOffset, kUiNameCapacity);
    state.lastReadFile = GetText(block + kUiReadFileOffset, kUiFileCapacity);
    state.lastWriteFile = GetText(block + kUiWriteFileOffset, kUiFileCapacity);
    return state;
}

bool StoreUiState(uint8_t* block, const UiState& state) {
    if (Inspect(block, nullptr) != BlockState::Ours) return false;
    uint8_t payload[kBlockSize - kHeaderSize] = {};
    uint8_t* tag = payload;
    std::memcpy(tag, kTag, sizeof kTag);
    tag[4] = kUiRecordVersion;
    tag[5] = static_cast<uint8_t>((state.hasPlacement ? kFlagPlacement : 0) |
                                  (state.verify ? kFlagVerify : 0));
    uint8_t* place = payload + (kUiPlacementOffset - kHeaderSize);
    PutI32(place, state.placement.left);
    PutI32(place + 4, state.placement.top);
    PutI32(place + 8, state.placement.width);
    PutI32(place + 12, state.placement.height);
    uint8_t* shortcut = payload + (kUiShortcutOffset - kHeaderSize);
    shortcut[0] = state.shortcut.flags;
    shortcut[2] = static_cast<uint8_t>(state.shortcut.key);
    shortcut[3] = static_cast<uint8_t>(state.shortcut.key >> 8);
    bool whole =
        PutText(payload + (kUiNameOffset - kHeaderSize), kUiNameCapacity, state.deviceName);
    whole &=
        PutText(payload + (kUiReadFileOffset - kHeaderSize), kUiFileCapacity, state.lastReadFile);
    whole &=
        PutText(payload + (kUiWriteFileOffset - kHeaderSize), kUiFileCapacity, state.lastWriteFile);
    SetPayload(block, kHeaderSize, payload, sizeof payload);
    return whole;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Back over continuation bytes (10xxxxxx) to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace tarnwell
