// qxtool end to end: the built executable against simulated devices on pseudo-terminals
// registered as COM ports in a temporary QX_COM_DIR (simulators in this process, and qxsim
// processes where the test is about many ports).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qxtool/json_reader.h"
#include "qxtool/tool_fixture.h"
#include "qxtool/tool_process.h"
#include "sim.h"

namespace {

namespace fs = std::filesystem;
using qxtest::Bytes;
using qxtest::ChildProcess;
using qxtest::JsonReader;
using qxtest::JsonValue;
using qxtest::Model;
using qxtest::RandomBytes;
using qxtest::ToolResult;

std::string HexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// Records built here from the format descriptions, not with the tool's writer.
std::string IntelRecord(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(data.size()),
                                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                 static_cast<uint8_t>(type)};
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    for (uint8_t b : body) {
        sum += b;
        line += HexByte(b);
    }
    return line + HexByte(0x100 - (sum & 0xFF)) + "\n";
}

std::string SRecord(char type, unsigned address, unsigned addressBytes,
                    const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(addressBytes + data.size() + 1)};
    for (unsigned i = addressBytes; i-- > 0;)
        body.push_back(static_cast<uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = std::string("S") + type;
    for (uint8_t b : body) {
        sum += b;
        line += HexByte(b);
    }
    return line + HexByte(~sum) + "\n";
}

bool HaveSrecCat() {
    static const bool have = std::system("srec_cat -version >/dev/null 2>&1") == 0;
    return have;
}

