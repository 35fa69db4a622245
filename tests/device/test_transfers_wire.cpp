// The transfers on the wire: request bytes, address forms and memory spaces, write commands
// and their replies, the bulk path of WriteBlock, progress reports, cancellation, and the
// Tolliver configuration bytes through block transfers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cipher.h"
#include "support/elapsed.h"
#include "test_transfers_support.h"

namespace {

using qxtest::MsSince;

using namespace qx;
using qxtest::Hex;
using qxtest::SimDevice;
using xfer::Bytes;
using xfer::ModelCase;
using xfer::Open;
using xfer::Pattern;
using xfer::Recorder;
using xfer::Sealed;
using Steps = std::vector<std::vector<uint32_t>>;
using Lines = std::vector<std::string>;

std::vector<uint8_t> Concat(std::vector<uint8_t> head, const uint8_t* data, size_t size) {
    head.insert(head.end(), data, data + size);
    return head;
}

// ------------------------------------------------------------------ wire examples

TEST(TransferWire, WriteOf300BytesIsTwoPackets) {
    SimDevice dev(xfer::Config(xfer::kVorrel, false));
    ASSERT_TRUE(Open(dev, xfer::kVorrel));
    const std::vector<uint8_t> image = Pattern(300, 1);
    ASSERT_EQ(dev.device().WriteBlock(image.data(), 300, 0x1200, 0, nullptr), VR_S_OK);
    const std::vector<std::vector<uint8_t>> expected{
        Sealed(Concat(Bytes({'W', 0x00, 0x12, 0x00}), image.data(), 256)),
        Sealed(Concat(Bytes({'W', 0x2C, 0x13, 0x00}), image.data() + 256, 44))};
    EXPECT_EQ(dev.Requests(), expected);
    EXPECT_EQ(dev.Messages(), Lines{"QXVorrel: Slow writing 300 bytes"});
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0x1200, 300), image);
}

TEST(TransferWire, LargeBinReadSwitchesBanksAtTheBoundary) {
    qxsim::Config config = xfer::Config(xfer::kKelby, false);
    config.emulationBank = 8;
    config.image = Pattern(0x30000, 4);
    SimDevice dev(config);
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    ASSERT_EQ(d.readWriteBank, 0);
    std::vector<uint8_t> back(512, 0);
    ASSERT_EQ(d.ReadBlock(back.data(), 512, 2 * 65536 - 128, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), (Lines{"42 52 01 95", "52 80 FF 80 51", "42 52 02 96",
                                       "52 00 00 00 52", "52 80 01 00 D3"}));
    EXPECT_EQ(back,
              std::vector<uint8_t>(config.image.begin() + 0x1FF80, config.image.begin() + 0x20180));
    EXPECT_EQ(d.readWriteBank, 2);
    EXPECT_EQ(dev.Messages(), (Lines{"QXVorrel: Slow Reading 512 bytes",
                                     "QXVorrel ReadBlock Request initiated for 512 bytes.",
                                     "QXVorrel: Set R/W Bank Succeeded: Bank 1",
                                     "QXVorrel: Set R/W Bank Succeeded: Bank 2"}));
}

TEST(TransferWire, BulkReadRequestsAreWholePages) {
    qxsim::Config config = xfer::Config(xfer::kKelby, false);
    config.image = Pattern(0x10000, 6);
    SimDevice dev(config);
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    std::vector<uint8_t> back(8192, 0);
    ASSERT_EQ(dev.device().BulkRead(back.data(), 8192, 0x4000, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), (Lines{"5A 52 10 00 40 FC", "5A 52 10 00 50 0C"}));
    EXPECT_EQ(back,
              std::vector<uint8_t>(config.image.begin() + 0x4000, config.image.begin() + 0x6000));
    EXPECT_EQ(dev.Messages(), (Lines{"QXVorrel: Bulk reading 8KB",
                                     "VarnexWare: Bulk Read Request initiated for 8192 bytes."}));
}

TEST(TransferWire, TolliverOneByteReadDefaultsToSpace20) {
    qxsim::Config config = xfer::Config({"Tolliver15", 'Q', 1, 5, 8}, false);
    config.tolliverBank = 0x05;
    SimDevice dev(config);
    ASSERT_TRUE(Open(dev, {"Tolliver15", 'Q', 1, 5, 8}));
    uint8_t value = 0;
    ASSERT_EQ(dev.device().ReadBlock(&value, 1, 0x200001, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), Lines{"52 01 20 00 01 74"});
    EXPECT_EQ(value, 0x05);
}

// ------------------------------------------------------------------ encrypted forms

