#include "tools/qxtool/image_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <numeric>

#include "qxtool/image_test_util.h"

namespace qx::image {
namespace {

using test::Layout;
using test::RandomImage;
using Bytes = std::vector<std::uint8_t>;

// A record with its checksum appended: ":" + body + sum for Intel HEX, "S" + type + body +
// sum for S-records (body starts with the count byte).
std::string WithSum(const std::string& prefix, const std::string& body, bool intel) {
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < body.size(); i += 2)
        sum += std::stoul(body.substr(i, 2), nullptr, 16);
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", (intel ? 0x100 - sum % 256 : ~sum) & 0xFF);
    return prefix + body + cs + "\n";
}
std::string I(const std::string& body) {
    return WithSum(":", body, true);
}
std::string S(char type, const std::string& body) {
    return WithSum(std::string("S") + type, body, false);
}
const std::string kEof = ":00000001FF\n";

TEST(ImageModel, AddRefusesOverlapAndKeepsImageUnchanged) {
    struct Case {
        std::uint32_t address, length;
        bool ok;
    } cases[] = {{0x100, 0x10, false}, {0x0F8, 0x10, false},  {0x108, 0x10, false},
                 {0x104, 0x04, false}, {0x0F0, 0x30, false},  {0x0F0, 0x10, true},
                 {0x110, 0x10, true},  {0xFFFFFFFF, 1, true}, {0xFFFFFFFF, 2, false}};
    for (const auto& c : cases) {
        Image image;
        image.Add(0x100, Bytes(0x10, 1));
        Bytes bytes(c.length, 2);
        if (c.ok) {
            image.Add(c.address, bytes);
            EXPECT_EQ(image.ByteCount(), 0x10u + c.length) << std::hex << c.address;
        } else {
            EXPECT_THROW(image.Add(c.address, bytes), std::invalid_argument)
                << std::hex << c.address;
            EXPECT_EQ(image.Segments(), (std::vector<Segment>{{0x100, Bytes(0x10, 1)}}));
        }
    }
}

TEST(ImageModel, SegmentsExtentAndFlatten) {
    Image image;  // added out of order: Segments() must still join neighbours
    image.Add(0x14, Bytes{5, 6});
    image.Add(0x10, Bytes{1, 2, 3, 4});
    image.Add(0x20, Bytes{9});
    EXPECT_EQ(image.Segments(), (std::vector<Segment>{{0x10, {1, 2, 3, 4, 5, 6}}, {0x20, {9}}}));
    EXPECT_EQ(image.Extent()->lowest, 0x10u);
    EXPECT_EQ(image.Extent()->highest, 0x20u);
    Bytes flat(0x17, 0xA5);
    std::iota(flat.begin() + 6, flat.begin() + 12, 1);
    flat[0x16] = 9;
    EXPECT_EQ(image.Flatten(0x0A, 0x17, 0xA5), flat);
    EXPECT_THROW(image.Flatten(0x11, 0x20), std::out_of_range);  // would drop 0x10
    EXPECT_THROW(image.Flatten(0x10, 0x10), std::out_of_range);  // would drop 0x20
    EXPECT_FALSE(Image().Extent());
}

struct RoundTrip {
    const char* name;
    Layout layout;
    std::string sType;  // data and termination record types the S-record writer must pick
};

const RoundTrip kRoundTrips[] = {
    {"at zero", {{0, 100}}, "S1S9"},
    {"16-bit top", {{0xFF00, 0x100}}, "S1S9"},
    {"crosses 64 KiB", {{0xFFF0, 100}, {0x2FFFF, 2}}, "S2S8"},
    {"24-bit top", {{0x10, 5}, {0xFFFF00, 0x100}}, "S2S8"},
    {"above 16 MiB", {{0xFFFFF8, 40}, {0x2345678, 1000}}, "S3S7"},
    {"32-bit top", {{0xFFFFFF00, 0x100}}, "S3S7"},
    {"random low", test::RandomLayout(1, 20, 0x10000), "S2S8"},
    {"random high", test::RandomLayout(2, 20, 0xF0000000), "S3S7"},
};

TEST(ImageFile, TextRoundTrips) {
    for (const auto& rt : kRoundTrips) {
        for (Format format : {Format::IntelHex, Format::SRecord}) {
            for (unsigned perRecord : {16u, 32u, 250u}) {
                for (bool crlf : {false, true}) {
                    SCOPED_TRACE(std::string(rt.name) + " " + FormatOption(format) + " " +
                                 std::to_string(perRecord) + (crlf ? " crlf" : ""));
                    Image image = RandomImage(rt.layout, perRecord);
                    if (crlf) image.start = 0x8000;
                    std::string text = Write(image, format, {perRecord, crlf, "hdr"});
                    EXPECT_EQ(Parse(text, format), image);
                    EXPECT_EQ(text.find('\r') != std::string::npos, crlf);
                    for (std::size_t at = text.find(':'); at != std::string::npos;
                         at = text.find(':', at + 1)) {
                        // Data records stay inside their 64 KiB page: many readers wrap there.
                        if (text.compare(at + 7, 2, "00") != 0) continue;
                        auto field = [&](int pos, int n) {
                            return std::stoul(text.substr(at + pos, n), nullptr, 16);
                        };
                        EXPECT_LE(field(3, 4) + field(1, 2), 0x10000u) << text.substr(at, 20);
                    }
                    if (format == Format::SRecord) {
                        EXPECT_EQ(text.find(std::string{'\n', 'S', rt.sType[1]}), text.find('\n'));
                        EXPECT_EQ(text.rfind(std::string{'S', rt.sType[3]}),
                                  text.rfind('\n', text.size() - 2) + 1);
                    }
                }
            }
        }
    }
}

TEST(ImageFile, BinaryRoundTripFillsHoles) {
    Image image = RandomImage({{0x1000, 10}, {0x1100, 20}}, 7);
    std::string bin = WriteBinary(image, {.binaryAddress = 0x1000, .fill = 0x5A});
    ASSERT_EQ(bin.size(), 0x114u);
    EXPECT_EQ(bin[0x0A], 0x5A);
    EXPECT_EQ(ParseBinary(bin, {.binaryAddress = 0x1000}).Flatten(0x1000, 0x114),
              image.Flatten(0x1000, 0x114, 0x5A));
    EXPECT_THROW(WriteBinary(image, {.binaryAddress = 0x1001}), std::invalid_argument);
}

TEST(ImageFile, AcceptedVariants) {
    Image plain;
    plain.Add(0x10, Bytes{0xAB, 0xCD});
    Image wrapped;  // 02 addressing wraps inside its 64 KiB segment, 04 addressing does not
    wrapped.Add(0x1FFFE, Bytes{1, 2});
    wrapped.Add(0x10000, Bytes{3, 4});
    Image linear;
    linear.Add(0x1FFFE, Bytes{1, 2, 3, 4});
    Image started = plain;
    started.start = 0x12345678;
    struct Case {
        const char* name;
        Format format;
        std::string text;
        const Image& expected;
    } cases[] = {
        {"lower case, CRLF, blanks", Format::IntelHex,
         "\r\n  :02001000abcd76 \r\n\r\n:00000001ff\r\n", plain},
        {"lone CR", Format::IntelHex, ":02001000ABCD76\r:00000001FF\r", plain},
        {"03 ignored, 05 kept", Format::IntelHex,
         I("0400000300001234") + I("0400000512345678") + ":02001000ABCD76\n" + kEof, started},
        {"02 wraps", Format::IntelHex, I("020000021000") + I("04FFFE0001020304") + kEof, wrapped},
        {"04 linear", Format::IntelHex, I("020000040001") + I("04FFFE0001020304") + kEof, linear},
        {"no termination", Format::SRecord, S('0', "030000") + S('1', "050010ABCD"), plain},
        {"S7 start, S5 count", Format::SRecord,
         S('3', "0700000010ABCD") + S('5', "030001") + S('7', "0512345678"), started},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.text, c.format), c.expected);
    }
}

