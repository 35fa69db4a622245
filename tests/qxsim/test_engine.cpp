// The protocol engine alone: bytes in, actions out, no terminal and no clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>

#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "host_side.h"
#include "sim.h"
#include "support/sim_config.h"

namespace {

using qxtest::Bytes;
using qxtest::Framed;
using qxtest::SimConfig;
using qxtest::Sum8;
using Step = qxsim::Engine::Step;

// Feeds a whole request and returns the reply; nullopt when the engine wants more bytes.
std::optional<Bytes> Ask(qxsim::Engine& e, const Bytes& request, uint32_t baud = 115200,
                         qxsim::Action* out = nullptr) {
    e.Feed(request.data(), request.size(), baud);
    qxsim::Action a;
    Step s = e.Next(a);
    if (s == Step::Ambiguous) s = e.Next(a, true);
    if (s != Step::Act) return std::nullopt;
    if (out) *out = a;
    return a.reply;
}

// A request's command bytes followed by `count` bytes of `fill`.
Bytes WithData(std::initializer_list<uint8_t> head, size_t count, uint8_t fill) {
    Bytes b(head.size() + count, fill);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

// --- where reads and writes land --------------------------------------------------------------

struct MappingCase {
    const char* name;
    qxsim::Config config;
    Bytes writeRequest;  // without checksum
    uint8_t space;
    uint32_t offset;  // where the first data byte must land
};

std::vector<MappingCase> MappingCases() {
    auto kelby = [](uint8_t emu, uint8_t rw) {
        auto c = SimConfig('O', 10, 15);
        c.emulationBank = emu;
        c.readWriteBank = rw;
        return c;
    };
    auto morrow = SimConfig('D', 3, 0);
    morrow.readWriteBank = 3;
    auto orvaLarge = SimConfig('N', 1, 0);
    orvaLarge.emulationBank = 2;
    orvaLarge.readWriteBank = 1;
    auto brannock = SimConfig('Z', 1, 0);
    brannock.readWriteBank = 5;
    return {
        {"KelbyPlainBank", kelby(0, 2), {0x57, 0x01, 0x12, 0x34, 0xA1}, 0x20, 0x20000 + 0x1234},
        {"KelbyLargeBinSegment", kelby(8, 3), {0x57, 0x01, 0x00, 0x10, 0xA2}, 0x20, 0x30010},
        {"KelbyLargeBinWholeBulk", kelby(8, 8),
         [] {
             Bytes b{0x5A, 0x57, 0x01, 0x05, 0x00};
             b.resize(5 + 256, 0xA3);
             return b;
         }(),
         0x20, 0x50000},
        {"KelbySegmentBulk", kelby(8, 2),
         [] {
             Bytes b{0x5A, 0x57, 0x01, 0x00, 0x01};
             b.resize(5 + 256, 0xA4);
             return b;
         }(),
         0x20, 0x20100},
        {"MorrowSmallBanks", morrow, {0x57, 0x01, 0x00, 0x10, 0xA5}, 0x20, 3 * 0x8000 + 0x10},
        {"OrvaLargeBin", orvaLarge, {0x57, 0x01, 0xFF, 0xFF, 0xA6}, 0x20, 0x1FFFF},
        {"BrannockBanksDoNotMoveWindow", brannock, {0x57, 0x01, 0x00, 0x20, 0xA7}, 0x20, 0x20},
        {"SarnetSpace2",
         SimConfig('R', 1, 0),
         {0x57, 0x02, 0x2F, 0xFF, 0xFE, 0xA8, 0xA8},
         0x20,
         0xFFFFE},
        {"SarnetNoSpaceBitsIsSpace2",
         SimConfig('R', 1, 0),
         {0x57, 0x02, 0x01, 0x00, 0x00, 0xA9, 0xA9},
         0x20,
         0x10000},
        {"SarnetSpace1Bulk", SimConfig('R', 1, 0),
         [] {
             Bytes b{0x5A, 0x57, 0x01, 0x17, 0x01};
             b.resize(5 + 256, 0xAA);
             return b;
         }(),
         0x10, 0x70100},
        {"QuentorWideAddress",
         SimConfig('+', 1, 0),
         {0x57, 0x01, 0x0E, 0x00, 0x01, 0xAB},
         0x20,
         0xE0001},
    };
}

class EngineMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(EngineMapping, WriteLandsAndReadsBack) {
    const MappingCase& mc = GetParam();
    qxsim::Engine e(mc.config);
    const Bytes w = Framed(mc.writeRequest);
    ASSERT_EQ(Ask(e, w), (Bytes{'O'}));
    const uint8_t value = mc.writeRequest.back();
    const auto& mem = e.Memory(mc.space);
    ASSERT_LT(mc.offset, mem.size());
    EXPECT_EQ(mem[mc.offset], value);
    // Nothing else changed in either space.
    size_t changed = 0;
    for (uint8_t b : e.Memory(0x20)) changed += b != 0xFF;
    if (e.Model().twoSpaces)
        for (uint8_t b : e.Memory(0x10)) changed += b != 0xFF;
    const size_t dataBytes = mc.writeRequest[0] == 'Z' ? 256 : (mc.writeRequest[1]);
    EXPECT_EQ(changed, dataBytes);
    // A read with the same address bytes gives the data back.
    Bytes r = mc.writeRequest;
    r.resize(mc.writeRequest[0] == 'Z' ? 5 : r.size() - dataBytes);
    r[mc.writeRequest[0] == 'Z' ? 1 : 0] = 'R';
    const auto reply = Ask(e, Framed(r));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), dataBytes + 1);
    EXPECT_EQ((*reply)[0], value);
}