struct EncryptedCase {
    const char* name;
    ModelCase model;
    bool bulkWrite;  // else a block read
    uint32_t address;
    uint32_t flags;
    std::vector<uint8_t> head;   // plain bytes in front of the run
    std::vector<uint8_t> plain;  // the run after decryption, random bytes left out
};

class EncryptedForm : public ::testing::TestWithParam<EncryptedCase> {};

// The run from the first random byte up to the checksum is encrypted with a fresh chain; the
// checksum covers the bytes as sent.
TEST_P(EncryptedForm, RunIsEncryptedAfterTheCommandBytes) {
    const EncryptedCase& c = GetParam();
    SimDevice dev(xfer::Config(c.model, true));
    ASSERT_TRUE(Open(dev, c.model, true));
    QXVorrel& d = dev.device();
    const std::vector<uint8_t> data = Pattern(256, 8);
    std::vector<uint8_t> back(16, 0);
    if (c.bulkWrite) {
        ASSERT_EQ(d.BulkWrite(data.data(), 256, c.address, c.flags, nullptr), VR_S_OK);
    } else {
        ASSERT_EQ(d.ReadBlock(back.data(), 16, c.address, c.flags, nullptr), VR_S_OK);
    }
    const auto transcript = dev.Transcript();
    ASSERT_EQ(transcript.size(), 1u);
    ASSERT_TRUE(transcript[0].encrypted);
    std::vector<uint8_t> request = transcript[0].bytes;
    std::vector<uint8_t> expectedPlain = c.plain;
    if (c.bulkWrite) expectedPlain.insert(expectedPlain.end(), data.begin(), data.end());
    ASSERT_EQ(request.size(), c.head.size() + 2 + expectedPlain.size() + 1);
    EXPECT_EQ(request.back(), xfer::Sum8(std::vector<uint8_t>(request.begin(), request.end() - 1)));
    EXPECT_EQ(std::vector<uint8_t>(request.begin(), request.begin() + c.head.size()), c.head);
    std::vector<uint8_t> run(request.begin() + c.head.size(), request.end() - 1);
    qxsim::DecryptRun(qxsim::StartChain(), run.data(), run.size());
    EXPECT_EQ(std::vector<uint8_t>(run.begin() + 2, run.end()), expectedPlain);
    if (!c.bulkWrite) {
        const uint32_t offset = c.model.letter == 'R' ? c.address & 0xFFFFF : c.address;
        EXPECT_EQ(back, dev.sim().ReadMemory(qxsim::kSpace2, offset, 16));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EncryptedForm,
    ::testing::Values(EncryptedCase{"Read2Byte", xfer::kKelby, false, 0x1234, 0, Bytes({'R', 16}),
                                    Bytes({0x12, 0x34})},
                      EncryptedCase{"Read3ByteSpace20", xfer::kSarnet, false, 0x0A1234, 0,
                                    Bytes({'R', 16}), Bytes({0x2A, 0x12, 0x34})},
                      EncryptedCase{"Read3ByteQuentor", xfer::kQuentor, false, 0x0A1234, XferSpace1,
                                    Bytes({'R', 16}), Bytes({0x0A, 0x12, 0x34})},
                      EncryptedCase{"BulkWriteSpace10", xfer::kSarnet, true, 0x0A1200, XferSpace1,
                                    Bytes({'Z', 'W', 1}), Bytes({0x1A, 0x12})},
                      EncryptedCase{"BulkWrite2Byte", xfer::kKelby, true, 0x4300, 0,
                                    Bytes({'Z', 'W', 1}), Bytes({0x00, 0x43})}),
    [](const ::testing::TestParamInfo<EncryptedCase>& info) { return info.param.name; });

// ------------------------------------------------------------------ memory spaces

enum class Op { ReadBlock, WriteBlock, BulkRead, BulkWrite, BulkWriteBoth };

struct SpaceCase {
    const char* name;
    ModelCase model;
    Op op;
    uint32_t flags;
    int32_t expected;
    std::vector<int> topBytes;  // first address byte of each request; none when refused
};

class MemorySpaces : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(MemorySpaces, SpaceBitsByFlagsAndModel) {
    const SpaceCase& c = GetParam();
    SimDevice dev(xfer::Config(c.model, false));
    ASSERT_TRUE(Open(dev, c.model));
    QXVorrel& d = dev.device();
    const uint32_t address = 0x0A1000;
    std::vector<uint8_t> buffer = Pattern(256, 3);
    int32_t result = VR_E_GENERAL_ERROR;
    size_t topAt = 2;  // block requests: command, count, address
    switch (c.op) {
        case Op::ReadBlock:
            result = d.ReadBlock(buffer.data(), 256, address, c.flags, nullptr);
            break;
        case Op::WriteBlock:
            result = d.WriteBlock(buffer.data(), 256, address, c.flags | XferNoBulk, nullptr);
            break;
        case Op::BulkRead:
            result = d.BulkRead(buffer.data(), 256, address, c.flags, nullptr);
            topAt = 3;
            break;
        case Op::BulkWrite:
            result = d.BulkWrite(buffer.data(), 256, address, c.flags, nullptr);
            topAt = 3;
            break;
        case Op::BulkWriteBoth:
            result = d.BulkWriteBoth(buffer.data(), 256, address, c.flags, nullptr);
            topAt = 3;
            break;
    }
    EXPECT_EQ(result, c.expected);
    std::vector<int> tops;
    for (const auto& request : dev.Requests()) tops.push_back(request.at(topAt));
    EXPECT_EQ(tops, c.topBytes);
}

constexpr uint32_t S1 = XferSpace1, S2 = XferSpace2, S3 = XferSpace3;

INSTANTIATE_TEST_SUITE_P(
    Flags, MemorySpaces,
    ::testing::Values(
        SpaceCase{"ReadNone", xfer::kSarnet, Op::ReadBlock, 0, VR_S_OK, {0x2A}},
        SpaceCase{"ReadS1", xfer::kSarnet, Op::ReadBlock, S1, VR_S_OK, {0x1A}},
        SpaceCase{"ReadS2", xfer::kSarnet, Op::ReadBlock, S2, VR_S_OK, {0x2A}},
        SpaceCase{"ReadS1S2", xfer::kSarnet, Op::ReadBlock, S1 | S2, VR_S_OK, {0x1A}},
        SpaceCase{"ReadS3", xfer::kSarnet, Op::ReadBlock, S3, VR_S_OK, {0x2A}},
        SpaceCase{"ReadTolliverS1", xfer::kTolliver, Op::ReadBlock, S1, VR_S_OK, {0x1A}},
        SpaceCase{"ReadQuentorS1", xfer::kQuentor, Op::ReadBlock, S1, VR_S_OK, {0x0A}},
        SpaceCase{"WriteNone", xfer::kSarnet, Op::WriteBlock, 0, VR_S_OK, {0x0A}},
        SpaceCase{"WriteS1", xfer::kSarnet, Op::WriteBlock, S1, VR_S_OK, {0x1A}},
        SpaceCase{"WriteS2", xfer::kSarnet, Op::WriteBlock, S2, VR_S_OK, {0x2A}},
        SpaceCase{"WriteS3", xfer::kSarnet, Op::WriteBlock, S3, VR_S_OK, {0x0A}},
        SpaceCase{"WriteQuentorS2", xfer::kQuentor, Op::WriteBlock, S2, VR_S_OK, {0x0A}},
        SpaceCase{"BulkReadNone", xfer::kSarnet, Op::BulkRead, 0, VR_S_OK, {0x2A}},
        SpaceCase{"BulkReadS1", xfer::kSarnet, Op::BulkRead, S1, VR_S_OK, {0x1A}},
        SpaceCase{"BulkReadS2S3", xfer::kSarnet, Op::BulkRead, S2 | S3, VR_S_OK, {0x2A}},
        SpaceCase{"BulkReadS3", xfer::kSarnet, Op::BulkRead, S3, VR_E_INVALID_REQUEST_PARAM, {}},
        SpaceCase{"BulkReadQuentorS3", xfer::kQuentor, Op::BulkRead, S3, VR_S_OK, {0x0A}},
        SpaceCase{"BulkWriteNone", xfer::kSarnet, Op::BulkWrite, 0, VR_E_INVALID_REQUEST_PARAM, {}},
        SpaceCase{"BulkWriteS1", xfer::kSarnet, Op::BulkWrite, S1, VR_S_OK, {0x1A}},
        SpaceCase{"BulkWriteS2", xfer::kSarnet, Op::BulkWrite, S2, VR_S_OK, {0x2A}},
        SpaceCase{"BulkWriteS3", xfer::kSarnet, Op::BulkWrite, S3, VR_E_INVALID_REQUEST_PARAM, {}},
        SpaceCase{"BulkWriteQuentorNone", xfer::kQuentor, Op::BulkWrite, 0, VR_S_OK, {0x0A}},
        SpaceCase{"BothNone", xfer::kSarnet, Op::BulkWriteBoth, 0, VR_S_OK, {0x2A, 0x1A}},
        SpaceCase{"BothS1", xfer::kSarnet, Op::BulkWriteBoth, S1, VR_S_OK, {0x1A}},
        SpaceCase{"BothS3", xfer::kSarnet, Op::BulkWriteBoth, S3, VR_E_INVALID_REQUEST_PARAM, {}},
        SpaceCase{"BothQuentor", xfer::kQuentor, Op::BulkWriteBoth, 0, VR_S_OK, {0x0A}}),
    [](const ::testing::TestParamInfo<SpaceCase>& info) { return info.param.name; });

TEST(TransferWire, BulkWriteBothStopsAfterAFailedFirstSpace) {
    SimDevice dev(xfer::Config(xfer::kSarnet, false));
    ASSERT_TRUE(Open(dev, xfer::kSarnet));
    ASSERT_TRUE(dev.AddFault("ZW:refuse"));
    const std::vector<uint8_t> image = Pattern(4096, 2);
    EXPECT_EQ(dev.device().BulkWriteBoth(image.data(), 4096, 0x0A0000, 0, nullptr),
              VR_E_INVALID_RESPONSE);
    ASSERT_EQ(dev.Requests().size(), 1u);
    EXPECT_EQ(dev.Requests()[0][3], 0x2A);
}

// Sarnet and Tolliver: a WriteBlock without a space goes to both spaces on the bulk path.
TEST(TransferWire, WriteBlockBulkPathFillsBothSpaces) {
    SimDevice dev(xfer::Config(xfer::kSarnet, false));
    ASSERT_TRUE(Open(dev, xfer::kSarnet));
    const std::vector<uint8_t> image = Pattern(8192, 12);
    ASSERT_EQ(dev.device().WriteBlock(image.data(), 8192, 0x0A0000, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex().size(), 4u);
    std::vector<int> tops;
    for (const auto& request : dev.Requests()) tops.push_back(request.at(3));
    EXPECT_EQ(tops, (std::vector<int>{0x2A, 0x2A, 0x1A, 0x1A}));
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0xA0000, 8192), image);
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace1, 0xA0000, 8192), image);
}

