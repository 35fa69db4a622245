// Image files: Intel HEX and S-record content as a user's file could hold it.
//
// Checks: a malformed file is refused with ImageError and nothing else (no other exception,
// no partial image); an accepted one is consistent (sorted, disjoint segments whose sizes add
// up to ByteCount, an extent that spans them), survives a write and a re-read in both
// formats unchanged, and is refused as a whole under a memory limit one byte too small.
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"
#include "tools/qxtool/image_file.h"

namespace qxfuzz {
namespace {

using qx::image::Format;
using qx::image::Image;
using qx::image::ImageError;

constexpr std::uint64_t kMaxFlatten = 1 << 20;

std::string Consistent(const Image& image) {
    const std::vector<qx::image::Segment> segments = image.Segments();
    std::uint64_t bytes = 0;
    std::uint64_t previousEnd = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        const qx::image::Segment& s = segments[i];
        if (s.bytes.empty()) return "empty segment";
        if (s.End() > qx::image::kAddressSpace) return "segment past 4 GiB";
        // Maximal runs: the next one starts beyond a gap.
        if (i > 0 && s.address <= previousEnd) return "segments overlap or touch";
        previousEnd = s.End();
        bytes += s.bytes.size();
    }
    if (bytes != image.ByteCount()) return "byteCount disagrees with the segments";
    const auto extent = image.Extent();
    if (image.Empty() != !extent.has_value() || image.Empty() != segments.empty()) {
        return "empty() disagrees with the extent";
    }
    if (!extent) return "";
    if (extent->lowest != segments.front().address ||
        std::uint64_t{extent->highest} + 1 != segments.back().End()) {
        return "extent does not span the segments";
    }
    const std::uint64_t span = std::uint64_t{extent->highest} - extent->lowest + 1;
    if (span <= kMaxFlatten) {
        const std::vector<std::uint8_t> flat = image.Flatten(extent->lowest, span, 0xA5);
        for (const qx::image::Segment& s : segments) {
            for (size_t i = 0; i < s.bytes.size(); ++i) {
                if (flat[s.address - extent->lowest + i] != s.bytes[i])
                    return "flatten lost a byte";
            }
        }
    }
    return "";
}

bool SameData(const Image& a, const Image& b) {
    return a.Segments() == b.Segments();
}

// A start address of 0 has no S-record form (S7/S8/S9 with address 0 means none).
bool SameStart(const Image& original, const Image& reread, Format format) {
    if (format == Format::SRecord && original.start == std::optional<std::uint32_t>(0)) {
        return !reread.start.has_value() || *reread.start == 0;
    }
    return original.start == reread.start;
}

std::string RoundTrip(const Image& image, Format format) {
    const char* name = format == Format::IntelHex ? "Intel HEX" : "S-record";
    try {
        const std::string text = qx::image::Write(image, format);
        const Image back = qx::image::Parse(text, format);
        if (!SameData(image, back)) return std::string("data changed through ") + name;
        if (!SameStart(image, back, format)) return std::string("start changed through ") + name;
    } catch (const std::exception& e) {
        return std::string("re-reading our own ") + name + " failed: " + e.what();
    }
    return "";
}

std::string Run(const uint8_t* data, size_t size, Format format) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    Image image;
    try {
        image = qx::image::Parse(content, format);
    } catch (const ImageError& e) {
        if (std::string_view(e.what()).empty()) return "ImageError without a reason";
        return "";
    } catch (const std::exception& e) {
        return std::string("parser threw something else than ImageError: ") + e.what();
    } catch (...) {
        return "parser threw a non-exception";
    }
    if (std::string bad = Consistent(image); !bad.empty()) return bad;
    if (std::string bad = RoundTrip(image, Format::IntelHex); !bad.empty()) return bad;
    if (std::string bad = RoundTrip(image, Format::SRecord); !bad.empty()) return bad;

    if (const auto extent = image.Extent()) {
        qx::image::ReadOptions tight;
        tight.memoryLimit = extent->highest;  // the highest byte is just outside
        try {
            (void)qx::image::Parse(content, format, tight);
            return "a byte above the memory limit was accepted";
        } catch (const ImageError&) {
        } catch (const std::exception& e) {
            return std::string("memory limit refusal is not an ImageError: ") + e.what();
        }
    }
    return "";
}

}  // namespace

std::string RunIntelHex(const uint8_t* data, size_t size) {
    return Run(data, size, Format::IntelHex);
}

std::string RunSRecord(const uint8_t* data, size_t size) {
    return Run(data, size, Format::SRecord);
}

}  // namespace qxfuzz
