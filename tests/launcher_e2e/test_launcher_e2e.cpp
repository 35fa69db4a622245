// The launcher's whole start-up road as a process: a simulated device linked as COM3, the
// stand-in user-interface library driven by a script, the settings file, the lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "launcher_run.h"
#include "sim.h"

namespace {

namespace fs = std::filesystem;
using qxtest::Field;
using qxtest::Lines;
using qxtest::ReadBytes;
using qxtest::ReadText;
using qxtest::RunResult;
using Bytes = std::vector<uint8_t>;

const std::string kProductLine = "Quillon Software v1.83";
const std::string kSearching = "Searching for Hardware...";
const std::string kNoBurning = "Hardware does not support burning!";
constexpr uint32_t kBlock = 552;

Bytes ImagePattern() {
    Bytes image(0x10000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    return image;
}

class LauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(box.Root().empty());
        box.Install(QUILLON_EXE, TARNWELL_DLL);
    }

    // A simulated device on a pseudo-terminal, linked as COM3 in the sandbox.
    void StartDevice(char letter, uint8_t major, uint8_t minor, char interfaceLetter) {
        qxsim::Config config;
        config.hardwareId = letter;
        config.firmwareMajor = major;
        config.firmwareMinor = minor;
        config.interfaceLetter = interfaceLetter;
        config.image = ImagePattern();
        sim = std::make_unique<qxsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;
        ASSERT_TRUE(sim->LinkAsCom(3, box.ComDir().string(), &error)) << error;
    }

    size_t CountRequests(const std::string& command) const {
        size_t n = 0;
        for (const auto& e : sim->Transcript()) n += e.command == command ? 1 : 0;
        return n;
    }

    fs::path Path(const std::string& name) const { return box.Root() / name; }

    qxtest::Sandbox box;
    std::unique_ptr<qxsim::Simulator> sim;
};

void ExpectCleanExit(const RunResult& r) {
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(LauncherTest, FoundDevicesGetTheirVerdictAndTheFastLinkWhenDue) {
    struct Case {
        const char* name;
        char letter;
        uint8_t major, minor;
        char interfaceLetter;
        const char* model;
        const char* capabilities;
        bool warned;    // "Hardware does not support burning!"
        bool fastLink;  // SetUSBBaud to 921600
    };
    const Case cases[] = {
        {"Kelby over USB", 'O', 10, 15, 'U', "Kelby v10.15", "0x0000104A", true, true},
        {"Kelby over serial", 'O', 10, 15, 'S', "Kelby v10.15", "0x0000104A", true, false},
        {"Vorrel over USB", 'A', 2, 5, 'U', "Vorrel v2.5", "0x00001113", true, true},
        {"Vorrel over bridge", 'A', 2, 5, 'B', "Vorrel v2.5", "0x00001113", true, false},
        {"Quillon over serial", 'F', 1, 4, 'S', "Quillon v1.4", "0x00000001", false, true},
        {"Fennick over serial", 'J', 3, 0, 'S', "Fennick v3.0", "0x00000001", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartDevice(c.letter, c.major, c.minor, c.interfaceLetter);
        const auto script = box.Script("script", {"report " + Path("report").string(),
                                                  "read 0 256 " + Path("image").string()});
        fs::remove(Path("report"));
        fs::remove(Path("image"));

        const RunResult r = box.Run(script);
        ExpectCleanExit(r);
        EXPECT_EQ(r.err, "");

        std::vector<std::string> splash = {kProductLine, kSearching,
                                           std::string("Found: ") + c.model};
        if (c.warned) splash.push_back(kNoBurning);
        const std::vector<std::string> out = Lines(r.out);
        ASSERT_GE(out.size(), splash.size()) << r.out;
        EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + splash.size()), splash);

        const std::string report = ReadText(Path("report"));
        EXPECT_EQ(Field(report, "title"), "Varnex Quillon Interface");
        EXPECT_EQ(Field(report, "arguments"), "0 0 1");
        EXPECT_EQ(Field(report, "device"), c.model);
        EXPECT_EQ(Field(report, "port"), "COM3");
        EXPECT_EQ(Field(report, "baud"), c.fastLink ? "921600" : "115200");
        EXPECT_EQ(Field(report, "capabilities").substr(0, 10), c.capabilities);

        // The device agreed to the new speed once, and the stand-in's reads ran at it.
        EXPECT_EQ(CountRequests("S"), c.fastLink ? 1u : 0u);
        size_t reads = 0;
        for (const auto& e : sim->Transcript()) {
            if (e.command != "R") continue;
            ++reads;
            EXPECT_EQ(e.baud, c.fastLink ? 921600u : 115200u);
        }
        EXPECT_GE(reads, 2u) << "the report's sample and the scripted read";
        const Bytes image = ImagePattern();
        EXPECT_EQ(ReadBytes(Path("image")), Bytes(image.begin(), image.begin() + 256));
        sim.reset();
    }
}

