// Every way a block or bulk transfer can fail, with the simulator's fault injection: the
// result code, the log, the progress reports, and what is left behind (lock free, read
// time-out back at 300 ms, cancellation cleared, the next call working).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "device/qx_vorrel_internal.h"
#include "test_transfers_support.h"

namespace {

using namespace qx;
using qxtest::SimDevice;
using xfer::ModelCase;
using xfer::Recorder;
using Steps = std::vector<std::vector<uint32_t>>;
using Lines = std::vector<std::string>;

enum class Op { ReadBlock, WriteBlock, BulkRead, BulkWrite };

enum class Setup {
    None,
    PortClosed,  // the port handle closed under the device object
    LockHeld,    // the test thread holds the port lock
    Cancel,      // cancelRequested set before the call
    Unplugged,   // the device gone before the call
    NoBulkCap,   // CapBulk cleared
    LargeBin,    // emulation bank 8: the Kelby's whole memory through the R/W bank
    NullBuffer,  // the caller's buffer is null
};

struct FailureCase {
    const char* name;
    Op op;
    ModelCase model;
    Setup setup;
    uint32_t length;
    uint32_t address;
    uint32_t flags;
    const char* fault;  // simulator fault spec, "" for none
    int32_t expected;
    Lines messages;
    Steps reports;  // (done, total, state) as the callback saw them
};

int32_t RunTransfer(QXVorrel& d, Op op, std::vector<uint8_t>& buffer, const FailureCase& c) {
    uint8_t* data = c.setup == Setup::NullBuffer ? nullptr : buffer.data();
    switch (op) {
        case Op::ReadBlock:
            return d.ReadBlock(data, c.length, c.address, c.flags, Recorder::Callback);
        case Op::WriteBlock:
            return d.WriteBlock(data, c.length, c.address, c.flags, Recorder::Callback);
        case Op::BulkRead:
            return d.BulkRead(data, c.length, c.address, c.flags, Recorder::Callback);
        case Op::BulkWrite:
            return d.BulkWrite(data, c.length, c.address, c.flags, Recorder::Callback);
    }
    return VR_E_GENERAL_ERROR;
}

std::string CaseName(const ::testing::TestParamInfo<FailureCase>& info) {
    return info.param.name;
}

class TransferFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(TransferFailure, ResultLogAndCleanExit) {
    const FailureCase& c = GetParam();
    qxsim::Config config = xfer::Config(c.model, false);
    if (c.setup == Setup::LargeBin) config.emulationBank = 8;
    SimDevice dev(config);
    ASSERT_TRUE(xfer::Open(dev, c.model));
    QXVorrel& d = dev.device();

    switch (c.setup) {
        case Setup::PortClosed:
            d.port->Close();
            break;
        case Setup::LockHeld:
            ASSERT_EQ(AcquirePort(d), VR_S_OK);
            break;
        case Setup::Cancel:
            d.cancelRequested = 1;
            break;
        case Setup::Unplugged:
            ASSERT_TRUE(dev.sim().Unplug());
            break;
        case Setup::NoBulkCap:
            d.capabilities &= ~CapBulk;
            break;
        default:
            break;
    }
    if (*c.fault != '\0') {
        ASSERT_TRUE(dev.AddFault(c.fault));
    }
    dev.Reset();
    Recorder::Begin(nullptr);

    std::vector<uint8_t> buffer = xfer::Pattern(c.length == 0 ? 1 : c.length, 5);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunTransfer(d, c.op, buffer, c), c.expected) << dev.LogText();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    EXPECT_EQ(dev.Messages(), c.messages);
    EXPECT_EQ(Recorder::Steps(), c.reports);
    if (c.setup == Setup::NullBuffer) {
        EXPECT_TRUE(dev.Requests().empty());
    }
    for (const xfer::Report& r : Recorder::reports) {
        EXPECT_EQ(r.size, 24u);
        EXPECT_EQ(r.spare1 | r.spare2, 0u);
    }
    EXPECT_EQ(d.cancelRequested.load(), 0);

    if (c.setup == Setup::LockHeld) {
        // The transfer waited its 1200 ms and left the lock to its holder.
        EXPECT_GE(ms, 1100);
        EXPECT_EQ(d.portFree.load(), 0);
        ReleasePort(d);
    }
    EXPECT_EQ(d.portFree.load(), 1);
    if (c.setup == Setup::Unplugged || c.setup == Setup::PortClosed ||
        std::string(c.fault).find("unplug") != std::string::npos) {
        if (!dev.sim().Plugged()) {
            ASSERT_TRUE(dev.sim().Replug());
        }
        ASSERT_EQ(d.OpenPortByName(dev.comName().c_str()), VR_S_OK);
    } else {
        EXPECT_EQ(xfer::ReadTimeout(d), kDefaultReadTimeoutMs);
    }

