#include "log/log_sink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log/text_sink.h"
#include "support/text_lines.h"

namespace qx {
namespace {

// A dump line composed the long way, piece by piece, as an independent reference.
std::string ReferenceDumpLine(unsigned offset, const uint8_t* bytes, size_t n) {
    char piece[16];
    std::snprintf(piece, sizeof piece, "%04X: ", offset);
    std::string line = piece;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(piece, sizeof piece, "%02X ", bytes[i]);
        line += piece;
    }
    line.append(3 * (16 - n), ' ');
    for (size_t i = 0; i < n; ++i) {
        line += (bytes[i] >= 0x20 && bytes[i] <= 0x7E) ? static_cast<char>(bytes[i]) : '.';
    }
    return line;
}

struct Attached {
    TextSink sink{true};
    LogWindow log;
    Attached() { AttachTextSink(log, sink); }
    std::vector<std::string> Lines() const { return qxtest::SplitLines(sink.Text()); }
};

HResult FormatIntoLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const HResult result = LogFormatV(format, args);
    va_end(args);
    return result;
}

TEST(LogSink, LinesAreSeparatedNotTerminated) {
    Attached a;
    LogMessage(&a.log, "QXVorrel: %s", "first");
    EXPECT_EQ(a.sink.Text(), "QXVorrel: first");
    LogMessage(&a.log, "QXSerial: %d bytes", 3);
    LogMessage(&a.log, "%s", "");
    LogMessage(&a.log, "last");
    EXPECT_EQ(a.sink.Text(), "QXVorrel: first\r\nQXSerial: 3 bytes\r\n\r\nlast");
}

TEST(LogSink, AppendEditTextBreaksOnlyAfterText) {
    TextSink sink;
    AppendEditText(&sink, "a", 2);
    EXPECT_EQ(sink.Text(), "a");
    AppendEditText(&sink, "b", 2);
    AppendEditText(&sink, "c", 0);
    EXPECT_EQ(sink.Text(), "a\r\n\r\nbc");
}

TEST(LogSink, NoWindowMeansNoOutputAndNoFormatting) {
    Attached a;
    LogMessage(&a.log, "sentinel %d", 123);
    ASSERT_STREQ(LogLineBuffer(), "sentinel 123");

    const uint8_t bytes[] = {1, 2, 3};
    LogWindow noEdit;      // nothing attached
    LogWindow windowOnly;  // a window whose edit control is gone
    windowOnly.window = &windowOnly;
    for (const LogWindow* log :
         {static_cast<const LogWindow*>(nullptr), static_cast<const LogWindow*>(&noEdit),
          static_cast<const LogWindow*>(&windowOnly)}) {
        LogMessage(log, "other %s", "text");
        LogHexDump(log, "QXSerial: Write", bytes, sizeof bytes);
    }
    EXPECT_STREQ(LogLineBuffer(), "sentinel 123");
    EXPECT_EQ(a.sink.Text(), "sentinel 123");

    // Nothing to dump: not even the label.
    LogHexDump(&a.log, "label", nullptr, 3);
    LogHexDump(&a.log, "label", bytes, 0);
    EXPECT_EQ(a.sink.Text(), "sentinel 123");
    EXPECT_STREQ(LogLineBuffer(), "sentinel 123");
}

#ifndef _WIN32
// Only AttachTextSink makes a record write into a sink. A record with an edit handle and no
// window handle belongs to an edit control however it was filled (POSIX has none to drive);
// taking its handle for a sink would write through a window handle on Windows.
TEST(LogSink, OnlyAnAttachedRecordWritesIntoASink) {
    TextSink sink{true};
    LogWindow log;
    log.edit = &sink;
    const uint8_t bytes[] = {1, 2, 3};
    LogMessage(&log, "not for the sink");
    LogHexDump(&log, "QXSerial: Write", bytes, sizeof bytes);
    AppendEditText(log.edit, "nor this", 0);
    EXPECT_EQ(sink.Text(), "");

    AttachTextSink(log, sink);
    EXPECT_EQ(log.edit, &sink);
    LogMessage(&log, "attached");
    EXPECT_EQ(sink.Text(), "attached");
}
#endif

TEST(LogSink, LongLineIsCutTo4095) {
    Attached a;
    std::string text;
    for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
    LogMessage(&a.log, "%s", text.c_str());
    EXPECT_EQ(a.sink.Text(), text.substr(0, 4095));
    LogMessage(&a.log, "next");
    EXPECT_EQ(a.sink.Text(), text.substr(0, 4095) + "\r\nnext");
}

TEST(LogSink, LogFormatVReportsCut) {
    const struct {
        size_t length;
        HResult result;
    } cases[] = {
        {0, kSOk},
        {4094, kSOk},
        {4095, kSOk},
        {4096, kEInsufficientBuffer},
        {5000, kEInsufficientBuffer},
    };
    for (const auto& c : cases) {
        const std::string text(c.length, 'x');
        EXPECT_EQ(FormatIntoLine("%s", text.c_str()), c.result) << c.length;
        EXPECT_EQ(std::string(LogLineBuffer()), text.substr(0, 4095)) << c.length;
    }
}