TEST(ImageFile, MalformedInputNamesTheLine) {
    const std::string d0 = I("02000000AABB");  // 2 bytes at 0x0000
    const std::string s0 = S('1', "050000AABB");
    struct Case {
        const char* name;
        Format format;
        std::string text;
        std::size_t line;
        const char* message;
        std::uint64_t limit = kAddressSpace;
        std::size_t column = 0;  // 0: not checked
    } cases[] = {
        {"ihex checksum", Format::IntelHex, d0 + ":0100000041BF\n" + kEof, 2,
         "bad checksum 0xBF (expected 0xBE)", kAddressSpace, 12},
        {"ihex digit", Format::IntelHex, "\n" + d0 + ":01000000G1BE\n", 3,
         "bad hex digit 'G' in column 10", kAddressSpace, 10},
        {"ihex odd", Format::IntelHex, d0 + ":0100000041B\n", 2, "odd number of hex digits"},
        {"ihex length", Format::IntelHex, I("0300000041"), 1,
         "length field says 3 data bytes, record has 1"},
        {"ihex short", Format::IntelHex, ":0000\n", 1, "wrong record length"},
        {"ihex long", Format::IntelHex, ":" + std::string(600, '0') + "\n", 1, "record too long"},
        {"ihex eof data", Format::IntelHex, I("01000001AA"), 1,
         "end-of-file record needs 0 data bytes"},
        {"ihex 04 size", Format::IntelHex, I("01000004AA"), 1,
         "extended linear address record needs 2"},
        {"ihex type", Format::IntelHex, d0 + "  " + I("00000006"), 2, "unknown record type 0x06",
         kAddressSpace, 3},
        {"ihex colon", Format::IntelHex, d0 + "S1050000AABB\n", 2, "does not start with ':'"},
        {"ihex after eof", Format::IntelHex, d0 + kEof + "\r\n" + d0, 4,
         "after the end-of-file record of line 2"},
        {"ihex no eof", Format::IntelHex, d0 + I("02001000AABB") + "\n", 3,
         "no end-of-file record"},
        {"ihex overlap", Format::IntelHex, I("0400FE0001020304") + d0 + I("02010000AABB"), 3,
         "overlaps data already at 0x00000100"},
        {"ihex 32 bits", Format::IntelHex, I("02000004FFFF") + I("02FFFF00AABB") + kEof, 2,
         "past the 32-bit address space"},
        {"ihex memory", Format::IntelHex, d0 + I("02FFFC00AABB") + I("02FFFF00AABB") + kEof, 3,
         "past the end of memory", 0x10000},
        {"srec checksum", Format::SRecord, s0 + "S1050002AABB99\n", 2,
         "bad checksum 0x99 (expected 0x93)", kAddressSpace, 13},
        {"srec digit", Format::SRecord, s0 + "S1050002AAxB99\n", 2,
         "bad hex digit 'x' in column 11"},
        {"srec odd", Format::SRecord, "S105000\n", 1, "odd number of hex digits"},
        {"srec count", Format::SRecord, s0 + S('1', "060002AABB"), 2,
         "count field says 6 bytes, record has 5"},
        {"srec address", Format::SRecord, S('3', "030000"), 1, "too short for a 4-byte address"},
        {"srec S4", Format::SRecord, s0 + S('4', "050000AABB"), 2, "unknown record type 'S4'"},
        {"srec letter", Format::SRecord, "SX\n", 1, "unknown record type 'SX'"},
        {"srec start", Format::SRecord, ":00000001FF\n", 1, "does not start with 'S'"},
        {"srec S5", Format::SRecord, s0 + S('1', "050002AABB") + S('5', "030001"), 3,
         "count 1 does not match the 2"},
        {"srec S9 data", Format::SRecord, S('9', "040000AA"), 1,
         "termination record needs 0 data bytes"},
        {"srec after S9", Format::SRecord, S('9', "030000") + s0, 2,
         "after the termination record of line 1"},
        {"srec overlap", Format::SRecord, s0 + S('1', "050001AABB"), 2,
         "overlaps data already at 0x00000001"},
        {"srec 32 bits", Format::SRecord, S('3', "07FFFFFFFFAABB"), 1,
         "past the 32-bit address space"},
        {"srec memory", Format::SRecord, s0 + S('2', "060FFFFFAABB"), 2, "past the end of memory",
         0x100000},
        {"bin memory", Format::Binary, std::string(17, 'x'), 0,
         "17 bytes at 0x00000000 runs past the end of memory", 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Parse(c.text, c.format, {.memoryLimit = c.limit});
            ADD_FAILURE() << "accepted";
        } catch (const ImageError& e) {
            EXPECT_EQ(e.Line(), c.line);
            EXPECT_TRUE(c.column == 0 || e.Column() == c.column) << e.Column();
            EXPECT_TRUE(c.line != 0 || e.Column() == 0) << e.Column();
            EXPECT_NE(e.Reason().find(c.message), std::string::npos) << e.Reason();
            EXPECT_EQ(std::string(e.what()),
                      c.line ? "line " + std::to_string(c.line) + ": " + e.Reason() : e.Reason());
        }
    }
}

