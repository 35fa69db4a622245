// The tool's own helpers: JSON text, port names, link speeds, numbers, the progress line.
#include <gtest/gtest.h>

#include <string>

#include "qxtool/json_reader.h"
#include "tools/qxtool/commands.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/progress.h"
#include "tools/qxtool/session.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

TEST(JsonString, EscapesWhatJsonRequiresAndEveryNonAsciiByte) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", R"("")"},
        {"Kelby v10.15", R"("Kelby v10.15")"},
        {"a\"b", R"("a\"b")"},
        {"back\\slash", R"("back\\slash")"},
        {"line\nbreak\r\ttab", R"("line\nbreak\r\ttab")"},
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\x01\x1f\x7f", R"("\u0001\u001f\u007f")"},
        {"\xe9\xff", R"("\u00e9\u00ff")"},
        {"/", R"("/")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.in), c.out);
        // And a reader that knows nothing of the writer gets the bytes back.
        EXPECT_EQ(qxtest::JsonReader::Parse(JsonString(c.in)).text, c.in);
    }
}

TEST(JsonObject, NestsAndKeepsKeyOrder) {
    JsonArray list;
    list.Number(-1).String("x").Object(JsonObject().Bool("ok", false));
    JsonObject inner;
    inner.Null("none").Real("seconds", 1.5);
    const std::string text = JsonObject()
                                 .String("name", "q\"x")
                                 .Number("big", 4294967295)
                                 .Bool("flag", true)
                                 .Array("list", list)
                                 .Object("inner", inner)
                                 .Array("empty", JsonArray())
                                 .Text();
    EXPECT_EQ(text, R"({"name":"q\"x","big":4294967295,"flag":true,"list":[-1,"x",{"ok":false}],)"
                    R"("inner":{"none":null,"seconds":1.500},"empty":[]})");
    const qxtest::JsonValue value = qxtest::JsonReader::Parse(text);
    EXPECT_EQ(value.order,
              (std::vector<std::string>{"name", "big", "flag", "list", "inner", "empty"}));
    EXPECT_EQ(value["big"].integer(), 4294967295);
    EXPECT_EQ(value["list"].items.size(), 3u);
}

TEST(ParseComName, AcceptsComNamesAndLeavesPathsAlone) {
    const struct {
        const char* name;
        std::optional<uint32_t> number;
    } cases[] = {
        {"COM3", 3u},
        {"com12", 12u},
        {"\\\\.\\COM255", 255u},
        {"COM0", 0u},
        {"COM256", std::nullopt},
        {"COM", std::nullopt},
        {"COM3a", std::nullopt},
        {"/dev/ttyUSB0", std::nullopt},
        {"COM-1", std::nullopt},
        {"XCOM3", std::nullopt},
        {"COM1234", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseComName(c.name), c.number) << c.name;
}

TEST(SpeedIndex, MapsTheFourRatesOnly) {
    EXPECT_EQ(SpeedIndex(921600), 0u);
    EXPECT_EQ(SpeedIndex(460800), 1u);
    EXPECT_EQ(SpeedIndex(230400), 3u);
    EXPECT_EQ(SpeedIndex(115200), 7u);
    for (uint32_t baud : {0u, 19200u, 307200u, 1843200u}) EXPECT_FALSE(SpeedIndex(baud)) << baud;
    for (uint32_t baud : {921600u, 460800u, 230400u, 115200u})
        EXPECT_EQ(BaudOfIndex(static_cast<int32_t>(*SpeedIndex(baud))), baud);
}

TEST(ParseNumber, DecimalAndHexWithinRange) {
    EXPECT_EQ(ParseNumber("0", 10, "x"), 0u);
    EXPECT_EQ(ParseNumber("010", 100, "x"), 10u);  // decimal, not octal
    EXPECT_EQ(ParseNumber("0x1F", 100, "x"), 31u);
    EXPECT_EQ(ParseNumber("0XfF", 255, "x"), 255u);
    EXPECT_EQ(ParseNumber("4294967295", 0xFFFFFFFFu, "x"), 0xFFFFFFFFu);
    for (const char* bad : {"", "0x", "-1", "12a", "0x1G", " 5", "1e3", "99999999999999999999"}) {
        try {
            ParseNumber(bad, 0xFFFFFFFFu, "--length");
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const ToolError& e) {
            EXPECT_EQ(e.Status(), kExitUsage);
            EXPECT_NE(std::string(e.what()).find("--length"), std::string::npos);
        }
    }
    EXPECT_THROW(ParseNumber("256", 255, "BYTE"), ToolError);
    EXPECT_THROW(ParseNumber("0x10000", 0xFFFF, "ADDR"), ToolError);
}

TEST(DescribeResult, NamesTheCodeAndItsNumber) {
    EXPECT_EQ(DescribeResult(-17), "VR_E_COMM_READ_TIMEOUT (-17)");
    EXPECT_EQ(DescribeResult(-19), "VR_E_OPERATION_CANCELED (-19)");
    EXPECT_EQ(DescribeResult(-25), "(ERROR NOT IN LIST) (-25)");
    EXPECT_EQ(DescribeResult(static_cast<int32_t>(0x80004005u)),
              "(ERROR NOT IN LIST) (0x80004005)");
    const DeviceError error(-17, "reading 256 bytes");
    EXPECT_EQ(error.Status(), kExitDeviceFailed);
    EXPECT_STREQ(error.what(), "reading 256 bytes failed: VR_E_COMM_READ_TIMEOUT (-17)");
}

TEST(ProgressLine, ShowsPercentBytesRateAndTime) {
    EXPECT_EQ(Progress::Describe("write", 0, 65536, 0.0), "write   0% 0/65536 bytes 0 B/s 0.0 s");
    EXPECT_EQ(Progress::Describe("read", 32768, 65536, 2.0),
              "read  50% 32768/65536 bytes 16.0 KiB/s 2.0 s");
    EXPECT_EQ(Progress::Describe("read", 3 << 20, 3 << 20, 1.0),
              "read 100% 3145728/3145728 bytes 3.0 MiB/s 1.0 s");
    // A transfer of nothing is complete.
    EXPECT_EQ(Progress::Describe("x", 0, 0, 0.5), "x 100% 0/0 bytes 0 B/s 0.5 s");
}

}  // namespace
}  // namespace qx::tool