// ------------------------------------------------------------------ write commands

struct CommandCase {
    const char* name;
    ModelCase model;
    uint32_t flags;
    uint8_t command;
};

class WriteCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(WriteCommand, CommandByFlagsAndFamily) {
    const CommandCase& c = GetParam();
    SimDevice dev(xfer::Config(c.model, false));
    ASSERT_TRUE(Open(dev, c.model));
    const std::vector<uint8_t> image = Pattern(300, 21);
    const uint32_t address = c.model.letter == '+' ? 0x0A1000 : 0x1000;
    ASSERT_EQ(dev.device().WriteBlock(image.data(), 300, address, c.flags | XferNoBulk, nullptr),
              VR_S_OK)
        << dev.LogText();
    const auto requests = dev.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0][0], c.command);
    EXPECT_EQ(requests[1][0], c.command);
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, address, 300), image);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, WriteCommand,
    ::testing::Values(CommandCase{"Plain", xfer::kKelby, 0, 'W'},
                      CommandCase{"LowerOnFamily1", xfer::kKelby, XferWriteLower, 'W'},
                      CommandCase{"LowerOnFamily2", xfer::kCalder, XferWriteLower, 'w'},
                      CommandCase{"LowerOnQuentor", xfer::kQuentor, XferWriteLower, 'W'},
                      CommandCase{"Alt", xfer::kKelby, XferAltWrite, 'X'},
                      CommandCase{"AltBeatsLower", xfer::kCalder, XferAltWrite | XferWriteLower,
                                  'X'}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

// A one-byte 'X' write: the sum fits a byte and the reply is sum, 00.
TEST(TransferWire, AltWriteAcceptsTheLittleEndianSum) {
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    const uint8_t value = 0x05;
    EXPECT_EQ(dev.device().WriteBlock(&value, 1, 0x1000, XferAltWrite, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), Lines{Hex(Sealed(Bytes({'X', 1, 0x10, 0x00, 0x05})))});
}

// ------------------------------------------------------------------ bulk path of WriteBlock

TEST(TransferWire, FailedBulkPathFallsBackToSlowPacketsAfter800ms) {
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    ASSERT_TRUE(dev.AddFault("ZW:refuse"));
    const std::vector<uint8_t> image = Pattern(4096, 30);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(dev.device().WriteBlock(image.data(), 4096, 0x10000, 0, nullptr), VR_S_OK);
    const int64_t ms = MsSince(started);
    EXPECT_GE(ms, 800);
    EXPECT_LT(ms, 2500);
    const auto requests = dev.Requests();
    ASSERT_EQ(requests.size(), 17u);
    EXPECT_EQ(Hex({requests[0].begin(), requests[0].begin() + 5}), "5A 57 10 01 00");
    for (size_t i = 1; i < requests.size(); ++i) {
        const uint32_t at = 0x10000 + static_cast<uint32_t>(i - 1) * 256;
        EXPECT_EQ(requests[i],
                  Sealed(Concat(Bytes({'W', 0x00, static_cast<int>((at >> 8) & 0xFF), 0x00}),
                                image.data() + (i - 1) * 256, 256)));
    }
    EXPECT_EQ(dev.Messages(),
              (Lines{"QXVorrel: Bulk writing 4KB", "QXVorrel: Slow writing 4096 bytes"}));
}

// Sarnet: the slow path after a failed bulk write fills what the bulk path would have, both
// spaces (0x20, then 0x10), whichever space the bulk path failed on.
TEST(TransferWire, FallbackOnTwoSpacesWritesBothSpaces) {
    for (const char* fault : {"ZW:refuse", "ZW:refuse@2"}) {
        SCOPED_TRACE(fault);
        SimDevice dev(xfer::Config(xfer::kSarnet, false));
        ASSERT_TRUE(Open(dev, xfer::kSarnet));
        ASSERT_TRUE(dev.AddFault(fault));
        const std::vector<uint8_t> image = Pattern(4096, 33);
        ASSERT_EQ(dev.device().WriteBlock(image.data(), 4096, 0x0A0000, 0, nullptr), VR_S_OK);
        std::vector<int> slowTops;
        for (const auto& request : dev.Requests()) {
            if (request.at(0) == 'W') slowTops.push_back(request.at(2));
        }
        std::vector<int> expected(16, 0x2A);
        expected.insert(expected.end(), 16, 0x1A);
        EXPECT_EQ(slowTops, expected);
        EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0xA0000, 4096), image);
        EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace1, 0xA0000, 4096), image);
    }
}