TEST(ImageFile, DetectsFormatByNameThenContent) {
    struct Case {
        const char* name;
        const char* content;
        Format expected;
    } cases[] = {
        {"a.BIN", ":00", Format::Binary},
        {"a.img", "", Format::Binary},
        {"a.rom", "S1", Format::Binary},
        {"a.hex", "", Format::IntelHex},
        {"a.IHX", "", Format::IntelHex},
        {"a.ihex", "", Format::IntelHex},
        {"a.s19", "", Format::SRecord},
        {"a.s28", "", Format::SRecord},
        {"a.S37", "", Format::SRecord},
        {"a.srec", "", Format::SRecord},
        {"a.mot", "", Format::SRecord},
        {"a.dat", "\r\n :1000", Format::IntelHex},
        {"a", "\nS00300", Format::SRecord},
        {"a", "Sx", Format::Binary},
        {"a.txt",
         "\x7F"
         "ELF",
         Format::Binary},
    };
    for (const auto& c : cases) EXPECT_EQ(DetectFormat(c.name, c.content), c.expected) << c.name;
    EXPECT_EQ(FormatFromOption("srec"), Format::SRecord);
    EXPECT_FALSE(FormatFromOption("hex"));
    // The help's lists come from the same table as the detection.
    EXPECT_EQ(ExtensionsOf(Format::Binary), "*.bin, *.img, *.rom");
    EXPECT_EQ(ExtensionsOf(Format::SRecord), "*.s19, *.s28, *.s37, *.srec, *.mot");
    EXPECT_EQ(SRecordAddressBytesFromName("a.S28"), 3u);
    EXPECT_EQ(SRecordAddressBytesFromName("a.s37"), 4u);
    EXPECT_EQ(SRecordAddressBytesFromName("a.srec"), 0u);
}

