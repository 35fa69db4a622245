#include "tools/qxtool/image_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tools/qxtool/console.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

std::string ReadStandardInput() {
    std::string content;
    char block[65536];
    for (;;) {
        const size_t n = std::fread(block, 1, sizeof block, stdin);
        if (content.size() + n > image::kMaxFileSize)
            throw image::ImageError(0, "standard input holds more than " +
                                           std::to_string(image::kMaxFileSize) + " bytes");
        content.append(block, n);
        if (n < sizeof block) break;
    }
    if (std::ferror(stdin)) throw image::ImageError(0, "cannot read standard input");
    return content;
}

std::string Signed(int64_t value) {
    std::string text(value < 0 ? "-" : "");
    text += Hex(static_cast<uint64_t>(value < 0 ? -value : value));
    return text;
}

const char* FormatWords(image::Format format) {
    return format == image::Format::IntelHex ? "Intel HEX" : "S-record";
}

// The first device address at or past `limit` that a file gives.
uint64_t FirstPast(const Placement& placed, uint64_t limit) {
    for (uint64_t a = std::max<uint64_t>(limit, placed.address); a < placed.End(); ++a)
        if (placed.Given(static_cast<size_t>(a - placed.address))) return a;
    return placed.End() - 1;
}

}  // namespace

void UseBinaryStdio() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

Source LoadSource(const std::string& path, const std::string& formatOption) {
    Source source;
    source.path = path;
    const bool standard = path == kStandardStream;
    source.label = standard ? "standard input" : path;
    try {
        source.content = standard ? ReadStandardInput() : image::ReadFile(path);
        // Standard input has no name: its content decides.
        source.format = !formatOption.empty() ? *image::FormatFromOption(formatOption)
                        : standard            ? image::DetectFormat("", source.content)
                                              : image::DetectFormat(path, source.content);
        const bool binaryName = !standard && image::FormatFromName(path).value_or(
                                                 image::Format::IntelHex) == image::Format::Binary;
        if (formatOption.empty() && binaryName) {
            if (const auto looks = image::LooksLikeRecords(source.content))
                Console::Get().Warning(source.label + " has a binary image's name but reads as " +
                                       FormatWords(*looks) +
                                       " text; it is taken byte for byte (--format " +
                                       image::FormatOption(*looks) + " reads its records)");
        }
        source.image = image::Parse(source.content, source.format);
    } catch (const image::ImageError& e) {
        throw FileError(source.label, e.what(), e.Line(), e.Column());
    }
    if (source.image.Empty()) throw FileError(source.label, "the file holds no data");
    return source;
}

Lane SourceLane(const Layout& layout, size_t index) {
    if (layout.bothLanes) return index == 0 ? Lane::Even : Lane::Odd;
    return layout.lane;
}

Placement PlaceSources(const std::vector<Source>& sources, const Layout& layout,
                       const MemoryWindow& window) {
    std::vector<PlacedInput> inputs;
    for (size_t i = 0; i < sources.size(); ++i)
        inputs.push_back({&sources[i].image, SourceLane(layout, i)});
    Placement placed;
    try {
        placed = Place(inputs, layout.shift, layout.fill);
    } catch (const PlacementError& e) {
        throw FileError(sources[e.Input()].label, e.what());
    }
    if (window.limit == 0 || placed.End() <= window.limit) return placed;

    // Name the file, and the line of a record file, that runs past the window.
    const std::string what = window.banked
                                 ? "the image (" + Range(placed.address, placed.bytes.size()) + ")"
                                 : "data at " + Address(FirstPast(placed, window.limit));
    const bool larger = placed.bytes.size() > window.limit;
    std::string refusal = window.Refusal(what, larger);
    // Records linked elsewhere (a BIOS at 0xF0000) fit once moved.
    if (!larger && sources[0].format != image::Format::Binary)
        refusal +=
            "; --offset=" + Signed(layout.shift - placed.address) + " moves the image to address 0";
    for (size_t i = 0; i < sources.size(); ++i) {
        const Source& source = sources[i];
        const Lane lane = SourceLane(layout, i);
        if (ToDevice(source.image.Extent()->highest, lane, layout.shift) < window.limit) continue;
        if (source.format != image::Format::Binary) {
            image::ReadOptions options;
            options.memoryLimit = FileLimit(window.limit, lane, layout.shift);
            try {
                image::Parse(source.content, source.format, options);
            } catch (const image::ImageError& e) {
                throw FileError(source.label, "line " + std::to_string(e.Line()) + ": " + refusal,
                                e.Line(), e.Column());
            }
        }
        throw FileError(source.label, refusal);
    }
    throw UsageError(refusal);
}

void CheckWritable(const std::string& path) {
    if (path == kStandardStream) return;
    std::error_code error;
    const bool existed = std::filesystem::exists(path, error);
    if (existed && std::filesystem::is_directory(path, error))
        throw FileError(path, "is a folder, not a file");
    // Opened without truncating: an existing file keeps its bytes until the read succeeded.
    std::FILE* file = std::fopen(path.c_str(), existed ? "r+b" : "wb");
    if (file == nullptr)
        throw FileError(path, std::string("cannot be written: ") + std::strerror(errno));
    std::fclose(file);
    if (!existed) std::filesystem::remove(path, error);
}

void WriteOutput(const std::string& path, std::string_view content) {
    if (path != kStandardStream) {
        try {
            image::WriteFile(path, content);
        } catch (const image::ImageError& e) {
            throw FileError(path, e.what());
        }
        return;
    }
    if (std::fwrite(content.data(), 1, content.size(), stdout) != content.size() ||
        std::fflush(stdout) != 0)
        throw FileError("standard output", "cannot be written");
}

}  // namespace qx::tool
