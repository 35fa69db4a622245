#include "tools/qxtool/image_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numeric>

namespace qx::image {

namespace {

std::string Hex(std::uint64_t value, int digits = 8) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string Range(std::uint64_t address, std::uint64_t end) {
    return Hex(address) + "-" + Hex(end - 1);
}

[[noreturn]] void Fail(std::size_t line, const std::string& reason, std::size_t column = 0) {
    throw ImageError(line, reason, column);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Calls record(line, text, column) for every non-blank line, with blanks around the text
// removed. LF, CRLF and lone CR all end a line. Returns the number of the last record line.
template <typename F>
std::size_t ForEachRecord(std::string_view content, F record) {
    std::size_t line = 0, last = 0, pos = 0;
    while (pos < content.size()) {
        std::size_t end = std::min(content.find_first_of("\r\n", pos), content.size());
        std::string_view text = content.substr(pos, end - pos);
        pos = end + (content.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++line;
        std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        text = text.substr(first, text.find_last_not_of(" \t") + 1 - first);
        try {
            record(line, text, first + 1);
        } catch (const ImageError& e) {
            // A record-level fault points at the record's first character.
            if (e.Column() != 0 || e.Line() != line) throw;
            throw ImageError(line, e.Reason(), first + 1);
        }
        last = line;
    }
    return last;
}

// Hex digits of a record (starting in 1-based column `column`) as bytes.
std::vector<std::uint8_t> DecodeHex(std::string_view digits, std::size_t line, std::size_t column) {
    // The longest valid record carries 1 + 4 + 255 + 1 bytes; refuse longer before decoding.
    if (digits.size() > 2 * 261)
        Fail(line, "record too long (" + std::to_string(digits.size()) + " hex digits)");
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (HexValue(digits[i]) >= 0) continue;
        unsigned char c = static_cast<unsigned char>(digits[i]);
        std::string shown = c >= 0x20 && c < 0x7F ? std::string{'\'', digits[i], '\''} : Hex(c, 2);
        Fail(line, "bad hex digit " + shown + " in column " + std::to_string(column + i),
             column + i);
    }
    if (digits.size() % 2 != 0) Fail(line, "odd number of hex digits");
    std::vector<std::uint8_t> bytes(digits.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] =
            static_cast<std::uint8_t>(HexValue(digits[2 * i]) * 16 + HexValue(digits[2 * i + 1]));
    return bytes;
}

std::uint32_t BigEndian(std::span<const std::uint8_t> bytes) {
    return std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0},
                           [](std::uint32_t v, std::uint8_t b) { return v << 8 | b; });
}

std::uint8_t Sum(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

// Collects a file's data, checking each record against the address space and the memory.
class Builder {
  public:
    explicit Builder(const ReadOptions& options) : limit_(options.memoryLimit) {}

    void Add(std::size_t line, std::uint64_t address, std::span<const std::uint8_t> bytes) {
        if (bytes.empty()) return;
        std::uint64_t end = address + bytes.size();
        if (end > kAddressSpace)
            Fail(line, "data at " + Hex(address) + " runs past the 32-bit address space");
        if (end > limit_)
            Fail(line, "data at " + Range(address, end) + " lies past the end of memory (" +
                           Hex(limit_) + " bytes)");
        try {
            image.Add(static_cast<std::uint32_t>(address), bytes);
        } catch (const std::invalid_argument& e) {
            Fail(line, e.what());
        }
    }

    Image image;

  private:
    std::uint64_t limit_;
};

void CheckDataLength(std::size_t line, const char* record, std::size_t expected,
                     std::size_t actual) {
    if (actual != expected)
        Fail(line, std::string("wrong record length: ") + record + " record needs " +
                       std::to_string(expected) + " data bytes, has " + std::to_string(actual));
}

void CheckRecordSize(unsigned bytesPerRecord, unsigned max) {
    if (bytesPerRecord < 1 || bytesPerRecord > max)
        throw std::invalid_argument("bytes per record must be 1.." + std::to_string(max));
}

// Appends prefix + the bytes in hex + the line end.
void AppendLine(std::string& out, std::string_view prefix, std::span<const std::uint8_t> bytes,
                bool crlf) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += prefix;
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    out += crlf ? "\r\n" : "\n";
}

void AppendIntel(std::string& out, std::uint16_t offset, std::uint8_t type,
                 std::span<const std::uint8_t> data, bool crlf) {
    std::vector<std::uint8_t> record{static_cast<std::uint8_t>(data.size()),
                                     static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset), type};
    record.insert(record.end(), data.begin(), data.end());
    record.push_back(static_cast<std::uint8_t>(-Sum(record)));
    AppendLine(out, ":", record, crlf);
}