    // The next call works.
    dev.ClearFaults();
    d.capabilities |= dev.sim().Model().capabilities & CapBulk;
    const uint32_t address = c.model.letter == 'R' ? 0x0A1000 : 0x1000;
    std::vector<uint8_t> back(256, 0);
    ASSERT_EQ(d.ReadBlock(back.data(), 256, address, 0, nullptr), VR_S_OK) << dev.LogText();
    const uint32_t offset = c.model.letter == 'R' ? 0xA1000 : 0x1000;
    EXPECT_EQ(back, dev.sim().ReadMemory(qxsim::kSpace2, offset, 256));
}

// Kelby, plain: 2-byte addresses, bulk, banks. Sarnet: 16-bit words, two spaces.
const ModelCase K = xfer::kKelby;
const ModelCase S = xfer::kSarnet;

const char* const kSlowRead512 = "QXVorrel: Slow Reading 512 bytes";
const char* const kReadInitiated512 = "QXVorrel ReadBlock Request initiated for 512 bytes.";
const char* const kSlowWrite512 = "QXVorrel: Slow writing 512 bytes";
const char* const kBulkReading = "QXVorrel: Bulk reading 8KB";
const char* const kBulkReadInitiated = "VarnexWare: Bulk Read Request initiated for 8192 bytes.";
const char* const kBulkWriting = "QXVorrel: Bulk writing 8KB";
const char* const kSetBankFailed = "QXVorrel: Set R/W Bank Failed!";

