// What the window keeps between runs, in the payload of the settings block (bytes 16..551,
// behind the header of ui_settings.h). The payload starts with its own tag, so a payload that
// scripts filled with anything else reads as "nothing kept" instead of as garbage:
//
//   16..19   tag "TWUI"
//   20       record version, 1
//   21       flags: bit 0 window placement kept, bit 1 verify after writing
//   22..23   0
//   24..39   window left, top, width, height (signed 32-bit, little-endian)
//   40..45   keyboard shortcut: flags, 0, key code (16-bit little-endian), 0, 0
//   46..47   0
//   48..111  device name, UTF-8, NUL-padded (at most 63 bytes)
//   112..331 last file read into, NUL-padded (at most 219 bytes)
//   332..551 last file written from, NUL-padded (at most 219 bytes)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwell {

inline constexpr uint32_t kUiTagOffset = 16;
inline constexpr uint8_t kUiRecordVersion = 1;
inline constexpr uint32_t kUiPlacementOffset = 24;
inline constexpr uint32_t kUiShortcutOffset = 40;
inline constexpr uint32_t kUiNameOffset = 48;
inline constexpr uint32_t kUiNameCapacity = 64;
inline constexpr uint32_t kUiReadFileOffset = 112;
inline constexpr uint32_t kUiWriteFileOffset = 332;
inline constexpr uint32_t kUiFileCapacity = 220;

struct Placement {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// The same six bytes as the key-combination dialog's record.
struct Shortcut {
    uint8_t flags = 0;
    uint16_t key = 0;  // 0: none
};

struct UiState {
    bool hasPlacement = false;
    Placement placement;
    bool verify = true;
    Shortcut shortcut;
    std::string deviceName;
    std::string lastReadFile;
    std::string lastWriteFile;
};

// The state kept in `block`; defaults when the payload holds no record of this version.
UiState LoadUiState(const uint8_t* block);
// Writes the record into the payload. Texts too long for their field are not cut (a cut
// path names another file, a cut name may end inside a character): such a field is stored
// empty and false is returned. Nothing is written into a block of a newer layout.
bool StoreUiState(uint8_t* block, const UiState& state);

// The longest start of `text` that fits `maxBytes` without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t maxBytes);

}  // namespace tarnwell
