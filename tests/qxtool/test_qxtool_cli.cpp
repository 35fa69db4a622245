// qxtool end to end: help and usage, identification, exit statuses, small things and the log.
#include <gtest/gtest.h>

#include "qxtool/qxtool_e2e_support.h"

namespace {

using namespace qxtest;
using namespace qxtest::e2e;

// ---------------------------------------------------------------- help and usage

TEST_F(Qxtool, HelpDescribesEveryCommandAndOption) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> mentions;
        // clang-format off
    } cases[] = {
        {{"--help"},
            {"ports",       "detect",     "info",    "read",      "write", "verify",      "eeprom",     "bank",    "speed",     "flashinfo", "serial",      "tolliver",   "models",  "--port",    "-P", "--log",       "--json",     "--quiet", "--verbose", "--baud", "Exit status", "QX_COM_DIR", "115200",  "Ctrl+C",    "VR_E_OPERATION_CANCELED"}},
        {{"read", "--help"},
            {"FILE", "--address", "--length", "--format", "--method", "--space", "GetActiveBankSize", "--offset", "--split", "--bank", "standard output", ".s28"}},
        {{"write", "--help"},
            {"FILE", "--address", "--format", "--method", "--alt", "--lower", "--plain", "--space", "both", "--no-verify", "--fill", "line number", "--offset", "--split", "--bank", "standard input", "*.img", "*.mot", "block path"}},
        {{"verify", "--help"}, {"FILE", "--address", "--format", "--offset", "--split", "--bank"}},
        {{"models", "--help"}, {"capabilities", "firmware"}},
        {{"detect", "--help"}, {"--all"}},
        {{"info", "--help"}, {"hardwareId", "capabilities", "encryption"}},
        {{"eeprom", "read", "--help"}, {"ADDR", "LEN"}},
        {{"eeprom", "write", "--help"}, {"ADDR", "BYTE"}},
        {{"bank", "get", "--help"}, {"--rw", "--emulation"}},
        {{"bank", "set", "--help"}, {"N", "--rw", "--emulation", "--persistent"}},
        {{"speed", "--help"}, {"BAUD", "921600", "460800", "230400", "115200", "one command"}},
        {{"ports", "--help"}, {"QX_COM_DIR", "in use", "stableNames"}},
        {{"tolliver", "mode", "--help"}, {"mode"}},
        {{"flashinfo", "--help"}, {"flash"}},
        {{"serial", "--help"}, {"serial"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        for (const auto& word : c.mentions)
            EXPECT_NE(r.out.find(word), std::string::npos) << c.args[0] << " help lacks " << word;
    }
}

TEST_F(Qxtool, UsageErrorsExitTwoAndSendNothing) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--port", "COM4", "speed", "12345"},
        {"--port", "COM4", "--baud", "19200", "info"},
        {"--port", "COM4", "eeprom", "read", "0x10000"},
        {"--port", "COM4", "eeprom", "read", "0", "257"},
        {"--port", "COM4", "eeprom", "write", "0", "0x100"},
        {"--port", "COM4", "read", File("x.bin"), "--format", "elf"},
        {"--port", "COM4", "read", File("x.bin"), "--length", "zero"},
        {"--port", "COM4", "write", File("missing.bin")},
        {"--port", "COM4", "write", File("x.bin"), "--method", "bulk", "--alt"},
        {"--port", "COM4", "bank", "set", "1", "--rw", "--emulation"},
        {"--port", "COM4", "bank", "set", "300"},
        {"--port", "COM4", "eeprom"},
    };
    for (const auto& args : cases) {
        const ToolResult r = Tool(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args.back()) << "\n" << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    // Refusals that say what is wrong in so many words.
    qxtest::WriteBytes(File("x.bin"), "x");
    const struct {
        std::vector<std::string> args;
        const char* message;
    } named[] = {
        {{"--port", "COM4", "read", File("x.bin"), "--address", ""}, "--address"},
        {{"--port", "COM4", "read", File("x.bin"), "--length", ""}, "--length"},
        {{"--port", "COM4", "write", File("x.bin"), "--fill", ""}, "--fill"},
        {{"--port", "COM4", "write", File("x.bin"), "--bank", ""}, "--bank"},
        {{"--port", "COM4", "wirte", File("x.bin")},
         "unknown command 'wirte'; did you mean 'write'?"},
        {{"-q", "--port", "COM4", "bank", "sett", "1"}, "did you mean 'set'?"},
        {{"--port", "COM4", "frobnicate"}, "unknown command 'frobnicate' (commands: ports,"},
        {{"--port", "COM4", "eeprom", "read", "0xFFFF", "2"}, "past the end of the EEPROM"},
        {{"--port", "COM4", "read", File("no/such/folder/x.bin")}, "cannot be written"},
        {{"--port", "COM4", "read", File("x.bin"), "--offset", "0x10"}, "--offset moves"},
        {{"--port", "COM4", "--json", "read", "-"}, "leave out --json"},
        {{"--port", "COM4", "write", File("x.bin"), File("x.bin")}, "--split both"},
        {{"--port", "COM4", "write", "--split", "both", File("x.bin")}, "two files"},
        {{"--port", "COM4", "sync", "-", "--watch"}, "cannot watch -"},
    };
    for (const auto& c : named) {
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(r.status, 2) << c.message << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_TRUE(sim.Transcript().empty());
}

// ---------------------------------------------------------------- identification

TEST_F(Qxtool, InfoAsJsonForSeveralModels) {
    const struct {
        qxsim::Config config;
        const char* model;
        int64_t family, type, capabilities, memory, bank, banks, width;
        bool encryption;
    } cases[] = {
        // Kelby 10.15 with the link cipher on keeps CapEncryption.
        {[] {
             auto c = SimConfig('O', 10, 15);
             c.serial[0] = 'Y';
             return c;
         }(),
         "Kelby", 1, 7, 0x104E, 0x80000, 0x10000, 9, 8, true},
        {SimConfig('O', 10, 15), "Kelby", 1, 7, 0x104A, 0x80000, 0x10000, 9, 8, false},
        {SimConfig('A', 2, 12), "Vorrel", 1, 5, 0x1153, 0x10000, 0x10000, 1, 8, false},
        {SimConfig('R', 3, 5), "Sarnet", 1, 9, 0x1062, 0x100000, 0x100000, 1, 16, false},
        {SimConfig('Q', 2, 0), "Tolliver", 1, 14, 0x102B, 0x80000, 0x10000, 8, 8, false},
    };
    int com = 3;
    for (const auto& c : cases) {
        Device(com, c.config);
        const std::string port = "COM" + std::to_string(com++);
        const ToolResult r = Tool({"--port", port, "--json", "info"});
        ASSERT_EQ(r.status, 0) << c.model << r.err;
        const JsonValue v = JsonReader::Parse(r.out);
        for (const char* key :
             {"port", "model", "hardwareId", "firmware", "protocolFamily", "hardwareType",
              "interfaceType", "capabilities", "memorySize", "bankSize", "bankCount", "dataWidth",
              "emulationBank", "readWriteBank", "baud", "encryption"})
            EXPECT_TRUE(v.Has(key)) << c.model << " lacks " << key;
        EXPECT_EQ(v["port"].text, port);
        EXPECT_EQ(v["model"].text, c.model);
        EXPECT_EQ(v["hardwareId"].text, std::string(1, c.config.hardwareId));
        EXPECT_EQ(v["firmware"].text, std::to_string(c.config.firmwareMajor) + "." +
                                          std::to_string(c.config.firmwareMinor));
        EXPECT_EQ(v["protocolFamily"].integer(), c.family);
        EXPECT_EQ(v["hardwareType"].integer(), c.type);
        EXPECT_EQ(v["interfaceType"].integer(), 1) << c.model;  // simulator default 'U'
        EXPECT_EQ(v["capabilities"].integer(), c.capabilities) << c.model;
        EXPECT_EQ(v["memorySize"].integer(), c.memory);
        EXPECT_EQ(v["bankSize"].integer(), c.bank);
        EXPECT_EQ(v["bankCount"].integer(), c.banks);
        EXPECT_EQ(v["dataWidth"].integer(), c.width);
        EXPECT_EQ(v["baud"].integer(), 115200);
        EXPECT_EQ(v["encryption"].boolean, c.encryption);

        const ToolResult text = Tool({"--port", port, "info"});
        ASSERT_EQ(text.status, 0);
        EXPECT_NE(text.out.find(std::string(c.model) + " v"), std::string::npos) << text.out;
    }
}

TEST_F(Qxtool, ScanFindsTheDeviceLikeTheLauncher) {
    Device(2, SimConfig('A', 2, 12));
    const ToolResult r = Tool({"--json", "detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    const JsonValue v = JsonReader::Parse(r.out);
    EXPECT_EQ(v["port"].text, "COM2");
    EXPECT_EQ(v["model"].text, "Vorrel");
}

TEST_F(Qxtool, DevicePathTriesTheRatesOfTheScan) {
    const struct {
        uint32_t baud;
        uint32_t expected;
    } cases[] = {{115200, 115200}, {921600, 921600}, {19200, 19200}};
    int com = 3;
    for (const auto& c : cases) {
        auto config = SimConfig('R', 3, 5);
        config.bauds = {c.baud};
        auto& sim = Device(com++, config);
        const ToolResult r = Tool({"--port", sim.SlavePath(), "--json", "info"});
        ASSERT_EQ(r.status, 0) << c.baud << r.err;
        const JsonValue v = JsonReader::Parse(r.out);
        EXPECT_EQ(v["port"].text, sim.SlavePath());
        EXPECT_EQ(v["model"].text, "Sarnet");
        EXPECT_EQ(v["baud"].integer(), c.expected);
    }
}

// ---------------------------------------------------------------- exit status

TEST_F(Qxtool, EveryExitStatus) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    Device(6, SimConfig('d', 1, 0));  // answers, but no model
    auto& silent = Device(7, SimConfig('A', 2, 12));
    ASSERT_TRUE(silent.AddFault("VV:none"));
    auto& held = Device(5, SimConfig('A', 2, 12));
    HeldPort holder(held.SlavePath());
    ASSERT_TRUE(holder.ok());
    sim.AddFault("ZR:none");
    qxtest::WriteBytes(File("plain.bin"), "not a tty");
    fs::create_symlink("/nonexistent/tty", fs::path(comDir_) / "COM8");
    fs::create_symlink(File("plain.bin"), fs::path(comDir_) / "COM10");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
        // clang-format off
    } cases[] = {
        {{"--port", "COM4", "info"}, 0, ""},
        {{"-P", "COM4", "info"}, 0, ""},
        {{"--port", "COM4", "read", File("out.bin")}, 1, "VR_E_COMM_READ_TIMEOUT (-17)"},
        {{"--port", "COM4", "read", File("out.bin"), "--bogus"}, 2, "bogus"},
        {{"--port", "COM9", "info"}, 3, "COM9"},
        {{"--port", "COM6", "info"}, 3, "not known"},
        {{"--port", File("no-such-tty"), "info"}, 3, "no-such-tty"},
        // Why a port cannot be used, as the system says it.
        {{"--port", "COM9", "info"}, 3,
            "cannot open COM9: no such port (nothing at " + comDir_ + "/COM9)"},
        {{"--port", File("no-such-tty"), "info"}, 3,
            "cannot open " + File("no-such-tty") + ": no such port (nothing at " + File("no-such-tty") + ")"},
        {{"--port", "COM8", "info"}, 3,
            "cannot open COM8: no such port (" + comDir_ + "/COM8 links to /nonexistent/tty, which does not exist)"},
        {{"--port", "COM5", "info"}, 3,
            "cannot open COM5: in use by another program " + ThisProcess()},
        {{"--port", held.SlavePath(), "info"}, 3,
            "cannot open " + held.SlavePath() + ": in use by another program " + ThisProcess()},
        {{"--port", File("plain.bin"), "info"}, 3,
            "cannot open " + File("plain.bin") + ": not a serial device (" + File("plain.bin") + " is a regular file)"},
        {{"--port", "COM10", "info"}, 3, "cannot open COM10: not a serial device"},
        {{"--port", dir_.path.string(), "info"}, 3, "not a serial device"},
        // Opened, and nothing answered.
        {{"--port", "COM7", "info"}, 3, "no device answered on COM7"},
    };
    // clang-format on
    for (const auto& c : cases) {
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << " " << c.args[2] << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // The failed read says what it was doing and leaves no file behind.
    const ToolResult r = Tool({"--port", "COM4", "read", File("out.bin")});
    EXPECT_NE(r.err.find("reading 65536 bytes at 0x000000-0x00FFFF"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(File("out.bin")));
}

TEST_F(Qxtool, NoDeviceAnywhereIsStatusThree) {
    const ToolResult r = Tool({"info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no device found"), std::string::npos) << r.err;

    // A device another program holds: the scan and detect --all say so.
    auto& held = Device(5, SimConfig('A', 2, 12));
    HeldPort holder(held.SlavePath());
    ASSERT_TRUE(holder.ok());
    const std::string why =
        "COM5 (" + held.SlavePath() + "): in use by another program " + ThisProcess();
    const ToolResult scan = Tool({"info"});
    EXPECT_EQ(scan.status, 3);
    EXPECT_NE(scan.err.find("no device found (scanned COM0 to COM253)\n  " + why),
              std::string::npos)
        << scan.err;
    const ToolResult all = Tool({"detect", "--all"});
    EXPECT_EQ(all.status, 3);
    EXPECT_NE(all.err.find("cannot open COM5: in use by another program " + ThisProcess()),
              std::string::npos)
        << all.err;

    // A COM map folder that is not there.
    ChildProcess missingDir;
    ASSERT_TRUE(missingDir.Start({QXTOOL_EXE, "info"}, {{"QX_COM_DIR", File("no-such-dir")}}));
    const ToolResult none = missingDir.Finish(60000);
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.err.find("QX_COM_DIR names " + File("no-such-dir") +
                            ", which is not an existing folder"),
              std::string::npos)
        << none.err;
}

// A port this user may not open: the tool names the device's group and how to join it. The
// tool runs as nobody, so the test must run as root.
TEST_F(Qxtool, PermissionDeniedNamesTheGroup) {
    const char* setpriv = "/usr/bin/setpriv";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    if (access(setpriv, X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "no group dialout on this machine";
    const gid_t dialoutGid = dialout->gr_gid;
    auto& sim = Device(5, SimConfig('A', 2, 12));
    const std::string tty = sim.SlavePath();
    // The way serial ports are set up: root's, group dialout.
    ASSERT_EQ(chown(tty.c_str(), 0, dialoutGid), 0);
    const struct {
        mode_t mode;
        std::string message;
    } cases[] = {
        {0660,
         "cannot open COM5: permission denied (" + tty +
             " belongs to group dialout, mode crw-rw----: join the group with `sudo usermod -aG "
             "dialout $USER`, then log in again)"},
        {0000,
         "cannot open COM5: permission denied (" + tty +
             " belongs to user root and group dialout, mode c---------, which lets neither you "
             "nor that group read and write it)"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(chmod(tty.c_str(), c.mode), 0);
        ChildProcess tool;
        ASSERT_TRUE(tool.Start({setpriv, "--reuid=65534", "--regid=65534", "--clear-groups",
                                QXTOOL_EXE, "--port", "COM5", "info"},
                               {{"QX_COM_DIR", comDir_}}));
        const ToolResult r = tool.Finish(60000);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    chmod(tty.c_str(), 0620);
    EXPECT_TRUE(sim.Transcript().empty());
}

TEST_F(Qxtool, FailureAsJsonNamesTheCode) {
    auto& sim = Device(4, SimConfig('A', 2, 12));
    qxtest::WriteBytes(File("four.bin"), std::string("\x01\x02\x03\x04", 4));
    std::string digit =
        IntelRecord(0, 0, {1, 2}) + IntelRecord(0, 2, {3, 4}) + IntelRecord(1, 0, {});
    digit[digit.find('\n') + 10] = 'G';  // line 2, column 10
    qxtest::WriteBytes(File("digit.hex"), digit);
    qxtest::WriteBytes(File("image.bin"), Bytes(RandomBytes(0x1000, 3)));
    const struct {
        const char* fault;
        std::vector<std::string> args;
        int status;
        const char* kind;
        int64_t code;  // 0: null
        std::function<void(const JsonValue&)> details;
    } cases[] = {
        {"HR:none",
         {"eeprom", "read", "0x10"},
         1,
         "device",
         -5,
         [](const JsonValue& e) {
             EXPECT_EQ(e["name"].text, "VR_E_COMM_READ_FAILURE");
             EXPECT_NE(e["during"].text.find("EEPROM"), std::string::npos);
         }},
        {nullptr,
         {"verify", File("four.bin")},
         1,
         "verify",
         0,
         [](const JsonValue& e) {
             EXPECT_EQ(e["difference"]["address"].integer(), 0);
             EXPECT_EQ(e["difference"]["device"].integer(), 0xFF);
             EXPECT_EQ(e["difference"]["file"].integer(), 1);
             EXPECT_EQ(e["difference"]["count"].integer(), 4);
         }},
        {nullptr,
         {"write", File("digit.hex")},
         2,
         "file",
         0,
         [this](const JsonValue& e) {
             EXPECT_EQ(e["file"].text, File("digit.hex"));
             EXPECT_EQ(e["line"].integer(), 2);
             EXPECT_EQ(e["column"].integer(), 10);
         }},
        {nullptr,
         {"read", File("x.bin"), "--bogus"},
         2,
         "usage",
         0,
         [](const JsonValue& e) { EXPECT_NE(e["message"].text.find("bogus"), std::string::npos); }},
        {"W:none@3",
         {"write", File("image.bin"), "--method", "block"},
         1,
         "device",
         -17,
         [](const JsonValue& e) {
             EXPECT_EQ(e["incomplete"]["address"].integer(), 0x200);
             EXPECT_EQ(e["incomplete"]["length"].integer(), 0xE00);
             EXPECT_EQ(e["incomplete"]["acknowledged"].integer(), 0x200);
         }},
        {"W:none@3",
         {"sync", File("image.bin"), "--method", "block"},
         1,
         "device",
         -17,
         [](const JsonValue& e) {
             // The write above left its first two packets: sync starts at the third page.
             EXPECT_EQ(e["incomplete"]["address"].integer(), 0x400);
             EXPECT_EQ(e["incomplete"]["length"].integer(), 0xC00);
             EXPECT_EQ(e["incomplete"]["acknowledged"].integer(), 0x200);
         }},
        {nullptr, {"--port", "COM9", "info"}, 3, "no-device", 0, [](const JsonValue&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        sim.ClearFaults();
        if (c.fault != nullptr) {
            ASSERT_TRUE(sim.AddFault(c.fault));
        }
        std::vector<std::string> args = {"--json"};
        if (c.args[0] != "--port") args.insert(args.end(), {"--port", "COM4"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = Tool(args);
        ASSERT_EQ(r.status, c.status) << r.err;
        // One object on stdout and nothing else.
        ASSERT_EQ(qxtest::Lines(r.out).size(), 1u) << r.out;
        const JsonValue v = JsonReader::Parse(r.out);
        const JsonValue& e = v["error"];
        EXPECT_EQ(e["status"].integer(), c.status);
        EXPECT_EQ(e["kind"].text, c.kind);
        EXPECT_FALSE(e["message"].text.empty());
        if (c.code != 0) {
            EXPECT_EQ(e["code"].integer(), c.code);
        } else {
            EXPECT_EQ(e["code"].kind, JsonValue::Kind::Null);
        }
        c.details(e);
    }
}

// ---------------------------------------------------------------- small things

TEST_F(Qxtool, SmallThingsACarefulUserNotices) {
    Device(4, SimConfig('A', 2, 12));
    qxtest::WriteBytes(File("text.bin"), IntelRecord(0, 0, {1, 2}) + IntelRecord(1, 0, {}));
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
        const char* file;  // written by the command, holding `fileHas`
        const char* fileHas;
        // clang-format off
    } cases[] = {
        {{"read", File("one.bin"), "--length", "1"}, 0, "read 1 byte at 0x000000-0x000000", "",
            nullptr, nullptr},
        {{"flashinfo"}, 1, "",
            "VR_E_REQUEST_NOT_SUPPORTED (-3): this model has no flash " "information", nullptr,
            nullptr},
        {{"tolliver", "mode"}, 1, "", "only the Tolliver has a mode", nullptr, nullptr},
        {{"write", File("text.bin")}, 0, "",
            "text.bin has a binary image's name but reads as " "Intel HEX text", nullptr, nullptr},
        {{"models"}, 0, "O   Kelby ", "", nullptr, nullptr},
        {{"read", File("r.s28"), "--length", "16"}, 0, "", "", "r.s28", "\nS2140000"},
        {{"read", File("r.s37"), "--length", "16"}, 0, "", "", "r.s37", "\nS315000000"},
        {{"read", File("r.s19"), "--length", "16"}, 0, "", "", "r.s19", "\nS1130000"},
    };
    // clang-format on
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--port", "COM4"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = Tool(args);
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.file != nullptr) {
            EXPECT_NE(qxtest::ReadText(File(c.file)).find(c.fileHas), std::string::npos)
                << qxtest::ReadText(File(c.file));
        }
    }
    // The model list is the library's table, one entry a row.
    const JsonValue v = JsonReader::Parse(Tool({"--json", "models"}).out);
    ASSERT_EQ(v["models"].items.size(), 24u);
    EXPECT_EQ(v["models"].items[6]["hardwareId"].text, "O");
    EXPECT_EQ(v["models"].items[6]["model"].text, "Kelby");
    EXPECT_EQ(v["models"].items[6]["bankCount"].integer(), 9);
}

// ---------------------------------------------------------------- log

TEST_F(Qxtool, LogFileHoldsTheDebugWindowLines) {
    Device(4, SimConfig('A', 2, 12));
    const ToolResult r = Tool({"--port", "COM4", "--log", File("log.txt"), "--verbose", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string log = qxtest::ReadText(File("log.txt"));
    EXPECT_EQ(log.find('\r'), std::string::npos);
    const auto lines = qxtest::Lines(log);
    auto has = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("QXVorrel: Firmware Version string requested"));
    EXPECT_TRUE(has("QXSerial: Write"));
    EXPECT_TRUE(has("QXSerial: Read"));
    EXPECT_TRUE(has("0000: 56 56 " + std::string(42, ' ') + "VV"));
    EXPECT_TRUE(has("QXVorrel: EEPROM Information requested"));
    EXPECT_TRUE(has("QXVorrel: COM Port closed."));
    // --verbose shows the same lines on stderr, in the same order.
    EXPECT_EQ(qxtest::Lines(r.err), lines);
}

}  // namespace