void AppendS(std::string& out, int type, int addressLength, std::uint32_t address,
             std::span<const std::uint8_t> data, bool crlf) {
    std::vector<std::uint8_t> record{static_cast<std::uint8_t>(addressLength + data.size() + 1)};
    for (int i = addressLength - 1; i >= 0; --i)
        record.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    record.insert(record.end(), data.begin(), data.end());
    record.push_back(static_cast<std::uint8_t>(~Sum(record)));
    const char prefix[] = {'S', static_cast<char>('0' + type), '\0'};
    AppendLine(out, prefix, record, crlf);
}

std::array<std::uint8_t, 4> BigEndian32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// Calls chunk(address, bytes) for pieces of at most `size` bytes that start on multiples of
// `size` where possible and never cross a multiple of `boundary`.
template <typename F>
void ForEachChunk(const Image& image, unsigned size, std::uint64_t boundary, F chunk) {
    for (const Segment& s : image.Segments()) {
        for (std::uint64_t address = s.address; address < s.End();) {
            std::uint64_t stop = std::min(
                {s.End(), (address / size + 1) * size, (address / boundary + 1) * boundary});
            chunk(static_cast<std::uint32_t>(address),
                  std::span(s.bytes).subspan(address - s.address, stop - address));
            address = stop;
        }
    }
}

}  // namespace

ImageError::ImageError(std::size_t line, const std::string& reason, std::size_t column)
    : std::runtime_error(line ? "line " + std::to_string(line) + ": " + reason : reason),
      line_(line),
      column_(line ? column : 0),
      reason_(reason) {}

