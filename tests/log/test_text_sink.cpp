#include "log/text_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "log/log_sink.h"

namespace qx {
namespace {

// A file name of its own under the test temporary folder, removed afterwards.
class TempFile {
  public:
    TempFile() {
        std::random_device random;
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = ::testing::TempDir() + "qx_text_sink_" + std::to_string(random()) + "_" +
                std::to_string(ticks) + ".log";
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const char* Path() const { return path_.c_str(); }
    std::string Read() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

  private:
    std::string path_;
};

std::string WithoutCr(std::string text) {
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    return text;
}

TEST(TextSink, EditControlSelectionSemantics) {
    TextSink sink;
    sink.ReplaceSelection("abcd");
    EXPECT_EQ(sink.TextLength(), 4u);
    sink.SetSelection(2, 1);  // reversed
    sink.ReplaceSelection("XY");
    EXPECT_EQ(sink.Text(), "aXYcd");
    sink.ReplaceSelection("-");  // the caret sits after the replacement
    EXPECT_EQ(sink.Text(), "aXY-cd");
    sink.SetSelection(100, 0xFFFFFFFFu);  // past the end means the end
    sink.ReplaceSelection("!");
    EXPECT_EQ(sink.Text(), "aXY-cd!");
    EXPECT_EQ(sink.TextLength(), 7u);
    sink.Clear();
    EXPECT_EQ(sink.TextLength(), 0u);
    EXPECT_EQ(sink.Text(), "");
}

TEST(TextSink, LengthIsKeptWithoutText) {
    TextSink sink(false);
    LogWindow log;
    AttachTextSink(log, sink);
    LogMessage(&log, "one");
    LogMessage(&log, "two");
    EXPECT_EQ(sink.Text(), "");
    EXPECT_EQ(sink.TextLength(), 8u);  // "one\r\ntwo"
}

// The mirror holds the control's text with "\n" line ends, each line ended at once, and is
// readable while the sink is still open.
TEST(TextSink, MirrorWritesOneLinePerLogLine) {
    const uint8_t ab[] = {0x41, 0x42};
    const struct {
        const char* name;
        bool keepText;
    } cases[] = {{"kept", true}, {"not kept", false}};
    for (const auto& c : cases) {
        TempFile file;
        TextSink sink(c.keepText);
        ASSERT_TRUE(sink.OpenMirror(file.Path()));
        LogWindow log;
        AttachTextSink(log, sink);

        LogMessage(&log, "one");
        EXPECT_EQ(file.Read(), "one\n") << c.name;
        LogMessage(&log, "two\r\nthree");
        LogMessage(&log, "%s", "");
        AppendEditText(&sink, "four", 2);
        LogHexDump(&log, "QXSerial: Read", ab, sizeof ab);
        const std::string expected = "one\ntwo\nthree\n\n\nfour\nQXSerial: Read\n0000: 41 42 " +
                                     std::string(42, ' ') + "AB\n";
        EXPECT_EQ(file.Read(), expected) << c.name;
        if (c.keepText) {
            EXPECT_EQ(WithoutCr(sink.Text()) + "\n", expected);
        }
    }
}

TEST(TextSink, MirrorLineEndingInBreak) {
    TempFile file;
    {
        TextSink sink;
        ASSERT_TRUE(sink.OpenMirror(file.Path()));
        LogWindow log;
        AttachTextSink(log, sink);
        LogMessage(&log, "a\r\n");
        LogMessage(&log, "b");
        EXPECT_EQ(WithoutCr(sink.Text()) + "\n", "a\n\nb\n");
    }
    EXPECT_EQ(file.Read(), "a\n\nb\n");
}

TEST(TextSink, BorrowedMirrorIsNotClosed) {
    TempFile file;
    std::FILE* stream = std::fopen(file.Path(), "wb");
    ASSERT_NE(stream, nullptr);
    {
        TextSink sink;
        sink.MirrorTo(stream);
        LogWindow log;
        AttachTextSink(log, sink);
        LogMessage(&log, "x=%d", 1);
        LogMessage(&log, "y=%d", 2);
    }
    // Still ours: writable after the sink is gone.
    EXPECT_GE(std::fputs("z\n", stream), 0);
    EXPECT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(file.Read(), "x=1\ny=2\nz\n");
}

}  // namespace
}  // namespace qx