TEST(TransferWire, WriteBlockTakesTheBulkPathOnlyForWholePages) {
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    const std::vector<uint8_t> image = Pattern(4096, 31);
    ASSERT_EQ(d.WriteBlock(image.data(), 4096, 0x2000, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex().size(), 1u);  // one ZW packet
    dev.Reset();
    ASSERT_EQ(d.WriteBlock(image.data(), 4096, 0x2080, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex().size(), 16u);  // address not on a page: 'W' packets
    dev.Reset();
    ASSERT_EQ(d.WriteBlock(image.data(), 4000, 0x2000, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex().size(), 16u);  // length not whole pages: the last one short
    EXPECT_EQ(dev.Requests().back()[1], 4000 % 256);
    dev.Reset();
    ASSERT_EQ(d.WriteBlock(image.data(), 4096, 0x2000, XferNoBulk, nullptr), VR_S_OK);
    EXPECT_EQ(dev.RequestHex().size(), 16u);
}

// A cancellation that stops the bulk path stops the write: no slow packets follow it.
TEST(TransferWire, CancelOnTheBulkPathStopsTheWrite) {
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    const std::vector<uint8_t> image = Pattern(512, 32);
    d.cancelRequested = 1;
    ASSERT_EQ(d.WriteBlock(image.data(), 512, 0x3000, 0, nullptr), VR_E_OPERATION_CANCELED);
    EXPECT_EQ(dev.Messages(),
              (Lines{"QXVorrel: Bulk writing 0KB", "VarnexWare: BulkWrite - Operation Canceled"}));
    EXPECT_TRUE(dev.Requests().empty());
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0x3000, 512), std::vector<uint8_t>(512, 0xFF));
    EXPECT_EQ(d.cancelRequested.load(), 0);
    // The request was used up: the next write goes through.
    ASSERT_EQ(d.WriteBlock(image.data(), 512, 0x3000, 0, nullptr), VR_S_OK);
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0x3000, 512), image);
}