const Steps kFinishedOnly{{0, 0, 2}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(ReadBlock, TransferFailure, ::testing::Values(
    FailureCase{"NullBuffer", Op::ReadBlock, K, Setup::NullBuffer, 512, 0x1000, 0, "",
        VR_E_INVALID_FUNC_PARAM, {}, {}},
    FailureCase{"PortClosed", Op::ReadBlock, K, Setup::PortClosed, 512, 0x1000, 0, "",
        VR_E_PORT_NOT_INITIALIZED, {"QXVorrel: ReadBlock requested on uninitialized port"}, {}},
    FailureCase{"OddLength", Op::ReadBlock, S, Setup::None, 3, 0x0A1000, 0, "",
        VR_E_INVALID_ALIGNMENT, {"QXVorrel: Slow Reading 3 bytes",
        "QXVorrel: SarNet I/O request address/size alignment error"}, {}},
    FailureCase{"OddAddress", Op::ReadBlock, S, Setup::None, 2, 0x0A1001, 0, "",
        VR_E_INVALID_ALIGNMENT, {"QXVorrel: Slow Reading 2 bytes",
        "QXVorrel: SarNet I/O request address/size alignment error"}, {}},
    FailureCase{"Busy", Op::ReadBlock, K, Setup::LockHeld, 512, 0x1000, 0, "",
        VR_E_PORT_BUSY, {kSlowRead512, kReadInitiated512}, {}},
    FailureCase{"Canceled", Op::ReadBlock, K, Setup::Cancel, 512, 0x1000, 0, "",
        VR_E_OPERATION_CANCELED,
        {kSlowRead512, kReadInitiated512, "QXVorrel: ReadBlock - Operation Canceled"}, {}},
    FailureCase{"BankRefused", Op::ReadBlock, K, Setup::LargeBin, 512, 0x1FF80, 0, "B:refuse",
        VR_E_LARGE_BIN_BANK_FAILED, {kSlowRead512, kReadInitiated512, kSetBankFailed}, {}},
    FailureCase{"NotWritten", Op::ReadBlock, K, Setup::Unplugged, 512, 0x1000, 0, "",
        VR_E_COMM_WRITE_FAILURE, {kSlowRead512, kReadInitiated512}, {}},
    FailureCase{"DataShort", Op::ReadBlock, K, Setup::None, 512, 0x1000, 0, "R:short=10@2",
        VR_E_COMM_READ_TIMEOUT, {kSlowRead512, kReadInitiated512,
        "QXVorrel: ReadBlock: Read timed-out after 256 bytes. Expected 512 bytes."}, {}},
    FailureCase{"ChecksumMissing", Op::ReadBlock, K, Setup::None, 512, 0x1000, 0, "R:short=256",
        VR_E_COMM_READ_TIMEOUT, {kSlowRead512, kReadInitiated512}, {}},
    // The simulator's memory is 0xFF: 256 of them sum to 00.
    FailureCase{"ChecksumWrong", Op::ReadBlock, K, Setup::None, 512, 0x1000, 0, "R:badsum",
        VR_E_EXTERNAL_CS_INVALID, {kSlowRead512, kReadInitiated512,
        "QXVorrel Read Error - invalid packet checksum. Expected 00, Received 01."}, {}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(WriteBlock, TransferFailure, ::testing::Values(
    FailureCase{"NullBuffer", Op::WriteBlock, K, Setup::NullBuffer, 512, 0x1000, 0, "",
        VR_E_INVALID_FUNC_PARAM, {}, kFinishedOnly},
    // Both bytes of an 'X' sum must arrive: a lone low byte of a small sum confirms nothing.
    FailureCase{"AltReplyShort", Op::WriteBlock, K, Setup::None, 1, 0x1000,
        XferNoBulk | XferAltWrite, "X:short=1", VR_E_COMM_READ_TIMEOUT,
        {"QXVorrel: Slow writing 1 bytes"}, {{0, 0, 1}, {0, 0, 2}}},
    FailureCase{"PortClosed", Op::WriteBlock, K, Setup::PortClosed, 512, 0x1000, 0, "",
        VR_E_PORT_NOT_INITIALIZED, {}, kFinishedOnly},
    FailureCase{"OddLength", Op::WriteBlock, S, Setup::None, 3, 0x0A1000, 0, "",
        VR_E_INVALID_ALIGNMENT, {"QXVorrel: Slow writing 3 bytes",
        "QXVorrel: Device I/O request address/size alignment error"}, kFinishedOnly},
    FailureCase{"Busy", Op::WriteBlock, K, Setup::LockHeld, 512, 0x1000, XferNoBulk, "",
        VR_E_PORT_BUSY, {kSlowWrite512}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"Canceled", Op::WriteBlock, K, Setup::Cancel, 512, 0x1000, XferNoBulk, "",
        VR_E_OPERATION_CANCELED, {kSlowWrite512, "QXVorrel: WriteBlock - Operation Canceled"},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"BankRefused", Op::WriteBlock, K, Setup::LargeBin, 512, 0x1FF80, XferNoBulk,
        "B:refuse", VR_E_LARGE_BIN_BANK_FAILED, {kSlowWrite512, kSetBankFailed},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"NotWritten", Op::WriteBlock, K, Setup::Unplugged, 512, 0x1000, XferNoBulk, "",
        VR_E_COMM_WRITE_FAILURE, {kSlowWrite512}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"ReplyMissing", Op::WriteBlock, K, Setup::None, 512, 0x1000, XferNoBulk,
        "W:none@2", VR_E_COMM_READ_TIMEOUT, {kSlowWrite512}, {{0, 2, 1}, {1, 2, 0}, {1, 2, 2}}},
    FailureCase{"NotAccepted", Op::WriteBlock, K, Setup::None, 512, 0x1000, XferNoBulk,
        "W:refuse", VR_E_INVALID_RESPONSE, {kSlowWrite512}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"GarbageFirst", Op::WriteBlock, K, Setup::None, 512, 0x1000, XferNoBulk,
        "W:garbage=1", VR_E_INVALID_RESPONSE, {kSlowWrite512}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"AltSumWrong", Op::WriteBlock, K, Setup::None, 512, 0x1000,
        XferNoBulk | XferAltWrite, "X:badsum@2", VR_E_ALT_WRITE_BAD_CHECKSUM, {kSlowWrite512},
        {{0, 2, 1}, {1, 2, 0}, {1, 2, 2}}},
    // A reply whose second byte alone equals a small sum is no confirmation. One data byte:
    // the reply DE, sum carries the sum in its second byte.
    FailureCase{"AltSumShifted", Op::WriteBlock, K, Setup::None, 1, 0x1000,
        XferNoBulk | XferAltWrite, "X:garbage=1", VR_E_ALT_WRITE_BAD_CHECKSUM,
        {"QXVorrel: Slow writing 1 bytes"}, {{0, 0, 1}, {0, 0, 2}}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(BulkRead, TransferFailure, ::testing::Values(
    FailureCase{"NullBuffer", Op::BulkRead, K, Setup::NullBuffer, 8192, 0x4000, 0, "",
        VR_E_INVALID_FUNC_PARAM, {}, kFinishedOnly},
    FailureCase{"NoBulk", Op::BulkRead, K, Setup::NoBulkCap, 8192, 0x4000, 0, "",
        VR_E_REQUEST_NOT_SUPPORTED, {}, kFinishedOnly},
    FailureCase{"OddLength", Op::BulkRead, K, Setup::None, 300, 0x4000, 0, "",
        VR_E_INVALID_FUNC_PARAM,
        {"VarnexWare: BulkRead failure. Size/Address must be divisible by 256."}, kFinishedOnly},
    FailureCase{"OddAddress", Op::BulkRead, K, Setup::None, 512, 0x4080, 0, "",
        VR_E_INVALID_FUNC_PARAM,
        {"VarnexWare: BulkRead failure. Size/Address must be divisible by 256."}, kFinishedOnly},
    FailureCase{"PortClosed", Op::BulkRead, K, Setup::PortClosed, 8192, 0x4000, 0, "",
        VR_E_PORT_NOT_INITIALIZED, {"VarnexWare: BulkRead requested on uninitialized port"},
        kFinishedOnly},
    FailureCase{"Busy", Op::BulkRead, K, Setup::LockHeld, 8192, 0x4000, 0, "",
        VR_E_PORT_BUSY, {kBulkReading, kBulkReadInitiated}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"BankRefused", Op::BulkRead, K, Setup::LargeBin, 8192, 0x4000, 0, "B:refuse",
        VR_E_LARGE_BIN_BANK_FAILED, {kBulkReading, kBulkReadInitiated, kSetBankFailed},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"SpaceRefused", Op::BulkRead, S, Setup::None, 8192, 0x0A0000, XferSpace3, "",
        VR_E_INVALID_REQUEST_PARAM, {kBulkReading, kBulkReadInitiated}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"Canceled", Op::BulkRead, K, Setup::Cancel, 8192, 0x4000, 0, "",
        VR_E_OPERATION_CANCELED,
        {kBulkReading, kBulkReadInitiated, "VarnexWare: Bulk Read - Operation Canceled"},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"NotWritten", Op::BulkRead, K, Setup::Unplugged, 8192, 0x4000, 0, "",
        VR_E_COMM_WRITE_FAILURE, {kBulkReading, kBulkReadInitiated}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"DataShort", Op::BulkRead, K, Setup::None, 8192, 0x4000, 0, "ZR:short=100@2",
        VR_E_COMM_READ_TIMEOUT, {kBulkReading, kBulkReadInitiated,
        "VarnexWare: BulkRead: Read timed-out after 4196 bytes. Expected 8192 bytes."},
        {{0, 2, 1}, {1, 2, 0}, {1, 2, 2}}},
    FailureCase{"ChecksumMissing", Op::BulkRead, K, Setup::None, 8192, 0x4000, 0,
        "ZR:short=4096", VR_E_COMM_READ_TIMEOUT, {kBulkReading, kBulkReadInitiated},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"ChecksumWrong", Op::BulkRead, K, Setup::None, 8192, 0x4000, 0, "ZR:badsum",
        VR_E_EXTERNAL_CS_INVALID, {kBulkReading, kBulkReadInitiated,
        "VarnexWare Bulk Read Error - invalid packet checksum. Expected 00, Received 01."},
        {{0, 2, 1}, {0, 2, 2}}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(BulkWrite, TransferFailure, ::testing::Values(
    FailureCase{"NullBuffer", Op::BulkWrite, K, Setup::NullBuffer, 8192, 0x4000, 0, "",
        VR_E_INVALID_FUNC_PARAM, {}, kFinishedOnly},
    FailureCase{"NoBulk", Op::BulkWrite, K, Setup::NoBulkCap, 8192, 0x4000, 0, "",
        VR_E_REQUEST_NOT_SUPPORTED, {}, kFinishedOnly},
    FailureCase{"OddLength", Op::BulkWrite, K, Setup::None, 300, 0x4000, 0, "",
        VR_E_INVALID_FUNC_PARAM,
        {"VarnexWare: BulkWrite failure. Size/Address must be divisible by 256."}, kFinishedOnly},
    FailureCase{"OddAddress", Op::BulkWrite, K, Setup::None, 512, 0x4080, 0, "",
        VR_E_INVALID_FUNC_PARAM,
        {"VarnexWare: BulkWrite failure. Size/Address must be divisible by 256."}, kFinishedOnly},
    FailureCase{"PortClosed", Op::BulkWrite, K, Setup::PortClosed, 8192, 0x4000, 0, "",
        VR_E_PORT_NOT_INITIALIZED, {"VarnexWare: BulkWrite failure. Uninitialized Port."},
        kFinishedOnly},
    FailureCase{"Busy", Op::BulkWrite, K, Setup::LockHeld, 8192, 0x4000, 0, "",
        VR_E_PORT_BUSY,
        {kBulkWriting, "VarnexWare: BulkWrite failure. Failed to acquire port lock."},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"BankRefused", Op::BulkWrite, K, Setup::LargeBin, 8192, 0x4000, 0, "B:refuse",
        VR_E_LARGE_BIN_BANK_FAILED, {kBulkWriting, kSetBankFailed}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"SpaceRefused", Op::BulkWrite, S, Setup::None, 8192, 0x0A0000, 0, "",
        VR_E_INVALID_REQUEST_PARAM, {kBulkWriting}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"Space3Refused", Op::BulkWrite, S, Setup::None, 8192, 0x0A0000, XferSpace3, "",
        VR_E_INVALID_REQUEST_PARAM, {kBulkWriting}, {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"Canceled", Op::BulkWrite, K, Setup::Cancel, 8192, 0x4000, 0, "",
        VR_E_OPERATION_CANCELED, {kBulkWriting, "VarnexWare: BulkWrite - Operation Canceled"},
        {{0, 2, 1}, {0, 2, 2}}},
    FailureCase{"NotWritten", Op::BulkWrite, K, Setup::Unplugged, 8192, 0x4000, 0, "",
        VR_E_COMM_WRITE_FAILURE, {kBulkWriting}, {{0, 2, 1}, {0, 2, 2}}},
    // The device leaves without answering the second packet.
    FailureCase{"ReplyMissing", Op::BulkWrite, K, Setup::None, 8192, 0x4000, 0, "ZW:unplug=0@2",
        VR_E_COMM_READ_TIMEOUT, {kBulkWriting}, {{0, 2, 1}, {1, 2, 0}, {1, 2, 2}}},
    FailureCase{"NotAccepted", Op::BulkWrite, K, Setup::None, 8192, 0x4000, 0, "ZW:refuse",
        VR_E_INVALID_RESPONSE, {kBulkWriting}, {{0, 2, 1}, {0, 2, 2}}}),
    CaseName);
// clang-format on

// ------------------------------------------------------------------ unplugged mid-transfer

struct UnplugCase {
    const char* name;
    Op op;
    uint32_t length;
    uint32_t flags;
    const char* fault;
    int32_t expected;
    int64_t boundMs;  // the packet's own time-outs
};

class UnplugMidTransfer : public ::testing::TestWithParam<UnplugCase> {};

TEST_P(UnplugMidTransfer, ReturnsWithinTheTimeouts) {
    const UnplugCase& c = GetParam();
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(xfer::Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    ASSERT_TRUE(dev.AddFault(c.fault));
    Recorder::Begin(nullptr);

    std::vector<uint8_t> buffer = xfer::Pattern(c.length, 2);
    const FailureCase call{c.name, c.op, xfer::kKelby, Setup::None, c.length, 0x1000, c.flags,
                           "",     0,    {},           {}};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunTransfer(d, c.op, buffer, call), c.expected) << dev.LogText();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::printf("[ unplug  ] %s returned after %lld ms (bound %lld ms)\n", c.name,
                static_cast<long long>(ms), static_cast<long long>(c.boundMs));
    EXPECT_LT(ms, c.boundMs);
    EXPECT_FALSE(dev.sim().Plugged());
    EXPECT_EQ(d.portFree.load(), 1);
    if (c.op != Op::ReadBlock) {
        ASSERT_FALSE(Recorder::reports.empty());
        EXPECT_EQ(Recorder::reports.back().state, kProgressFinished);
    }
}

// Bounds: interval 200 ms, total 1 ms per byte + 300 ms (6000 ms for the bulk write's
// acknowledgement), plus slack for a loaded machine.
INSTANTIATE_TEST_SUITE_P(
    Transfers, UnplugMidTransfer,
    ::testing::Values(UnplugCase{"ReadBlock", Op::ReadBlock, 4096, 0, "R:unplug=100@3",
                                 VR_E_COMM_READ_TIMEOUT, 256 + 300 + 1500},
                      UnplugCase{"WriteBlock", Op::WriteBlock, 4096, XferNoBulk, "W:unplug=0@3",
                                 VR_E_COMM_READ_TIMEOUT, 1 + 300 + 1500},
                      UnplugCase{"BulkRead", Op::BulkRead, 16384, 0, "ZR:unplug=1000@2",
                                 VR_E_COMM_READ_TIMEOUT, 4096 + 300 + 1500},
                      UnplugCase{"BulkWrite", Op::BulkWrite, 16384, 0, "ZW:unplug=0@2",
                                 VR_E_COMM_READ_TIMEOUT, 6000 + 1 + 1500}),
    [](const ::testing::TestParamInfo<UnplugCase>& info) { return info.param.name; });

}  // namespace