void Image::Add(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    std::uint64_t end = address + std::uint64_t{bytes.size()};
    if (end > kAddressSpace)
        throw std::invalid_argument("data at " + Hex(address) +
                                    " runs past the 32-bit address space");
    auto overlap = [&](std::uint64_t at) {
        return std::invalid_argument("data at " + Range(address, end) +
                                     " overlaps data already at " + Hex(at));
    };
    auto next = chunks_.upper_bound(address);
    if (next != chunks_.end() && next->first < end) throw overlap(next->first);
    if (next != chunks_.begin()) {
        auto prev = std::prev(next);
        std::uint64_t prevEnd = prev->first + std::uint64_t{prev->second.size()};
        if (prevEnd > address) throw overlap(address);
        if (prevEnd == address) {  // the usual case: records in address order grow one chunk
            prev->second.insert(prev->second.end(), bytes.begin(), bytes.end());
            return;
        }
    }
    chunks_.emplace_hint(next, address, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::uint64_t Image::ByteCount() const {
    std::uint64_t n = 0;
    for (const auto& [address, bytes] : chunks_) n += bytes.size();
    return n;
}

std::optional<Extent> Image::Extent() const {
    if (chunks_.empty()) return std::nullopt;
    const auto& [last, bytes] = *chunks_.rbegin();
    return image::Extent{chunks_.begin()->first,
                         static_cast<std::uint32_t>(last + bytes.size() - 1)};
}

std::vector<Segment> Image::Segments() const {
    std::vector<Segment> out;
    for (const auto& [address, bytes] : chunks_) {
        if (out.empty() || out.back().End() != address) out.push_back({address, {}});
        out.back().bytes.insert(out.back().bytes.end(), bytes.begin(), bytes.end());
    }
    return out;
}

std::vector<std::uint8_t> Image::Flatten(std::uint32_t base, std::uint64_t length,
                                         std::uint8_t fill) const {
    std::uint64_t end = base + length;
    if (end > kAddressSpace)
        throw std::invalid_argument("range runs past the 32-bit address space");
    if (auto e = Extent(); e && (e->lowest < base || e->highest >= end))
        throw std::out_of_range("image data at " + Range(e->lowest, e->highest + std::uint64_t{1}) +
                                " does not fit in " +
                                (length ? Range(base, end) : "an empty range"));
    if (length > std::vector<std::uint8_t>().max_size())  // 4 GiB on a 32-bit host
        throw std::length_error("range of " + std::to_string(length) + " bytes is too large");
    std::vector<std::uint8_t> flat(static_cast<std::size_t>(length), fill);
    for (const auto& [address, bytes] : chunks_)
        std::copy(bytes.begin(), bytes.end(), flat.begin() + (address - base));
    return flat;
}

bool Image::operator==(const Image& other) const {
    return start == other.start && Segments() == other.Segments();
}

Image ParseBinary(std::string_view content, const ReadOptions& options) {
    Builder out(options);
    std::uint64_t end = options.binaryAddress + std::uint64_t{content.size()};
    if (end > kAddressSpace)
        Fail(0, "file of " + std::to_string(content.size()) + " bytes at " +
                    Hex(options.binaryAddress) + " runs past the 32-bit address space");
    if (end > options.memoryLimit)
        Fail(0, "file of " + std::to_string(content.size()) + " bytes at " +
                    Hex(options.binaryAddress) + " runs past the end of memory (" +
                    Hex(options.memoryLimit) + " bytes)");
    const auto* data = reinterpret_cast<const std::uint8_t*>(content.data());
    out.Add(0, options.binaryAddress, std::span(data, content.size()));
    return std::move(out.image);
}

Image ParseIntelHex(std::string_view content, const ReadOptions& options) {
    Builder out(options);
    std::uint32_t base = 0;  // from the last 02 or 04 record
    bool segmented = false;  // 02 addressing wraps within the 64 KiB segment
    std::size_t eofLine = 0;
    std::size_t last =
        ForEachRecord(content, [&](std::size_t line, std::string_view text, std::size_t column) {
            if (eofLine)
                Fail(line, "data after the end-of-file record of line " + std::to_string(eofLine));
            if (text[0] != ':') Fail(line, "record does not start with ':'");
            std::vector<std::uint8_t> r = DecodeHex(text.substr(1), line, column + 1);
            if (r.size() < 5) Fail(line, "wrong record length: record too short");
            if (r.size() != r[0] + 5u)
                Fail(line, "wrong record length: length field says " + std::to_string(r[0]) +
                               " data bytes, record has " + std::to_string(r.size() - 5));
            if (std::uint8_t s = Sum(r); s != 0)
                Fail(line,
                     "bad checksum " + Hex(r.back(), 2) + " (expected " +
                         Hex(static_cast<std::uint8_t>(r.back() - s), 2) + ")",
                     column + 1 + 2 * (r.size() - 1));
            std::uint16_t offset = static_cast<std::uint16_t>(r[1] << 8 | r[2]);
            std::span<const std::uint8_t> data(r.data() + 4, r[0]);
            switch (r[3]) {
                case 0x00:
                    if (segmented && offset + data.size() > 0x10000) {
                        std::size_t first = 0x10000 - offset;
                        out.Add(line, base + offset, data.first(first));
                        out.Add(line, base, data.subspan(first));
                    } else {
                        out.Add(line, std::uint64_t{base} + offset, data);
                    }
                    break;
                case 0x01:
                    CheckDataLength(line, "end-of-file", 0, data.size());
                    eofLine = line;
                    break;
                case 0x02:
                    CheckDataLength(line, "extended segment address", 2, data.size());
                    base = BigEndian(data) << 4;
                    segmented = true;
                    break;
                case 0x03:  // 8086 CS:IP start: nothing to load, and no linear equivalent to keep
                    CheckDataLength(line, "start segment address", 4, data.size());
                    break;
                case 0x04:
                    CheckDataLength(line, "extended linear address", 2, data.size());
                    base = BigEndian(data) << 16;
                    segmented = false;
                    break;
                case 0x05:
                    CheckDataLength(line, "start linear address", 4, data.size());
                    out.image.start = BigEndian(data);
                    break;
                default:
                    Fail(line, "unknown record type " + Hex(r[3], 2));
            }
        });
    // A file cut short usually ends on a whole line, so only the missing record shows it.
    if (!eofLine) Fail(last + 1, "no end-of-file record (file truncated?)");
    return std::move(out.image);
}

Image ParseSRecord(std::string_view content, const ReadOptions& options) {
    static constexpr int kAddressLength[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};  // 0: S4 reserved
    Builder out(options);
    std::size_t dataRecords = 0, endLine = 0;
    ForEachRecord(content, [&](std::size_t line, std::string_view text, std::size_t column) {
        if (endLine)
            Fail(line, "data after the termination record of line " + std::to_string(endLine));
        if (text[0] != 'S') Fail(line, "record does not start with 'S'");
        if (text.size() < 2 || text[1] < '0' || text[1] > '9' || !kAddressLength[text[1] - '0'])
            Fail(line, "unknown record type '" + std::string(text.substr(0, 2)) + "'");
        int type = text[1] - '0', length = kAddressLength[type];
        std::vector<std::uint8_t> r = DecodeHex(text.substr(2), line, column + 2);
        if (r.empty()) Fail(line, "wrong record length: record too short");
        if (r.size() != r[0] + 1u)
            Fail(line, "wrong record length: count field says " + std::to_string(r[0]) +
                           " bytes, record has " + std::to_string(r.size() - 1));
        if (r[0] < length + 1)
            Fail(line, "wrong record length: too short for a " + std::to_string(length) +
                           "-byte address");
        if (std::uint8_t s = static_cast<std::uint8_t>(~Sum(std::span(r).first(r.size() - 1)));
            s != r.back())
            Fail(line, "bad checksum " + Hex(r.back(), 2) + " (expected " + Hex(s, 2) + ")",
                 column + 2 + 2 * (r.size() - 1));
        std::uint32_t address = BigEndian(std::span(r).subspan(1, length));
        std::span<const std::uint8_t> data(r.data() + 1 + length, r.size() - 2 - length);
        if (type == 1 || type == 2 || type == 3) {
            out.Add(line, address, data);
            ++dataRecords;
        } else if (type == 5 || type == 6) {
            CheckDataLength(line, "count", 0, data.size());
            if (address != dataRecords)
                Fail(line, "record count " + std::to_string(address) + " does not match the " +
                               std::to_string(dataRecords) + " data records before it");
        } else if (type >= 7) {
            CheckDataLength(line, "termination", 0, data.size());
            endLine = line;
            if (address) out.image.start = address;
        }  // S0: header text, nothing to load
    });
    // No termination record is fine: common writers leave it out when there is no start
    // address. Truncation inside a record still fails its length or checksum.
    return std::move(out.image);
}

Image Parse(std::string_view content, Format format, const ReadOptions& options) {
    switch (format) {
        case Format::IntelHex:
            return ParseIntelHex(content, options);
        case Format::SRecord:
            return ParseSRecord(content, options);
        case Format::Binary:
            break;
    }
    return ParseBinary(content, options);
}

std::string WriteBinary(const Image& image, const WriteOptions& options) {
    auto e = image.Extent();
    if (!e) return {};
    if (e->lowest < options.binaryAddress)
        throw std::invalid_argument("image data at " + Hex(e->lowest) + " lies below " +
                                    Hex(options.binaryAddress));
    auto flat = image.Flatten(options.binaryAddress,
                              std::uint64_t{e->highest} + 1 - options.binaryAddress, options.fill);
    return std::string(flat.begin(), flat.end());
}

std::string WriteIntelHex(const Image& image, const WriteOptions& options) {
    CheckRecordSize(options.bytesPerRecord, 255);
    std::string out;
    std::uint32_t upper = 0;  // a file starts with linear base 0
    ForEachChunk(image, options.bytesPerRecord, 0x10000,
                 [&](std::uint32_t address, std::span<const std::uint8_t> data) {
                     if (address >> 16 != upper) {
                         upper = address >> 16;
                         const std::uint8_t value[] = {static_cast<std::uint8_t>(upper >> 8),
                                                       static_cast<std::uint8_t>(upper)};
                         AppendIntel(out, 0, 0x04, value, options.crlf);
                     }
                     AppendIntel(out, static_cast<std::uint16_t>(address), 0x00, data,
                                 options.crlf);
                 });
    if (image.start) AppendIntel(out, 0, 0x05, BigEndian32(*image.start), options.crlf);
    AppendIntel(out, 0, 0x01, {}, options.crlf);
    return out;
}

std::string WriteSRecord(const Image& image, const WriteOptions& options) {
    CheckRecordSize(options.bytesPerRecord, 250);
    if (options.header.size() > 252) throw std::invalid_argument("S0 header longer than 252 bytes");
    if (options.sRecordAddressBytes > 4)
        throw std::invalid_argument("S-record address bytes must be 2, 3 or 4");
    auto e = image.Extent();
    std::uint32_t highest = std::max(e ? e->highest : 0u, image.start.value_or(0));
    int length = highest <= 0xFFFF ? 2 : highest <= 0xFFFFFF ? 3 : 4;
    length = std::max(length, static_cast<int>(options.sRecordAddressBytes));
    std::string out;
    const auto* header = reinterpret_cast<const std::uint8_t*>(options.header.data());
    AppendS(out, 0, 2, 0, std::span(header, options.header.size()), options.crlf);
    std::uint32_t records = 0;
    ForEachChunk(image, options.bytesPerRecord, kAddressSpace,
                 [&](std::uint32_t address, std::span<const std::uint8_t> data) {
                     AppendS(out, length - 1, length, address, data, options.crlf);
                     ++records;
                 });
    if (records <= 0xFFFF)
        AppendS(out, 5, 2, records, {}, options.crlf);
    else if (records <= 0xFFFFFF)
        AppendS(out, 6, 3, records, {}, options.crlf);
    AppendS(out, 11 - length, length, image.start.value_or(0), {}, options.crlf);
    return out;
}

std::string Write(const Image& image, Format format, const WriteOptions& options) {
    switch (format) {
        case Format::IntelHex:
            return WriteIntelHex(image, options);
        case Format::SRecord:
            return WriteSRecord(image, options);
        case Format::Binary:
            break;
    }
    return WriteBinary(image, options);
}

namespace {

struct Extension {
    const char* name;
    Format format;
    unsigned sRecordAddressBytes;
};
// The one list of extensions: detection and the help text both come from it.
constexpr Extension kExtensions[] = {
    {".bin", Format::Binary, 0},   {".img", Format::Binary, 0},   {".rom", Format::Binary, 0},
    {".hex", Format::IntelHex, 0}, {".ihx", Format::IntelHex, 0}, {".ihex", Format::IntelHex, 0},
    {".s19", Format::SRecord, 2},  {".s28", Format::SRecord, 3},  {".s37", Format::SRecord, 4},
    {".srec", Format::SRecord, 0}, {".mot", Format::SRecord, 0}};

const Extension* FindExtension(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    for (const Extension& e : kExtensions)
        if (ext == e.name) return &e;
    return nullptr;
}

}  // namespace

std::optional<Format> FormatFromName(const std::filesystem::path& path) {
    const Extension* e = FindExtension(path);
    return e == nullptr ? std::nullopt : std::optional(e->format);
}

std::string ExtensionsOf(Format format) {
    std::string list;
    for (const Extension& e : kExtensions) {
        if (e.format != format) continue;
        if (!list.empty()) list += ", ";
        list += std::string("*") + e.name;
    }
    return list;
}

unsigned SRecordAddressBytesFromName(const std::filesystem::path& path) {
    const Extension* e = FindExtension(path);
    return e == nullptr ? 0 : e->sRecordAddressBytes;
}

Format DetectFormat(const std::filesystem::path& path, std::string_view content) {
    if (auto byName = FormatFromName(path)) return *byName;
    std::size_t first = content.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return Format::Binary;
    if (content[first] == ':') return Format::IntelHex;
    if (content[first] == 'S' && first + 1 < content.size() && content[first + 1] >= '0' &&
        content[first + 1] <= '9')
        return Format::SRecord;
    return Format::Binary;
}

std::optional<Format> LooksLikeRecords(std::string_view content) {
    // Plain text only: a binary image may well start with ':' or "S1".
    const std::string_view head = content.substr(0, 4096);
    for (const char c : head) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x7F || (byte < 0x20 && c != '\r' && c != '\n' && c != '\t')) return {};
    }
    const Format format = DetectFormat("", content);
    if (format == Format::Binary) return {};
    const std::size_t first = content.find_first_not_of(" \t\r\n");
    const std::size_t end = std::min(content.find_first_of("\r\n", first), content.size());
    // The first record must stand on its own: checked, and not cut off.
    try {
        std::string line(content.substr(first, end - first));
        if (format == Format::IntelHex) line += "\n:00000001FF\n";
        Parse(line, format);
    } catch (const ImageError&) {
        return {};
    }
    return format;
}