// ------------------------------------------------------------------ alignment, zero lengths

TEST(TransferWire, DataWidthZeroIsByteAligned) {
    SimDevice dev(xfer::Config(xfer::kVorrel, false));
    ASSERT_TRUE(Open(dev, xfer::kVorrel));
    QXVorrel& d = dev.device();
    d.dataWidth = 0;
    const std::vector<uint8_t> image = Pattern(3, 40);
    ASSERT_EQ(d.WriteBlock(image.data(), 3, 0x101, 0, nullptr), VR_S_OK);
    std::vector<uint8_t> back(3, 0);
    ASSERT_EQ(d.ReadBlock(back.data(), 3, 0x101, 0, nullptr), VR_S_OK);
    EXPECT_EQ(back, image);
}

TEST(TransferWire, ZeroLengthsSendNothing) {
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    uint8_t byte = 0;
    Recorder::Begin(nullptr);
    EXPECT_EQ(d.ReadBlock(&byte, 0, 0x1000, 0, Recorder::Callback), VR_S_OK);
    EXPECT_EQ(Recorder::Steps(), Steps{});
    EXPECT_EQ(d.WriteBlock(&byte, 0, 0x1000, XferNoBulk, Recorder::Callback), VR_S_OK);
    EXPECT_EQ(Recorder::Steps(), (Steps{{0, 0, 1}, {0, 0, 2}}));
    Recorder::Begin(nullptr);
    EXPECT_EQ(d.BulkRead(&byte, 0, 0x1000, 0, Recorder::Callback), VR_S_OK);
    EXPECT_EQ(Recorder::Steps(), (Steps{{0, 0, 1}, {0, 0, 2}}));
    Recorder::Begin(nullptr);
    EXPECT_EQ(d.BulkWrite(&byte, 0, 0x1000, 0, Recorder::Callback), VR_S_OK);
    EXPECT_EQ(Recorder::Steps(), (Steps{{0, 0, 1}, {0, 0, 2}}));
    EXPECT_TRUE(dev.Requests().empty());
}