// A port held the way another program of this library holds it: open, with an flock.
class HeldPort {
  public:
    explicit HeldPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~HeldPort() {
        if (fd_ >= 0) close(fd_);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

// How the tool names this process as a port's holder.
std::string ThisProcess() {
    std::string comm = qxtest::ReadText("/proc/self/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return "(" + comm + ", process " + std::to_string(getpid()) + ")";
}

// Requests that move or change memory, EEPROM, banks or speed: none of them may reach the
// device when qxtool refuses its input.
const std::set<std::string> kWork = {"R", "W", "w", "X", "ZR", "ZW", "E", "e", "HW", "S", "B", "8"};

class Qxtool : public qxtest::ToolFixture {
  protected:
    static std::vector<std::string> Commands(const qxsim::Simulator& sim) {
        std::vector<std::string> commands;
        for (const auto& entry : sim.Transcript()) commands.push_back(entry.command);
        return commands;
    }
    static void ExpectNoWork(const qxsim::Simulator& sim) {
        for (const auto& command : Commands(sim))
            EXPECT_EQ(kWork.count(command), 0u) << "request " << command << " reached the device";
    }
};

// ---------------------------------------------------------------- help and usage

TEST_F(Qxtool, HelpDescribesEveryCommandAndOption) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> mentions;
    } cases[] = {
        {{"--help"},
         {"ports",       "detect",     "info",    "read",      "write",
          "verify",      "eeprom",     "bank",    "speed",     "flashinfo",
          "serial",      "tolliver",   "models",  "--port",    "-P",
          "--log",       "--json",     "--quiet", "--verbose", "--baud",
          "Exit status", "QX_COM_DIR", "115200",  "Ctrl+C",    "VR_E_OPERATION_CANCELED"}},
        {{"read", "--help"},
         {"FILE", "--address", "--length", "--format", "--method", "--space", "GetActiveBankSize",
          "--offset", "--split", "--bank", "standard output", ".s28"}},
        {{"write", "--help"},
         {"FILE", "--address", "--format", "--method", "--alt", "--lower", "--plain", "--space",
          "both", "--no-verify", "--fill", "line number", "--offset", "--split", "--bank",
          "standard input", "*.img", "*.mot", "block path"}},
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
    for (const auto& c : cases) {
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        for (const auto& word : c.mentions)
            EXPECT_NE(r.out.find(word), std::string::npos) << c.args[0] << " help lacks " << word;
    }
}

TEST_F(Qxtool, UsageErrorsExitTwoAndSendNothing) {
    auto& sim = Device(4, Model('A', 2, 12));
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
             auto c = Model('O', 10, 15);
             c.serial[0] = 'Y';
             return c;
         }(),
         "Kelby", 1, 7, 0x104E, 0x80000, 0x10000, 9, 8, true},
        {Model('O', 10, 15), "Kelby", 1, 7, 0x104A, 0x80000, 0x10000, 9, 8, false},
        {Model('A', 2, 12), "Vorrel", 1, 5, 0x1153, 0x10000, 0x10000, 1, 8, false},
        {Model('R', 3, 5), "Sarnet", 1, 9, 0x1062, 0x100000, 0x100000, 1, 16, false},
        {Model('Q', 2, 0), "Tolliver", 1, 14, 0x102B, 0x80000, 0x10000, 8, 8, false},
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
            EXPECT_TRUE(v.has(key)) << c.model << " lacks " << key;
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
    Device(2, Model('A', 2, 12));
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
        auto config = Model('R', 3, 5);
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
    auto& sim = Device(4, Model('A', 2, 12));
    Device(6, Model('d', 1, 0));  // answers, but no model
    auto& silent = Device(7, Model('A', 2, 12));
    ASSERT_TRUE(silent.AddFault("VV:none"));
    auto& held = Device(5, Model('A', 2, 12));
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
    } cases[] = {
        {{"--port", "COM4", "info"}, 0, ""},
        {{"-P", "COM4", "info"}, 0, ""},
        {{"--port", "COM4", "read", File("out.bin")}, 1, "VR_E_COMM_READ_TIMEOUT (-17)"},
        {{"--port", "COM4", "read", File("out.bin"), "--bogus"}, 2, "bogus"},
        {{"--port", "COM9", "info"}, 3, "COM9"},
        {{"--port", "COM6", "info"}, 3, "not known"},
        {{"--port", File("no-such-tty"), "info"}, 3, "no-such-tty"},
        // Why a port cannot be used, as the system says it.
        {{"--port", "COM9", "info"},
         3,
         "cannot open COM9: no such port (nothing at " + comDir_ + "/COM9)"},
        {{"--port", File("no-such-tty"), "info"},
         3,
         "cannot open " + File("no-such-tty") + ": no such port (nothing at " +
             File("no-such-tty") + ")"},
        {{"--port", "COM8", "info"},
         3,
         "cannot open COM8: no such port (" + comDir_ +
             "/COM8 links to /nonexistent/tty, which does not exist)"},
        {{"--port", "COM5", "info"},
         3,
         "cannot open COM5: in use by another program " + ThisProcess()},
        {{"--port", held.SlavePath(), "info"},
         3,
         "cannot open " + held.SlavePath() + ": in use by another program " + ThisProcess()},
        {{"--port", File("plain.bin"), "info"},
         3,
         "cannot open " + File("plain.bin") + ": not a serial device (" + File("plain.bin") +
             " is a regular file)"},
        {{"--port", "COM10", "info"}, 3, "cannot open COM10: not a serial device"},
        {{"--port", dir_.path.string(), "info"}, 3, "not a serial device"},
        // Opened, and nothing answered.
        {{"--port", "COM7", "info"}, 3, "no device answered on COM7"},
    };
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
    auto& held = Device(5, Model('A', 2, 12));
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
    auto& sim = Device(5, Model('A', 2, 12));
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
    auto& sim = Device(4, Model('A', 2, 12));
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
        RoundTrip{"VorrelBinaryBulk", Model('A', 2, 12), ".bin", 0x1000, 0x3000, true, false},
        RoundTrip{"VorrelBinaryBlock", Model('A', 2, 11), ".bin", 0x0100, 0x0900, false, false},
        RoundTrip{"KelbyEncryptedIntelHexBlock", Encrypted(Model('O', 10, 15)), ".hex", 0x0010,
                  0x02F0, false, false},
        RoundTrip{"KelbyEncryptedIntelHexBulk", Encrypted(Model('O', 10, 15)), ".hex", 0x4000,
                  0x2000, true, false},
        RoundTrip{"SarnetSRecordBulkBothSpaces", Model('R', 3, 5), ".s19", 0x12000, 0x1000, true,
                  true},
        RoundTrip{"TolliverSRecordBlock", Model('Q', 2, 0), ".s19", 0x0202, 0x0400, false, false}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

