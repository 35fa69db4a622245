// The device object on a device at the far end of a network: the simulator's pseudo-terminal
// served by ser2net on 127.0.0.1, reached as rfc2217:// (or tcp://) by URL and through the
// COM map. Identification, a speed change the simulator sees, round trips of the Telnet
// escape byte, device faults and a dropped connection (bounded, with the codes of an
// unplugged adapter).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel.h"
#include "pty_peer.h"
#include "ser2net_process.h"
#include "sim.h"
#include "support/elapsed.h"

namespace {

using namespace qx;
using Bytes = std::vector<uint8_t>;
using qxtest::Clock;
using qxtest::MsSince;

constexpr uint32_t KiB = 1024;

qxsim::Config Kelby() {
    qxsim::Config config;
    config.hardwareId = 'O';
    config.firmwareMajor = 10;
    config.firmwareMinor = 15;
    return config;
}

// Runs of 0xFF (the Telnet escape) and 0x00, with CR NUL and CR LF (which a Telnet line
// without the binary option would change) and XON/XOFF between them.
Bytes EscapeHeavyImage(size_t size, unsigned seed) {
    static constexpr uint8_t kBytes[] = {0xFF, 0x00, 0xFF, 0x00, 0x0D, 0x0A, 0x11, 0x13};
    std::mt19937 rng(seed);
    Bytes image;
    while (image.size() < size) image.insert(image.end(), 1 + rng() % 9, kBytes[rng() % 8]);
    image.resize(size);
    return image;
}

class NetDevice : public ::testing::Test {
  protected:
    // The simulator, linked at a fixed path (a replug keeps it), and ser2net in front of it;
    // COM4 of the private QX_COM_DIR names the network port.
    ::testing::AssertionResult Start(const qxsim::Config& config,
                                     const qxtest::Ser2net::Options& options = {}) {
        if (!comDir_.ok()) return ::testing::AssertionFailure() << "no COM directory";
        sim_ = std::make_unique<qxsim::Simulator>(config);
        std::string error;
        const std::string link = comDir_.path() + "/far-tty";
        if (!sim_->Start(&error) || !sim_->LinkAt(link, &error))
            return ::testing::AssertionFailure() << "simulator: " << error;
        if (!server_.Start(link, options)) return ::testing::AssertionFailure() << server_.error();
        std::ofstream(comDir_.path() + "/COM4") << server_.Url() << "\n";
        return ::testing::AssertionSuccess();
    }

    // Opened by URL and identified, as qxtool --port URL does it.
    ::testing::AssertionResult Open() {
        if (device_.OpenPortByName(server_.Url().c_str()) != VR_S_OK)
            return ::testing::AssertionFailure() << "cannot open " << server_.Url();
        uint8_t version[3] = {};
        if (device_.GetFirmwareVersion(version) != VR_S_OK)
            return ::testing::AssertionFailure() << "no version from " << server_.Url();
        if (device_.Identify() != VR_S_OK || device_.capabilities == 0)
            return ::testing::AssertionFailure() << "not identified";
        return ::testing::AssertionSuccess();
    }

    void TearDown() override {
        device_.ClosePort();
        server_.Stop();
        if (sim_) sim_->Stop();
    }

