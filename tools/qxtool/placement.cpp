#include "tools/qxtool/placement.h"

#include <algorithm>
#include <cstdio>

namespace qx::tool {
namespace {

constexpr int64_t kSpace = int64_t{1} << 32;

int64_t LaneIndex(Lane lane) {
    return lane == Lane::Odd ? 1 : 0;
}

std::string Signed(int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%s0x%llX", value < 0 ? "-" : "",
                  static_cast<unsigned long long>(value < 0 ? -value : value));
    return text;
}

}  // namespace

std::optional<Lane> LaneFromOption(std::string_view option) {
    if (option == "even") return Lane::Even;
    if (option == "odd") return Lane::Odd;
    if (option == "all") return Lane::All;
    return std::nullopt;
}

const char* LaneName(Lane lane) {
    switch (lane) {
        case Lane::Even:
            return "even";
        case Lane::Odd:
            return "odd";
        case Lane::All:
            break;
    }
    return "all";
}

int64_t ToDevice(int64_t fileAddress, Lane lane, int64_t shift) {
    if (lane == Lane::All) return fileAddress + shift;
    return 2 * fileAddress + LaneIndex(lane) + shift;
}

uint64_t FileLimit(uint64_t limit, Lane lane, int64_t shift) {
    const int64_t room = static_cast<int64_t>(limit) - shift;
    if (lane == Lane::All) return room <= 0 ? 0 : static_cast<uint64_t>(room);
    const int64_t lanes = room - LaneIndex(lane);
    return lanes <= 0 ? 0 : static_cast<uint64_t>((lanes + 1) / 2);
}

uint64_t Placement::GivenCount() const {
    if (given.empty()) return bytes.size();
    return static_cast<uint64_t>(std::count(given.begin(), given.end(), uint8_t{1}));
}

Placement Place(std::span<const PlacedInput> inputs, int64_t shift, uint8_t fill) {
    int64_t lowest = kSpace;
    int64_t highest = -1;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const image::Extent extent = *inputs[i].image->Extent();
        const int64_t low = ToDevice(extent.lowest, inputs[i].lane, shift);
        const int64_t high = ToDevice(extent.highest, inputs[i].lane, shift);
        if (low < 0)
            throw PlacementError(i, "data at " + Signed(extent.lowest) +
                                        " lands below device address 0 (at " + Signed(low) + ")");
        if (high >= kSpace)
            throw PlacementError(i, "data at " + Signed(extent.highest) + " lands at " +
                                        Signed(high) + ", past the 32-bit address space");
        lowest = std::min(lowest, low);
        highest = std::max(highest, high);
    }
    Placement placement;
    placement.address = static_cast<uint32_t>(lowest);
    const auto length = static_cast<size_t>(highest - lowest + 1);
    placement.bytes.assign(length, fill);
    const bool whole = inputs.size() == 1 && inputs[0].lane == Lane::All &&
                       inputs[0].image->Segments().size() == 1;
    if (!whole) placement.given.assign(length, 0);
    for (const PlacedInput& input : inputs) {
        for (const image::Segment& segment : input.image->Segments()) {
            const auto at =
                static_cast<size_t>(ToDevice(segment.address, input.lane, shift) - lowest);
            if (input.lane == Lane::All) {
                std::copy(segment.bytes.begin(), segment.bytes.end(), placement.bytes.begin() + at);
                if (!whole) std::fill_n(placement.given.begin() + at, segment.bytes.size(), 1);
                continue;
            }
            for (size_t i = 0; i < segment.bytes.size(); ++i) {
                if (placement.given[at + 2 * i] != 0) continue;
                placement.bytes[at + 2 * i] = segment.bytes[i];
                placement.given[at + 2 * i] = 1;
            }
        }
    }
    return placement;
}

void Pad(Placement& placement, uint32_t unit, uint8_t fill) {
    if (unit <= 1) return;
    const uint32_t before = placement.address % unit;
    const uint64_t end = placement.End();
    const auto after = static_cast<uint32_t>((unit - end % unit) % unit);
    if (before == 0 && after == 0) return;
    if (placement.given.empty()) placement.given.assign(placement.bytes.size(), 1);
    placement.bytes.insert(placement.bytes.begin(), before, fill);
    placement.given.insert(placement.given.begin(), before, 0);
    placement.bytes.insert(placement.bytes.end(), after, fill);
    placement.given.insert(placement.given.end(), after, 0);
    placement.address -= before;
}

image::Image Extract(std::span<const uint8_t> bytes, uint32_t address, Lane lane, int64_t shift) {
    image::Image out;
    if (bytes.empty()) return out;
    std::vector<uint8_t> picked;
    int64_t first = -1;  // the file address of the first byte picked
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int64_t device = int64_t{address} + static_cast<int64_t>(i);
        int64_t file = device - shift;
        if (lane != Lane::All) {
            file -= LaneIndex(lane);
            // Only the lane's bytes: file addresses step by one for every two device bytes.
            if (file % 2 != 0) continue;
            file /= 2;
        }
        if (file < 0 || file >= kSpace)
            throw PlacementError(0, "device address " + Signed(device) + " lands at file address " +
                                        Signed(file) + ", outside the 32-bit address space");
        if (first < 0) first = file;
        picked.push_back(bytes[i]);
    }
    if (!picked.empty()) out.Add(static_cast<uint32_t>(first), picked);
    return out;
}

}  // namespace qx::tool
