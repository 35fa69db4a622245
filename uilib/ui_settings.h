// The stand-in's layout of the 552-byte settings block: a small versioned header, then the
// payload the scripts write into.
//
//   0..3   magic "TWSB"
//   4..5   layout version (little-endian), 1
//   6..7   header size (little-endian), 16
//   8..11  run counter (little-endian): calls that found this block
//   12     hardware-ID letter of the last device seen (0: none yet)
//   13, 14 its firmware major, minor
//   15     0
//   16..551 payload
#pragma once

#include <cstdint>

namespace tarnwell {

inline constexpr uint32_t kBlockSize = 552;
inline constexpr uint32_t kHeaderSize = 16;
inline constexpr uint16_t kLayoutVersion = 1;

struct Header {
    uint16_t version;
    uint16_t headerSize;
    uint32_t runCount;
    char lastHardwareId;
    uint8_t lastFirmwareMajor;
    uint8_t lastFirmwareMinor;
};

enum class BlockState {
    Fresh,    // all zero: the first run
    Ours,     // this layout; kept
    Newer,    // a later layout version: left exactly as it is
    Foreign,  // not this layout: started afresh
};
const char* BlockStateName(BlockState state);

BlockState Inspect(const uint8_t* block, Header* header);

// Makes the block this run's: a fresh or foreign block gets a new header and a zero payload,
// a block of this layout counts one more run, a newer one is not touched. The last device is
// recorded when hardwareId is not 0.
BlockState BeginRun(uint8_t* block, char hardwareId, uint8_t firmwareMajor, uint8_t firmwareMinor,
                    Header* header);

// Copies bytes into the payload; false (nothing written) when any of them would land in the
// header or past the block.
bool SetPayload(uint8_t* block, uint32_t offset, const uint8_t* bytes, uint32_t count);

}  // namespace tarnwell