INSTANTIATE_TEST_SUITE_P(Qxsim, EngineMapping, ::testing::ValuesIn(MappingCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EngineMemory, OutOfRangeReadsFFAndWritesAreDropped) {
    auto c = SimConfig('D', 3, 0);  // Morrow: 17 banks of 32 KiB over 512 KiB
    c.readWriteBank = 16;           // not in large-bin mode: 16 * 0x8000 is past the end
    c.fill = 0x00;
    qxsim::Engine e(c);
    EXPECT_EQ(Ask(e, Framed({0x57, 0x01, 0x00, 0x00, 0x77})), (Bytes{'O'}));
    for (uint8_t b : e.Memory()) ASSERT_EQ(b, 0x00);
    EXPECT_EQ(Ask(e, Framed({0x52, 0x02, 0x00, 0x00})), (Bytes{0xFF, 0xFF, 0xFE}));
}

TEST(EngineMemory, ImagesFillTheirSpaces) {
    auto c = SimConfig('R', 1, 0);
    c.image = {1, 2, 3};
    c.image10 = {9, 8};
    qxsim::Engine e(c);
    EXPECT_EQ(e.Memory(0x20)[2], 3);
    EXPECT_EQ(e.Memory(0x10)[1], 8);
    EXPECT_EQ(e.Memory(0x10)[2], 0xFF);
    EXPECT_EQ(e.Memory(0x20).size(), 0x100000u);
}

TEST(EngineMemory, BlockCountZeroMeans256) {
    qxsim::Engine e(SimConfig('A', 2, 12));
    const Bytes w = WithData({0x57, 0x00, 0x01, 0x00}, 256, 0x42);
    EXPECT_EQ(Ask(e, Framed(w)), (Bytes{'O'}));
    EXPECT_EQ(e.Memory()[0x1FF], 0x42);
    EXPECT_EQ(e.Memory()[0x200], 0xFF);
}

// --- banks ----------------------------------------------------------------------------------

TEST(EngineBanks, ReadWriteBankRangeFollowsBankCount) {
    qxsim::Engine kelby(SimConfig('O', 10, 15));  // 9 banks: 0..9 accepted
    EXPECT_EQ(Ask(kelby, Framed({0x42, 0x52, 0x09})), (Bytes{'O'}));
    EXPECT_EQ(Ask(kelby, Framed({0x42, 0x52, 0x0A})), (Bytes{'?'}));
    EXPECT_EQ(kelby.ReadWriteBank(), 9);
    EXPECT_EQ(Ask(kelby, Framed({0x42, 0x52, 0x52})), (Bytes{9}));
    EXPECT_EQ(Ask(kelby, Framed({0x42, 0x45, 0xC8})), (Bytes{'O'}));  // any emulation bank
    EXPECT_EQ(Ask(kelby, Framed({0x42, 0x45, 0x45})), (Bytes{200}));
}

TEST(EngineBanks, FirmwareFeaturesDecideWhatIsAnswered) {
    qxsim::Engine old(SimConfig('O', 10, 4));  // no banks, no bulk
    EXPECT_EQ(Ask(old, Framed({0x42, 0x52, 0x01})), (Bytes{'?'}));
    EXPECT_EQ(Ask(old, Framed({0x5A, 0x52, 0x01, 0x00, 0x00})), (Bytes{'?'}));
    qxsim::Engine mid(SimConfig('O', 10, 11));  // banks, no bulk
    EXPECT_EQ(Ask(mid, Framed({0x42, 0x52, 0x01})), (Bytes{'O'}));
    EXPECT_EQ(Ask(mid, Framed({0x5A, 0x52, 0x01, 0x00, 0x00})), (Bytes{'?'}));
    qxsim::Engine kelby2 = qxsim::Engine([] {
        auto c = SimConfig('O', 10, 4);
        c.eepromDeviceId = 'P';  // the record makes it a Kelby II
        return c;
    }());
    EXPECT_EQ(kelby2.Model().type, 8);
    EXPECT_EQ(Ask(kelby2, Framed({0x42, 0x52, 0x01})), (Bytes{'O'}));
}

// --- the library's model table ---------------------------------------------------------------

// The simulator keeps its own model table, as a device does: each letter must mean the same
// model on both sides, with the same traits wherever the device shows them.
TEST(EngineModels, AgreeWithTheLibraryModelTable) {
    struct Version {
        uint8_t major;
        uint8_t minor;
    };
    // Every feature's major just below and at its minor, and majors past all of them.
    static constexpr Version kVersions[] = {
        {1, 2},  {1, 3},  {1, 33},  {1, 34},  {2, 6},   {2, 7},   {2, 11}, {2, 12},
        {10, 4}, {10, 5}, {10, 11}, {10, 12}, {10, 14}, {10, 15}, {49, 0}, {50, 0}};
    for (int c = 0x20; c < 0x7F; ++c) {
        const char letter = static_cast<char>(c);
        for (const Version v : kVersions) {
            SCOPED_TRACE(std::string("letter ") + letter + ", firmware " + std::to_string(v.major) +
                         "." + std::to_string(v.minor));
            const qx::ModelRow* row = qx::FindModelRow(letter, v.major);
            const auto sim = qxsim::LookupModel(letter, v.major, v.minor, 0);
            ASSERT_EQ(sim.has_value(), row != nullptr);
            if (row == nullptr) continue;
            const uint8_t version[2] = {v.major, v.minor};
            EXPECT_EQ(sim->name, row->name);
            EXPECT_EQ(sim->family, row->family);
            EXPECT_EQ(sim->type, row->type);
            EXPECT_EQ(sim->capabilities, qx::ModelCapabilities(*row, version));
            EXPECT_EQ(sim->hasGeometry, row->memorySize != 0);
            if (row->memorySize != 0) {
                EXPECT_EQ(sim->memorySize, row->memorySize);
            }
            if (row->bankSize != 0) {
                EXPECT_EQ(sim->bankSize, row->bankSize);
            }

            const qx::ModelTraits& traits = qx::TraitsOf(row->type);
            EXPECT_EQ(sim->twoSpaces, traits.twoMemorySpaces);
            EXPECT_EQ(sim->addressBytes, traits.wideAddress ? 3 : 2);
            EXPECT_EQ(sim->largeBinBank, traits.largeBinBank);
            const bool banks = (sim->capabilities & qx::CapBanks) != 0;
            // A configuration-byte bank counts by its mode: the library works that out itself.
            if (traits.configBank || !banks) continue;
            EXPECT_EQ(sim->bankCount, static_cast<int>(traits.bankCount));
            qxsim::Engine engine(SimConfig(letter, v.major, v.minor));
            const Bytes refused{'?'};
            EXPECT_EQ(Ask(engine, Framed({'B', 'E', 'E'})) != refused, traits.answersBankGet);
        }
    }
}

// --- framing ---------------------------------------------------------------------------------

TEST(EngineFraming, PartialRequestWaitsThenIsDropped) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    const Bytes head{0x52, 0x04, 0x00};
    e.Feed(head.data(), head.size(), 115200);
    qxsim::Action a;
    EXPECT_EQ(e.Next(a), Step::NeedMore);
    e.DropPartial();
    EXPECT_EQ(e.Next(a), Step::Idle);
    ASSERT_EQ(e.Transcript().size(), 1u);
    EXPECT_EQ(e.Transcript()[0].outcome, qxsim::Outcome::Incomplete);
    EXPECT_EQ(Ask(e, {0x56, 0x56}), (Bytes{10, 15, 'O'}));
}

