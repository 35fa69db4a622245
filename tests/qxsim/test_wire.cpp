// The simulator over a real pseudo-terminal, driven with raw request bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "control.h"
#include "host_side.h"
#include "sim.h"
#include "support/sim_config.h"

namespace {

using qxtest::Bytes;
using qxtest::Framed;
using qxtest::HostLine;
using qxtest::SimConfig;
using qxtest::Sum8;
using Clock = std::chrono::steady_clock;

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF);
    return b;
}

Bytes WithChecksum(Bytes data) {
    data.push_back(Sum8(data));
    return data;
}

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

struct Fixture {
    explicit Fixture(const qxsim::Config& c) : sim(c) {
        std::string error;
        started = sim.Start(&error);
        EXPECT_TRUE(started) << error;
        line.Open(sim.SlavePath());
    }
    qxsim::Simulator sim;
    bool started = false;
    HostLine line;
};

// --- the byte examples of the wire description --------------------------------------------

struct WireCase {
    const char* name;
    qxsim::Config config;
    Bytes request;
    std::function<Bytes(qxsim::Simulator&)> expected;
    std::function<void(qxsim::Simulator&)> after;
};

std::vector<WireCase> WireCases() {
    std::vector<WireCase> cases;
    {
        auto c = SimConfig('O', 10, 15);
        c.image = Pattern(0x80000, 3);
        cases.push_back(
            {"BulkReadPage16At4000",
             c,
             {0x5A, 0x52, 0x10, 0x00, 0x40, 0xFC},
             [](qxsim::Simulator& s) { return WithChecksum(s.ReadMemory(0x20, 0x4000, 4096)); },
             nullptr});
    }
    {
        auto c = SimConfig('O', 10, 15);
        c.eepromDeviceId = 'O';
        c.interfaceLetter = 'B';
        cases.push_back({"EepromInfoFamily1",
                         c,
                         {0x48, 0x52, 0x07, 0x00, 0x01, 0xA2},
                         [](qxsim::Simulator& s) {
                             Bytes e = s.Eeprom();
                             Bytes rec(e.begin() + 1, e.begin() + 8);
                             EXPECT_EQ(rec[0], 'O');
                             EXPECT_EQ(rec[3], 'B');
                             return WithChecksum(rec);
                         },
                         nullptr});
    }
    {
        auto c = SimConfig('T', 2, 0);
        c.interfaceLetter = 'S';
        cases.push_back({"EepromInfoOtherFamily",
                         c,
                         {0x45, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x4D},
                         [](qxsim::Simulator& s) {
                             Bytes e = s.Eeprom();
                             Bytes rec(e.begin() + 1, e.begin() + 8);
                             EXPECT_EQ(rec[0], 'T');
                             EXPECT_EQ(rec[3], 'S');
                             return WithChecksum(rec);
                         },
                         nullptr});
    }
    cases.push_back({"SetReadWriteBank2",
                     SimConfig('O', 10, 15),
                     {0x42, 0x52, 0x02, 0x96},
                     [](qxsim::Simulator&) { return Bytes{'O'}; },
                     [](qxsim::Simulator& s) { EXPECT_EQ(s.State().readWriteBank, 2); }});
    cases.push_back({"BrannockPersistentEmulation3",
                     SimConfig('Z', 1, 0),
                     {0x38, 0x53, 0x03, 0x8E},
                     [](qxsim::Simulator&) { return Bytes{'O'}; },
                     [](qxsim::Simulator& s) { EXPECT_EQ(s.State().emulationBank, 3); }});
    {
        auto c = SimConfig('Q', 1, 5);
        c.tolliverBank = 6;
        cases.push_back({"TolliverEarlyConfigByte1",
                         c,
                         {0x52, 0x01, 0x20, 0x00, 0x01, 0x74},
                         [](qxsim::Simulator&) {
                             return Bytes{0x06, 0x06};
                         },
                         nullptr});
    }
    {
        auto c = SimConfig('Q', 1, 6);
        c.tolliverMode = 4;
        cases.push_back({"TolliverLaterModeInEeprom",
                         c,
                         {0x48, 0x52, 0x01, 0x01, 0x00, 0x9C},
                         [](qxsim::Simulator&) {
                             return Bytes{0x04, 0x04};
                         },
                         nullptr});
    }
    cases.push_back({"VersionId",
                     SimConfig('A', 2, 12),
                     {0x56, 0x56},
                     [](qxsim::Simulator&) {
                         return Bytes{2, 12, 'A'};
                     },
                     nullptr});
    {
        auto c = SimConfig('S', 1, 0);
        c.name = "Bench Unit";
        cases.push_back({"NameString",
                         c,
                         {0x56, 0x53, 0x53, 0xFC},
                         [](qxsim::Simulator&) {
                             Bytes d(255, 0);
                             const std::string text = "S!Bench Unit";
                             std::copy(text.begin(), text.end(), d.begin());
                             return WithChecksum(d);
                         },
                         nullptr});
    }
    {
        auto c = SimConfig('O', 10, 15);
        c.serial = {'E', 1, 2, 3, 4, 5, 6, 7, 8};
        cases.push_back({"Serial",
                         c,
                         {0x4E, 0x53, 0xA1},
                         [](qxsim::Simulator&) {
                             return WithChecksum({'E', 1, 2, 3, 4, 5, 6, 7, 8});
                         },
                         nullptr});
    }
    cases.push_back(
        {"FlashInfo",
         SimConfig('D', 3, 0),
         {0x44, 0x4F, 0x4C, 0x49, 0x28},
         [](qxsim::Simulator&) {
             return WithChecksum({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
         },
         nullptr});
    cases.push_back({"EepromWriteFamily1",
                     SimConfig('O', 10, 15),
                     {0x48, 0x57, 0x01, 0x01, 0x02, 0xAA, 0x4D},
                     [](qxsim::Simulator&) { return Bytes{'O'}; },
                     [](qxsim::Simulator& s) { EXPECT_EQ(s.Eeprom()[0x102], 0xAA); }});
    cases.push_back({"EepromWriteOtherFamily",
                     SimConfig('2', 1, 0),
                     {0x65, 0x01, 0x01, 0x02, 0xAA, 0x13},
                     [](qxsim::Simulator&) { return Bytes{'O'}; },
                     [](qxsim::Simulator& s) { EXPECT_EQ(s.Eeprom()[0x102], 0xAA); }});
    {
        auto c = SimConfig('O', 10, 15);
        c.emulationBank = 3;
        cases.push_back({"GetEmulationBank",
                         c,
                         {0x42, 0x45, 0x45, 0xCC},
                         [](qxsim::Simulator&) { return Bytes{3}; },
                         nullptr});
    }
    cases.push_back({"BrannockHasNoGet",
                     SimConfig('Z', 1, 0),
                     {0x42, 0x52, 0x52, 0xE6},
                     [](qxsim::Simulator&) { return Bytes{'?'}; },
                     nullptr});
    cases.push_back({"SpeedIndex2Refused",
                     SimConfig('O', 10, 15),
                     {0x53, 0x02, 0x55},
                     [](qxsim::Simulator&) { return Bytes{'?'}; },
                     [](qxsim::Simulator& s) { EXPECT_EQ(s.DeviceSpeedIndex(), 7); }});
    cases.push_back({"UnknownCommand",
                     SimConfig('O', 10, 15),
                     {0x71, 0x01, 0x72},
                     [](qxsim::Simulator&) { return Bytes{'?'}; },
                     nullptr});
    cases.push_back({"HCommandsUnknownOutsideFamily1",
                     SimConfig('#', 1, 0),
                     {0x48, 0x52, 0x07, 0x00, 0x01, 0xA2},
                     [](qxsim::Simulator&) { return Bytes{'?'}; },
                     nullptr});
    {
        auto c = SimConfig('O', 10, 15);
        cases.push_back({"AltWriteAnswersSum", c,
                         Framed({0x58, 0x03, 0x12, 0x34, 0xF0, 0x80, 0x7F}),
                         [](qxsim::Simulator&) {
                             return Bytes{0xEF, 0x01};
                         },
                         [](qxsim::Simulator& s) {
                             EXPECT_EQ(s.ReadMemory(0x20, 0x1234, 3), (Bytes{0xF0, 0x80, 0x7F}));
                         }});
    }
    {
        auto c = SimConfig('R', 1, 0);
        cases.push_back({"SarnetWriteSpace1", c, Framed({0x57, 0x02, 0x13, 0x00, 0x10, 0xAB, 0xCD}),
                         [](qxsim::Simulator&) { return Bytes{'O'}; },
                         [](qxsim::Simulator& s) {
                             EXPECT_EQ(s.ReadMemory(0x10, 0x30010, 2), (Bytes{0xAB, 0xCD}));
                             EXPECT_EQ(s.ReadMemory(0x20, 0x30010, 2), (Bytes{0xFF, 0xFF}));
                         }});
    }
    return cases;
}

class WireExamples : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireExamples, ReplyMatches) {
    const WireCase& wc = GetParam();
    Fixture f(wc.config);
    ASSERT_TRUE(f.line.IsOpen());
    const Bytes want = wc.expected(f.sim);
    const Bytes got = f.line.Exchange(wc.request, want.size(), 1000);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(f.line.Receive(1, 50).empty());  // nothing beyond the reply
    if (wc.after) wc.after(f.sim);
    ASSERT_TRUE(f.sim.WaitForTranscript(1, 1000));
    const auto t = f.sim.Transcript();
    EXPECT_EQ(t[0].bytes, wc.request);
    EXPECT_EQ(t[0].baud, 115200u);
}

INSTANTIATE_TEST_SUITE_P(Qxsim, WireExamples, ::testing::ValuesIn(WireCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QxsimWire, WrongChecksumGetsNoReplyAndDeviceStaysUsable) {
    Fixture f(SimConfig('O', 10, 15));
    EXPECT_TRUE(f.line.Exchange({0x42, 0x52, 0x02, 0x97}, 1, 400).empty());
    EXPECT_EQ(f.sim.State().readWriteBank, 0);
    EXPECT_EQ(f.line.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    const auto t = f.sim.Transcript();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].outcome, qxsim::Outcome::BadChecksum);
}

TEST(QxsimWire, EncryptedWriteThenReadRoundTrip) {
    auto c = SimConfig('R', 1, 0);  // Sarnet: 3-byte addresses
    c.serial[0] = 'E';
    Fixture f(c);
    const Bytes data = Pattern(256, 11);

    // 'W', count 0 (256), two random bytes, address 0x20 0x12 0x00, data; encrypted run from
    // the first random byte through the last data byte.
    Bytes w{0x57, 0x00, 0x5E, 0xA7, 0x20, 0x12, 0x00};
    w.insert(w.end(), data.begin(), data.end());
    qxtest::HostEncrypt(w, 2, w.size());
    w = Framed(w);
    EXPECT_EQ(f.line.Exchange(w, 1), (Bytes{'O'}));
    EXPECT_EQ(f.sim.ReadMemory(0x20, 0x1200, 256), data);

    Bytes r{0x52, 0x00, 0x13, 0x37, 0x20, 0x12, 0x00};
    const uint8_t chain = qxtest::HostEncrypt(r, 2, r.size());
    r = Framed(r);
    Bytes reply = f.line.Exchange(r, 257);
    ASSERT_EQ(reply.size(), 257u);
    EXPECT_EQ(Sum8(reply, 256), reply[256]);  // checksum over the bytes as sent
    EXPECT_NE(Bytes(reply.begin(), reply.begin() + 256), data);
    qxtest::HostDecrypt(chain, reply, 0, 256);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 256), data);

    // With encryption on, the plain form is still understood.
    EXPECT_EQ(f.line.Exchange(Framed({0x52, 0x02, 0x20, 0x12, 0x00}), 3),
              WithChecksum({data[0], data[1]}));
    const auto t = f.sim.Transcript();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_TRUE(t[0].encrypted);
    EXPECT_TRUE(t[1].encrypted);
    EXPECT_FALSE(t[2].encrypted);
}

