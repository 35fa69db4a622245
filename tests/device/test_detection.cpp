// The port scan against simulated devices registered as COM ports: where it starts, what it
// remembers, the three line speeds, the wrap, the text it returns, and what it costs.
//
// A test with one device runs everywhere (under Wine the one qxsim process, its link moved to
// the COM number asked for, every other number absent). The tests with several devices at
// once need several simulators on their own COM links, which only the in-process backend
// gives: POSIX only.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "sim_fixture.h"
#include "test_identification_support.h"

namespace {

using namespace qx;
using identtest::Silent;
using identtest::SimConfig;
using qxtest::SimDevice;

const std::vector<uint8_t> kVersionRequest{'V', 'V'};

// The line speeds at which the simulator saw version requests, in order.
std::vector<uint32_t> VersionRequestBauds(const std::vector<qxsim::TranscriptEntry>& transcript) {
    std::vector<uint32_t> bauds;
    for (const qxsim::TranscriptEntry& entry : transcript)
        if (entry.bytes == kVersionRequest) bauds.push_back(entry.baud);
    return bauds;
}

bool Logged(const SimDevice& dev, const std::string& line) {
    return dev.LogText().find(line) != std::string::npos;
}

// A simulated device linked as COM<port> and a closed device object beside it.
#define START_SIM(dev, config, port) \
    SimDevice dev((config), (port)); \
    ASSERT_TRUE(dev.Start(false))

#ifndef _WIN32
using identtest::ComDir;
using identtest::LoggedDevice;
using identtest::StartSim;

std::vector<uint32_t> VersionRequestBauds(const qxsim::Simulator& sim) {
    return VersionRequestBauds(sim.Transcript());
}

TEST(Scan, FindsComSevenRemembersItAndStartsThereNextTime) {
    ComDir dir;
    auto silent = StartSim(Silent(), 3, dir.path());
    auto kelby = StartSim(SimConfig('O', 10, 15), 7, dir.path());
    auto vorrel = StartSim(SimConfig('A', 2, 12), 9, dir.path());
    LoggedDevice d;
    QXVorrel& device = d.device;

    char text[100];
    uint8_t version[3] = {};
    ASSERT_EQ(device.FindDevice(text, sizeof text, version, 0), 1);
    EXPECT_STREQ(text, "Kelby v10.15");
    EXPECT_EQ(version[0], 10);
    EXPECT_EQ(version[1], 15);
    EXPECT_EQ(version[2], 'O');
    EXPECT_TRUE(device.port->IsOpen());
    EXPECT_EQ(device.portNumber, 7);
    EXPECT_EQ(device.lastPortNumber, 7);
    EXPECT_EQ(device.lastBaudIndex, 7);
    EXPECT_EQ(device.baudIndex, 7);
    EXPECT_NE(device.capabilities, 0u);
    // The silent COM3 was probed at all three speeds on the way.
    EXPECT_EQ(VersionRequestBauds(*silent), (std::vector<uint32_t>{115200, 921600, 19200}));
    EXPECT_TRUE(d.Logged("QXSerial: Successfully opened \\\\.\\COM7"));

    // The next scan starts at COM7: the silent COM3 is not asked again.
    silent->ClearTranscript();
    ASSERT_EQ(device.FindDevice(text, sizeof text, version, 0), 1);
    EXPECT_EQ(device.portNumber, 7);
    EXPECT_TRUE(silent->Transcript().empty());

    // Without COM7 it moves on from there to COM9.
    kelby->Stop();
    ASSERT_EQ(device.FindDevice(text, sizeof text, version, 0), 1);
    EXPECT_STREQ(text, "Vorrel v2.12");
    EXPECT_EQ(device.portNumber, 9);
    EXPECT_EQ(device.lastPortNumber, 9);
    EXPECT_TRUE(silent->Transcript().empty());
}

TEST(Scan, FromComZeroRemembersNothing) {
    ComDir dir;
    auto vorrel = StartSim(SimConfig('A', 2, 12), 2, dir.path());
    auto kelby = StartSim(SimConfig('O', 10, 15), 7, dir.path());
    LoggedDevice d;
    QXVorrel& device = d.device;
    device.lastPortNumber = 7;
    device.lastBaudIndex = 3;

    char text[100];
    ASSERT_EQ(device.FindDevice(text, sizeof text, nullptr, kScanFromComZero), 1);
    EXPECT_STREQ(text, "Vorrel v2.12");
    EXPECT_EQ(device.portNumber, 2);
    EXPECT_EQ(device.lastPortNumber, 7);
    EXPECT_EQ(device.lastBaudIndex, 3);
    EXPECT_TRUE(kelby->Transcript().empty());

    // A plain scan still starts where hardware was remembered.
    ASSERT_EQ(device.FindDevice(text, sizeof text, nullptr, 0), 1);
    EXPECT_STREQ(text, "Kelby v10.15");
    EXPECT_EQ(device.lastPortNumber, 7);
    EXPECT_EQ(device.lastBaudIndex, 7);
}

#endif  // several simulators

TEST(Scan, SpeedFallbacks) {
    struct Case {
        const char* label;
        uint32_t onlyBaud;
        int32_t baudIndex;
        std::vector<uint32_t> tries;
    };
    const Case cases[] = {
        {"921600 on the second try", 921600, 0, {115200, 921600}},
        {"19200 on the third try", 19200, 7, {115200, 921600, 19200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qxsim::Config config = SimConfig('O', 10, 15);
        config.bauds = {c.onlyBaud};
        START_SIM(dev, config, 5);
        QXVorrel& device = dev.device();
        qxtest::SimHandle* sim = &dev.sim();

        char text[100];
        ASSERT_EQ(device.FindDevice(text, sizeof text, nullptr, 0), 1);
        EXPECT_STREQ(text, "Kelby v10.15");
        EXPECT_EQ(device.baudIndex, c.baudIndex);
        EXPECT_EQ(device.lastBaudIndex, c.baudIndex);
        EXPECT_EQ(device.lastPortNumber, 5);
        EXPECT_EQ(sim->LineBaud(), c.onlyBaud);
        EXPECT_EQ(VersionRequestBauds(sim->Transcript()), c.tries);
        // Identification ran at the rate that answered.
        const std::vector<qxsim::TranscriptEntry> transcript = sim->Transcript();
        ASSERT_GT(transcript.size(), c.tries.size());
        for (size_t i = c.tries.size(); i < transcript.size(); ++i)
            EXPECT_EQ(transcript[i].baud, c.onlyBaud) << transcript[i].command;

        // Closing brings a device raised to 921600 back to index 7.
        sim->ClearTranscript();
        device.ClosePort();
        const bool restores = c.baudIndex != 7;
        if (restores) sim->WaitForTranscript(1, 1000);
        const std::vector<qxsim::TranscriptEntry> closing = sim->Transcript();
        ASSERT_EQ(closing.size(), restores ? 1u : 0u);
        if (restores) {
            EXPECT_EQ(closing[0].bytes, (std::vector<uint8_t>{0x53, 0x07, 0x5A}));
            EXPECT_EQ(closing[0].baud, 921600u);
        }
    }
}

#ifndef _WIN32
TEST(Scan, AnUnidentifiedAnswerStopsTheScan) {
    struct Case {
        char letter;
        const char* text;
    };
    const Case cases[] = {{'W', ""}, {'d', " v1.0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        ComDir dir;
        auto odd = StartSim(SimConfig(c.letter, 1, 0), 4, dir.path());
        auto kelby = StartSim(SimConfig('O', 10, 15), 6, dir.path());
        LoggedDevice d;
        QXVorrel& device = d.device;

        char text[100];
        std::memset(text, 'x', sizeof text);
        uint8_t version[3] = {};
        EXPECT_EQ(device.FindDevice(text, sizeof text, version, 0), 1);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(version[2], static_cast<uint8_t>(c.letter));
        EXPECT_FALSE(device.port->IsOpen());
        EXPECT_EQ(device.capabilities, 0u);
        EXPECT_EQ(device.portNumber, 255);
        EXPECT_EQ(device.lastPortNumber, 4);
        EXPECT_TRUE(kelby->Transcript().empty());
    }
}
#endif  // several simulators

TEST(Scan, WrapsFrom255ToCom2) {
    struct Case {
        const char* label;
        std::vector<int> ports;  // a Kelby on each
        int32_t start;
        int found;  // -1: nothing found
    };
    const Case cases[] = {
        {"255 is tried", {255}, 250, 255},
        {"COM0 and COM1 are skipped after the wrap", {0, 1, 2}, 250, 2},
        {"the 254th attempt is COM249", {249}, 250, 249},
        {"COM1 alone is never reached", {1}, 250, -1},
        {"from COM0, COM253 is the last", {253}, 0, 253},
        {"from COM0, COM254 is not reached", {254}, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
#ifdef _WIN32
        if (c.ports.size() > 1) continue;  // one simulator under Wine
#endif
        START_SIM(dev, SimConfig('O', 10, 15), c.ports[0]);
#ifndef _WIN32
        std::vector<std::unique_ptr<qxsim::Simulator>> more;  // in the same QX_COM_DIR
        for (size_t i = 1; i < c.ports.size(); ++i)
            more.push_back(StartSim(SimConfig('O', 10, 15), c.ports[i]));
#endif
        QXVorrel& device = dev.device();
        device.lastPortNumber = c.start;
        char text[100];
        const int32_t found = device.FindDevice(text, sizeof text, nullptr, 0);
        EXPECT_EQ(found, c.found >= 0 ? 1 : 0);
        if (c.found >= 0) {
            EXPECT_EQ(device.lastPortNumber, c.found);
            EXPECT_STREQ(text, "Kelby v10.15");
        } else {
            EXPECT_STREQ(text, "");
            EXPECT_FALSE(device.port->IsOpen());
        }
    }
}

TEST(Scan, TextCapacityAndAbsentText) {
    struct Case {
        const char* label;
        bool device;
        bool nullText;
        uint32_t capacity;
        const char* expected;  // null: the buffer keeps its 'x' filling
    };
    const Case cases[] = {
        {"found, full capacity", true, false, 100, "Kelby v10.15"},
        {"found, capacity 6", true, false, 6, "Kelby"},
        {"found, capacity 0", true, false, 0, nullptr},
        {"found, null text", true, true, 100, nullptr},
        {"not found, capacity 0", false, false, 0, nullptr},
        {"not found, null text", false, true, 100, nullptr},
        {"not found", false, false, 100, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        START_SIM(dev, SimConfig('O', 10, 15), 3);
        if (!c.device) {
            ASSERT_TRUE(dev.sim().Unplug());  // and with it the link
        }
        char text[150];
        std::memset(text, 'x', sizeof text);
        const int32_t found =
            dev.device().OpenDeviceOnPort(3, c.nullText ? nullptr : text, c.capacity, nullptr, 0);
        EXPECT_EQ(found, c.device ? 1 : 0);
        if (c.expected != nullptr) {
            EXPECT_STREQ(text, c.expected);
        } else {
            EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));
        }
    }
}

TEST(Scan, OpenDeviceOnPortProbesOnePort) {
    START_SIM(dev, SimConfig('O', 10, 15), 8);
    QXVorrel& device = dev.device();
    uint8_t version[3] = {0xEE, 0xEE, 0xEE};

    EXPECT_EQ(device.OpenDeviceOnPort(7, nullptr, 0, version, 0), 0);
    EXPECT_EQ(version[0], 0);
    EXPECT_EQ(version[2], 0);
    EXPECT_FALSE(device.port->IsOpen());
    EXPECT_EQ(device.lastPortNumber, 0);

    EXPECT_EQ(device.OpenDeviceOnPort(8, nullptr, 0, version, 0), 1);
    EXPECT_TRUE(device.port->IsOpen());
    EXPECT_EQ(device.portNumber, 8);
    EXPECT_EQ(device.lastPortNumber, 8);
    EXPECT_EQ(version[2], 'O');
    EXPECT_EQ(device.hardwareType, 7);

    EXPECT_EQ(device.OpenDeviceOnPort(8, nullptr, 0, nullptr, kScanFromComZero), 1);
    EXPECT_EQ(device.lastPortNumber, 8);
}

// --- cost -------------------------------------------------------------------------------

TEST(ScanCost, FullWalkWithoutDevicesCostsOnlyFailedOpens) {
    START_SIM(dev, SimConfig('O', 10, 15), 3);
    ASSERT_TRUE(dev.sim().Unplug());  // no COM port anywhere
    char text[100] = "stale";
    const auto start = identtest::Clock::now();
    EXPECT_EQ(dev.device().FindDevice(text, sizeof text, nullptr, 0), 0);
    const double elapsed = identtest::ExactMsSince(start);
    std::printf("[ figure ] 254-port walk without devices: %.1f ms\n", elapsed);
    EXPECT_LT(elapsed, 1000.0);
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(Logged(dev, "QXSerial: Open Port \\\\.\\COM253 Failed"));
    EXPECT_FALSE(Logged(dev, "COM254"));
}

TEST(ScanCost, SilentPortCostsThePausesAndThreeBoundedExchanges) {
    // 100 ms preparation + 60 ms settling, three version requests each bounded by
    // 300 ms + 1 ms per byte asked, and the 10 ms pause after each forced speed change.
    constexpr double kPauses = 160.0;
    constexpr double kExchange = 300.0 + 3.0;
    constexpr double kSpeedPauses = 2 * 10.0;
    constexpr double kBudget = kPauses + 3 * kExchange + kSpeedPauses;
    constexpr double kTolerance = 400.0;  // loaded machine

    START_SIM(dev, Silent(), 3);
    const auto start = identtest::Clock::now();
    EXPECT_EQ(dev.device().OpenDeviceOnPort(3, nullptr, 0, nullptr, kScanSettleDelay), 0);
    const double elapsed = identtest::ExactMsSince(start);
    std::printf("[ figure ] silent port probe: %.1f ms (budget %.0f ms)\n", elapsed, kBudget);
    EXPECT_LT(elapsed, kBudget + kTolerance);
    // The exchanges really waited for their time-outs.
    EXPECT_GT(elapsed, kPauses + 3 * 300.0 - 50.0);
    EXPECT_EQ(VersionRequestBauds(dev.Transcript()),
              (std::vector<uint32_t>{115200, 921600, 19200}));
    EXPECT_FALSE(dev.device().port->IsOpen());
    EXPECT_EQ(dev.device().baudIndex, 7);
}

}  // namespace