TEST(EngineFraming, RequestSplitAcrossReads) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    const Bytes w = Framed(WithData({0x57, 0x10, 0x00, 0x00}, 16, 0x33));
    qxsim::Action a;
    for (size_t i = 0; i + 1 < w.size(); ++i) {
        e.Feed(&w[i], 1, 115200);
        ASSERT_EQ(e.Next(a), Step::NeedMore) << i;
    }
    e.Feed(&w.back(), 1, 115200);
    ASSERT_EQ(e.Next(a), Step::Act);
    EXPECT_EQ(a.reply, (Bytes{'O'}));
}

TEST(EngineFraming, PlainRequestIsAmbiguousOnlyWhileEncryptionIsOn) {
    auto c = SimConfig('O', 10, 15);
    const Bytes r = Framed({0x52, 0x01, 0x00, 0x00});
    qxsim::Action a;
    {
        qxsim::Engine off(c);
        off.Feed(r.data(), r.size(), 115200);
        EXPECT_EQ(off.Next(a), Step::Act);
    }
    c.serial[0] = 'e';
    qxsim::Engine on(c);
    on.Feed(r.data(), r.size(), 115200);
    EXPECT_EQ(on.Next(a), Step::Ambiguous);
    EXPECT_EQ(on.Next(a, true), Step::Act);
    EXPECT_EQ(a.reply, (Bytes{0xFF, 0xFF}));
    EXPECT_FALSE(on.Transcript().back().encrypted);
}