    qxtest::ComDir comDir_;
    std::unique_ptr<qxsim::Simulator> sim_;
    qxtest::Ser2net server_;
    QXVorrel device_;
};

TEST_F(NetDevice, TheScanFindsTheDeviceBehindAMappedComName) {
    ASSERT_TRUE(Start(Kelby()));
    char text[kModelNameCapacity] = {};
    uint8_t version[3] = {};
    ASSERT_EQ(device_.FindDevice(text, sizeof text, version, kScanFromComZero), 1);
    EXPECT_STREQ(text, "Kelby v10.15");
    EXPECT_EQ(device_.portNumber, 4);
    EXPECT_NE(device_.capabilities, 0u);
    EXPECT_EQ(version[2], 'O');
    EXPECT_STREQ(device_.port->portName, "\\\\.\\COM4");
    // The same device by its URL.
    device_.ClosePort();
    ASSERT_TRUE(Open());
    EXPECT_STREQ(device_.modelName, "Kelby v10.15");
}

TEST_F(NetDevice, ASpeedChangeReachesTheSimulatedLine) {
    ASSERT_TRUE(Start(Kelby()));
    ASSERT_TRUE(Open());
    EXPECT_EQ(sim_->LineBaud(), 115200u);
    ASSERT_EQ(device_.SetUSBBaud(kSpeed921600, 0), VR_S_OK);
    EXPECT_EQ(sim_->LineBaud(), 921600u);
    EXPECT_EQ(sim_->DeviceBaud(), 921600u);
    sim_->ClearTranscript();
    Bytes buffer(512);
    ASSERT_EQ(device_.ReadBlock(buffer.data(), 512, 0, 0, nullptr), VR_S_OK);
    const auto transcript = sim_->Transcript();
    ASSERT_FALSE(transcript.empty());
    for (const auto& entry : transcript) EXPECT_EQ(entry.baud, 921600u) << entry.command;
    // Closing brings the device and the line back to 115200.
    device_.ClosePort();
    EXPECT_EQ(sim_->DeviceBaud(), 115200u);
}

TEST_F(NetDevice, BlockAndBulkRoundTripsOfTheEscapeByte) {
    qxsim::Config config = Kelby();
    config.emulationBank = 8;  // large-bin: the whole 512 KiB through the read/write bank
    ASSERT_TRUE(Start(config));
    ASSERT_TRUE(Open());
    ASSERT_EQ(device_.SetUSBBaud(kSpeed921600, 0), VR_S_OK);
    const struct {
        const char* what;
        bool bulk;
        uint32_t address;
        uint32_t size;
    } cases[] = {
        {"block", false, 0x00000, 64 * KiB},
        {"bulk", true, 0x10000, 64 * KiB},
        {"block, across a 64 KiB window", false, 0x2FF00, 4 * KiB},
    };
    unsigned seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes image = EscapeHeavyImage(c.size, seed++);
        Bytes out = image;
        const int32_t wrote =
            c.bulk ? device_.BulkWrite(out.data(), c.size, c.address, 0, nullptr)
                   : device_.WriteBlock(out.data(), c.size, c.address, XferNoBulk, nullptr);
        ASSERT_EQ(wrote, VR_S_OK);
        EXPECT_TRUE(sim_->ReadMemory(qxsim::kSpace2, c.address, c.size) == image);
        Bytes back(c.size, 0x5A);
        const int32_t read = c.bulk ? device_.BulkRead(back.data(), c.size, c.address, 0, nullptr)
                                    : device_.ReadBlock(back.data(), c.size, c.address, 0, nullptr);
        ASSERT_EQ(read, VR_S_OK);
        EXPECT_TRUE(back == image);
    }
}

enum class Op { ReadBlock, WriteBlock, BulkRead };

int32_t RunOp(QXVorrel& device, Op op, Bytes& buffer) {
    const auto size = static_cast<uint32_t>(buffer.size());
    switch (op) {
        case Op::ReadBlock:
            return device.ReadBlock(buffer.data(), size, 0, 0, nullptr);
        case Op::WriteBlock:
            return device.WriteBlock(buffer.data(), size, 0, XferNoBulk, nullptr);
        case Op::BulkRead:
            return device.BulkRead(buffer.data(), size, 0, 0, nullptr);
    }
    return VR_E_GENERAL_ERROR;
}

