// Ranged transfers against the simulated device: the choice of bulk or block, the block path
// after a failed bulk write (every space again on the two-space models), a stop that does
// not fall back, and progress that says what the device acknowledged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/ranged_transfer.h"
#include "test_transfers_support.h"

namespace {

using namespace qx;
using qxtest::SimDevice;
using xfer::ModelCase;
using xfer::Open;
using xfer::Pattern;

struct RangeCase {
    const char* name;
    ModelCase model;
    const char* fault;  // nullptr: none
    RangeMethod method;
    bool stopAfterFirstPacket;  // the caller's stop, seen before the next device call
    uint32_t address;
    uint32_t length;
    int32_t result;
    bool fellBack;
    // Requests on the wire after the transfer began, by command.
    size_t bulkWrites;
    size_t blockWrites;
    // The space bits of the block packets, each run once, in the order they went out (two-
    // space models only).
    std::vector<uint8_t> blockSpaces;
    uint32_t acknowledged;  // status.done at the end
};

std::vector<uint8_t> BlockSpaces(const std::vector<qxsim::TranscriptEntry>& transcript) {
    std::vector<uint8_t> spaces;
    for (const auto& entry : transcript) {
        if (entry.command != "W") continue;
        const uint8_t space = entry.bytes[2] & 0xF0;
        if (spaces.empty() || spaces.back() != space) spaces.push_back(space);
    }
    return spaces;
}

class RangedTransfer : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangedTransfer, WritesWhatTheBulkPathWouldHaveWritten) {
    const RangeCase& c = GetParam();
    SimDevice dev(xfer::Config(c.model, false));
    ASSERT_TRUE(Open(dev, c.model));
    if (c.fault != nullptr) {
        ASSERT_TRUE(dev.AddFault(c.fault));
    }
    const std::vector<uint8_t> image = Pattern(c.length, c.length);

    RangeOptions options;
    options.method = c.method;
    bool stop = false;
    std::vector<uint64_t> overall;
    std::vector<int32_t> fallbacks;
    options.canceled = [&stop] { return stop; };
    options.progress = [&](const RangeStatus& status) {
        overall.push_back(status.overallDone);
        // As the tool and the stand-in stop: their own flag and the device's.
        if (c.stopAfterFirstPacket) {
            stop = true;
            dev.device().cancelRequested.store(1);
        }
    };
    options.fallingBack = [&fallbacks](int32_t result) { fallbacks.push_back(result); };
    RangeStatus status;
    const int32_t result =
        WriteRange(dev.device(), image.data(), c.address, c.length, options, &status);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(status.fellBack, c.fellBack);
    EXPECT_EQ(fallbacks.size(), c.fellBack ? 1u : 0u);
    const auto transcript = dev.Transcript();
    size_t bulk = 0, block = 0;
    for (const auto& entry : transcript) {
        bulk += entry.command == "ZW";
        block += entry.command == "W";
    }
    EXPECT_EQ(bulk, c.bulkWrites);
    EXPECT_EQ(block, c.blockWrites);
    if (c.model.letter == 'R') {
        EXPECT_EQ(BlockSpaces(transcript), c.blockSpaces);
    }
    EXPECT_EQ(status.done, c.acknowledged);
    // Progress never runs backwards within a path and ends where the status says.
    for (size_t i = 1; i < overall.size() && !c.fellBack; ++i) {
        EXPECT_GE(overall[i], overall[i - 1]);
    }
    if (result == VR_S_OK) {
        EXPECT_EQ(status.overallDone, status.overallTotal);
        const bool twoSpaces = c.model.letter == 'R';
        for (const uint8_t space : twoSpaces ? std::vector<uint8_t>{qxsim::kSpace2, qxsim::kSpace1}
                                             : std::vector<uint8_t>{qxsim::kSpace2})
            EXPECT_EQ(dev.sim().ReadMemory(space, c.address, c.length), image)
                << "space " << int(space);
    }
    // The caller's stop is the caller's: the device flag is left as it was.
    EXPECT_EQ(dev.device().cancelRequested.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RangedTransfer,
    // clang-format off
    ::testing::Values(
        // A device that refuses ZW: the block path writes the whole range after the pause.
        RangeCase{"RefusedBulkFallsBack", xfer::kKelby, "ZW:refuse", RangeMethod::Auto, false,
            0x1000, 0x2000, VR_S_OK, true, 1, 32, {}, 0x2000},
        // Space 0x20 went the bulk way, 0x10 failed: both spaces again, 0x20 first.
        RangeCase{"SecondSpaceFailsBothRewritten", xfer::kSarnet, "ZW:refuse@2", RangeMethod::Auto,
            false, 0x0, 0x1000, VR_S_OK, true, 2, 32, {0x20, 0x10}, 0x1000},
        // --method bulk: no fallback, the failure is the result.
        RangeCase{"BulkOnlyDoesNotFallBack", xfer::kKelby, "ZW:refuse@2", RangeMethod::Bulk, false,
            0x0, 0x3000, VR_E_INVALID_RESPONSE, false, 2, 0, {}, 0x1000},
        // A stop during the bulk write ends it; the block path is not taken.
        RangeCase{"StopDoesNotFallBack", xfer::kKelby, nullptr, RangeMethod::Auto, true, 0x0,
            0x3000, VR_E_OPERATION_CANCELED, false, 1, 0, {}, 0x1000},
        // Block chunks end on 4096 multiples; a stop after the first ends before the next.
        RangeCase{"BlockChunksStopBetween", xfer::kVorrel, nullptr, RangeMethod::Auto, true,
            0x0F80, 0x2100, VR_E_OPERATION_CANCELED, false, 0, 1, {}, 0x80},
        RangeCase{"MisalignedGoesBlock", xfer::kKelby, nullptr, RangeMethod::Auto, false, 0x0F80,
            0x2100, VR_S_OK, false, 0, 34, {}, 0x2100}
    ),
    // clang-format on
    [](const ::testing::TestParamInfo<RangeCase>& info) { return std::string(info.param.name); });

TEST(RangedRead, BlockChunksReportEachAndBulkReportsEachPacket) {
    const struct {
        ModelCase model;
        RangeMethod method;
        uint32_t address, length;
        std::vector<uint64_t> reports;
        size_t requests;
        const char* command;
    } cases[] = {
        {xfer::kKelby, RangeMethod::Block, 0x0F80, 0x2100, {0x80, 0x1080, 0x2080, 0x2100}, 34, "R"},
        {xfer::kKelby, RangeMethod::Auto, 0x1000, 0x2800, {0x1000, 0x2000, 0x2800}, 3, "ZR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        SimDevice dev(xfer::Config(c.model, false));
        ASSERT_TRUE(Open(dev, c.model));
        const std::vector<uint8_t> image = Pattern(c.length, 7);
        dev.sim().WriteMemory(qxsim::kSpace2, c.address, image);
        dev.Reset();
        RangeOptions options;
        options.method = c.method;
        std::vector<uint64_t> reports;
        options.progress = [&reports](const RangeStatus& s) { reports.push_back(s.done); };
        std::vector<uint8_t> back(c.length);
        ASSERT_EQ(ReadRange(dev.device(), back.data(), c.address, c.length, options), VR_S_OK);
        EXPECT_EQ(back, image);
        EXPECT_EQ(reports, c.reports);
        size_t requests = 0;
        for (const auto& entry : dev.Transcript()) requests += entry.command == c.command;
        EXPECT_EQ(requests, c.requests);
    }
}

}  // namespace