TEST(EngineFraming, UnknownCommandResynchronises) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    qxsim::Action a;
    EXPECT_EQ(Ask(e, {0x01, 0x02, 0x03}, 115200, &a), (Bytes{'?'}));
    EXPECT_TRUE(a.discardUntilQuiet);
    EXPECT_EQ(e.Pending(), 0u);
    // 'E' is not a family-1 command: refused at once, whatever follows.
    EXPECT_EQ(Ask(e, {0x45, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x4D}), (Bytes{'?'}));
}

TEST(EngineFraming, BulkPagesOutsideOneToSixteenRefused) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    EXPECT_EQ(Ask(e, Framed({0x5A, 0x52, 0x00, 0x00, 0x00})), (Bytes{'?'}));
    EXPECT_EQ(Ask(e, Framed({0x5A, 0x52, 0x11, 0x00, 0x00})), (Bytes{'?'}));
    EXPECT_EQ(Ask(e, Framed({0x5A, 0x52, 0x10, 0x00, 0x00}))->size(), 4097u);
}

TEST(EngineFraming, EepromReadLengthZeroIs256) {
    auto c = SimConfig('T', 1, 0);
    c.eeprom = Bytes(0x300, 0x5C);
    qxsim::Engine e(c);
    const auto reply = Ask(e, Framed(WithData({0x45, 0x00, 0x01, 0x00}, 256, 0)));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 257u);
    EXPECT_EQ((*reply)[0], 0x5C);
    EXPECT_EQ((*reply)[256], Sum8(Bytes(256, 0x5C)));
}

// --- speed state ----------------------------------------------------------------------------

TEST(EngineSpeed, FollowsTheLineUntilToldThenKeepsItsRateUntilPowerCycle) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    EXPECT_EQ(e.DeviceSpeedIndex(), 7);
    EXPECT_TRUE(Ask(e, {0x56, 0x56}, 19200));
    EXPECT_EQ(Ask(e, Framed({0x53, 0x01}), 19200), (Bytes{'O'}));
    EXPECT_EQ(e.DeviceBaud(), 460800u);
    EXPECT_EQ(e.DeviceSpeedIndex(), 1);
    qxsim::Action a;
    EXPECT_EQ(Ask(e, {0x56, 0x56}, 19200, &a), Bytes{});
    EXPECT_TRUE(a.discardUntilQuiet);
    EXPECT_EQ(e.Transcript().back().outcome, qxsim::Outcome::WrongSpeed);
    EXPECT_EQ(Ask(e, {0x56, 0x56}, 460800)->size(), 3u);
    e.PowerCycle();
    EXPECT_EQ(e.DeviceSpeedIndex(), 7);
    EXPECT_EQ(Ask(e, {0x56, 0x56}, 19200)->size(), 3u);
}

TEST(EngineSpeed, FamilyOtherThanOneRefusesSpeedRequests) {
    qxsim::Engine e(SimConfig('#', 1, 0));
    EXPECT_EQ(Ask(e, Framed({0x53, 0x00})), (Bytes{'?'}));
    EXPECT_EQ(e.DeviceBaud(), 0u);
}

// --- faults -----------------------------------------------------------------------------------

struct ParseCase {
    const char* spec;
    bool ok;
    qxsim::FaultKind kind;
    unsigned param, occurrence;
    int replug;
};

