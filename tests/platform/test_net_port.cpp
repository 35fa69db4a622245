// Network serial ports against a scripted server, on every platform (the Windows build runs
// the same cases over Winsock): names, the bounds of every wait for the server, the line as
// the server answers it, Telnet framing both ways, read time-outs, purge, a stalled server and
// a connection that drops.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "com_port_server.h"
#include "platform/comm.h"
#include "platform/net_port.h"
#include "platform/platform_test_port.h"
#include "support/elapsed.h"

namespace {

namespace p = qx::platform;
using Bytes = std::vector<uint8_t>;
using platformtest::Port;
using qxtest::Clock;
using qxtest::ComPortServer;
using qxtest::MsSince;
constexpr uint32_t kMax = qx::kMaxDword;

Bytes Escaped(const Bytes& data) {
    Bytes wire;
    for (uint8_t b : data) {
        wire.push_back(b);
        if (b == 0xFF) wire.push_back(0xFF);
    }
    return wire;
}

bool EndsWith(const Bytes& whole, const Bytes& tail) {
    return whole.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), whole.rbegin());
}

TEST(NetPortName, TwoSchemesHostAndPort) {
    const struct {
        const char* name;
        bool valid;
        bool telnet;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"rfc2217://127.0.0.1:4001", true, true, "127.0.0.1", 4001},
        {"RFC2217://lab-pi.example:2000", true, true, "lab-pi.example", 2000},
        {"tcp://[::1]:23", true, false, "::1", 23},
        {"TCP://bench:65535", true, false, "bench", 65535},
        {"rfc2217://host", false, false, "", 0},
        {"rfc2217://:4001", false, false, "", 0},
        {"tcp://host:0", false, false, "", 0},
        {"tcp://host:65536", false, false, "", 0},
        {"tcp://host:4001x", false, false, "", 0},
        {"tcp://host:", false, false, "", 0},
        {"telnet://host:23", false, false, "", 0},
        {"rfc2217://host:4001/", false, false, "", 0},
        {"tcp://::1:23", false, false, "", 0},
        {"tcp://[::1]23", false, false, "", 0},
        {"tcp://user@host:23", false, false, "", 0},
        {"tcp://ho st:23", false, false, "", 0},
        {"COM3", false, false, "", 0},
        {"\\\\.\\COM3", false, false, "", 0},
        {"/dev/ttyUSB0", false, false, "", 0},
        {"", false, false, "", 0},
    };
    for (const auto& c : cases) {
        p::NetAddress address;
        ASSERT_EQ(p::ParseNetAddress(c.name, &address), c.valid) << c.name;
        EXPECT_EQ(p::IsNetPortName(c.name), c.valid) << c.name;
        if (!c.valid) continue;
        EXPECT_EQ(address.telnet, c.telnet) << c.name;
        EXPECT_EQ(address.host, c.host) << c.name;
        EXPECT_EQ(address.port, c.port) << c.name;
        EXPECT_EQ(p::NetPortUrl(c.name), c.name);
    }
    EXPECT_FALSE(p::IsNetPortName(nullptr));
    EXPECT_EQ(p::NetPortUrl("/dev/ttyUSB0"), "");
}

// Opening waits for the server only within its bounds, whatever the server does.
TEST(NetPortOpen, EveryWaitForTheServerIsBounded) {
    const int64_t answer = p::kNetAnswerTimeoutMs;
    ComPortServer::Behaviour silent, refusing, noQuery, raw;
    silent.silent = true;
    refusing.agree = false;
    noQuery.answerQueries = false;
    raw.telnet = false;
    const struct {
        const char* what;
        ComPortServer::Behaviour behaviour;
        bool opens;
        int64_t minMs, maxMs;
    } cases[] = {
        {"a server that agrees", {}, true, 0, 1000},
        {"a silent server", silent, false, answer - 50, answer + 1500},
        {"a server that refuses the COM-PORT-OPTION", refusing, false, 0, 1000},
        {"a server that never tells its line settings", noQuery, false, answer - 50, answer + 1500},
        {"a raw tcp:// server", raw, true, 0, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPortServer server(c.behaviour);
        ASSERT_TRUE(server.ok());
        const auto start = Clock::now();
        Port port(server.Url());
        const int64_t elapsed = MsSince(start);
        EXPECT_EQ(port.ok(), c.opens);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);
    }
    // Nobody listening: the refusal comes at once.
    std::string url;
    {
        ComPortServer gone;
        url = gone.Url();
    }
    const auto start = Clock::now();
    EXPECT_FALSE(Port(url).ok());
    EXPECT_LT(MsSince(start), 1000);
}