TEST(QxsimWire, EncryptedBulkReadOnKelby) {
    auto c = SimConfig('O', 10, 15);
    c.serial[0] = 'Y';
    c.image = Pattern(0x80000, 5);
    Fixture f(c);
    Bytes r{0x5A, 0x52, 0x02, 0x01, 0x02, 0x00, 0x40};
    const uint8_t chain = qxtest::HostEncrypt(r, 3, r.size());
    r = Framed(r);
    Bytes reply = f.line.Exchange(r, 513);
    ASSERT_EQ(reply.size(), 513u);
    EXPECT_EQ(Sum8(reply, 512), reply[512]);
    qxtest::HostDecrypt(chain, reply, 0, 512);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 512), f.sim.ReadMemory(0x20, 0x4000, 512));
}

TEST(QxsimWire, EncryptedFormRejectedWhenEncryptionOff) {
    Fixture f(SimConfig('O', 10, 15));  // serial byte 0 'n'
    Bytes r{0x52, 0x01, 0x01, 0x02, 0x00, 0x10};
    qxtest::HostEncrypt(r, 2, r.size());
    EXPECT_TRUE(f.line.Exchange(Framed(r), 2, 400).empty());
}

// --- speed --------------------------------------------------------------------------------

struct SpeedCase {
    const char* name;
    std::vector<uint32_t> bauds;
    uint32_t answersAt;  // the first of 115200, 921600, 19200 that gets a reply
};

