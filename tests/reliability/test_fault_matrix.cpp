// The fault matrix: every long operation against every way a device or its cable can fail,
// through the simulator over a real pseudo-terminal.
//
// For each case: the exact result; the call's duration inside what its time-outs allow
// (and, where it must sit out a time-out or a delay, no shorter than that); the port lock
// free afterwards; the read time-out back where the operation leaves it; cancelRequested
// clear; and the next call behaving (working again, or failing at once on a device that is
// gone, never VR_E_PORT_BUSY).
//
// Time-outs of the library (what the bounds are computed from): a read of n bytes may take
// ReadTotalTimeoutConstant + n ms (300 + n; 6000 + n in BulkWrite; 600 + n for the serial
// request), and returns 200 ms after the last byte when the device stops mid-reply. A probe
// of one port pauses 100 ms (+ 60 ms in a scan) and tries the version request at three
// speeds, with a 10 ms pause after each forced speed change.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "sim_fixture.h"

namespace {

using namespace qx;
using Clock = std::chrono::steady_clock;

// --- time-outs of the library
constexpr uint32_t kConstantMs = 300;
constexpr uint32_t kBulkWriteConstantMs = 6000;
constexpr uint32_t kSerialConstantMs = 600;
constexpr uint32_t kIntervalMs = 200;
constexpr uint32_t ReadMs(uint32_t bytes) {
    return kConstantMs + bytes;  // ReadTotalTimeoutMultiplier 1
}
constexpr uint32_t kPrepareMs = 100;
constexpr uint32_t kSettleMs = 60;
constexpr uint32_t kSpeedPauseMs = 10;
// Three unanswered version requests, with the port's preparation and both speed changes.
constexpr uint32_t kProbeMissMs = kPrepareMs + 3 * ReadMs(3) + 2 * kSpeedPauseMs;
// Everything identification of a Kelby may wait for: the EEPROM record twice, both banks,
// the serial request.
constexpr uint32_t kIdentifyKelbyMs =
    2 * (ReadMs(7) + ReadMs(1)) + 2 * ReadMs(1) + (kSerialConstantMs + 9) + (kSerialConstantMs + 1);

// How far "just under" and "just over" a time-out the delayed replies come. The reply's
// delay starts when the simulator has the request, a little after the read began, so only
// the "under" side needs room for scheduling.
constexpr uint32_t kUnderMs = 200;
constexpr uint32_t kOverMs = 150;

// Scheduling on a loaded two-core machine under sanitizers; and how much earlier than its
// time-out a read may return (never, in principle: the waits round up).
constexpr uint32_t kSlackMs = 700;
constexpr uint32_t kEarlyMs = 30;

enum class Op { ReadBlock, WriteBlock, BulkRead, BulkWrite, Identify, FindDevice };
enum class Next {
    Works,        // the same call again succeeds
    DeviceGone,   // the same call again fails at once (nothing to talk to)
    AfterReplug,  // once the device is back and the port reopened, the call succeeds
};

struct Case {
    const char* name;
    Op op;
    std::vector<const char*> faults;  // simulator fault specs
    int32_t expected;  // result code; Identify/FindDevice: what OpenDeviceOnPort/FindDevice return
    uint32_t waitMs;   // the call must sit out at least this long
    uint32_t allowMs;  // and its time-outs allow at most this long
    Next next;
    uint32_t delayMs = 0;  // a reply still on its way after the call (sat out before the next)
    // Identification outcome when a device was found (Identify, FindDevice).
    int32_t hardwareType = 0;
    int32_t baudIndex = 7;
    uint32_t capabilities = 0;
    uint32_t readTimeoutMs = kConstantMs;  // where the operation leaves the read time-out
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// The Kelby as identification leaves it (firmware 10.15, encryption off in the device):
// banks, bulk, and the serial request during identification.
constexpr uint32_t kKelbyCaps = 0x104A;
constexpr uint32_t kKelbyIICaps = 0x106A;  // the 'P' row, encryption found off
constexpr uint32_t kKelbyFallbackCaps = 0x100A;

constexpr uint32_t kBlockLength = 512;
constexpr uint32_t kBlockAddress = 0x1000;
constexpr uint32_t kBulkLength = 8192;
constexpr uint32_t kBulkAddress = 0x4000;
constexpr int kComNumber = 9;
constexpr int kScanStart = 7;  // the scan tries COM7 and COM8 (nothing there) before COM9

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 7u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        qxsim::Config config = qxtest::SimConfig('O', 10, 15);
        config.image = Pattern(0x10000, 1);
        dev_ = std::make_unique<qxtest::SimDevice>(config, kComNumber);
        ASSERT_TRUE(dev_->Start());
        dev_->AdoptModel();
        dev_->Reset();
    }