TEST(NetPortState, TheLineIsWhatTheServerAnswers) {
    ComPortServer server;  // starts at 9600 baud, 7 bits, even parity, 1 stop bit
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    qx::DCB dcb = port.State();
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 7u);
    EXPECT_EQ(dcb.Parity, qx::kEvenParity);
    EXPECT_EQ(dcb.StopBits, qx::kOneStopBit);
    const std::vector<std::string> queries = {"01 00 00 00 00", "02 00", "03 00", "04 00"};
    EXPECT_EQ(server.Commands(), queries);

    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = qx::kNoParity;
    dcb.fDtrControl = qx::kDtrControlEnable;
    dcb.fRtsControl = qx::kRtsControlEnable;
    ASSERT_TRUE(p::CommSetState(port.handle(), &dcb));
    EXPECT_EQ(server.baud(), 921600u);
    std::vector<std::string> expected = queries;
    // Rate, size and parity changed; flow control off, DTR and RTS on go unanswered.
    expected.insert(expected.end(),
                    {"01 00 0E 10 00", "02 08", "03 01", "05 01", "05 08", "05 0B"});
    EXPECT_EQ(server.Commands(), expected);
    qx::DCB back = port.State();
    EXPECT_EQ(back.BaudRate, 921600u);
    EXPECT_EQ(back.ByteSize, 8u);
    EXPECT_EQ(back.Parity, qx::kNoParity);
    EXPECT_EQ(back.fDtrControl, 1u);
    EXPECT_EQ(back.fRtsControl, 1u);

    // The same settings again send nothing; one change sends just that.
    ASSERT_TRUE(p::CommSetState(port.handle(), &dcb));
    EXPECT_EQ(server.Commands().size(), expected.size());
    dcb.StopBits = 1;  // one and a half
    dcb.fDtrControl = 0;
    ASSERT_TRUE(p::CommSetState(port.handle(), &dcb));
    expected.insert(expected.end(), {"04 03", "05 09"});
    EXPECT_EQ(server.Commands(), expected);

    qx::DCB bad = dcb;
    bad.BaudRate = 0;  // a local port would hang up; nothing is sent
    EXPECT_FALSE(p::CommSetState(port.handle(), &bad));
    bad = dcb;
    bad.ByteSize = 9;
    EXPECT_FALSE(p::CommSetState(port.handle(), &bad));
    EXPECT_EQ(server.Commands(), expected);
}

TEST(NetPortState, ASettingTheServerDoesNotMakeFails) {
    ComPortServer::Behaviour otherRate, noAnswer;
    otherRate.answerBaud = 115200;
    noAnswer.answerChanges = false;
    const int64_t answer = p::kNetAnswerTimeoutMs;
    const struct {
        const char* what;
        ComPortServer::Behaviour behaviour;
        uint32_t reportedBaud;  // what GetState says afterwards
        int64_t minMs, maxMs;
    } cases[] = {
        {"the server answers another rate", otherRate, 115200, 0, 1000},
        {"the server does not answer", noAnswer, 9600, answer - 50, answer + 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPortServer server(c.behaviour);
        Port port(server.Url());
        ASSERT_TRUE(port.ok());
        qx::DCB dcb = port.State();
        dcb.BaudRate = 921600;
        const auto start = Clock::now();
        EXPECT_FALSE(p::CommSetState(port.handle(), &dcb));
        const int64_t elapsed = MsSince(start);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);
        EXPECT_EQ(port.State().BaudRate, c.reportedBaud);
    }
}

