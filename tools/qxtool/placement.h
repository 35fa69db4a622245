// Where the bytes of image files land in device memory, and back: relocation (--offset, or a
// binary file's --address), byte lanes (--split: the even or odd bytes of a 16-bit image,
// the two 8-bit ROMs of a 16-bit target), holes and padding (--fill).
//
// A file address f lands at device address f + shift, or with a lane at 2f + lane + shift
// (lane 0 even, 1 odd), so that srec_cat's "-split 2 0" and "-split 2 1" of an image give the
// two files that land back where the image was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qxtool/image_file.h"

namespace qx::tool {

enum class Lane { All, Even, Odd };

// "even", "odd" (and "all" for Lane::All).
std::optional<Lane> LaneFromOption(std::string_view option);
const char* LaneName(Lane lane);

// The device address of a file address; may lie outside the 32-bit space.
int64_t ToDevice(int64_t fileAddress, Lane lane, int64_t shift);
// The first file address that lands at or above the device address `limit` (0 when every
// address does): the memory limit to parse a file with to find the line that does not fit.
uint64_t FileLimit(uint64_t limit, Lane lane, int64_t shift);

struct PlacedInput {
    const image::Image* image;
    Lane lane;
};

// The bytes of a device range: the files' bytes, the rest `fill` until the caller puts the
// device's own bytes there (a single lane keeps the other lane's bytes).
struct Placement {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> given;  // 1 where a file gives the byte; empty: every byte given

    bool Given(size_t i) const { return given.empty() || given[i] != 0; }
    uint64_t GivenCount() const;
    uint64_t End() const { return address + uint64_t{bytes.size()}; }
};

// A byte that lands outside the 32-bit device address space.
class PlacementError : public std::runtime_error {
  public:
    PlacementError(size_t input, const std::string& message)
        : std::runtime_error(message), input_(input) {}
    size_t Input() const { return input_; }

  private:
    size_t input_;
};

// Puts every input's bytes at their device addresses (non-empty images; lanes of several
// inputs must not collide: the first wins otherwise).
Placement Place(std::span<const PlacedInput> inputs, int64_t shift, uint8_t fill);

// Grows the range on both ends to multiples of `unit` with `fill` (bytes not given).
void Pad(Placement& placement, uint32_t unit, uint8_t fill);

// The file image of one lane of device bytes that start at `address`: the inverse of Place.
// Throws PlacementError (input 0) when a file address would fall outside the 32-bit space.
image::Image Extract(std::span<const uint8_t> bytes, uint32_t address, Lane lane, int64_t shift);

}  // namespace qx::tool
