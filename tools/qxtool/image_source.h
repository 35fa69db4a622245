// Image files as the transfer commands use them: read from a path or standard input ("-"),
// the format from --format, the name or the content, parsed and placed in device memory, and
// every problem reported as a file error naming the file, line and column.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qxtool/image_file.h"
#include "tools/qxtool/memory_window.h"
#include "tools/qxtool/placement.h"

namespace qx::tool {

inline constexpr const char* kStandardStream = "-";

struct Source {
    std::string path;   // as given; "-" is standard input
    std::string label;  // the path, or "standard input"
    std::string content;
    image::Format format = image::Format::Binary;
    image::Image image;  // at its file addresses (a binary file from 0)
};

// How sources land on the device: shift (--address of a binary file, else --offset), the
// byte lane of one file (or both files of --split both: the first even, the second odd),
// and the byte for holes and padding.
struct Layout {
    int64_t shift = 0;
    Lane lane = Lane::All;
    bool bothLanes = false;
    uint8_t fill = 0xFF;
    bool fillGiven = false;
};

// Reads and parses one file; formatOption is "bin", "ihex", "srec" or empty (by the name's
// extension, else by the content). Warns when a binary extension names record text.
Source LoadSource(const std::string& path, const std::string& formatOption);

// The sources' bytes at their device addresses, refused (with the line that does not fit)
// when they run past `window`.
Placement PlaceSources(const std::vector<Source>& sources, const Layout& layout,
                       const MemoryWindow& window);

// The lane each source is read into with this layout.
Lane SourceLane(const Layout& layout, size_t index);

// Fails unless `path` can be written (created, or replaced), leaving no new file behind.
void CheckWritable(const std::string& path);
// Writes the whole of `content` to `path`, or to standard output for "-".
void WriteOutput(const std::string& path, std::string_view content);

// Standard input and output carry bytes unchanged (Windows would translate line ends).
void UseBinaryStdio();

}  // namespace qx::tool
