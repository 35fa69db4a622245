// qxtool end to end: transfers, EEPROM, banks, speed, cancellation and the block path.
#include <gtest/gtest.h>

#include "qxtool/qxtool_e2e_support.h"

namespace {

using namespace qxtest;
using namespace qxtest::e2e;

// ---------------------------------------------------------------- transfers

struct RoundTrip {
    const char* name;
    qxsim::Config config;
    const char* extension;  // .bin, .hex, .s19
    uint32_t address;
    uint32_t length;
    bool bulk;
    bool twoSpaces;
};

class QxtoolRoundTrip : public Qxtool, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(QxtoolRoundTrip, WriteVerifyAndReadBackAgree) {
    const RoundTrip& c = GetParam();
    const std::string ext = c.extension;
    if (ext != ".bin" && !HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is missing";
    auto& sim = Device(5, c.config);
    const std::vector<uint8_t> data = RandomBytes(c.length, c.address ^ c.length);
    const std::string raw = File("in.raw");
    qxtest::WriteBytes(raw, Bytes(data));
    const std::string in = File("in" + ext);
    const std::string out = File("out" + ext);
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%X", c.address);
    const std::string srecFormat = ext == ".hex" ? "-intel" : "-motorola";
    if (ext == ".bin") {
        qxtest::WriteBytes(in, Bytes(data));
    } else {
        ASSERT_EQ(std::system(("srec_cat " + raw + " -binary -offset " + offset + " -o " + in +
                               " " + srecFormat + " 2>/dev/null")
                                  .c_str()),
                  0);
    }

    std::vector<std::string> writeArgs = {"--port", "COM5", "write", in};
    if (ext == ".bin") writeArgs.insert(writeArgs.end(), {"--address", offset});
    const ToolResult w = Tool(writeArgs);
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_NE(w.out.find("verified"), std::string::npos) << w.out;
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, c.address, c.length), data);
    if (c.twoSpaces) {
        EXPECT_EQ(sim.ReadMemory(qxsim::kSpace1, c.address, c.length), data);
    }
    const size_t bulkWrites = Count(sim, "ZW");
    const size_t blockWrites = Count(sim, "W");
    if (c.bulk) {
        EXPECT_GT(bulkWrites, 0u);
        EXPECT_EQ(blockWrites, 0u);
    } else {
        EXPECT_EQ(bulkWrites, 0u);
        EXPECT_EQ(blockWrites, (c.length + 255) / 256);
    }
    if (c.config.serial[0] != 'n') {
        for (const auto& entry : sim.Transcript())
            if (entry.command == "W" || entry.command == "ZW") {
                EXPECT_TRUE(entry.encrypted);
            }
    }

    sim.ClearTranscript();
    char length[16];
    std::snprintf(length, sizeof length, "%u", c.length);
    const ToolResult r =
        Tool({"--port", "COM5", "read", out, "--address", offset, "--length", length});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(Count(sim, c.bulk ? "ZR" : "R"), 0u);
    EXPECT_EQ(Count(sim, c.bulk ? "R" : "ZR"), 0u);
    if (ext == ".bin") {
        EXPECT_EQ(qxtest::ReadText(out), Bytes(data));
    } else {
        const std::string back = File("back.raw");
        ASSERT_EQ(std::system(("srec_cat " + out + " " + srecFormat + " -offset -" + offset +
                               " -o " + back + " -binary 2>/dev/null")
                                  .c_str()),
                  0);
        EXPECT_EQ(qxtest::ReadText(back), Bytes(data));
    }

    // And verify agrees with the device, then finds a changed byte.
    std::vector<std::string> verifyArgs = {"--port", "COM5", "verify", in};
    if (ext == ".bin") verifyArgs.insert(verifyArgs.end(), {"--address", offset});
    const ToolResult same = Tool(verifyArgs);
    EXPECT_EQ(same.status, 0) << same.err;
    sim.WriteMemory(qxsim::kSpace2, c.address + c.length - 3,
                    {static_cast<uint8_t>(data[c.length - 3] ^ 0x5A)});
    const ToolResult v = Tool(verifyArgs);
    EXPECT_EQ(v.status, 1) << v.err;
    char where[32];
    std::snprintf(where, sizeof where, "first difference at 0x%06X", c.address + c.length - 3);
    EXPECT_NE(v.err.find(where), std::string::npos) << v.err;
}