// ------------------------------------------------------------------ progress reports

struct ProgressCase {
    const char* name;
    Op op;
    uint32_t length;
    uint32_t flags;
    const char* fault;
    int32_t expected;
    Steps steps;
};

class Progress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(Progress, ReportsAsTheCallbackSeesThem) {
    const ProgressCase& c = GetParam();
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    if (*c.fault != '\0') {
        ASSERT_TRUE(dev.AddFault(c.fault));
    }
    std::vector<uint8_t> buffer = Pattern(c.length, 50);
    Recorder::Begin(&d);
    int32_t result = VR_E_GENERAL_ERROR;
    switch (c.op) {
        case Op::ReadBlock:
            result = d.ReadBlock(buffer.data(), c.length, 0x1000, c.flags, Recorder::Callback);
            break;
        case Op::WriteBlock:
            result = d.WriteBlock(buffer.data(), c.length, 0x1000, c.flags, Recorder::Callback);
            break;
        case Op::BulkRead:
            result = d.BulkRead(buffer.data(), c.length, 0x1000, c.flags, Recorder::Callback);
            break;
        case Op::BulkWrite:
        case Op::BulkWriteBoth:
            result = d.BulkWrite(buffer.data(), c.length, 0x1000, c.flags, Recorder::Callback);
            break;
    }
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(Recorder::Steps(), c.steps);
    // Start reports come before the lock is taken, the others while it is held. A bulk
    // write gives its finished report before its 6000 ms read time-out goes back to 300.
    const bool viaBulkWrite =
        c.op == Op::BulkWrite || (c.op == Op::WriteBlock && (c.flags & XferNoBulk) == 0);
    for (size_t i = 0; i < Recorder::reports.size(); ++i) {
        const xfer::Report& r = Recorder::reports[i];
        SCOPED_TRACE("report " + std::to_string(i));
        EXPECT_EQ(r.size, 24u);
        EXPECT_EQ(r.spare1 | r.spare2, 0u);
        const bool writeBlockAfterBulk =
            c.op == Op::WriteBlock && viaBulkWrite && i + 1 == Recorder::reports.size();
        if (r.state == kProgressStarted || writeBlockAfterBulk) {
            EXPECT_EQ(r.portFree, 1);
            EXPECT_EQ(r.readTimeout, 300u);
        } else {
            EXPECT_EQ(r.portFree, 0);
            EXPECT_EQ(r.readTimeout, viaBulkWrite ? 6000u : 300u);
        }
    }
    EXPECT_EQ(xfer::ReadTimeout(d), 300u);
    EXPECT_EQ(d.portFree.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, Progress,
    // clang-format off
    ::testing::Values(
        ProgressCase{"ReadBlockGivesNone", Op::ReadBlock, 512, 0, "", VR_S_OK, {}},
        ProgressCase{"WriteBlock300", Op::WriteBlock, 300, XferNoBulk, "", VR_S_OK,
            {{0, 1, 1}, {1, 1, 0}, {2, 1, 0}, {2, 1, 2}}},
        ProgressCase{"WriteBlockFailsOnSecond", Op::WriteBlock, 1024, XferNoBulk, "W:refuse@2",
            VR_E_INVALID_RESPONSE, {{0, 4, 1}, {1, 4, 0}, {1, 4, 2}}},
        // The bulk path's reports, then WriteBlock's own finished report.
        ProgressCase{"WriteBlockBulkPath", Op::WriteBlock, 8192, 0, "", VR_S_OK,
            {{0, 2, 1}, {1, 2, 0}, {2, 2, 0}, {2, 2, 2}, {0, 0, 2}}},
        ProgressCase{ "BulkRead512", Op::BulkRead, 512, 0, "", VR_S_OK,
            {{0, 0, 1}, {1, 0, 0}, {1, 0, 2}}},
        ProgressCase{"BulkRead12K", Op::BulkRead, 12288, 0, "", VR_S_OK,
            {{0, 3, 1}, {1, 3, 0}, {2, 3, 0}, {3, 3, 0}, {3, 3, 2}}},
        ProgressCase{"BulkWrite8K", Op::BulkWrite, 8192, 0, "", VR_S_OK,
            {{0, 2, 1}, {1, 2, 0}, {2, 2, 0}, {2, 2, 2}}},
        ProgressCase{"BulkWriteShortTail", Op::BulkWrite, 4352, 0, "", VR_S_OK,
            {{0, 1, 1}, {1, 1, 0}, {2, 1, 0}, {2, 1, 2}}}
    ),
    // clang-format on
    [](const ::testing::TestParamInfo<ProgressCase>& info) { return info.param.name; });

// ------------------------------------------------------------------ cancellation

struct CancelCase {
    const char* name;
    Op op;
    uint32_t length;
    uint32_t flags;
    const char* slowReplies;  // fault that stretches every packet
    size_t packets;
    const char* message;
};

class CancelFromAnotherThread : public ::testing::TestWithParam<CancelCase> {};

TEST_P(CancelFromAnotherThread, StopsBetweenPackets) {
    const CancelCase& c = GetParam();
    qxsim::Config config = xfer::Config(xfer::kKelby, false);
    config.image = Pattern(0x10000, 60);
    SimDevice dev(config);
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    ASSERT_TRUE(dev.AddFault(c.slowReplies));
    std::vector<uint8_t> buffer(c.length, 0);
    const std::vector<uint8_t> image = Pattern(c.length, 61);
    if (c.op == Op::WriteBlock || c.op == Op::BulkWrite) buffer = image;

    std::thread canceller([&] {
        if (dev.sim().WaitForTranscript(3, 5000)) d.cancelRequested = 1;
    });
    int32_t result = VR_E_GENERAL_ERROR;
    switch (c.op) {
        case Op::ReadBlock:
            result = d.ReadBlock(buffer.data(), c.length, 0, c.flags, nullptr);
            break;
        case Op::WriteBlock:
            result = d.WriteBlock(buffer.data(), c.length, 0, c.flags, nullptr);
            break;
        case Op::BulkRead:
            result = d.BulkRead(buffer.data(), c.length, 0, c.flags, nullptr);
            break;
        default:
            result = d.BulkWrite(buffer.data(), c.length, 0, c.flags, nullptr);
            break;
    }
    canceller.join();
    EXPECT_EQ(result, VR_E_OPERATION_CANCELED);
    EXPECT_EQ(d.cancelRequested.load(), 0);
    EXPECT_EQ(dev.Messages().back(), c.message);
    const size_t sent = dev.Requests().size();
    EXPECT_GE(sent, 3u);
    EXPECT_LT(sent, c.packets);
    EXPECT_EQ(d.portFree.load(), 1);
    // What was transferred before the stop is in place.
    const size_t packetSize = c.op == Op::ReadBlock || c.op == Op::WriteBlock ? 256 : 4096;
    const size_t moved = sent * packetSize;
    if (c.op == Op::ReadBlock || c.op == Op::BulkRead) {
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + moved, config.image.begin()));
    } else {
        EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0, moved),
                  std::vector<uint8_t>(image.begin(), image.begin() + moved));
        EXPECT_EQ(
            dev.sim().ReadMemory(qxsim::kSpace2, moved, 256),
            std::vector<uint8_t>(config.image.begin() + moved, config.image.begin() + moved + 256));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, CancelFromAnotherThread,
    ::testing::Values(CancelCase{"ReadBlock", Op::ReadBlock, 0x4000, 0, "R:delay=40", 64,
                                 "QXVorrel: ReadBlock - Operation Canceled"},
                      CancelCase{"WriteBlock", Op::WriteBlock, 0x4000, XferNoBulk, "W:delay=40", 64,
                                 "QXVorrel: WriteBlock - Operation Canceled"},
                      CancelCase{"BulkRead", Op::BulkRead, 0x10000, 0, "ZR:delay=60", 16,
                                 "VarnexWare: Bulk Read - Operation Canceled"},
                      CancelCase{"BulkWrite", Op::BulkWrite, 0x10000, 0, "ZW:delay=60", 16,
                                 "VarnexWare: BulkWrite - Operation Canceled"}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return info.param.name; });