    QXVorrel& d() { return dev_->device(); }
    qxtest::SimHandle& sim() { return dev_->sim(); }

    // Runs the operation once; for reads, `buffer` receives the data.
    int32_t Run(Op op, std::vector<uint8_t>& buffer) {
        switch (op) {
            case Op::ReadBlock:
                buffer.assign(kBlockLength, 0);
                return d().ReadBlock(buffer.data(), kBlockLength, kBlockAddress, 0, nullptr);
            case Op::WriteBlock:
                buffer = Pattern(kBlockLength, ++writes_);
                return d().WriteBlock(buffer.data(), kBlockLength, kBlockAddress, XferNoBulk,
                                      nullptr);
            case Op::BulkRead:
                buffer.assign(kBulkLength, 0);
                return d().BulkRead(buffer.data(), kBulkLength, kBulkAddress, 0, nullptr);
            case Op::BulkWrite:
                buffer = Pattern(kBulkLength, ++writes_);
                return d().BulkWrite(buffer.data(), kBulkLength, kBulkAddress, 0, nullptr);
            case Op::Identify:
                return d().OpenDeviceOnPort(kComNumber, text_, sizeof text_, version_, 0);
            case Op::FindDevice:
                d().lastPortNumber = kScanStart;
                return d().FindDevice(text_, sizeof text_, version_, 0);
        }
        return VR_E_GENERAL_ERROR;
    }

    // The data of a successful transfer is what the device holds.
    void ExpectData(Op op, const std::vector<uint8_t>& buffer) {
        const bool block = op == Op::ReadBlock || op == Op::WriteBlock;
        const uint32_t address = block ? kBlockAddress : kBulkAddress;
        if (op == Op::Identify || op == Op::FindDevice) return;
        EXPECT_EQ(buffer, sim().ReadMemory(qxsim::kSpace2, address, buffer.size()))
            << "data of a successful transfer";
    }

    bool WaitPlugged(int timeoutMs) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!sim().Plugged() && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return sim().Plugged();
    }

    std::unique_ptr<qxtest::SimDevice> dev_;
    char text_[kModelNameCapacity] = {};
    uint8_t version_[3] = {};
    uint32_t writes_ = 0;
};