class QxsimSpeed : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(QxsimSpeed, ScanFindsDeviceAtTheRightTry) {
    auto c = SimConfig('O', 10, 15);
    c.bauds = GetParam().bauds;
    Fixture f(c);
    uint32_t found = 0;
    for (uint32_t rate : {115200u, 921600u, 19200u}) {
        ASSERT_TRUE(f.line.SetBaud(rate));
        EXPECT_EQ(f.sim.LineBaud(), rate);
        if (f.line.Exchange({0x56, 0x56}, 3, 350).size() == 3) {
            found = rate;
            break;
        }
    }
    EXPECT_EQ(found, GetParam().answersAt);
    for (const auto& e : f.sim.Transcript())
        EXPECT_EQ(e.outcome == qxsim::Outcome::Answered, e.baud == found) << e.baud;
}

INSTANTIATE_TEST_SUITE_P(Qxsim, QxsimSpeed,
                         ::testing::Values(SpeedCase{"AnyRate", {}, 115200},
                                           SpeedCase{"Only921600", {921600}, 921600},
                                           SpeedCase{"Only19200", {19200}, 19200}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QxsimWire, SpeedChangeAnswersAtOldRateThenListensAtNew) {
    Fixture f(SimConfig('O', 10, 15));
    EXPECT_EQ(f.line.Exchange({0x53, 0x00, 0x53}, 1), (Bytes{'O'}));
    EXPECT_EQ(f.sim.DeviceSpeedIndex(), 0);
    EXPECT_TRUE(f.line.Exchange({0x56, 0x56}, 3, 350).empty());  // still 115200 on the PC side
    ASSERT_TRUE(f.line.SetBaud(921600));
    EXPECT_EQ(f.line.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    EXPECT_EQ(f.line.Exchange({0x53, 0x07, 0x5A}, 1), (Bytes{'O'}));
    ASSERT_TRUE(f.line.SetBaud(115200));
    EXPECT_EQ(f.line.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    EXPECT_EQ(f.sim.DeviceBaud(), 115200u);
}

TEST(QxsimWire, FixedRateDeviceRefusesOtherSpeeds) {
    auto c = SimConfig('O', 10, 15);
    c.bauds = {921600};
    Fixture f(c);
    ASSERT_TRUE(f.line.SetBaud(921600));
    EXPECT_EQ(f.line.Exchange({0x53, 0x07, 0x5A}, 1), (Bytes{'?'}));
    EXPECT_EQ(f.line.Exchange({0x53, 0x00, 0x53}, 1), (Bytes{'O'}));
}

// --- faults -------------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* spec;
    Bytes reply;        // what the host reads (up to 8 bytes, 400 ms)
    bool writeApplied;  // did the 'W' below reach memory
    int minElapsedMs;
};

class QxsimFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(QxsimFaults, ChangeTheReplyOfOneWrite) {
    const FaultCase& fc = GetParam();
    Fixture f(SimConfig('O', 10, 15));
    std::string error;
    ASSERT_TRUE(f.sim.AddFault(fc.spec, &error)) << error;
    const Bytes w = Framed({0x57, 0x02, 0x00, 0x40, 0x11, 0x22});
    const auto t0 = Clock::now();
    const Bytes got =
        f.line.Exchange(w, fc.reply.empty() ? 1 : fc.reply.size(), 400 + fc.minElapsedMs);
    EXPECT_GE(msSince(t0), fc.minElapsedMs);
    EXPECT_EQ(got, fc.reply);
    EXPECT_EQ(f.sim.ReadMemory(0x20, 0x40, 2) == (Bytes{0x11, 0x22}), fc.writeApplied);
    ASSERT_TRUE(f.sim.WaitForTranscript(1, 500));
    EXPECT_EQ(f.sim.Transcript()[0].outcome, qxsim::Outcome::Faulted);
}

INSTANTIATE_TEST_SUITE_P(
    Qxsim, QxsimFaults,
    ::testing::Values(FaultCase{"NoReply", "W:none", {}, false, 0},
                      FaultCase{"Refuse", "W:refuse", {'?'}, false, 0},
                      FaultCase{"BadChecksum", "W:badsum", {'P'}, true, 0},
                      FaultCase{"Garbage", "W:garbage=3", {0xDE, 0xAD, 0xBE, 'O'}, true, 0},
                      FaultCase{"Delay", "W:delay=300", {'O'}, true, 280},
                      FaultCase{"Any", "*:refuse", {'?'}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QxsimFaults, ShortAndBadChecksumOnDataReply) {
    auto c = SimConfig('O', 10, 15);
    c.image = Pattern(0x80000, 9);
    Fixture f(c);
    ASSERT_TRUE(f.sim.AddFault("R:short=3"));
    const Bytes r = Framed({0x52, 0x08, 0x01, 0x00});
    EXPECT_EQ(f.line.Exchange(r, 9, 400), f.sim.ReadMemory(0x20, 0x100, 3));
    f.sim.ClearFaults();
    ASSERT_TRUE(f.sim.AddFault("R:badsum"));
    Bytes got = f.line.Exchange(r, 9);
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), f.sim.ReadMemory(0x20, 0x100, 8));
    EXPECT_EQ(static_cast<uint8_t>(Sum8(got, 8) + 1), got[8]);
}

TEST(QxsimFaults, OnlyTheNthOccurrence) {
    Fixture f(SimConfig('O', 10, 15));
    ASSERT_TRUE(f.sim.AddFault("VV:none@2"));
    EXPECT_EQ(f.line.Exchange({0x56, 0x56}, 3).size(), 3u);
    EXPECT_TRUE(f.line.Exchange({0x56, 0x56}, 3, 350).empty());
    EXPECT_EQ(f.line.Exchange({0x56, 0x56}, 3).size(), 3u);
}

TEST(QxsimFaults, UnplugMidTransferThenReplug) {
    qxsim::Config c = SimConfig('O', 10, 15);
    Fixture f(c);
    const auto dir =
        std::filesystem::temp_directory_path() / ("qxsim-unplug-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(f.sim.LinkAsCom(4, dir.string()));
    const auto link = dir / "COM4";
    HostLine host(link.string());
    ASSERT_TRUE(host.IsOpen());
    const std::string firstSlave = f.sim.SlavePath();

    ASSERT_TRUE(f.sim.AddFault("ZR:unplug=100"));
    const Bytes got = host.Exchange({0x5A, 0x52, 0x10, 0x00, 0x40, 0xFC}, 4097, 1000);
    EXPECT_EQ(got.size(), 100u);
    EXPECT_TRUE(host.Closed());
    EXPECT_FALSE(f.sim.Plugged());
    EXPECT_FALSE(std::filesystem::is_symlink(link));

    std::string error;
    ASSERT_TRUE(f.sim.Replug(&error)) << error;
    EXPECT_TRUE(f.sim.Plugged());
    EXPECT_NE(f.sim.SlavePath(), firstSlave);
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), f.sim.SlavePath());
    f.sim.ClearFaults();
    HostLine again(link.string());
    EXPECT_EQ(again.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
    f.sim.Stop();
    EXPECT_FALSE(std::filesystem::exists(link));
    std::filesystem::remove_all(dir);
}

TEST(QxsimFaults, UnplugWithAutomaticReplug) {
    Fixture f(SimConfig('O', 10, 15));
    ASSERT_TRUE(f.sim.AddFault("VV:unplug,replug=100"));
    EXPECT_TRUE(f.line.Exchange({0x56, 0x56}, 3, 300).empty());
    const auto t0 = Clock::now();
    while (!f.sim.Plugged() && msSince(t0) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(f.sim.Plugged());
    EXPECT_EQ(f.sim.ReplugCount(), 2u);
    HostLine again(f.sim.SlavePath());
    f.sim.ClearFaults();
    EXPECT_EQ(again.Exchange({0x56, 0x56}, 3), (Bytes{10, 15, 'O'}));
}

TEST(QxsimWire, ApiUnplugFailsHostReads) {
    Fixture f(SimConfig('O', 10, 15));
    ASSERT_TRUE(f.sim.Unplug());
    EXPECT_TRUE(f.line.Exchange({0x56, 0x56}, 3, 300).empty());
    EXPECT_EQ(f.sim.State().lineBaud, 0u);
}

// --- transcript, throttle, dump, control ----------------------------------------------------

TEST(QxsimWire, TranscriptRecordsBytesAndLineSpeed) {
    Fixture f(SimConfig('O', 10, 15));
    f.line.Exchange({0x56, 0x56}, 3);
    ASSERT_TRUE(f.line.SetBaud(19200));
    f.line.Exchange({0x42, 0x52, 0x52, 0xE6}, 1);
    auto t = f.sim.Transcript();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(qxsim::FormatTranscriptEntry(t[0]), "115200 5656 VV answered");
    EXPECT_EQ(qxsim::FormatTranscriptEntry(t[1]), "19200 425252E6 B answered");
    f.sim.ClearTranscript();
    EXPECT_TRUE(f.sim.Transcript().empty());
}

TEST(QxsimWire, ThrottleHoldsRepliesToTheWireTime) {
    auto c = SimConfig('O', 10, 15);
    c.throttle = true;
    Fixture f(c);
    ASSERT_TRUE(f.line.SetBaud(19200));
    const Bytes r = Framed({0x52, 0x00, 0x00, 0x00});
    auto t0 = Clock::now();
    EXPECT_EQ(f.line.Exchange(r, 257, 2000).size(), 257u);
    const long long wire = (257 + 5) * 10 * 1000 / 19200;  // 136 ms
    EXPECT_GE(msSince(t0), wire * 9 / 10);
    f.sim.SetThrottle(false);
    t0 = Clock::now();
    EXPECT_EQ(f.line.Exchange(r, 257, 2000).size(), 257u);
    EXPECT_LT(msSince(t0), wire);  // generous: an unthrottled pty reply takes well under that
}

TEST(QxsimWire, DumpWritesEverySpace) {
    Fixture f(SimConfig('Q', 2, 0));
    EXPECT_EQ(f.line.Exchange(Framed({0x57, 0x01, 0x10, 0x00, 0x05, 0x5A}), 1), (Bytes{'O'}));
    const auto base =
        std::filesystem::temp_directory_path() / ("qxsim-dump-" + std::to_string(getpid()));
    ASSERT_TRUE(f.sim.Dump(base.string()));
    std::ifstream space10(base.string() + ".10", std::ios::binary);
    Bytes d((std::istreambuf_iterator<char>(space10)), std::istreambuf_iterator<char>());
    ASSERT_EQ(d.size(), 0x80000u);
    EXPECT_EQ(d[5], 0x5A);
    EXPECT_EQ(std::filesystem::file_size(base), 0x80000u);
    std::ifstream eeprom(base.string() + ".eeprom", std::ios::binary);
    Bytes e((std::istreambuf_iterator<char>(eeprom)), std::istreambuf_iterator<char>());
    ASSERT_EQ(e.size(), 0x10000u);
    EXPECT_EQ(e[0x102], 0xAA);  // Tolliver 2.0 keeps its marker in the EEPROM
    for (const char* suffix : {"", ".10", ".eeprom"})
        std::filesystem::remove(base.string() + suffix);
}

TEST(QxsimControl, CommandsDriveTheSimulator) {
    Fixture f(SimConfig('O', 10, 15));
    qxsim::ControlServer control(f.sim);
    EXPECT_EQ(control.Execute("fault VV:none"), "ok\n");
    EXPECT_TRUE(f.line.Exchange({0x56, 0x56}, 3, 300).empty());
    EXPECT_EQ(control.Execute("clear-faults"), "ok\n");
    EXPECT_EQ(f.line.Exchange({0x56, 0x56}, 3).size(), 3u);
    EXPECT_EQ(control.Execute("transcript"),
              "115200 5656 VV faulted\n115200 5656 VV answered\nok 2\n");
    EXPECT_EQ(control.Execute("clear-transcript"), "ok\n");
    EXPECT_EQ(control.Execute("transcript"), "ok 0\n");
    ASSERT_TRUE(f.line.SetBaud(460800));
    EXPECT_EQ(control.Execute("speed"), "ok 460800\n");
    f.sim.WriteMemory(0x20, 0x10, {0xC0, 0xFF, 0xEE});
    EXPECT_EQ(control.Execute("read 20 10 3"), "ok C0FFEE\n");
    EXPECT_EQ(control.Execute("read 30 10 3").substr(0, 6), "error ");
    EXPECT_EQ(control.Execute("fault XX:none").substr(0, 6), "error ");
    EXPECT_EQ(control.Execute("bogus").substr(0, 6), "error ");
    EXPECT_EQ(control.Execute("unplug"), "ok\n");
    EXPECT_FALSE(f.sim.Plugged());
    const std::string replugged = control.Execute("replug");
    EXPECT_EQ(replugged, "ok " + f.sim.SlavePath() + "\n");
    EXPECT_FALSE(control.QuitRequested());
    EXPECT_EQ(control.Execute("quit"), "ok\n");
    EXPECT_TRUE(control.QuitRequested());
}

}  // namespace
