// The device object against the simulated device: opening a port by name, and the port lock
// that keeps two threads off the wire at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel_internal.h"
#include "device_wire_support.h"

namespace qx {
namespace {

using namespace wiretest;

TEST(DeviceWire, OpenPortByNamePreparesThePort) {
#ifdef _WIN32
    // Windows opens "COM10" and up only by their "\\.\COMn" names, which hold no number.
    constexpr int kPort = 7;
#else
    constexpr int kPort = 12;
#endif
    SimDevice dev(Kelby(), kPort);
    ASSERT_TRUE(dev.Start());
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.portNumber, kPort);
    ASSERT_TRUE(d.port->GetTimeouts());
    EXPECT_EQ(d.port->timeouts.ReadIntervalTimeout, 200u);
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutConstant, 300u);
    EXPECT_EQ(d.port->timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(d.port->timeouts.WriteTotalTimeoutConstant, 300u);
    EXPECT_EQ(dev.sim().LineBaud(), 115200u);
    // Opening neither identifies nor sends anything.
    EXPECT_EQ(d.capabilities, 0u);
    EXPECT_TRUE(dev.Transcript().empty());
}

TEST(DeviceWire, OpenPortByNameTakesTheNumberAfterThreeCharacters) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    // Reopened by the name a scan saved ("\\.\COMn"): the COM number of that name.
    ASSERT_EQ(d.OpenDeviceOnPort(static_cast<uint32_t>(dev.comNumber()), nullptr, 0, nullptr,
                                 kScanFromComZero),
              1);
    ASSERT_EQ(d.OpenPortByName(nullptr), VR_S_OK);
    EXPECT_EQ(d.portNumber, dev.comNumber());
    dev.ClearLog();
    // A device path: the fourth character is not a digit. (Under Wine the simulator's path
    // is the "\\.\COMn" name itself, which names its COM number.)
    const std::string path = dev.sim().PortPath();
    EXPECT_EQ(d.OpenPortByName(path.c_str()), VR_S_OK);
    EXPECT_EQ(d.portNumber, path.rfind("\\\\.\\COM", 0) == 0 ? dev.comNumber() : 0);
    EXPECT_EQ(dev.Messages().front(), "QXSerial: Port Closed");  // the open port closed first
    dev.ClearLog();
    // Opening a missing port: closed afterwards, both "Port Closed" lines.
    EXPECT_EQ(d.OpenPortByName("COM77"), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_FALSE(d.port->IsOpen());
    const Lines messages = dev.Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3].rfind("QXSerial: Open Port COM77 Failed", 0), 0u)
        << messages[messages.size() - 3];
    EXPECT_EQ(messages[messages.size() - 2], "QXSerial: Port Closed");
    EXPECT_EQ(messages.back(), "QXSerial: Port Closed");
}

struct BusyCase {
    const char* name;
    std::function<int32_t(QXVorrel&)> call;
};

TEST(PortLock, EveryLockedOperationGivesPortBusyAfter1200ms) {
    const BusyCase cases[] = {
        {"ReadEEPROM",
         [](QXVorrel& d) {
             uint8_t b[4];
             return d.ReadEEPROM(b, 0, 4);
         }},
        {"WriteEEPROM",
         [](QXVorrel& d) {
             const uint8_t b = 1;
             return d.WriteEEPROM(&b, 0, 1);
         }},
        {"GetBank", [](QXVorrel& d) { return d.GetBank(nullptr, 1); }},
        {"SetBank", [](QXVorrel& d) { return d.SetBank(1, 1, 0, 0); }},
        {"SetUSBBaud", [](QXVorrel& d) { return d.SetUSBBaud(kSpeed921600, 0); }},
    };
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    for (const BusyCase& c : cases) {
        SCOPED_TRACE(c.name);
        dev.Reset();
        ASSERT_EQ(AcquirePort(d), VR_S_OK);
        int32_t result = 0;
        double waited = 0;
        std::thread other([&] {
            const auto start = Clock::now();
            result = c.call(d);
            waited = ExactMsSince(start);
        });
        other.join();
        EXPECT_EQ(result, VR_E_PORT_BUSY);
        EXPECT_GE(waited, 1100.0);
        EXPECT_LT(waited, 5000.0);
        EXPECT_EQ(d.portFree.load(), 0);
        EXPECT_TRUE(dev.Transcript().empty());
        ReleasePort(d);
    }
    EXPECT_EQ(dev.Messages().back(),
              "QXVorrel: SetUSBBaud to 921600, Force = FALSE FAILED with VR_E_PORT_BUSY");
    EXPECT_EQ(d.baudIndex, 7);
}

TEST(PortLock, TwoThreadsNeverInterleaveOnTheWire) {
    SimDevice dev(Kelby());
    START(dev);
    std::vector<uint8_t> low(16), high(16);
    for (int i = 0; i < 16; ++i) {
        low[i] = static_cast<uint8_t>(0x10 + i);
        high[i] = static_cast<uint8_t>(0xE0 + i);
    }
    dev.sim().WriteEeprom(0x0000, low);
    dev.sim().WriteEeprom(0x4000, high);
    QXVorrel& d = dev.device();
    constexpr int kRounds = 25;
    std::atomic<int> ok{0}, busy{0}, wrong{0};
    auto worker = [&](uint16_t address, const std::vector<uint8_t>& expected) {
        for (int i = 0; i < kRounds; ++i) {
            std::vector<uint8_t> buffer(16, 0);
            const int32_t result = d.ReadEEPROM(buffer.data(), address, 16);
            if (result == VR_S_OK && buffer == expected) {
                ++ok;
            } else if (result == VR_E_PORT_BUSY) {
                ++busy;
            } else {
                ++wrong;
            }
        }
    };
    std::thread a(worker, 0x0000, low);
    std::thread b(worker, 0x4000, high);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(ok.load() + busy.load(), 2 * kRounds);
    EXPECT_GT(ok.load(), kRounds);
    const auto transcript = dev.Transcript();
    EXPECT_EQ(transcript.size(), static_cast<size_t>(ok.load()));
    int lows = 0;
    for (const auto& entry : transcript) {
        const std::string hex = Hex(entry.bytes);
        EXPECT_TRUE(hex == "48 52 10 00 00 AA" || hex == "48 52 10 40 00 EA") << hex;
        EXPECT_EQ(entry.outcome, qxsim::Outcome::Answered);
        lows += hex == "48 52 10 00 00 AA";
    }
    EXPECT_GT(lows, 0);
    EXPECT_LT(lows, static_cast<int>(transcript.size()));
    EXPECT_EQ(d.portFree.load(), 1);
}

}  // namespace
}  // namespace qx