class FaultSpec : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FaultSpec, Parses) {
    const ParseCase& pc = GetParam();
    qxsim::Fault f;
    std::string error;
    ASSERT_EQ(qxsim::ParseFault(pc.spec, f, &error), pc.ok) << pc.spec;
    if (!pc.ok) {
        EXPECT_FALSE(error.empty());
        return;
    }
    EXPECT_EQ(f.kind, pc.kind);
    EXPECT_EQ(f.param, pc.param);
    EXPECT_EQ(f.occurrence, pc.occurrence);
    EXPECT_EQ(f.replugAfterMs, pc.replug);
    qxsim::Fault again;
    ASSERT_TRUE(qxsim::ParseFault(qxsim::FormatFault(f), again)) << qxsim::FormatFault(f);
    EXPECT_EQ(qxsim::FormatFault(again), qxsim::FormatFault(f));
}

using K = qxsim::FaultKind;
INSTANTIATE_TEST_SUITE_P(
    Qxsim, FaultSpec,
    ::testing::Values(ParseCase{"VV:none", true, K::NoReply, 0, 0, -1},
                      ParseCase{"R:short=3@2", true, K::ShortReply, 3, 2, -1},
                      ParseCase{"ZR:badsum", true, K::BadChecksum, 0, 0, -1},
                      ParseCase{"B:refuse@1", true, K::Refuse, 0, 1, -1},
                      ParseCase{"DOLI:delay=250", true, K::Delay, 250, 0, -1},
                      ParseCase{"*:garbage=4", true, K::Garbage, 4, 0, -1},
                      ParseCase{"ZW:unplug=0,replug=300", true, K::Unplug, 0, 0, 300},
                      ParseCase{"W:unplug@3", true, K::Unplug, 0, 3, -1},
                      ParseCase{"VV", false, K::NoReply, 0, 0, -1},
                      ParseCase{"QQ:none", false, K::NoReply, 0, 0, -1},
                      ParseCase{"R:short", false, K::NoReply, 0, 0, -1},
                      ParseCase{"R:none=3", false, K::NoReply, 0, 0, -1},
                      ParseCase{"R:delay=x", false, K::NoReply, 0, 0, -1},
                      ParseCase{"R:none@0", false, K::NoReply, 0, 0, -1},
                      ParseCase{"R:none,replug=5", false, K::NoReply, 0, 0, -1},
                      ParseCase{"R:wobble", false, K::NoReply, 0, 0, -1}));

TEST(EngineFaults, NoReplyAndRefuseLeaveTheDeviceUntouched) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    qxsim::Fault none, refuse;
    ASSERT_TRUE(qxsim::ParseFault("S:none@1", none));
    ASSERT_TRUE(qxsim::ParseFault("B:refuse", refuse));
    e.AddFault(none);
    e.AddFault(refuse);
    EXPECT_EQ(Ask(e, Framed({0x53, 0x07})), Bytes{});
    EXPECT_EQ(e.DeviceBaud(), 0u);
    EXPECT_EQ(Ask(e, Framed({0x42, 0x52, 0x03})), (Bytes{'?'}));
    EXPECT_EQ(e.ReadWriteBank(), 0);
    EXPECT_EQ(Ask(e, Framed({0x53, 0x07})), (Bytes{'O'}));  // only the first 'S' was hit
    EXPECT_EQ(e.DeviceBaud(), 115200u);
    e.ClearFaults();
    EXPECT_EQ(Ask(e, Framed({0x42, 0x52, 0x03})), (Bytes{'O'}));
}

TEST(EngineFaults, UnplugCarriesThePartialReply) {
    qxsim::Engine e(SimConfig('O', 10, 15));
    qxsim::Fault f;
    ASSERT_TRUE(qxsim::ParseFault("VV:unplug=2,replug=50", f));
    e.AddFault(f);
    qxsim::Action a;
    EXPECT_EQ(Ask(e, {0x56, 0x56}, 115200, &a), (Bytes{10, 15}));
    EXPECT_TRUE(a.unplug);
    EXPECT_EQ(a.replugAfterMs, 50);
}

}  // namespace

namespace {

TEST(EngineTranscript, KeepsTheNewestEntriesWithinItsLimit) {
    auto c = SimConfig('O', 10, 15);
    c.transcriptLimit = 4;
    qxsim::Engine e(c);
    for (uint8_t bank = 0; bank < 9; ++bank) ASSERT_TRUE(Ask(e, Framed({0x42, 0x52, bank})));
    EXPECT_LE(e.Transcript().size(), 4u);
    EXPECT_GE(e.Transcript().size(), 2u);
    EXPECT_EQ(e.Transcript().back().bytes, Framed({0x42, 0x52, 0x08}));
}

}  // namespace