TEST_F(Qxtool, WriteFillsHolesAndReadDefaultsToTheActiveBank) {
    auto& sim = Device(4, Model('A', 2, 12));
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
    auto& sim = Device(4, Model('A', 2, 12));
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
    auto& sim = Device(4, Model('A', 2, 12));
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
    } cases[] = {{Model('O', 10, 15), "HW", "HR"}, {Model('1', 1, 34), "e", "E"}};
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
    auto& kelby = Device(4, Model('O', 10, 15));
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
    auto& tolliver = Device(5, Model('Q', 2, 0));
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
    auto& vorrel = Device(6, Model('A', 2, 12));
    vorrel.ClearTranscript();
    r = Tool({"--port", "COM6", "bank", "get"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("VR_E_REQUEST_NOT_SUPPORTED (-3): this model has no banks"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Count(vorrel, "B"), 0u);
}

TEST_F(Qxtool, SpeedChangesTheLinkForOneCommand) {
    auto& sim = Device(4, Model('A', 2, 12));
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
    auto config = Model('N', 1, 0);  // ORVA: flash information
    auto& orva = Device(4, config);
    ToolResult r = Tool({"--port", "COM4", "--json", "flashinfo"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonReader::Parse(r.out)["flashInfo"].text, "0102030405060708090A0B0C0D0E0F10");
    (void)orva;
    r = Tool({"--port", "COM4", "serial"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"nQXSIM001\""), std::string::npos) << r.out;

    auto tolliverConfig = Model('Q', 2, 0);
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
    auto config = Model('A', 2, 12);
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
    } cases[] = {
        {"block",
         Model('A', 2, 12),
         "W:none@5",
         {"--method", "block"},
         qxsim::kSpace2,
         0x400,
         "qxtool: 0x000000-0x0003FF was written and acknowledged; 0x000400-0x00FFFF (64512 "
         "bytes) may be incomplete"},
        {"bulk",
         Model('O', 10, 15),
         "ZW:none@3",
         {"--method", "bulk"},
         qxsim::kSpace2,
         0x2000,
         "qxtool: 0x000000-0x001FFF was written and acknowledged; 0x002000-0x00FFFF (57344 "
         "bytes) may be incomplete"},
        {"first packet",
         Model('O', 10, 15),
         "ZW:refuse@1",
         {"--method", "bulk"},
         qxsim::kSpace2,
         0,
         "qxtool: 0x000000-0x00FFFF (65536 bytes) may be incomplete"},
        {"both spaces",
         Model('R', 2, 0),
         "ZW:none@18",
         {"--method", "bulk"},
         qxsim::kSpace1,
         0x1000,
         "qxtool: in space 1 (space 2 is complete), 0x000000-0x000FFF was written and "
         "acknowledged; 0x001000-0x00FFFF (61440 bytes) may be incomplete"},
        // The note is the error, not progress: --quiet shows it too.
        {"quiet",
         Model('A', 2, 12),
         "W:none@5",
         {"--method", "block", "-q"},
         qxsim::kSpace2,
         0x400,
         "qxtool: 0x000000-0x0003FF was written and acknowledged; 0x000400-0x00FFFF (64512 "
         "bytes) may be incomplete"},
        // Bulk refused, then the block path fails too: the note counts the block packets.
        {"after the fallback",
         Model('O', 10, 15),
         "ZW:refuse",
         {},
         qxsim::kSpace2,
         0x600,
         "qxtool: 0x000000-0x0005FF was written and acknowledged; 0x000600-0x00FFFF (64000 "
         "bytes) may be incomplete"},
    };
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
    auto& kelby = Device(4, Model('O', 10, 15));
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
        auto config = Model('O', 10, 15);
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
    auto& sim = Device(4, Model('O', 10, 15));
    ASSERT_TRUE(sim.AddFault("HR:refuse"));  // no EEPROM information record
    Device(5, Model('O', 10, 15));
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
    EXPECT_FALSE(JsonReader::Parse(Tool({"--port", "COM5", "--json", "info"}).out).has("warnings"));
}

// ---------------------------------------------------------------- pipes

TEST_F(Qxtool, StandardStreamsCarryTheImage) {
    auto& sim = Device(4, Model('A', 2, 12));
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
    } cases[] = {
        {"BIOS linked at 0xF0000 on a 64 KiB device",
         Model('A', 2, 12),
         {"write", File("bios.hex"), "--offset", "-0xF0000"},
         0,
         "",
         0,
         rom},
        {"... without --offset",
         Model('A', 2, 12),
         {"write", File("bios.hex")},
         2,
         "lies past the end of memory (0x10000 bytes)",
         0,
         {}},
        {"... on a banked model, with the --offset it needs",
         Model('O', 10, 15),
         {"write", File("bios.hex")},
         2,
         "line 2: the image (0x0F0000-0x0FFFFF) lies past the end of the active bank (bank 0: "
         "0x10000 bytes); --offset=-0xF0000 moves the image to address 0",
         0,
         {}},
        {"odd length on a 16-bit model",
         Model('R', 3, 5),
         {"write", File("odd.bin")},
         2,
         "has an odd length (3 bytes): the Sarnet moves 16-bit words",
         0,
         {}},
        {"... padded with --fill",
         Model('R', 3, 5),
         {"write", File("odd.bin"), "--fill", "0"},
         0,
         "",
         0,
         {'a', 'b', 'c', 0}},
        {"odd address padded",
         Model('R', 3, 5),
         {"write", File("odd.bin"), "--address", "0x101", "--fill", "0xEE"},
         0,
         "",
         0x100,
         {0xEE, 'a', 'b', 'c'}},
    };
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
    auto config = Model('R', 3, 5);
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

// ---------------------------------------------------------------- the block path

// A device that refuses ZW: write and sync pause and go on the block path, as the library's
// WriteBlock does, and say so.
TEST_F(Qxtool, RefusedBulkWritesGoOnOnTheBlockPath) {
    auto& sim = Device(4, Model('O', 10, 15));
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

// ---------------------------------------------------------------- small things

TEST_F(Qxtool, SmallThingsACarefulUserNotices) {
    Device(4, Model('A', 2, 12));
    qxtest::WriteBytes(File("text.bin"), IntelRecord(0, 0, {1, 2}) + IntelRecord(1, 0, {}));
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
        const char* file;  // written by the command, holding `fileHas`
        const char* fileHas;
    } cases[] = {
        {{"read", File("one.bin"), "--length", "1"},
         0,
         "read 1 byte at 0x000000-0x000000",
         "",
         nullptr,
         nullptr},
        {{"flashinfo"},
         1,
         "",
         "VR_E_REQUEST_NOT_SUPPORTED (-3): this model has no flash "
         "information",
         nullptr,
         nullptr},
        {{"tolliver", "mode"}, 1, "", "only the Tolliver has a mode", nullptr, nullptr},
        {{"write", File("text.bin")},
         0,
         "",
         "text.bin has a binary image's name but reads as "
         "Intel HEX text",
         nullptr,
         nullptr},
        {{"models"}, 0, "O   Kelby ", "", nullptr, nullptr},
        {{"read", File("r.s28"), "--length", "16"}, 0, "", "", "r.s28", "\nS2140000"},
        {{"read", File("r.s37"), "--length", "16"}, 0, "", "", "r.s37", "\nS315000000"},
        {{"read", File("r.s19"), "--length", "16"}, 0, "", "", "r.s19", "\nS1130000"},
    };
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
    Device(4, Model('A', 2, 12));
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

// ---------------------------------------------------------------- ports and detect --all

TEST_F(Qxtool, PortsShowsTheComMap) {
    auto& sim = Device(3, Model('A', 2, 12));
    fs::create_symlink("/nonexistent/tty", fs::path(comDir_) / "COM7");
    ToolResult r = Tool({"ports"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("COM3"), std::string::npos);
    EXPECT_NE(r.out.find(sim.SlavePath()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(target missing)"), std::string::npos) << r.out;
    r = Tool({"--json", "ports"});
    const JsonValue v = JsonReader::Parse(r.out);
    EXPECT_EQ(v["comDir"].text, comDir_);
    std::vector<std::string> names;
    for (const auto& port : v["ports"].items)
        if (port["com"].kind == JsonValue::Kind::Number) names.push_back(port["name"].text);
    EXPECT_EQ(names, (std::vector<std::string>{"COM3", "COM7"}));
    EXPECT_TRUE(v["ports"].items[0]["present"].boolean);
    EXPECT_FALSE(v["ports"].items[1]["present"].boolean);
    EXPECT_TRUE(sim.Transcript().empty());
}

// Writes one sysfs attribute file.
void Attribute(const fs::path& folder, const char* name, const std::string& value) {
    fs::create_directories(folder);
    qxtest::WriteBytes((folder / name).string(), value + "\n");
}

// What tells ports apart: the USB adapter behind each (from a sysfs tree built here), its
// stable name, and whether it opens now; the same in text and as JSON.
TEST_F(Qxtool, PortsTellPortsApart) {
    auto& adapter = Device(3, Model('A', 2, 12));
    auto& busy = Device(4, Model('A', 2, 12));
    HeldPort holder(busy.SlavePath());
    ASSERT_TRUE(holder.ok());
    fs::create_symlink("/nonexistent/tty", fs::path(comDir_) / "COM7");
    qxtest::WriteBytes(File("plain.bin"), "not a tty");
    fs::create_symlink(File("plain.bin"), fs::path(comDir_) / "COM8");

    // An FTDI-like adapter on USB port 1-2, behind the root hub (whose ids must not be
    // taken), whose tty is COM3's pseudo-terminal.
    const fs::path sys = File("sys");
    const fs::path hub = sys / "devices/pci0000:00/0000:00:14.0/usb1";
    Attribute(hub, "idVendor", "1d6b");
    Attribute(hub, "idProduct", "0002");
    Attribute(hub / "1-2", "idVendor", "0403");
    Attribute(hub / "1-2", "idProduct", "6001");
    Attribute(hub / "1-2", "manufacturer", "QX Labs");
    Attribute(hub / "1-2", "product", "Fake UART");
    Attribute(hub / "1-2", "serial", "QX123");
    Attribute(hub / "1-2/1-2:1.0", "bInterfaceNumber", "01");
    fs::create_directories(hub / "1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0");
    struct stat tty {};
    ASSERT_EQ(stat(adapter.SlavePath().c_str(), &tty), 0);
    fs::create_directories(sys / "dev/char");
    fs::create_symlink(
        "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0",
        sys / "dev/char" /
            (std::to_string(major(tty.st_rdev)) + ":" + std::to_string(minor(tty.st_rdev))));
    // Its device node and stable name, and a node no COM name reaches.
    const fs::path dev = File("dev");
    fs::create_directories(dev / "serial/by-id");
    fs::create_symlink(adapter.SlavePath(), dev / "ttyUSB0");
    const std::string stable =
        (dev / "serial/by-id/usb-QX_Labs_Fake_UART_QX123-if01-port0").string();
    fs::create_symlink("../../ttyUSB0", stable);
    fs::create_symlink("/dev/null", dev / "ttyACM0");

    auto run = [&](std::vector<std::string> args, const std::string& comDir) {
        args.insert(args.begin(), QXTOOL_EXE);
        ChildProcess tool;
        EXPECT_TRUE(tool.Start(args, {{"QX_COM_DIR", comDir},
                                      {"QX_SYSFS_ROOT", sys.string()},
                                      {"QX_DEV_ROOT", dev.string()}}));
        return tool.Finish(60000);
    };

    const ToolResult json = run({"--json", "ports"}, comDir_);
    ASSERT_EQ(json.status, 0) << json.err;
    const JsonValue v = JsonReader::Parse(json.out);
    EXPECT_EQ(v["warnings"].items.size(), 0u);
    const struct {
        std::string name;
        int64_t com;  // -1: none
        std::string path;
        bool present;
        int opens;  // 1, 0, -1: not tried
        std::string problem;
        std::string reason;
        bool usb;
        std::vector<std::string> stableNames;
    } expected[] = {
        {"COM3", 3, adapter.SlavePath(), true, 1, "", "", true, {stable}},
        {"COM4",
         4,
         busy.SlavePath(),
         true,
         0,
         "in-use",
         "in use by another program " + ThisProcess(),
         false,
         {}},
        {"COM7", 7, "/nonexistent/tty", false, -1, "", "", false, {}},
        {"COM8",
         8,
         File("plain.bin"),
         true,
         0,
         "not-serial",
         "not a serial device (" + File("plain.bin") + " is a regular file)",
         false,
         {}},
        {(dev / "ttyACM0").string(),
         -1,
         (dev / "ttyACM0").string(),
         true,
         0,
         "not-serial",
         "not a serial device (/dev/null is a device that is not a terminal)",
         false,
         {}},
    };
    const auto& ports = v["ports"].items;
    ASSERT_EQ(ports.size(), std::size(expected)) << json.out;
    for (size_t i = 0; i < ports.size(); ++i) {
        const auto& port = ports[i];
        const auto& e = expected[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(port["name"].text, e.name);
        if (e.com >= 0) {
            EXPECT_EQ(port["com"].integer(), e.com);
        } else {
            EXPECT_EQ(port["com"].kind, JsonValue::Kind::Null);
        }
        EXPECT_EQ(port["path"].text, e.path);
        EXPECT_EQ(port["present"].boolean, e.present);
        if (e.opens < 0) {
            EXPECT_EQ(port["opens"].kind, JsonValue::Kind::Null);
        } else {
            EXPECT_EQ(port["opens"].kind, JsonValue::Kind::Bool);
            EXPECT_EQ(port["opens"].boolean, e.opens == 1);
        }
        if (e.problem.empty()) {
            EXPECT_EQ(port["problem"].kind, JsonValue::Kind::Null);
            EXPECT_EQ(port["reason"].kind, JsonValue::Kind::Null);
        } else {
            EXPECT_EQ(port["problem"].text, e.problem);
            EXPECT_EQ(port["reason"].text, e.reason);
        }
        EXPECT_EQ(port["usb"].kind, e.usb ? JsonValue::Kind::Object : JsonValue::Kind::Null);
        std::vector<std::string> names;
        for (const auto& name : port["stableNames"].items) names.push_back(name.text);
        EXPECT_EQ(names, e.stableNames);
        EXPECT_EQ(port["description"].kind, JsonValue::Kind::Null);
        EXPECT_EQ(port["hardwareId"].kind, JsonValue::Kind::Null);
    }
    const JsonValue& usb = ports[0]["usb"];
    EXPECT_EQ(usb["vendorId"].text, "0403");
    EXPECT_EQ(usb["productId"].text, "6001");
    EXPECT_EQ(usb["manufacturer"].text, "QX Labs");
    EXPECT_EQ(usb["product"].text, "Fake UART");
    EXPECT_EQ(usb["serialNumber"].text, "QX123");
    EXPECT_EQ(usb["interface"].integer(), 1);
    EXPECT_EQ(usb["location"].text, "1-2");

    const ToolResult text = run({"ports"}, comDir_);
    ASSERT_EQ(text.status, 0) << text.err;
    const auto lines = qxtest::Lines(text.out);
    const std::vector<std::string> wanted = {
        "QX_COM_DIR, opens",
        "         USB 0403:6001 QX Labs Fake UART, serial QX123, interface 1, at USB port 1-2",
        "         stable name " + stable,
        "QX_COM_DIR, in use by another program " + ThisProcess(),
        "QX_COM_DIR (target missing)",
    };
    size_t next = 0;  // in this order
    for (const auto& line : lines)
        if (next < wanted.size() && line.find(wanted[next]) != std::string::npos) ++next;
    EXPECT_EQ(next, wanted.size())
        << "missing: " << wanted[std::min(next, wanted.size() - 1)] << "\n"
        << text.out;

    // The stable name opens the device.
    const ToolResult info = run({"--port", stable, "--json", "info"}, comDir_);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(JsonReader::Parse(info.out)["port"].text, stable);
    EXPECT_EQ(JsonReader::Parse(info.out)["model"].text, "Vorrel");

    // A COM map folder that is not there.
    const ToolResult warned = run({"--json", "ports"}, File("no-such-dir"));
    EXPECT_EQ(warned.status, 0) << warned.err;
    const std::string warning =
        "QX_COM_DIR names " + File("no-such-dir") + ", which is not an existing folder";
    const JsonValue w = JsonReader::Parse(warned.out);
    ASSERT_EQ(w["warnings"].items.size(), 1u);
    EXPECT_NE(w["warnings"].items[0].text.find(warning), std::string::npos);
    EXPECT_NE(warned.err.find("qxtool: warning: " + warning), std::string::npos) << warned.err;
    EXPECT_TRUE(busy.Transcript().empty());
}

TEST_F(Qxtool, DetectAllProbesSilentPortsInTheTimeOfOne) {
    constexpr int kSilent = 8;
    std::vector<std::unique_ptr<ChildProcess>> silent;
    for (int i = 0; i < kSilent; ++i) {
        auto process = std::make_unique<ChildProcess>();
        ASSERT_TRUE(process->Start({QXSIM_EXE, "--model", "A", "--fault", "VV:none", "--com",
                                    std::to_string(10 + i), "--com-dir", comDir_}));
        ASSERT_TRUE(process->WaitFor(
            [](const std::string& out, const std::string&) {
                return out.find("qxsim: ready") != std::string::npos;
            },
            10000));
        silent.push_back(std::move(process));
    }
    Device(30, Model('A', 2, 12));

    const ToolResult one = Tool({"--port", "COM10", "detect"});
    EXPECT_EQ(one.status, 3) << one.err;
    const ToolResult all = Tool({"--json", "detect", "--all"});
    ASSERT_EQ(all.status, 0) << all.err;
    const JsonValue v = JsonReader::Parse(all.out);
    ASSERT_EQ(v["devices"].items.size(), 1u);
    EXPECT_EQ(v["devices"].items[0]["port"].text, "COM30");
    EXPECT_EQ(v["devices"].items[0]["model"].text, "Vorrel");
    EXPECT_EQ(v["probed"].integer(), kSilent + 1);
    // One after the other they would take kSilent probes; at once about one.
    EXPECT_LT(all.seconds, one.seconds * 2.5) << "one probe " << one.seconds << " s";
}

}  // namespace