TEST(NetPortFraming, FFIsDoubledBothWaysAndNothingElseReachesTheData) {
    ComPortServer server;
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({200, 0, 2000, 0, 2000}));
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    all.insert(all.end(), {0xFF, 0xFF, 0x0D, 0x00, 0xFF});
    EXPECT_EQ(port.Write(all), all.size());
    ASSERT_TRUE(server.WaitData(all.size(), 2000));
    EXPECT_EQ(server.Data(), all);
    EXPECT_TRUE(EndsWith(server.Raw(), Escaped(all)));

    // Data with a doubled FF, a notification, a command and a request to echo between its
    // bytes, cut into pieces in the middle of each.
    const Bytes pieces[] = {
        {0x41, 0xFF},
        {0xFF, 0xFF, 0xFA, 0x2C, 0x6B},
        {0x30, 0xFF, 0xF0, 0x42, 0xFF},
        {0xF1, 0x0D, 0x00, 0xFF, 0xFB},
        {0x01, 0x43},
    };
    for (const Bytes& piece : pieces) {
        ASSERT_TRUE(server.SendRaw(piece));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(port.Read(6), (Bytes{0x41, 0xFF, 0x42, 0x0D, 0x00, 0x43}));
    // The echo was refused.
    const auto start = Clock::now();
    while (!EndsWith(server.Raw(), {0xFF, 0xFE, 0x01}) && MsSince(start) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(EndsWith(server.Raw(), {0xFF, 0xFE, 0x01}));
}

// A few rows of the local port's time-out table, over the network (the Windows build waits
// with select(), POSIX with poll()).
TEST(NetPortRead, TimeOutsKeepTheirMeaning) {
    const struct {
        const char* what;
        qx::COMMTIMEOUTS timeouts;
        Bytes before;  // waiting before the read
        Bytes later;   // sent 100 ms into the read
        uint32_t count;
        size_t expected;
        int64_t minMs, maxMs;
    } cases[] = {
        {"nothing: the total", {0, 0, 300, 0, 0}, {}, {}, 10, 0, 280, 800},
        {"short reply: the interval", {200, 0, 3000, 0, 0}, {}, {1, 2, 3}, 10, 3, 280, 1200},
        {"MAXDWORD/0/0: what is there, at once", {kMax, 0, 0, 0, 0}, {1, 2, 3}, {}, 10, 3, 0, 100},
        {"the count ends the read", {500, 0, 3000, 0, 0}, {}, {1, 2, 3, 4, 5}, 4, 4, 80, 600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPortServer server;
        Port port(server.Url());
        ASSERT_TRUE(port.ok());
        ASSERT_TRUE(port.SetTimeouts(c.timeouts));
        if (!c.before.empty()) {
            ASSERT_TRUE(server.SendRaw(c.before));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::thread later;
        if (!c.later.empty()) {
            later = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                server.SendRaw(c.later);
            });
        }
        const auto start = Clock::now();
        const Bytes got = port.Read(c.count);
        const int64_t elapsed = MsSince(start);
        if (later.joinable()) later.join();
        EXPECT_EQ(got.size(), c.expected);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);
    }
}

