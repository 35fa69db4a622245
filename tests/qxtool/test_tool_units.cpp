// The tool's own helpers: JSON text, port names, link speeds, numbers, the progress line.
#include <gtest/gtest.h>

#include <string>

#include "qxtool/json_reader.h"
#include "tools/qxtool/commands.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/placement.h"
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

TEST(ParseSignedNumber, TakesAMinusAndNothingElse) {
    EXPECT_EQ(ParseSignedNumber("-0xF0000", "--offset"), -0xF0000);
    EXPECT_EQ(ParseSignedNumber("16", "--offset"), 16);
    for (const char* bad : {"", "-", "--1", "+1", "- 1", "-0x100000000"})
        EXPECT_THROW(ParseSignedNumber(bad, "--offset"), ToolError) << bad;
}

// Files at their device addresses and back: the lanes of a 16-bit image, an offset, padding.
TEST(Placement, LanesOffsetsAndPadding) {
    image::Image even, odd;
    even.Add(0x10, std::vector<uint8_t>{1, 2, 3});
    odd.Add(0x10, std::vector<uint8_t>{4, 5});
    const PlacedInput both[] = {{&even, Lane::Even}, {&odd, Lane::Odd}};
    Placement placed = Place(both, -0x20, 0xEE);
    EXPECT_EQ(placed.address, 0u);  // 2 * 0x10 - 0x20
    EXPECT_EQ(placed.bytes, (std::vector<uint8_t>{1, 4, 2, 5, 3}));
    EXPECT_EQ(placed.GivenCount(), 5u);
    Pad(placed, 2, 0xEE);
    EXPECT_EQ(placed.bytes, (std::vector<uint8_t>{1, 4, 2, 5, 3, 0xEE}));
    EXPECT_FALSE(placed.Given(5));

    // One lane leaves the other lane's bytes not given.
    const PlacedInput one[] = {{&odd, Lane::Odd}};
    placed = Place(one, 0, 0xEE);
    EXPECT_EQ(placed.address, 0x21u);
    EXPECT_EQ(placed.bytes, (std::vector<uint8_t>{4, 0xEE, 5}));
    EXPECT_FALSE(placed.Given(1));
    Pad(placed, 2, 0xEE);
    EXPECT_EQ(placed.address, 0x20u);
    EXPECT_EQ(placed.bytes.size(), 4u);

    // Below device address 0, or past the 32-bit space: refused, naming the input.
    EXPECT_THROW(Place(one, -0x22, 0), PlacementError);
    image::Image high;
    high.Add(0x80000000u, std::vector<uint8_t>{1});
    const PlacedInput tooHigh[] = {{&even, Lane::All}, {&high, Lane::Odd}};
    try {
        Place(tooHigh, 0, 0);
        ADD_FAILURE() << "placed past 4 GiB";
    } catch (const PlacementError& e) {
        EXPECT_EQ(e.Input(), 1u);
    }

    // Extract inverts Place for every lane.
    const std::vector<uint8_t> device = {10, 11, 12, 13, 14, 15};
    for (const Lane lane : {Lane::All, Lane::Even, Lane::Odd}) {
        const image::Image file = Extract(device, 0x100, lane, 0x40);
        const PlacedInput input[] = {{&file, lane}};
        const Placement back = Place(input, 0x40, 0);
        const size_t skip = lane == Lane::Odd ? 1 : 0;
        EXPECT_EQ(back.address, 0x100u + skip) << LaneName(lane);
        for (size_t i = 0; i < back.bytes.size(); ++i) {
            if (back.Given(i)) {
                EXPECT_EQ(back.bytes[i], device[skip + i]) << LaneName(lane);
            }
        }
    }
    EXPECT_EQ(Extract(device, 0x100, Lane::Even, 0x40).Extent()->lowest, 0x60u);

    // The first file address that lands at or above a device limit.
    EXPECT_EQ(FileLimit(0x10000, Lane::All, -0xF0000), 0x100000u);
    EXPECT_EQ(FileLimit(0x10000, Lane::Even, 0), 0x8000u);
    EXPECT_EQ(FileLimit(0x10001, Lane::Even, 0), 0x8001u);
    EXPECT_EQ(FileLimit(0x10000, Lane::Odd, 0), 0x8000u);
    EXPECT_EQ(FileLimit(0x10, Lane::All, 0x20), 0u);
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