TEST_P(FaultMatrix, ExactResultBoundedTimeCleanState) {
    const Case& c = GetParam();
    for (const char* spec : c.faults) ASSERT_TRUE(dev_->AddFault(spec));

    std::vector<uint8_t> buffer;
    const auto started = Clock::now();
    const int32_t result = Run(c.op, buffer);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    const std::string log = dev_->LogText();

    EXPECT_EQ(result, c.expected) << ResultCodeName(result) << "\n" << log;
    EXPECT_GE(ms, static_cast<long long>(c.waitMs) - kEarlyMs) << "returned before its time-out";
    EXPECT_LE(ms, static_cast<long long>(c.allowMs + kSlackMs))
        << "longer than its time-outs allow";

    // The lock is free: portFree says so and a new exchange can take it at once.
    EXPECT_EQ(d().portFree.load(), 1);
    const auto lockStart = Clock::now();
    ASSERT_EQ(AcquirePort(d()), VR_S_OK);
    EXPECT_LT(Clock::now() - lockStart, std::chrono::milliseconds(100));
    ReleasePort(d());
    EXPECT_EQ(d().cancelRequested.load(), 0);

    const bool identification = c.op == Op::Identify || c.op == Op::FindDevice;
    if (identification) {
        if (c.expected == 1) {
            EXPECT_EQ(d().hardwareType, c.hardwareType);
            EXPECT_EQ(d().capabilities, c.capabilities);
            EXPECT_EQ(d().baudIndex, c.baudIndex);
            EXPECT_EQ(d().portNumber, kComNumber);
            EXPECT_TRUE(d().port->IsOpen());
            EXPECT_EQ(version_[2], static_cast<uint8_t>(d().hardwareId));
            if (c.op == Op::FindDevice) {
                EXPECT_EQ(d().lastPortNumber, kComNumber);
                EXPECT_EQ(d().lastBaudIndex, c.baudIndex);
            }
        } else {
            // Nothing found: the port is closed and nothing is claimed.
            EXPECT_FALSE(d().port->IsOpen());
            EXPECT_EQ(d().portNumber, 255);
            EXPECT_EQ(d().capabilities, 0u);
            EXPECT_STREQ(text_, "");
            if (c.op == Op::FindDevice) {
                EXPECT_EQ(d().lastPortNumber, kScanStart);
            }
        }
    } else if (result == VR_S_OK) {
        ExpectData(c.op, buffer);
    }
    if (d().port->IsOpen()) {
        ASSERT_TRUE(d().port->GetTimeouts());
        EXPECT_EQ(d().port->timeouts.ReadTotalTimeoutConstant, c.readTimeoutMs);
    }

    // --- the next call
    dev_->ClearFaults();
    if (c.delayMs != 0) {
        // Let a late reply arrive (it is discarded by the next exchange's purge).
        std::this_thread::sleep_until(started + std::chrono::milliseconds(c.delayMs + 150));
    }
    std::vector<uint8_t> again;
    switch (c.next) {
        case Next::Works:
            if (identification && c.expected == 1) {
                // The identified device answers on the port (and at the speed) it was found.
                again.assign(256, 0);
                ASSERT_EQ(d().ReadBlock(again.data(), 256, kBlockAddress, 0, nullptr), VR_S_OK)
                    << dev_->LogText();
                EXPECT_EQ(again, sim().ReadMemory(qxsim::kSpace2, kBlockAddress, 256));
            } else {
                ASSERT_EQ(Run(c.op, again), identification ? 1 : VR_S_OK) << dev_->LogText();
                ExpectData(c.op, again);
            }
            break;
        case Next::DeviceGone: {
            const auto t0 = Clock::now();
            const int32_t next = Run(c.op, again);
            EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kConstantMs + kSlackMs));
            EXPECT_EQ(next, identification ? 0 : VR_E_COMM_WRITE_FAILURE) << ResultCodeName(next);
            EXPECT_EQ(d().portFree.load(), 1);
            break;
        }
        case Next::AfterReplug:
            ASSERT_TRUE(WaitPlugged(3000)) << "the simulator did not come back";
            if (!identification) {
                ASSERT_EQ(d().OpenPortByName(dev_->comName().c_str()), VR_S_OK);
            }
            ASSERT_EQ(Run(c.op, again), identification ? 1 : VR_S_OK) << dev_->LogText();
            ExpectData(c.op, again);
            break;
    }
}

// clang-format off
const uint32_t kBlockData = ReadMs(256);
const uint32_t kBlockAck = ReadMs(1);
const uint32_t kBulkData = ReadMs(4096);
const uint32_t kBulkAck = kBulkWriteConstantMs + 1;
const uint32_t kProbeHit = kPrepareMs + ReadMs(3) + kIdentifyKelbyMs;
// The first version request unanswered, the second (at 921600 baud) answered.
const uint32_t kProbeSecond = kPrepareMs + 2 * ReadMs(3) + kSpeedPauseMs + kIdentifyKelbyMs;