TEST(NetPortPurge, DropsWhatArrivedAndAsksTheServerToo) {
    ComPortServer server;
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({kMax, 0, 0, 0, 0}));
    const struct {
        uint32_t flags;
        const char* command;  // "" for none
    } cases[] = {
        {qx::kPurgeTxClear | qx::kPurgeRxClear, "0C 03"},
        {qx::kPurgeRxClear, "0C 01"},
        {qx::kPurgeTxClear, "0C 02"},
        {qx::kPurgeTxAbort | qx::kPurgeRxAbort, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const size_t before = server.Commands().size();
        ASSERT_TRUE(server.SendRaw({1, 2, 3, 4}));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(p::CommPurge(port.handle(), c.flags));
        const bool rx = (c.flags & qx::kPurgeRxClear) != 0;
        EXPECT_EQ(port.Read(10).size(), rx ? 0u : 4u);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto commands = server.Commands();
        if (*c.command == '\0') {
            EXPECT_EQ(commands.size(), before);
        } else {
            ASSERT_EQ(commands.size(), before + 1);
            EXPECT_EQ(commands.back(), c.command);
        }
    }
    // What comes after the purge is read.
    ASSERT_TRUE(server.SendRaw({7, 8}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(port.Read(10), (Bytes{7, 8}));
    EXPECT_FALSE(p::CommPurge(port.handle(), 0x10));
    // A purge reaches the server before the request written after it, never after.
    EXPECT_TRUE(p::CommPurge(port.handle(), qx::kPurgeTxClear | qx::kPurgeRxClear));
    const size_t before = server.Data().size();
    EXPECT_EQ(port.Write({0x52, 0x01}), 2u);
    ASSERT_TRUE(server.WaitData(before + 2, 2000));
    EXPECT_TRUE(EndsWith(server.Raw(), {0xFF, 0xFA, 0x2C, 0x0C, 0x03, 0xFF, 0xF0, 0x52, 0x01}));
}

TEST(NetPortDrop, AClosedConnectionFailsTheReadAndEveryCallAfter) {
    ComPortServer server;
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({0, 0, 0, 0, 0}));  // no time-out at all
    qx::DCB dcb = port.State();
    std::thread cutter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.SendRaw({0x55});
        server.Cut();
    });
    uint8_t buffer[4] = {};
    uint32_t done = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(p::CommRead(port.handle(), buffer, sizeof buffer, &done));
    EXPECT_LT(MsSince(start), 2000);
    cutter.join();
    EXPECT_EQ(done, 1u);  // what came before the end is still delivered
    EXPECT_EQ(buffer[0], 0x55);

    EXPECT_FALSE(p::CommWrite(port.handle(), buffer, 1, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(p::CommRead(port.handle(), buffer, 1, &done));
    EXPECT_FALSE(p::CommGetState(port.handle(), &dcb));
    EXPECT_FALSE(p::CommSetState(port.handle(), &dcb));
    EXPECT_FALSE(p::CommPurge(port.handle(), qx::kPurgeRxClear));
}

TEST(NetPortWrite, AStalledServerEndsTheWriteAtItsTimeOutAndTheStreamStaysWhole) {
    ComPortServer server;
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.SetTimeouts({0, 0, 300, 0, 300}));
    server.PauseReading(true);
    // Far more than the socket buffers hold, all FF but the first byte of each piece the
    // port escapes at a time: the write stops somewhere in the middle, and the system takes
    // whole pages, which then end between the two bytes of a doubled FF.
    Bytes big(16 << 20, 0xFF);
    for (size_t i = 0; i < big.size(); i += p::kNetWritePiece) big[i] = 0x41;
    const auto start = Clock::now();
    const uint32_t done = port.Write(big);
    const int64_t elapsed = MsSince(start);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, big.size());
    EXPECT_GE(elapsed, 280);
    EXPECT_LE(elapsed, 1500);

    server.PauseReading(false);
    ASSERT_TRUE(port.SetTimeouts({0, 0, 300, 0, 10000}));
    EXPECT_EQ(port.Write({0x41}), 1u);
    ASSERT_TRUE(server.WaitData(done + 1, 10000));
    Bytes expected(big.begin(), big.begin() + done);
    expected.push_back(0x41);
    EXPECT_TRUE(server.Data() == expected)
        << server.Data().size() << " bytes, " << done + 1 << " expected";
}

TEST(NetPortRaw, TcpPortsCarryBytesAsTheyAreAtTheServersSpeed) {
    ComPortServer::Behaviour raw;
    raw.telnet = false;
    ComPortServer server(raw);
    Port port(server.Url());
    ASSERT_TRUE(port.ok());
    EXPECT_TRUE(p::CommSpeedIsFixed(port.handle()));
    qx::DCB dcb = port.State();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8u);
    dcb.fDtrControl = qx::kDtrControlEnable;
    EXPECT_TRUE(p::CommSetState(port.handle(), &dcb));
    dcb.BaudRate = 921600;
    EXPECT_FALSE(p::CommSetState(port.handle(), &dcb));
    EXPECT_EQ(port.State().BaudRate, 115200u);

    ASSERT_TRUE(port.SetTimeouts({100, 0, 1000, 0, 1000}));
    EXPECT_EQ(port.Write({0xFF, 0x00, 0xFF}), 3u);
    ASSERT_TRUE(server.WaitData(3, 2000));
    EXPECT_EQ(server.Raw(), (Bytes{0xFF, 0x00, 0xFF}));
    ASSERT_TRUE(server.SendRaw({0xFF, 0xFD, 0x2C}));
    EXPECT_EQ(port.Read(3), (Bytes{0xFF, 0xFD, 0x2C}));

    ComPortServer telnet;
    Port other(telnet.Url());
    ASSERT_TRUE(other.ok());
    EXPECT_FALSE(p::CommSpeedIsFixed(other.handle()));
    EXPECT_FALSE(p::CommSpeedIsFixed(qx::InvalidHandle()));
}

}  // namespace