TEST_F(LauncherTest, WithoutHardwareTheLineTurnsRedAndTheLibraryStillRuns) {
    const auto script = box.Script("script", {"report " + Path("report").string()});
    const RunResult r = box.Run(script, {{"CLICOLOR_FORCE", "1"}});
    ExpectCleanExit(r);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kProductLine + "\n" + kSearching + "\n\033[31mNo Hardware Found\033[0m\n");
    const std::string report = ReadText(Path("report"));
    EXPECT_EQ(Field(report, "device"), "none");
    EXPECT_EQ(Field(report, "title"), "Varnex Quillon Interface");
    EXPECT_EQ(fs::file_size(box.SettingsFile()), kBlock);
}

TEST_F(LauncherTest, AnUnlistedDeviceCountsAsNoHardware) {
    StartDevice('?', 1, 0, 'U');
    const auto script = box.Script("script", {"report " + Path("report").string()});
    const RunResult r = box.Run(script);
    ExpectCleanExit(r);
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{kProductLine, kSearching, "No Hardware Found"}));
    EXPECT_EQ(Field(ReadText(Path("report")), "device"), "none");
    EXPECT_EQ(CountRequests("S"), 0u);
}

TEST_F(LauncherTest, TheFirstRunCreatesTheSettingsFileAndLaterRunsKeepIt) {
    StartDevice('O', 10, 15, 'U');
    ASSERT_FALSE(fs::exists(box.SettingsFolder()));

    const auto first =
        box.Script("first", {"report " + Path("report1").string(), "set-settings 100 DEADBEEF",
                             "save-settings " + Path("left1").string()});
    ExpectCleanExit(box.Run(first));
    EXPECT_EQ(Field(ReadText(Path("report1")), "settings"), "fresh, layout 1, run 1")
        << "an all-zero block was handed over";
    const Bytes left1 = ReadBytes(Path("left1"));
    ASSERT_EQ(left1.size(), kBlock);
    EXPECT_EQ(ReadBytes(box.SettingsFile()), left1);
    EXPECT_EQ(Bytes(left1.begin() + 100, left1.begin() + 104), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

    const auto second = box.Script("second", {"report " + Path("report2").string(),
                                              "save-settings " + Path("left2").string()});
    ExpectCleanExit(box.Run(second));
    EXPECT_EQ(Field(ReadText(Path("report2")), "settings"), "kept, layout 1, run 2");
    const Bytes left2 = ReadBytes(Path("left2"));
    EXPECT_EQ(Bytes(left2.begin() + 16, left2.end()), Bytes(left1.begin() + 16, left1.end()))
        << "the block came back as it was left";
    EXPECT_EQ(ReadBytes(box.SettingsFile()), left2);
    EXPECT_FALSE(fs::exists(box.SettingsFile().string() + ".tmp"));
}

TEST_F(LauncherTest, AFileOfAnotherSizeIsEmptiedAndRewrittenAsTheBlock) {
    struct Case {
        size_t size;
        const char* sizeDuringCall;
        const char* state;
    };
    // 552 bytes that are not the stand-in's layout are read all the same (not emptied).
    const Case cases[] = {
        {551, "0", "fresh"}, {553, "0", "fresh"}, {552, "552", "unrecognised, started afresh"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        fs::create_directories(box.SettingsFolder());
        qxtest::WriteBytes(box.SettingsFile(), Bytes(c.size, 0xAB));
        const auto script = box.Script(
            "script", {"stat " + box.SettingsFile().string() + " " + Path("size").string(),
                       "report " + Path("report").string(), "set-settings 200 0102",
                       "save-settings " + Path("left").string()});
        ExpectCleanExit(box.Run(script));
        EXPECT_EQ(ReadText(Path("size")), std::string(c.sizeDuringCall) + "\n");
        EXPECT_EQ(Field(ReadText(Path("report")), "settings"),
                  std::string(c.state) + ", layout 1, run 1");
        const Bytes left = ReadBytes(Path("left"));
        ASSERT_EQ(left.size(), kBlock);
        EXPECT_EQ(left[200], 0x01);
        EXPECT_EQ(left[300], 0x00) << "the rest of the block started as zeros";
        EXPECT_EQ(ReadBytes(box.SettingsFile()), left);
    }
}

TEST_F(LauncherTest, ASecondCopySearchesThenFindsTheFirstOpen) {
    StartDevice('O', 10, 15, 'U');
    const fs::path release = Path("release");
    const auto holder = box.Script("holder", {"report " + Path("report1").string(),
                                              "wait-for " + release.string() + " 30000"});
    qxtest::LauncherProcess first;
    ASSERT_TRUE(first.Start(box.Exe(), box.Cwd(), box.Env(holder)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(Path("report1")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(Path("report1"))) << "the first copy never reached the library";

    const auto second = box.Script("second", {"report " + Path("report2").string()});
    const RunResult r = box.Run(second, {}, /*merge=*/true);
    ExpectCleanExit(r);
    // It showed the splash and searched (COM3 is the first copy's) before giving up.
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{kProductLine, kSearching, "No Hardware Found",
                                        "Software Initialization Error: Quillon is already open"}));
    EXPECT_TRUE(first.Running());
    EXPECT_FALSE(fs::exists(Path("report2")));
    EXPECT_EQ(fs::file_size(box.SettingsFile()), 0u) << "only the first copy has it, emptied";

    qxtest::WriteBytes(release, {});
    const RunResult firstResult = first.Wait(30000);
    ExpectCleanExit(firstResult);
    EXPECT_EQ(fs::file_size(box.SettingsFile()), kBlock);
    EXPECT_TRUE(qxtest::LockIsFree(box.LockFile()));
}

TEST_F(LauncherTest, StartUpFailuresWarnAndEndCleanly) {
    struct Case {
        const char* name;
        const char* library;  // installed as bin/Tarnwell.dll ("" none)
        void (*prepare)(const qxtest::Sandbox& box);
        const char* message;
    };
    const Case cases[] = {
        {"library missing beside the executable", "",
         [](const qxtest::Sandbox& box) {
             // A library in the current folder must not be taken instead.
             fs::copy_file(TARNWELL_DLL, box.Cwd() / "Tarnwell.dll",
                           fs::copy_options::overwrite_existing);
         },
         "Init Error: Could not load Tarnwell.dll. Make sure it is with the .exe.\n"},
        {"library without the entry", NOENTRY_DLL, [](const qxtest::Sandbox&) {},
         "Init Error: Could not load UI Procedure. Make sure Tarnwell.dll is valid.\n"},
        {"settings file is a folder", TARNWELL_DLL,
         [](const qxtest::Sandbox& box) { fs::create_directories(box.SettingsFile()); },
         "Error!: Could not open settings file.\n"},
        {"settings folder is a file", TARNWELL_DLL,
         [](const qxtest::Sandbox& box) {
             fs::create_directories(box.DataDir());
             qxtest::WriteBytes(box.SettingsFolder(), {1, 2, 3});
         },
         "Error!: Could not open settings file.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(box.DataDir());
        fs::create_directories(box.DataDir());
        fs::remove_all(box.LockDir());
        fs::create_directories(box.LockDir());
        box.Install(QUILLON_EXE, c.library);
        c.prepare(box);
        const auto script = box.Script("script", {"report " + Path("report").string()});
        fs::remove(Path("report"));
        std::vector<fs::path> dataBefore;
        for (const auto& e : fs::recursive_directory_iterator(box.DataDir()))
            dataBefore.push_back(e.path());

        const RunResult r = box.Run(script, {{"LD_LIBRARY_PATH", box.Cwd().string()}});
        ExpectCleanExit(r);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(Lines(r.out),
                  (std::vector<std::string>{kProductLine, kSearching, "No Hardware Found"}));
        EXPECT_FALSE(fs::exists(Path("report"))) << "the library must not have run";
        // The guard was taken, and is free again.
        EXPECT_TRUE(fs::exists(box.LockFile()));
        EXPECT_TRUE(qxtest::LockIsFree(box.LockFile()));
        std::vector<fs::path> dataAfter;
        for (const auto& e : fs::recursive_directory_iterator(box.DataDir()))
            dataAfter.push_back(e.path());
        EXPECT_EQ(dataAfter, dataBefore) << "nothing written";
        if (fs::is_regular_file(box.SettingsFolder())) {
            EXPECT_EQ(ReadBytes(box.SettingsFolder()), (Bytes{1, 2, 3}));
        }
    }
}

}  // namespace
