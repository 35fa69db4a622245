// Image files for qxtool: raw binary, Intel HEX and Motorola S-record, read and written.
//
// An Image is the sparse content of a file: bytes at 32-bit addresses. Readers verify
// every checksum and refuse a malformed file as a whole with an ImageError naming the
// 1-based line; they never return part of a file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qx::image {

inline constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;
// Larger files are refused before they are read: no device holds anything near this much.
inline constexpr std::uint64_t kMaxFileSize = std::uint64_t{128} << 20;

enum class Format { Binary, IntelHex, SRecord };

// A malformed or unreadable file. Line() is the 1-based line of the offending record,
// 0 when the problem is not tied to a line (binary files, I/O); Column() the 1-based column
// of the offending digit or field, else of the record's first character (0 without a line).
// what() reads "line N: reason" (or just the reason when Line() is 0).
class ImageError : public std::runtime_error {
  public:
    ImageError(std::size_t line, const std::string& reason, std::size_t column = 0);
    std::size_t Line() const { return line_; }
    std::size_t Column() const { return column_; }
    const std::string& Reason() const { return reason_; }

  private:
    std::size_t line_;
    std::size_t column_;
    std::string reason_;
};

struct Segment {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
    std::uint64_t End() const { return address + std::uint64_t{bytes.size()}; }
    bool operator==(const Segment&) const = default;
};

struct Extent {
    std::uint32_t lowest = 0;
    std::uint32_t highest = 0;  // inclusive
};

class Image {
  public:
    // Adds bytes at address. Throws std::invalid_argument when they would overlap bytes
    // already present or run past the 32-bit address space; the image is then unchanged.
    void Add(std::uint32_t address, std::span<const std::uint8_t> bytes);

    bool Empty() const { return chunks_.empty(); }
    std::uint64_t ByteCount() const;
    std::optional<image::Extent> Extent() const;
    // The contents as maximal runs of consecutive bytes, in address order.
    std::vector<Segment> Segments() const;
    // The bytes of [base, base + length) with holes set to fill. Throws std::out_of_range
    // when the image holds data outside that range, so no byte is dropped unnoticed.
    std::vector<std::uint8_t> Flatten(std::uint32_t base, std::uint64_t length,
                                      std::uint8_t fill = 0xFF) const;

    // Start address from an Intel HEX type 05 record or a non-zero S7/S8/S9 address.
    std::optional<std::uint32_t> start;

    bool operator==(const Image& other) const;

  private:
    std::map<std::uint32_t, std::vector<std::uint8_t>> chunks_;  // never overlapping
};

struct ReadOptions {
    std::uint32_t binaryAddress = 0;            // where byte 0 of a raw binary file goes
    std::uint64_t memoryLimit = kAddressSpace;  // every byte must lie below this address
};

struct WriteOptions {
    unsigned bytesPerRecord = 16;  // Intel HEX 1..255, S-record 1..250
    bool crlf = false;
    std::string header = "";          // S0 record text
    std::uint32_t binaryAddress = 0;  // address of byte 0 of a raw binary file
    std::uint8_t fill = 0xFF;         // holes in a raw binary file
    // S-record address bytes: 2 (S1), 3 (S2) or 4 (S3); 0, or too few for the data: the
    // fewest that hold the highest address.
    unsigned sRecordAddressBytes = 0;
};

// Parsers of a whole file's content; they throw ImageError.
Image ParseBinary(std::string_view content, const ReadOptions& options = {});
Image ParseIntelHex(std::string_view content, const ReadOptions& options = {});
Image ParseSRecord(std::string_view content, const ReadOptions& options = {});
Image Parse(std::string_view content, Format format, const ReadOptions& options = {});

// Writers; they throw std::invalid_argument for options out of range (and, for binary,
// data below binaryAddress).
std::string WriteBinary(const Image& image, const WriteOptions& options = {});
std::string WriteIntelHex(const Image& image, const WriteOptions& options = {});
std::string WriteSRecord(const Image& image, const WriteOptions& options = {});
std::string Write(const Image& image, Format format, const WriteOptions& options = {});

// Format by extension (.bin/.img/.rom, .hex/.ihx/.ihex, .s19/.s28/.s37/.srec/.mot).
std::optional<Format> FormatFromName(const std::filesystem::path& path);
// The extensions FormatFromName knows for a format, as "*.bin, *.img, *.rom".
std::string ExtensionsOf(Format format);
// The S-record address bytes an extension names: .s19 2, .s28 3, .s37 4; else 0.
unsigned SRecordAddressBytesFromName(const std::filesystem::path& path);
// By name, else by content: ':' first -> Intel HEX, 'S' and a digit -> S-record, else binary.
Format DetectFormat(const std::filesystem::path& path, std::string_view content);
// The record format the content reads as (its first line is a whole well-formed Intel HEX
// or S-record record and the file is plain text), or nothing: for warning about a text file
// that a binary extension would load byte for byte.
std::optional<Format> LooksLikeRecords(std::string_view content);
// "bin", "ihex", "srec" (the --format values) and back.
std::optional<Format> FormatFromOption(std::string_view option);
const char* FormatOption(Format format);

// File access; both throw ImageError (line 0) on failure or files above maxSize.
std::string ReadFile(const std::filesystem::path& path, std::uint64_t maxSize = kMaxFileSize);
void WriteFile(const std::filesystem::path& path, std::string_view content);
// ReadFile + DetectFormat (unless format is given) + Parse.
Image Load(const std::filesystem::path& path, std::optional<Format> format = std::nullopt,
           const ReadOptions& options = {});

}  // namespace qx::image
