// qxtool end to end: images through pipes and the ROM layout options.
#include <gtest/gtest.h>

#include "qxtool/qxtool_e2e_support.h"

namespace {

using namespace qxtest;
using namespace qxtest::e2e;

// ---------------------------------------------------------------- pipes

TEST_F(Qxtool, StandardStreamsCarryTheImage) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    const std::vector<uint8_t> image = RandomBytes(0x3000, 31);
    qxtest::WriteBytes(File("image.bin"), Bytes(image));
    const std::string tool = std::string(QXTOOL_EXE) + " --port COM4 ";
    const auto shell = [this](const std::string& command) {
        ChildProcess process;
        EXPECT_TRUE(process.Start({"/bin/sh", "-c", command}, {{"QX_COM_DIR", comDir_}}));
        return process.Finish(60000);
    };
    ToolResult r = shell(tool + "write - --address 0x1000 < " + File("image.bin"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0x1000, image.size()), image);
    // Binary bytes and nothing else on standard output.
    r = shell(tool + "read - --address 0x1000 --length 0x3000 | cmp - " + File("image.bin"));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    r = shell(tool + "read - --address 0x1000 --length 0x3000");
    EXPECT_EQ(r.out, Bytes(image));
    EXPECT_NE(r.err.find("into standard output"), std::string::npos) << r.err;
    // Records on standard input: the format from the content.
    const std::string hex = IntelRecord(0, 0x20, {1, 2, 3}) + IntelRecord(1, 0, {});
    qxtest::WriteBytes(File("small.hex"), hex);
    r = shell(tool + "verify - < " + File("image.bin") + " --address 0x1000");
    EXPECT_EQ(r.status, 0) << r.err;
    r = shell(tool + "sync - < " + File("small.hex"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0x20, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(fs::exists(File("-.qxsync")));
}

// ---------------------------------------------------------------- ROM layouts

// Where a file lands with --offset, --fill and --split, and what is refused with reasons.
TEST_F(Qxtool, WritesLandWhereTheLayoutOptionsSay) {
    const std::vector<uint8_t> rom = RandomBytes(0x10000, 41);
    qxtest::WriteBytes(File("rom.raw"), Bytes(rom));
    std::string bios;
    for (uint32_t at = 0; at < rom.size(); at += 32) {
        if (at % 0x10000 == 0) bios += IntelRecord(4, 0, {0x00, 0x0F});  // 0xF0000 upwards
        bios += IntelRecord(0, at & 0xFFFF,
                            std::vector<uint8_t>(rom.begin() + at, rom.begin() + at + 32));
    }
    bios += IntelRecord(1, 0, {});
    qxtest::WriteBytes(File("bios.hex"), bios);
    qxtest::WriteBytes(File("odd.bin"), "abc");
    const struct {
        const char* name;
        qxsim::Config config;
        std::vector<std::string> args;
        int status;
        const char* message;
        uint32_t at;
        std::vector<uint8_t> lands;
        // clang-format off
    } cases[] = {
        {"BIOS linked at 0xF0000 on a 64 KiB device", SimConfig('A', 2, 12),
            {"write", File("bios.hex"), "--offset", "-0xF0000"}, 0, "", 0, rom},
        {"... without --offset", SimConfig('A', 2, 12), {"write", File("bios.hex")}, 2,
            "lies past the end of memory (0x10000 bytes)", 0, {}},
        {"... on a banked model, with the --offset it needs", SimConfig('O', 10, 15),
            {"write", File("bios.hex")}, 2,
            "line 2: the image (0x0F0000-0x0FFFFF) lies past the end of the active bank (bank 0: " "0x10000 bytes); --offset=-0xF0000 moves the image to address 0",
            0, {}},
        {"odd length on a 16-bit model", SimConfig('R', 3, 5), {"write", File("odd.bin")}, 2,
            "has an odd length (3 bytes): the Sarnet moves 16-bit words", 0, {}},
        {"... padded with --fill", SimConfig('R', 3, 5), {"write", File("odd.bin"), "--fill", "0"},
            0, "", 0, {'a', 'b', 'c', 0}},
        {"odd address padded", SimConfig('R', 3, 5),
            {"write", File("odd.bin"), "--address", "0x101", "--fill", "0xEE"}, 0, "", 0x100,
            {0xEE, 'a', 'b', 'c'}},
    };
    // clang-format on
    int com = 4;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto& sim = Device(com, c.config);
        std::vector<std::string> args = {"--port", "COM" + std::to_string(com++)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = Tool(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, c.at, c.lands.size()), c.lands);
        } else {
            EXPECT_EQ(Count(sim, "W") + Count(sim, "ZW"), 0u);
        }
    }
}

