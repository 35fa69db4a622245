// Random sparse images for the image-file tests.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "tools/qxtool/image_file.h"

namespace qx::image::test {

using Layout = std::vector<std::pair<std::uint32_t, std::uint32_t>>;  // address, length

inline std::vector<std::uint8_t> randomBytes(std::size_t n, std::mt19937& rng) {
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

inline Image RandomImage(const Layout& layout, unsigned seed) {
    std::mt19937 rng(seed);
    Image image;
    for (auto [address, length] : layout) image.Add(address, randomBytes(length, rng));
    return image;
}

// count segments of 1..300 bytes with gaps of 1..100000 bytes from a random start below 'below'.
inline Layout RandomLayout(unsigned seed, int count, std::uint32_t below) {
    std::mt19937 rng(seed);
    Layout layout;
    std::uint64_t address = rng() % below;
    for (int i = 0; i < count; ++i) {
        std::uint32_t length = 1 + rng() % 300;
        layout.push_back({static_cast<std::uint32_t>(address), length});
        address += length + 1 + rng() % 100000;
    }
    return layout;
}

}  // namespace qx::image::test