INSTANTIATE_TEST_SUITE_P(ReadBlock, FaultMatrix, ::testing::Values(
    // The second of two 256-byte packets fails; the first went through.
    Case{"Dropped", Op::ReadBlock, {"R:none@2"}, VR_E_COMM_READ_TIMEOUT,
         kBlockData, kBlockData, Next::Works},
    Case{"Short", Op::ReadBlock, {"R:short=100@2"}, VR_E_COMM_READ_TIMEOUT,
         kIntervalMs, kBlockData, Next::Works},
    Case{"BadChecksum", Op::ReadBlock, {"R:badsum@2"}, VR_E_EXTERNAL_CS_INVALID,
         0, 0, Next::Works},
    Case{"Refused", Op::ReadBlock, {"R:refuse@2"}, VR_E_COMM_READ_TIMEOUT,
         kIntervalMs, kBlockData, Next::Works},
    Case{"DelayUnder", Op::ReadBlock, {"R:delay=356@2"}, VR_S_OK,
         kBlockData - kUnderMs, kBlockData, Next::Works},
    Case{"DelayOver", Op::ReadBlock, {"R:delay=706@2"}, VR_E_COMM_READ_TIMEOUT,
         kBlockData, kBlockData, Next::Works, kBlockData + kOverMs},
    // Eight bytes ahead of the reply: the checksum read takes a data byte.
    Case{"Garbage", Op::ReadBlock, {"R:garbage=8@2"}, VR_E_EXTERNAL_CS_INVALID,
         0, 0, Next::Works},
    Case{"Unplugged", Op::ReadBlock, {"R:unplug=100@2"}, VR_E_COMM_READ_TIMEOUT,
         0, kBlockData, Next::DeviceGone},
    Case{"Replugged", Op::ReadBlock, {"R:unplug=0@2,replug=300"}, VR_E_COMM_READ_TIMEOUT,
         0, kBlockData, Next::AfterReplug}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(WriteBlock, FaultMatrix, ::testing::Values(
    Case{"Dropped", Op::WriteBlock, {"W:none@2"}, VR_E_COMM_READ_TIMEOUT,
         kBlockAck, kBlockAck, Next::Works},
    // A one-byte acknowledgement cut short is no byte at all.
    Case{"Short", Op::WriteBlock, {"W:short=0@2"}, VR_E_COMM_READ_TIMEOUT,
         kBlockAck, kBlockAck, Next::Works},
    Case{"BadChecksum", Op::WriteBlock, {"W:badsum@2"}, VR_E_INVALID_RESPONSE,
         0, 0, Next::Works},
    Case{"Refused", Op::WriteBlock, {"W:refuse@2"}, VR_E_INVALID_RESPONSE,
         0, 0, Next::Works},
    Case{"DelayUnder", Op::WriteBlock, {"W:delay=101@2"}, VR_S_OK,
         kBlockAck - kUnderMs, kBlockAck, Next::Works},
    Case{"DelayOver", Op::WriteBlock, {"W:delay=451@2"}, VR_E_COMM_READ_TIMEOUT,
         kBlockAck, kBlockAck, Next::Works, kBlockAck + kOverMs},
    Case{"Garbage", Op::WriteBlock, {"W:garbage=3@2"}, VR_E_INVALID_RESPONSE,
         0, 0, Next::Works},
    Case{"Unplugged", Op::WriteBlock, {"W:unplug=0@2"}, VR_E_COMM_READ_TIMEOUT,
         0, kBlockAck, Next::DeviceGone},
    Case{"Replugged", Op::WriteBlock, {"W:unplug=0@2,replug=300"}, VR_E_COMM_READ_TIMEOUT,
         0, kBlockAck, Next::AfterReplug}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(BulkRead, FaultMatrix, ::testing::Values(
    // The second of two 4096-byte packets fails.
    Case{"Dropped", Op::BulkRead, {"ZR:none@2"}, VR_E_COMM_READ_TIMEOUT,
         kBulkData, kBulkData, Next::Works},
    Case{"Short", Op::BulkRead, {"ZR:short=1000@2"}, VR_E_COMM_READ_TIMEOUT,
         kIntervalMs, kBulkData, Next::Works},
    Case{"BadChecksum", Op::BulkRead, {"ZR:badsum@2"}, VR_E_EXTERNAL_CS_INVALID,
         0, 0, Next::Works},
    Case{"Refused", Op::BulkRead, {"ZR:refuse@2"}, VR_E_COMM_READ_TIMEOUT,
         kIntervalMs, kBulkData, Next::Works},
    Case{"DelayUnder", Op::BulkRead, {"ZR:delay=4196@2"}, VR_S_OK,
         kBulkData - kUnderMs, kBulkData, Next::Works},
    Case{"DelayOver", Op::BulkRead, {"ZR:delay=4546@2"}, VR_E_COMM_READ_TIMEOUT,
         kBulkData, kBulkData, Next::Works, kBulkData + kOverMs},
    Case{"Garbage", Op::BulkRead, {"ZR:garbage=5@2"}, VR_E_EXTERNAL_CS_INVALID,
         0, 0, Next::Works},
    Case{"Unplugged", Op::BulkRead, {"ZR:unplug=2000@2"}, VR_E_COMM_READ_TIMEOUT,
         0, kBulkData, Next::DeviceGone},
    Case{"Replugged", Op::BulkRead, {"ZR:unplug=0@2,replug=300"}, VR_E_COMM_READ_TIMEOUT,
         0, kBulkData, Next::AfterReplug}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(BulkWrite, FaultMatrix, ::testing::Values(
    // A cut-short acknowledgement is the dropped case (one byte): not run twice for 6 s.
    Case{"Dropped", Op::BulkWrite, {"ZW:none@2"}, VR_E_COMM_READ_TIMEOUT,
         kBulkAck, kBulkAck, Next::Works},
    Case{"BadChecksum", Op::BulkWrite, {"ZW:badsum@2"}, VR_E_INVALID_RESPONSE,
         0, 0, Next::Works},
    Case{"Refused", Op::BulkWrite, {"ZW:refuse@2"}, VR_E_INVALID_RESPONSE,
         0, 0, Next::Works},
    Case{"DelayUnder", Op::BulkWrite, {"ZW:delay=5801@2"}, VR_S_OK,
         kBulkAck - kUnderMs, kBulkAck, Next::Works},
    Case{"DelayOver", Op::BulkWrite, {"ZW:delay=6151@2"}, VR_E_COMM_READ_TIMEOUT,
         kBulkAck, kBulkAck, Next::Works, kBulkAck + kOverMs},
    Case{"Garbage", Op::BulkWrite, {"ZW:garbage=3@2"}, VR_E_INVALID_RESPONSE,
         0, 0, Next::Works},
    Case{"Unplugged", Op::BulkWrite, {"ZW:unplug=0@2"}, VR_E_COMM_READ_TIMEOUT,
         0, kBulkAck, Next::DeviceGone},
    Case{"Replugged", Op::BulkWrite, {"ZW:unplug=0@2,replug=300"}, VR_E_COMM_READ_TIMEOUT,
         0, kBulkAck, Next::AfterReplug}),
    CaseName);

// Identification of one port (OpenDeviceOnPort) and the scan (FindDevice): faults on the
// version request 'V' 'V', unless noted. A device is found when it answers at 115200,
// 921600 or 19200 baud; the serial request of identification leaves 600 ms behind.
#define QX_IDENTIFY_CASES(OP, EXTRA)                                                        \
    Case{"Dropped", OP, {"VV:none"}, 0, EXTRA + kProbeMissMs, EXTRA + kProbeMissMs,         \
         Next::Works},                                                                      \
    Case{"Short", OP, {"VV:short=2"}, 0, EXTRA + kPrepareMs + 3 * kIntervalMs,              \
         EXTRA + kProbeMissMs, Next::Works},                                                \
    /* No checksum guards the version ID: a changed letter is another model. */            \
    Case{"BadChecksum", OP, {"VV:badsum@1"}, 1, EXTRA + kPrepareMs, EXTRA + kProbeHit,     \
         Next::Works, 0, 8, 7, kKelbyIICaps, kSerialConstantMs},                            \
    Case{"Refused", OP, {"VV:refuse"}, 0, EXTRA + kPrepareMs + 3 * kIntervalMs,             \
         EXTRA + kProbeMissMs, Next::Works},                                                \
    Case{"DelayUnder", OP, {"VV:delay=103@1"}, 1, EXTRA + kPrepareMs + ReadMs(3) - kUnderMs, \
         EXTRA + kProbeHit, Next::Works, 0, 7, 7, kKelbyCaps, kSerialConstantMs},           \
    /* The late reply lands in the second try, at 921600 baud; that try's own request */    \
    /* gets no answer, so nothing stale is left on the line. */                             \
    Case{"DelayOver", OP, {"VV:delay=453@1", "VV:none@1"}, 1,                               \
         EXTRA + kPrepareMs + ReadMs(3) + kOverMs, EXTRA + kProbeSecond, Next::Works, 0, 7, \
         0, kKelbyCaps, kSerialConstantMs},                                                 \
    /* Garbage makes the first reply unprintable; the purge of the second try drops */      \
    /* the rest and the device answers at 921600. */                                        \
    Case{"Garbage", OP, {"VV:garbage=3@1"}, 1, EXTRA + kPrepareMs, EXTRA + kProbeSecond,    \
         Next::Works, 0, 7, 0, kKelbyCaps, kSerialConstantMs},                              \
    /* Gone while identification reads the EEPROM record: the Kelby's fallback row, */     \
    /* then the bank request fails and ends identification; a device was found. */          \
    Case{"Unplugged", OP, {"HR:unplug=3@1"}, 1, EXTRA + kPrepareMs, EXTRA + kProbeHit,     \
         Next::DeviceGone, 0, 7, 7, kKelbyFallbackCaps, kConstantMs},                       \
    Case{"Replugged", OP, {"VV:unplug=0@1,replug=300"}, 0, EXTRA + kPrepareMs,              \
         EXTRA + kProbeMissMs, Next::AfterReplug}

INSTANTIATE_TEST_SUITE_P(Identify, FaultMatrix, ::testing::Values(
    QX_IDENTIFY_CASES(Op::Identify, 0)), CaseName);
INSTANTIATE_TEST_SUITE_P(FindDevice, FaultMatrix, ::testing::Values(
    QX_IDENTIFY_CASES(Op::FindDevice, kSettleMs)), CaseName);
// clang-format on

}  // namespace