// The device misbehaves; the network carries it faithfully: the same codes as on a local
// line, within the packet's own time-outs, and the next call works.
TEST_F(NetDevice, DeviceFaultsKeepTheirCodesAndBounds) {
    ASSERT_TRUE(Start(Kelby()));
    ASSERT_TRUE(Open());
    const struct {
        const char* fault;
        Op op;
        uint32_t size;
        int32_t expected;
        int64_t boundMs;  // interval 200 ms, total 1 ms a byte + 300 ms, plus slack
    } cases[] = {
        {"R:none@2", Op::ReadBlock, 1024, VR_E_COMM_READ_TIMEOUT, 257 + 300 + 1500},
        {"R:short=10@2", Op::ReadBlock, 1024, VR_E_COMM_READ_TIMEOUT, 257 + 300 + 1500},
        {"W:none@2", Op::WriteBlock, 1024, VR_E_COMM_READ_TIMEOUT, 1 + 300 + 1500},
        {"ZR:short=100@2", Op::BulkRead, 16 * KiB, VR_E_COMM_READ_TIMEOUT, 4097 + 300 + 1500},
        {"R:badsum@1", Op::ReadBlock, 1024, VR_E_EXTERNAL_CS_INVALID, 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(sim_->AddFault(c.fault));
        Bytes buffer = EscapeHeavyImage(c.size, 7);
        const auto start = Clock::now();
        EXPECT_EQ(RunOp(device_, c.op, buffer), c.expected);
        EXPECT_LT(MsSince(start), c.boundMs);
        sim_->ClearFaults();
        // A late part of the faulty reply must not spoil the next exchange.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Bytes next(256);
        EXPECT_EQ(device_.ReadBlock(next.data(), 256, 0x1000, 0, nullptr), VR_S_OK);
    }
}

// The connection drops in the middle of a transfer: the call ends within its time-outs with
// the code an unplugged adapter gives (reply missing), and the next call fails at once as it
// does when the adapter is gone (nothing can be written).
TEST_F(NetDevice, ADroppedConnectionFailsLikeAnUnpluggedAdapter) {
    const struct {
        const char* what;
        Op op;
        uint32_t size;
        size_t cutAfterRequests;
        int64_t boundMs;  // from the drop: the packet's time-outs at most, plus slack
    } cases[] = {
        {"bulk read", Op::BulkRead, 64 * KiB, 6, 4097 + 300 + 1500},
        {"block read", Op::ReadBlock, 64 * KiB, 40, 257 + 300 + 1500},
        {"block write", Op::WriteBlock, 64 * KiB, 40, 1 + 300 + 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        qxsim::Config config = Kelby();
        config.throttle = true;  // the transfer lasts long enough to be cut
        ASSERT_TRUE(Start(config));
        ASSERT_TRUE(Open());
        ASSERT_EQ(device_.SetUSBBaud(kSpeed921600, 0), VR_S_OK);
        sim_->ClearTranscript();
        // Cut while a reply is under way: right after the simulator took a request (its reply
        // then needs the wire time of at least 256 bytes), so this side waits in a read.
        Clock::time_point cut{};
        std::thread cutter([&] {
            sim_->WaitForTranscript(c.cutAfterRequests, 10000);
            server_.Kill();
            cut = Clock::now();
        });
        Bytes buffer = EscapeHeavyImage(c.size, 3);
        EXPECT_EQ(RunOp(device_, c.op, buffer), VR_E_COMM_READ_TIMEOUT);
        const auto ended = Clock::now();
        cutter.join();
        EXPECT_GE(sim_->Transcript().size(), c.cutAfterRequests) << "ended before the drop";
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - cut).count(),
                  c.boundMs);
        Bytes next(256);
        const auto again = Clock::now();
        EXPECT_EQ(device_.ReadBlock(next.data(), 256, 0, 0, nullptr), VR_E_COMM_WRITE_FAILURE);
        EXPECT_LT(MsSince(again), 100);
        EXPECT_EQ(device_.portFree.load(), 1);
        TearDown();
    }
}

TEST_F(NetDevice, ARawTcpPortKeepsTheSpeedTheServerSet) {
    qxtest::Ser2net::Options raw;
    raw.telnet = false;
    ASSERT_TRUE(Start(Kelby(), raw));
    ASSERT_EQ(server_.Url().rfind("tcp://", 0), 0u);
    ASSERT_TRUE(Open());
    EXPECT_TRUE(device_.port->SpeedIsFixed());
    sim_->ClearTranscript();
    // The device is not asked to move: this side could never follow it.
    EXPECT_EQ(device_.SetUSBBaud(kSpeed921600, 0), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(device_.baudIndex, static_cast<int32_t>(kSpeed115200));
    EXPECT_TRUE(sim_->Transcript().empty());
    EXPECT_EQ(sim_->DeviceBaud(), 0u);
    const Bytes image = EscapeHeavyImage(4 * KiB, 9);
    Bytes out = image;
    ASSERT_EQ(device_.BulkWrite(out.data(), 4 * KiB, 0, 0, nullptr), VR_S_OK);
    Bytes back(4 * KiB);
    ASSERT_EQ(device_.ReadBlock(back.data(), 4 * KiB, 0, 0, nullptr), VR_S_OK);
    EXPECT_TRUE(back == image);
}

}  // namespace