TEST(TransferWire, CancelBeforeTheFirstPacketSendsNothing) {
    SimDevice dev(xfer::Config(xfer::kKelby, false));
    ASSERT_TRUE(Open(dev, xfer::kKelby));
    QXVorrel& d = dev.device();
    uint8_t buffer[16] = {};
    d.cancelRequested = 1;
    EXPECT_EQ(d.ReadBlock(buffer, 16, 0x1000, 0, nullptr), VR_E_OPERATION_CANCELED);
    EXPECT_TRUE(dev.Requests().empty());
    EXPECT_EQ(d.cancelRequested.load(), 0);
    // A call refused before it took the lock leaves the request to the transfer that holds
    // (or next takes) the lock: it may be meant for one running on another thread.
    d.cancelRequested = 1;
    EXPECT_EQ(d.BulkRead(buffer, 16, 0x1000, 0, nullptr), VR_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(d.cancelRequested.load(), 1);
    EXPECT_EQ(d.ReadBlock(buffer, 16, 0x1000, 0, nullptr), VR_E_OPERATION_CANCELED);
    EXPECT_EQ(d.cancelRequested.load(), 0);
    EXPECT_EQ(d.ReadBlock(buffer, 16, 0x1000, 0, nullptr), VR_S_OK);
}

// ------------------------------------------------------------------ Tolliver configuration bytes

struct RouteCase {
    uint8_t major, minor;
    const char* command;  // key of the mode read
};

class TolliverRoute : public ::testing::TestWithParam<RouteCase> {};

TEST_P(TolliverRoute, EarlyFirmwareUsesBlockTransfers) {
    const RouteCase& c = GetParam();
    const ModelCase model{"Tolliver", 'Q', c.major, c.minor, 8};
    qxsim::Config config = xfer::Config(model, false);
    config.tolliverMode = 3;
    SimDevice dev(config);
    ASSERT_TRUE(Open(dev, model));
    ASSERT_EQ(dev.device().GetTolliverMode(), VR_S_OK) << dev.LogText();
    EXPECT_EQ(dev.device().tolliverMode, 3);
    ASSERT_EQ(dev.Transcript().size(), 1u);
    EXPECT_EQ(dev.Transcript()[0].command, c.command);
}

INSTANTIATE_TEST_SUITE_P(Firmware, TolliverRoute,
                         ::testing::Values(RouteCase{1, 0, "R"}, RouteCase{1, 5, "R"},
                                           RouteCase{1, 6, "HR"}, RouteCase{2, 0, "HR"}));

TEST(TolliverBlockRoute, ModeBankMarkerAndConfigByte) {
    const ModelCase model{"Tolliver", 'Q', 1, 5, 8};
    qxsim::Config config = xfer::Config(model, false);
    config.tolliverMode = 1;
    config.tolliverBank = 2;
    config.tolliverMarker = 0x00;
    SimDevice dev(config);
    ASSERT_TRUE(Open(dev, model));
    QXVorrel& d = dev.device();

    ASSERT_EQ(d.GetTolliverMode(), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), Lines{"52 01 20 00 00 73"});
    EXPECT_EQ(d.bankCount, 8);
    dev.Reset();

    uint8_t bank = 0;
    ASSERT_EQ(d.QueryBank(&bank, 1), VR_S_OK);
    EXPECT_EQ(bank, 2);
    EXPECT_EQ(dev.RequestHex(), Lines{"52 01 20 00 01 74"});
    dev.Reset();

    // The marker is not set yet: it is written before the bank.
    ASSERT_EQ(d.SetTolliverBank(7), VR_S_OK) << dev.LogText();
    EXPECT_EQ(dev.RequestHex(),
              (Lines{"52 01 20 00 02 75", Hex(Sealed(Bytes({'W', 1, 0x20, 0x00, 0x02, 0xAA}))),
                     Hex(Sealed(Bytes({'W', 1, 0x20, 0x00, 0x01, 0x07})))}));
    EXPECT_EQ(d.emulationBank, 7);
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0, 3), Bytes({1, 7, 0xAA}));
    dev.Reset();

    // Now it is: only the bank is written.
    ASSERT_EQ(d.SetReadWriteBank(4), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(),
              (Lines{"52 01 20 00 02 75", Hex(Sealed(Bytes({'W', 1, 0x20, 0x00, 0x01, 0x04})))}));
    dev.Reset();

    const uint8_t value = 0x5C;
    ASSERT_EQ(d.WriteConfigByte(&value, 0x200000), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), Lines{Hex(Sealed(Bytes({'W', 1, 0x20, 0x00, 0x00, 0x5C})))});
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0, 1), Bytes({0x5C}));
}

TEST(TolliverBlockRoute, FailedBlockReadIsTheModeReadsResult) {
    const ModelCase model{"Tolliver", 'Q', 1, 5, 8};
    SimDevice dev(xfer::Config(model, false));
    ASSERT_TRUE(Open(dev, model));
    ASSERT_TRUE(dev.AddFault("R:badsum"));
    EXPECT_EQ(dev.device().GetTolliverMode(), VR_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(dev.Messages().back(), "QXVorrel: Tolliver mode retrieval FAILED");
}

}  // namespace