TEST(LogSink, HexDumpLayout) {
    const std::string pad39(39, ' ');
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* label;
        std::vector<std::string> lines;
    } cases[] = {
        {"three bytes",
         {0x41, 0x42, 0x0D},
         "QXSerial: Read",
         {"QXSerial: Read", "0000: 41 42 0D " + pad39 + "AB."}},
        {"no label", {0x41}, nullptr, {"0000: 41 " + std::string(45, ' ') + "A"}},
        {"sixteen",
         {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E,
          0x3F},
         "W",
         {"W", "0000: 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F 0123456789:;<=>?"}},
        {"seventeen",
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0x7A},
         "W",
         {"W", "0000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ................",
          "0010: 7A " + std::string(45, ' ') + "z"}},
        {"text column edges",
         {0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF},
         "",  // an empty first line leaves the control empty: no break follows it
         {"0000: 1F 20 7E 7F 80 FF " + std::string(30, ' ') + ". ~..."}},
        {"label is a format",
         {0x00},
         "100%% sure",
         {"100% sure", "0000: 00 " + std::string(45, ' ') + "."}},
    };
    for (const auto& c : cases) {
        Attached a;
        LogHexDump(&a.log, c.label, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        EXPECT_EQ(a.Lines(), c.lines) << c.name;
    }
}

TEST(LogSink, HexDumpMatchesReferenceForEveryByteAndLength) {
    std::vector<uint8_t> bytes(256 + 40);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    for (size_t i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    for (const size_t count : {size_t{1}, size_t{15}, size_t{31}, size_t{33}, bytes.size()}) {
        Attached a;
        LogHexDump(&a.log, nullptr, bytes.data(), static_cast<uint32_t>(count));
        const auto lines = a.Lines();
        ASSERT_EQ(lines.size(), (count + 15) / 16) << count;
        for (size_t line = 0; line < lines.size(); ++line) {
            const size_t n = std::min<size_t>(16, count - line * 16);
            EXPECT_EQ(lines[line], ReferenceDumpLine(static_cast<unsigned>(line * 16),
                                                     bytes.data() + line * 16, n));
        }
    }
}

TEST(LogSink, HexDumpPastSixtyFourKiBUsesFiveDigits) {
    std::vector<uint8_t> bytes(0x10000 + 20, 0x55);
    Attached a;
    LogHexDump(&a.log, "big", bytes.data(), static_cast<uint32_t>(bytes.size()));
    const auto lines = a.Lines();
    ASSERT_EQ(lines.size(), 1u + 0x1000 + 2);
    EXPECT_EQ(lines[0], "big");
    EXPECT_EQ(lines[0x1000].substr(0, 6), "FFF0: ");
    std::string sixteen;
    for (int i = 0; i < 16; ++i) sixteen += "55 ";
    EXPECT_EQ(lines[0x1001], "10000: " + sixteen + std::string(16, 'U'));
    EXPECT_EQ(lines[0x1002], "10010: 55 55 55 55 " + std::string(36, ' ') + "UUUU");
}

// Two threads logging at once: every line intact, each thread's lines in its own order,
// and a dump never split by another thread's line.
TEST(LogSink, ConcurrentLoggersKeepLinesWholeAndOrdered) {
    constexpr int kLines = 3000;
    constexpr int kDumps = 300;
    Attached a;
    uint8_t packet[40];
    for (int i = 0; i < 40; ++i) packet[i] = static_cast<uint8_t>('a' + i % 26);
    const std::vector<std::string> dumpLines = {ReferenceDumpLine(0x00, packet, 16),
                                                ReferenceDumpLine(0x10, packet + 16, 16),
                                                ReferenceDumpLine(0x20, packet + 32, 8)};

    std::thread first([&] {
        for (int i = 0; i < kLines; ++i) LogMessage(&a.log, "A %05d %s", i, "payload-of-a");
    });
    std::thread second([&] {
        for (int i = 0; i < kDumps; ++i) {
            LogMessage(&a.log, "B %05d", i);
            LogHexDump(&a.log, "B dump", packet, sizeof packet);
        }
    });
    first.join();
    second.join();

    const auto lines = a.Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kLines + kDumps * 5));
    int nextA = 0;
    int nextB = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        char expected[64];
        if (lines[i].rfind("A ", 0) == 0) {
            std::snprintf(expected, sizeof expected, "A %05d payload-of-a", nextA++);
            ASSERT_EQ(lines[i], expected) << "line " << i;
        } else if (lines[i] == "B dump") {
            ASSERT_LT(i + 3, lines.size());
            for (size_t k = 0; k < 3; ++k)
                ASSERT_EQ(lines[i + 1 + k], dumpLines[k]) << "line " << i;
            i += 3;
        } else {
            std::snprintf(expected, sizeof expected, "B %05d", nextB++);
            ASSERT_EQ(lines[i], expected) << "line " << i;
        }
    }
    EXPECT_EQ(nextA, kLines);
    EXPECT_EQ(nextB, kDumps);
}

}  // namespace
}  // namespace qx