std::optional<Format> FormatFromOption(std::string_view option) {
    if (option == "bin") return Format::Binary;
    if (option == "ihex") return Format::IntelHex;
    if (option == "srec") return Format::SRecord;
    return std::nullopt;
}

const char* FormatOption(Format format) {
    switch (format) {
        case Format::IntelHex:
            return "ihex";
        case Format::SRecord:
            return "srec";
        case Format::Binary:
            break;
    }
    return "bin";
}

std::string ReadFile(const std::filesystem::path& path, std::uint64_t maxSize) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(0, "cannot open " + path.string());
    std::string content;
    char block[65536];
    // Read in blocks rather than trusting the size: pipes and devices have none.
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        if (content.size() + static_cast<std::uint64_t>(in.gcount()) > maxSize)
            Fail(0, path.string() + " is larger than " + std::to_string(maxSize) + " bytes");
        content.append(block, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) Fail(0, "cannot read " + path.string());
    return content;
}

void WriteFile(const std::filesystem::path& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) Fail(0, "cannot write " + path.string());
}

Image Load(const std::filesystem::path& path, std::optional<Format> format,
           const ReadOptions& options) {
    std::string content = ReadFile(path);
    return Parse(content, format ? *format : DetectFormat(path, content), options);
}

}  // namespace qx::image
