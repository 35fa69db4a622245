// qxtool end to end: the ports listing and detect --all.
#include <gtest/gtest.h>

#include "qxtool/qxtool_e2e_support.h"

namespace {

using namespace qxtest;
using namespace qxtest::e2e;

// ---------------------------------------------------------------- ports and detect --all

TEST_F(Qxtool, PortsShowsTheComMap) {
    auto& sim = Device(3, SimConfig('A', 2, 12));
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
    auto& adapter = Device(3, SimConfig('A', 2, 12));
    auto& busy = Device(4, SimConfig('A', 2, 12));
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
        // clang-format off
    } expected[] = {
        {"COM3", 3, adapter.SlavePath(), true, 1, "", "", true, {stable}},
        {"COM4", 4, busy.SlavePath(), true, 0, "in-use",
            "in use by another program " + ThisProcess(), false, {}},
        {"COM7", 7, "/nonexistent/tty", false, -1, "", "", false, {}},
        {"COM8", 8, File("plain.bin"), true, 0, "not-serial",
            "not a serial device (" + File("plain.bin") + " is a regular file)", false, {}},
        {(dev / "ttyACM0").string(), -1, (dev / "ttyACM0").string(), true, 0, "not-serial",
            "not a serial device (/dev/null is a device that is not a terminal)", false, {}},
    };
    // clang-format on
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
    Device(30, SimConfig('A', 2, 12));

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