TEST(ImageFile, RecordTextUnderABinaryName) {
    const struct {
        std::string content;
        std::optional<Format> looks;
    } cases[] = {
        {I("0400000001020304") + kEof, Format::IntelHex},
        {"\r\n" + S('1', "050000AABB"), Format::SRecord},
        {S('0', "030000"), Format::SRecord},
        {":0400000001020304F3\n", std::nullopt},  // bad checksum: not the format's text
        {std::string(":04000000\x01\x02", 11), std::nullopt},
        {std::string("\0:0400", 6), std::nullopt},
        {"S1 is not a record", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(LooksLikeRecords(c.content), c.looks) << c.content;
}

TEST(ImageFile, SRecordTypeFollowsTheAskedAddressWidth) {
    Image image;
    image.Add(0x10, std::vector<std::uint8_t>{1, 2});
    const struct {
        unsigned bytes;
        const char* first;
    } cases[] = {{0, "S1050010"}, {2, "S1050010"}, {3, "S206000010"}, {4, "S30700000010"}};
    for (const auto& c : cases) {
        const std::string text = WriteSRecord(image, {.sRecordAddressBytes = c.bytes});
        EXPECT_EQ(text.substr(text.find('\n') + 1, std::string(c.first).size()), c.first);
        EXPECT_EQ(ParseSRecord(text), image);
    }
    // Data above 64 KiB never goes into S1 records.
    image.Add(0x12345, std::vector<std::uint8_t>{3});
    EXPECT_EQ(ParseSRecord(WriteSRecord(image, {.sRecordAddressBytes = 2})), image);
}

TEST(ImageFile, FilesLoadAndRefuseOversize) {
    auto path = std::filesystem::temp_directory_path() /
                ("qximage-test-" + std::to_string(std::random_device()()) + ".hex");
    Image image = RandomImage({{0x100, 300}}, 3);
    WriteFile(path, WriteIntelHex(image));
    EXPECT_EQ(Load(path), image);
    EXPECT_THROW(ReadFile(path, 100), ImageError);
    std::filesystem::remove(path);
    EXPECT_THROW(Load(path), ImageError);
    EXPECT_THROW(WriteFile(path / "no" / "dir", "x"), ImageError);
}

}  // namespace
}  // namespace qx::image