// The two 8-bit ROMs of a 16-bit target: srec_cat's "-split 2 0" and "-split 2 1" of an image
// are what read --split gives and what write --split puts back.
TEST_F(Qxtool, SplitLanesAgreeWithSrecCat) {
    if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is missing";
    auto config = SimConfig('R', 3, 5);
    config.image = RandomBytes(0x4000, 51);
    config.image10 = config.image;
    auto& sim = Device(4, config);
    const std::vector<uint8_t> image = RandomBytes(0x2000, 52);
    qxtest::WriteBytes(File("image.bin"), Bytes(image));
    for (const char* lane : {"0", "1"})
        ASSERT_EQ(
            std::system(("srec_cat " + File("image.bin") + " -binary -split 2 " + lane + " -o " +
                         File(std::string("lane") + lane + ".bin") + " -binary 2>/dev/null")
                            .c_str()),
            0);
    const std::string even = File("lane0.bin"), odd = File("lane1.bin");

    // Both lanes at once: the image; then the odd lane alone over other bytes keeps the even.
    ToolResult r = Tool({"--port", "COM4", "write", "--split", "both", even, odd});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, image.size()), image);
    std::vector<uint8_t> expected = RandomBytes(0x2000, 53);
    sim.WriteMemory(qxsim::kSpace2, 0, expected);
    r = Tool({"--port", "COM4", "write", "--split", "odd", odd, "--space", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (size_t i = 1; i < expected.size(); i += 2) expected[i] = image[i];
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, expected.size()), expected);

    // Read back into two files, and one lane as Intel HEX at half the device address.
    sim.WriteMemory(qxsim::kSpace2, 0, image);
    r = Tool({"--port", "COM4", "read", "--split", "both", File("e.bin"), File("o.bin"), "--length",
              "0x2000"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(qxtest::ReadText(File("e.bin")), qxtest::ReadText(even));
    EXPECT_EQ(qxtest::ReadText(File("o.bin")), qxtest::ReadText(odd));
    r = Tool({"--port", "COM4", "read", "--split", "odd", File("o.hex"), "--address", "0x1000",
              "--length", "0x1000"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(std::system(("srec_cat " + File("image.bin") + " -binary -split 2 1 -crop 0x800 " +
                           "0x1000 -o " + File("want.bin") + " -binary 2>/dev/null; srec_cat " +
                           File("o.hex") + " -intel -o " + File("got.bin") + " -binary 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(qxtest::ReadText(File("got.bin")), qxtest::ReadText(File("want.bin")));

    // sync of one lane writes only the pages where that lane changed.
    const std::string evenBytes = qxtest::ReadText(even);
    std::vector<uint8_t> changed(evenBytes.begin(), evenBytes.end());
    changed[0x123] ^= 0xFF;
    qxtest::WriteBytes(File("even2.bin"), Bytes(changed));
    sim.ClearTranscript();
    r = Tool(
        {"--port", "COM4", "--json", "sync", File("even2.bin"), "--split", "even", "--space", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonReader::Parse(r.out)["pages"].integer(), 1);
    std::vector<uint8_t> now = image;
    now[2 * 0x123] ^= 0xFF;
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, now.size()), now);
}

}  // namespace