qxsim::Config Encrypted(qxsim::Config config) {
    config.serial[0] = 'Y';
    return config;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, QxtoolRoundTrip,
    ::testing::Values(
        RoundTrip{"VorrelBinaryBulk", SimConfig('A', 2, 12), ".bin", 0x1000, 0x3000, true, false},
        RoundTrip{"VorrelBinaryBlock", SimConfig('A', 2, 11), ".bin", 0x0100, 0x0900, false, false},
        RoundTrip{"KelbyEncryptedIntelHexBlock", Encrypted(SimConfig('O', 10, 15)), ".hex", 0x0010,
                  0x02F0, false, false},
        RoundTrip{"KelbyEncryptedIntelHexBulk", Encrypted(SimConfig('O', 10, 15)), ".hex", 0x4000,
                  0x2000, true, false},
        RoundTrip{"SarnetSRecordBulkBothSpaces", SimConfig('R', 3, 5), ".s19", 0x12000, 0x1000,
                  true, true},
        RoundTrip{"TolliverSRecordBlock", SimConfig('Q', 2, 0), ".s19", 0x0202, 0x0400, false,
                  false}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

TEST_F(Qxtool, WriteFillsHolesAndReadDefaultsToTheActiveBank) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    // Two records with a hole of 16 bytes between them.
    const std::string hex = IntelRecord(0, 0x100, std::vector<uint8_t>(16, 0x11)) +
                            IntelRecord(0, 0x120, std::vector<uint8_t>(16, 0x22)) +
                            IntelRecord(1, 0, {});
    qxtest::WriteBytes(File("holes.hex"), hex);
    const ToolResult w = Tool({"--port", "COM4", "write", File("holes.hex"), "--fill", "0x5A"});
    ASSERT_EQ(w.status, 0) << w.err;
    const auto memory = sim.ReadMemory(qxsim::kSpace2, 0x100, 0x30);
    EXPECT_EQ(memory, [] {
        std::vector<uint8_t> v(16, 0x11);
        v.insert(v.end(), 16, 0x5A);
        v.insert(v.end(), 16, 0x22);
        return v;
    }());
    const ToolResult r = Tool({"--port", "COM4", "--json", "read", File("all.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonReader::Parse(r.out)["length"].integer(), 0x10000);
    EXPECT_EQ(qxtest::ReadText(File("all.bin")), Bytes(sim.Memory(qxsim::kSpace2)));
}

TEST_F(Qxtool, BadInputFilesAreRefusedWithTheLineAndNothingOnTheWire) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    std::string badSum = IntelRecord(0, 0, {1, 2, 3, 4}) + IntelRecord(0, 4, {5, 6, 7, 8});
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';  // line 2 sum
    std::string badDigit = SRecord('0', 0, 2, {'h', 'i'}) + SRecord('1', 0x10, 2, {9, 9});
    badDigit[badDigit.find("S1") + 9] = 'G';  // a data digit of line 2
    const std::string overlap =
        IntelRecord(0, 0x10, std::vector<uint8_t>(8, 1)) + IntelRecord(0, 0x40, {2}) +
        IntelRecord(0, 0x14, std::vector<uint8_t>(8, 3)) + IntelRecord(1, 0, {});
    const std::string past =
        SRecord('0', 0, 2, {}) + SRecord('2', 0xFFF0, 3, std::vector<uint8_t>(16, 1)) +
        SRecord('2', 0x10000, 3, std::vector<uint8_t>(8, 2)) + SRecord('9', 0, 2, {});
    const struct {
        const char* name;
        std::string content;
        const char* expect;
        bool identifies;  // refused only once the memory size is known
    } cases[] = {
        {"sum.hex", badSum, "line 2", false},
        {"digit.s19", badDigit, "line 2", false},
        {"overlap.hex", overlap, "line 3", false},
        {"past.s19", past, "line 3", true},
        {"big.bin", std::string(0x10001, '\x55'), "past the end of memory", true},
        {"empty.hex", IntelRecord(1, 0, {}), "no data", false},
    };
    for (const auto& c : cases) {
        for (const char* command : {"write", "verify"}) {
            sim.ClearTranscript();
            qxtest::WriteBytes(File(c.name), c.content);
            const ToolResult r = Tool({"--port", "COM4", command, File(c.name)});
            EXPECT_EQ(r.status, 2) << c.name << "\n" << r.err;
            EXPECT_NE(r.err.find(c.expect), std::string::npos) << c.name << ": " << r.err;
            EXPECT_NE(r.err.find(c.name), std::string::npos) << r.err;
            if (c.identifies) {
                EXPECT_GT(Count(sim, "VV"), 0u) << c.name;
                ExpectNoWork(sim);
            } else {
                EXPECT_TRUE(sim.Transcript().empty()) << c.name;
            }
        }
    }
    EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, 0x10000), std::vector<uint8_t>(0x10000, 0xFF));
}

TEST_F(Qxtool, ReadPastTheMemoryIsRefusedBeforeAnyTransfer) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    const ToolResult r =
        Tool({"--port", "COM4", "read", File("x.bin"), "--address", "0xFF00", "--length", "0x200"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("past the end of memory"), std::string::npos) << r.err;
    ExpectNoWork(sim);
    const ToolResult bulk = Tool({"--port", "COM4", "read", File("x.bin"), "--address", "0x10",
                                  "--length", "0x100", "--method", "bulk"});
    EXPECT_EQ(bulk.status, 2) << bulk.err;
    EXPECT_NE(bulk.err.find("multiples of 256"), std::string::npos) << bulk.err;
    ExpectNoWork(sim);
}

// ---------------------------------------------------------------- EEPROM, banks, speed

TEST_F(Qxtool, EepromWriteThenRead) {
    // The common command set (HW/HR) and another family's (e/E).
    const struct {
        qxsim::Config config;
        const char* write;
        const char* read;
    } cases[] = {{SimConfig('O', 10, 15), "HW", "HR"}, {SimConfig('1', 1, 34), "e", "E"}};
    int com = 4;
    for (const auto& c : cases) {
        auto& sim = Device(com, c.config);
        const std::string port = "COM" + std::to_string(com++);
        sim.ClearTranscript();
        ASSERT_EQ(Tool({"--port", port, "eeprom", "write", "0x0200", "0xAB"}).status, 0);
        EXPECT_EQ(sim.Eeprom()[0x200], 0xAB);
        EXPECT_EQ(Count(sim, c.write), 1u);
        sim.WriteEeprom(0x201, {0x01, 0x7F});
        const ToolResult r = Tool({"--port", port, "--json", "eeprom", "read", "512", "3"});
        ASSERT_EQ(r.status, 0) << r.err;
        const JsonValue v = JsonReader::Parse(r.out);
        ASSERT_EQ(v["data"].items.size(), 3u);
        EXPECT_EQ(v["data"].items[0].integer(), 0xAB);
        EXPECT_EQ(v["data"].items[1].integer(), 0x01);
        EXPECT_EQ(v["data"].items[2].integer(), 0x7F);
        const ToolResult text = Tool({"--port", port, "eeprom", "read", "0x200", "3"});
        EXPECT_NE(text.out.find("0x0200: AB 01 7F"), std::string::npos) << text.out;
    }
}

TEST_F(Qxtool, BankGetAndSet) {
    auto& kelby = Device(4, SimConfig('O', 10, 15));
    ASSERT_EQ(Tool({"--port", "COM4", "bank", "set", "3"}).status, 0);
    EXPECT_EQ(kelby.State().emulationBank, 3);
    ASSERT_EQ(Tool({"--port", "COM4", "bank", "set", "2", "--rw"}).status, 0);
    EXPECT_EQ(kelby.State().readWriteBank, 2);
    kelby.ClearTranscript();
    ASSERT_EQ(Tool({"--port", "COM4", "bank", "set", "5", "--persistent"}).status, 0);
    bool persistent = false;
    for (const auto& entry : kelby.Transcript())
        if (entry.command == "B" && entry.bytes.size() == 4 && entry.bytes[1] == 'S' &&
            entry.bytes[2] == 5)
            persistent = true;
    EXPECT_TRUE(persistent);
    ToolResult r = Tool({"--port", "COM4", "--json", "bank", "get"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonReader::Parse(r.out)["bank"].integer(), 5);
    r = Tool({"--port", "COM4", "bank", "get", "--rw"});
    EXPECT_NE(r.out.find("read/write bank: 2"), std::string::npos) << r.out;

    // The Tolliver keeps its bank in configuration bytes (EEPROM 0x101, marker 0x102).
    auto& tolliver = Device(5, SimConfig('Q', 2, 0));
    ASSERT_EQ(Tool({"--port", "COM5", "bank", "set", "6"}).status, 0);
    EXPECT_EQ(tolliver.Eeprom()[0x101], 6);
    EXPECT_EQ(tolliver.Eeprom()[0x102], 0xAA);
    r = Tool({"--port", "COM5", "--json", "bank", "get"});
    EXPECT_EQ(JsonReader::Parse(r.out)["bank"].integer(), 6);
    // Banks the device does not have are refused before anything is sent, naming the range:
    // mode 1 gives the Tolliver 8 banks, the Kelby has 9 (8: the whole memory).
    const struct {
        qxsim::Simulator* sim;
        const char* port;
        const char* bank;
        const char* message;
    } beyond[] = {{&tolliver, "COM5", "8", "this Tolliver has banks 0 to 7"},
                  {&kelby, "COM4", "9", "this Kelby has banks 0 to 8 (8: the whole memory)"}};
    for (const auto& c : beyond) {
        c.sim->ClearTranscript();
        r = Tool({"--port", c.port, "bank", "set", c.bank});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        for (const char* request : {"8", "HW", "W"}) EXPECT_EQ(Count(*c.sim, request), 0u);
        // Identification asks for banks; nothing sets one.
        for (const auto& entry : c.sim->Transcript())
            if (entry.command == "B") {
                EXPECT_EQ(entry.bytes[1], entry.bytes[2]) << "a bank was set";
            }
    }
    EXPECT_EQ(tolliver.Eeprom()[0x101], 6);

    // No banks at all: the library refuses, nothing is sent.
    auto& vorrel = Device(6, SimConfig('A', 2, 12));
    vorrel.ClearTranscript();
    r = Tool({"--port", "COM6", "bank", "get"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("VR_E_REQUEST_NOT_SUPPORTED (-3): this model has no banks"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Count(vorrel, "B"), 0u);
}

TEST_F(Qxtool, SpeedChangesTheLinkForOneCommand) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    sim.ClearTranscript();
    const ToolResult r = Tool({"--port", "COM4", "--json", "speed", "921600"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonReader::Parse(r.out)["baud"].integer(), 921600);
    const auto transcript = sim.Transcript();
    std::vector<std::string> seen;
    for (const auto& e : transcript)
        if (e.command == "S" || (e.command == "VV" && e.baud == 921600))
            seen.push_back(e.command + "@" + std::to_string(e.baud) + ":" +
                           std::to_string(e.bytes.size() > 1 ? e.bytes[1] : -1));
    // Raised at 115200, answered at 921600, brought back by ClosePort.
    EXPECT_EQ(seen, (std::vector<std::string>{"S@115200:0", "VV@921600:86", "S@921600:7"}));
    EXPECT_EQ(sim.DeviceBaud(), 115200u);

    sim.ClearTranscript();
    const ToolResult fast =
        Tool({"--port", "COM4", "--baud", "460800", "read", File("x.bin"), "--length", "0x1000"});
    ASSERT_EQ(fast.status, 0) << fast.err;
    for (const auto& e : sim.Transcript())
        if (e.command == "ZR") {
            EXPECT_EQ(e.baud, 460800u);
        }
    EXPECT_EQ(sim.DeviceBaud(), 115200u);
}

TEST_F(Qxtool, FlashInfoSerialAndTolliverMode) {
    auto config = SimConfig('N', 1, 0);  // ORVA: flash information
    auto& orva = Device(4, config);
    ToolResult r = Tool({"--port", "COM4", "--json", "flashinfo"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonReader::Parse(r.out)["flashInfo"].text, "0102030405060708090A0B0C0D0E0F10");
    (void)orva;
    r = Tool({"--port", "COM4", "serial"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"nQXSIM001\""), std::string::npos) << r.out;

    auto tolliverConfig = SimConfig('Q', 2, 0);
    tolliverConfig.tolliverMode = 3;
    Device(5, tolliverConfig);
    r = Tool({"--port", "COM5", "--json", "tolliver", "mode"});
    ASSERT_EQ(r.status, 0) << r.err;
    const JsonValue v = JsonReader::Parse(r.out);
    EXPECT_EQ(v["tolliverMode"].integer(), 3);
    EXPECT_EQ(v["bankCount"].integer(), 4);
    EXPECT_EQ(v["bankSize"].integer(), 0x20000);
}

// ---------------------------------------------------------------- cancellation

TEST_F(Qxtool, CtrlCStopsATransferAndLeavesTheDeviceAt115200) {
    auto config = SimConfig('A', 2, 12);
    config.throttle = true;
    auto& sim = Device(4, config);
    qxtest::WriteBytes(File("big.bin"), Bytes(RandomBytes(0x10000, 7)));
    ChildProcess tool;
    ASSERT_TRUE(tool.Start({QXTOOL_EXE, "--port", "COM4", "--baud", "230400", "write",
                            File("big.bin"), "--method", "block", "--no-verify"},
                           {{"QX_COM_DIR", comDir_}}));
    ASSERT_TRUE(
        tool.WaitFor([](const std::string&,
                        const std::string& err) { return err.find(" 10% ") != std::string::npos; },
                     30000))
        << tool.err;
    tool.Signal(SIGINT);
    const ToolResult r = tool.Finish(15000);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("VR_E_OPERATION_CANCELED (-19)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("writing 65536 bytes"), std::string::npos) << r.err;
    EXPECT_LT(Count(sim, "W"), 256u);
    EXPECT_GT(Count(sim, "W"), 10u);
    const auto transcript = sim.Transcript();
    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.back().command, "S");
    EXPECT_EQ(transcript.back().bytes, (std::vector<uint8_t>{0x53, 0x07, 0x5A}));
    EXPECT_EQ(sim.DeviceBaud(), 115200u);
    EXPECT_EQ(sim.LineBaud(), 115200u);
}

// A write that fails part-way names what the device acknowledged and what may be incomplete;
// the acknowledged part really holds the image.
TEST_F(Qxtool, AFailedWriteNamesTheRangeThatMayBeIncomplete) {
    const struct {
        const char* name;
        qxsim::Config config;
        std::string fault;
        std::vector<std::string> extra;
        uint8_t space;  // where the acknowledged part lies
        uint32_t acknowledged;
        const char* note;
        // clang-format off
    } cases[] = {
        {"block", SimConfig('A', 2, 12), "W:none@5", {"--method", "block"}, qxsim::kSpace2, 0x400,
            "qxtool: 0x000000-0x0003FF was written and acknowledged; 0x000400-0x00FFFF (64512 " "bytes) may be incomplete"},
        {"bulk", SimConfig('O', 10, 15), "ZW:none@3", {"--method", "bulk"}, qxsim::kSpace2, 0x2000,
            "qxtool: 0x000000-0x001FFF was written and acknowledged; 0x002000-0x00FFFF (57344 " "bytes) may be incomplete"},
        {"first packet", SimConfig('O', 10, 15), "ZW:refuse@1", {"--method", "bulk"},
            qxsim::kSpace2, 0, "qxtool: 0x000000-0x00FFFF (65536 bytes) may be incomplete"},
        {"both spaces", SimConfig('R', 2, 0), "ZW:none@18", {"--method", "bulk"}, qxsim::kSpace1,
            0x1000,
            "qxtool: in space 1 (space 2 is complete), 0x000000-0x000FFF was written and " "acknowledged; 0x001000-0x00FFFF (61440 bytes) may be incomplete"},
        // The note is the error, not progress: --quiet shows it too.
        {"quiet", SimConfig('A', 2, 12), "W:none@5", {"--method", "block", "-q"}, qxsim::kSpace2,
            0x400,
            "qxtool: 0x000000-0x0003FF was written and acknowledged; 0x000400-0x00FFFF (64512 " "bytes) may be incomplete"},
        // Bulk refused, then the block path fails too: the note counts the block packets.
        {"after the fallback", SimConfig('O', 10, 15), "ZW:refuse", {}, qxsim::kSpace2, 0x600,
            "qxtool: 0x000000-0x0005FF was written and acknowledged; 0x000600-0x00FFFF (64000 " "bytes) may be incomplete"},
    };
    // clang-format on
    const std::vector<uint8_t> image = RandomBytes(0x10000, 11);
    qxtest::WriteBytes(File("image.bin"), Bytes(image));
    int com = 4;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto& sim = Device(com, c.config);
        ASSERT_TRUE(sim.AddFault(c.fault));
        if (std::string(c.name) == "after the fallback") {
            ASSERT_TRUE(sim.AddFault("W:none@7"));
        }
        std::vector<std::string> args{"--port", "COM" + std::to_string(com++), "write",
                                      File("image.bin")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ToolResult r = Tool(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.note), std::string::npos) << r.err;
        if (c.acknowledged != 0) {
            EXPECT_EQ(sim.ReadMemory(c.space, 0, c.acknowledged),
                      std::vector<uint8_t>(image.begin(), image.begin() + c.acknowledged));
        }
    }
}

// ---------------------------------------------------------------- banks

// Transfers reach the image of the bank the device emulates, wherever the last transfer left
// the read/write bank; --bank reaches another bank on purpose.
TEST_F(Qxtool, TransfersReachTheBankTheDeviceEmulates) {
    constexpr uint32_t kBank = 0x10000;
    auto& kelby = Device(4, SimConfig('O', 10, 15));
    const std::vector<uint8_t> whole = RandomBytes(8 * kBank, 21);
    const std::vector<uint8_t> bank0 = RandomBytes(kBank, 22);
    qxtest::WriteBytes(File("whole.bin"), Bytes(whole));
    qxtest::WriteBytes(File("bank0.bin"), Bytes(bank0));
    // Larger than the active bank: said so, with the command that selects the whole memory.
    ToolResult r = Tool({"--port", "COM4", "write", File("whole.bin")});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("is larger than the active bank (bank 0: 0x10000 bytes); 'qxtool bank "
                         "set 8' selects the whole memory (0x80000 bytes)"),
              std::string::npos)
        << r.err;
    ASSERT_EQ(Tool({"--port", "COM4", "bank", "set", "8"}).status, 0);
    r = Tool({"--port", "COM4", "write", File("whole.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(kelby.State().readWriteBank, 8);  // where the whole-memory write leaves it
    ASSERT_EQ(Tool({"--port", "COM4", "bank", "set", "0"}).status, 0);
    r = Tool({"--port", "COM4", "write", File("bank0.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kelby.ReadMemory(qxsim::kSpace2, 0, kBank), bank0);
    EXPECT_EQ(kelby.ReadMemory(qxsim::kSpace2, kBank, 7 * kBank),
              std::vector<uint8_t>(whole.begin() + kBank, whole.end()));
    r = Tool({"--port", "COM4", "read", File("back0.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(qxtest::ReadText(File("back0.bin")), Bytes(bank0));

    const struct {
        const char* name;
        uint8_t emulation, readWrite;
        std::vector<std::string> extra;
        uint32_t lands;
    } cases[] = {
        {"emulating bank 3", 3, 0, {}, 3 * kBank},
        {"--bank 2 while the target runs bank 1", 1, 1, {"--bank", "2"}, 2 * kBank},
        {"--bank 5 within the whole memory", 8, 8, {"--bank", "5"}, 5 * kBank},
    };
    int com = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = SimConfig('O', 10, 15);
        config.emulationBank = c.emulation;
        config.readWriteBank = c.readWrite;
        auto& sim = Device(com, config);
        const std::string port = "COM" + std::to_string(com++);
        const std::vector<uint8_t> image = RandomBytes(0x1000, com);
        qxtest::WriteBytes(File("image.bin"), Bytes(image));
        std::vector<std::string> args = {"--port", port, "write", File("image.bin")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        r = Tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, c.lands, image.size()), image);
        EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
        EXPECT_EQ(sim.State().emulationBank, c.emulation) << "what the target sees is unchanged";
        args = {"--port", port, "read", File("back.bin"), "--length", "0x1000"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ASSERT_EQ(Tool(args).status, 0);
        EXPECT_EQ(qxtest::ReadText(File("back.bin")), Bytes(image));
    }
}

// ---------------------------------------------------------------- half-identified devices

TEST_F(Qxtool, AHalfIdentifiedDeviceSaysWhatItCouldNotRead) {
    auto& sim = Device(4, SimConfig('O', 10, 15));
    ASSERT_TRUE(sim.AddFault("HR:refuse"));  // no EEPROM information record
    Device(5, SimConfig('O', 10, 15));
    const char* const kWarning = "warning: the EEPROM information record could not be read";
    const std::vector<std::vector<std::string>> commands = {
        {"info"}, {"detect"}, {"-q", "read", File("x.bin"), "--length", "0x100"}};
    for (const auto& command : commands) {
        std::vector<std::string> args = {"--port", "COM4"};
        args.insert(args.end(), command.begin(), command.end());
        const ToolResult r = Tool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(kWarning), std::string::npos) << command[0] << ": " << r.err;
        EXPECT_NE(r.err.find("no bulk transfers"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("interface are unknown"), std::string::npos) << r.err;
        // Fully identified: nothing to warn about.
        args[1] = "COM5";
        EXPECT_EQ(Tool(args).err.find("warning"), std::string::npos);
    }
    const ToolResult r = Tool({"--port", "COM4", "--json", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    const JsonValue v = JsonReader::Parse(r.out);
    ASSERT_EQ(v["warnings"].items.size(), 1u);
    EXPECT_NE(v["warnings"].items[0].text.find("no bulk transfers"), std::string::npos);
    EXPECT_FALSE(JsonReader::Parse(Tool({"--port", "COM5", "--json", "info"}).out).Has("warnings"));
}

// ---------------------------------------------------------------- the block path

// A device that refuses ZW: write and sync pause and go on the block path, as the library's
// WriteBlock does, and say so.
TEST_F(Qxtool, RefusedBulkWritesGoOnOnTheBlockPath) {
    auto& sim = Device(4, SimConfig('O', 10, 15));
    ASSERT_TRUE(sim.AddFault("ZW:refuse"));
    const std::vector<uint8_t> image = RandomBytes(0x2000, 61);
    qxtest::WriteBytes(File("image.bin"), Bytes(image));
    const struct {
        std::vector<std::string> args;
        size_t blockPackets;
    } cases[] = {{{"write", File("image.bin")}, 0x2000 / 256},
                 {{"sync", File("image.bin")}, 0x2000 / 256}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        sim.WriteMemory(qxsim::kSpace2, 0, std::vector<uint8_t>(0x2000, 0xFF));
        sim.ClearTranscript();
        std::vector<std::string> args = {"--port", "COM4"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = Tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("bulk write failed with VR_E_INVALID_RESPONSE (-7)"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(sim.ReadMemory(qxsim::kSpace2, 0, image.size()), image);
        EXPECT_GT(Count(sim, "ZW"), 0u);
        EXPECT_EQ(Count(sim, "W"), c.blockPackets);
        fs::remove(File("image.bin.qxsync"));
    }
}

}  // namespace
