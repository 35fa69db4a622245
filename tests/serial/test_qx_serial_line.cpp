// QXSerial on a real line: a pseudo-terminal linked as a COM port, with the far end
// checking what the port did to the line and the log showing every step and transfer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "pty_peer.h"
#include "serial/qx_serial.h"
#include "serial_test_log.h"
#include "support/elapsed.h"

namespace {

using qx::QXSerial;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using qxtest::Clock;
using qxtest::MsSince;

bool SameTimeouts(const qx::COMMTIMEOUTS& a, const qx::COMMTIMEOUTS& b) {
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

std::string Describe(const qx::COMMTIMEOUTS& t) {
    char text[80];
    std::snprintf(text, sizeof text, "%u/%u/%u/%u/%u", t.ReadIntervalTimeout,
                  t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
    return text;
}

constexpr qx::COMMTIMEOUTS kOpenTimeouts = {40, 0, 300, 0, 300};

class SerialLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ok()) << peer_.error();
        ASSERT_TRUE(coms_.ok());
        ASSERT_TRUE(coms_.Link("COM7", peer_.slavePath()));
        port_.logger = log_.window();
    }
    void OpenQuietly() {
        ASSERT_TRUE(port_.Open("\\\\.\\COM7"));
        log_.Clear();
    }

    qxtest::PtyPeer peer_;
    qxtest::ComDir coms_;
    qxtest::CapturedLog log_;
    QXSerial port_;
};

TEST_F(SerialLine, OpenSetsTheLineAndTheTimeOuts) {
    // Leave the line as another program might: slow, two stop bits, hardware and software
    // flow control (a pseudo-terminal keeps no byte size or parity of its own: always 8N).
    ASSERT_TRUE(peer_.SetLine({19200, 8, 'N', 2, true, true, false, false}));
    ASSERT_TRUE(peer_.Line().rtsCts);
    ASSERT_TRUE(peer_.Line().xonXoff);
    ASSERT_TRUE(port_.Open("\\\\.\\COM7"));
    EXPECT_EQ(log_.Lines(), (Lines{"QXSerial: Successfully opened \\\\.\\COM7",
                                   "QXSerial: \\\\.\\COM7 opened at 115200 baud"}));
    const qxtest::LineState line = peer_.Line();
    EXPECT_EQ(line.baud, 115200u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, 'N');
    EXPECT_FALSE(line.rtsCts);
    // A binary protocol on an 8N1 line: 0x11 and 0x13 are data.
    EXPECT_FALSE(line.xonXoff);
    EXPECT_EQ(line.stopBits, 1);

    EXPECT_EQ(port_.dcb.BaudRate, 115200u);
    EXPECT_EQ(port_.dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(port_.dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(port_.dcb.fDtrControl, 1u);
    EXPECT_EQ(port_.dcb.fRtsControl, 1u);
    qx::DCB driver{};
    ASSERT_TRUE(qx::platform::CommGetState(port_.handle, &driver));
    EXPECT_EQ(driver.fDtrControl, 1u);
    EXPECT_EQ(driver.fRtsControl, 1u);
    EXPECT_EQ(driver.StopBits, qx::kOneStopBit);
    EXPECT_EQ(driver.fOutX, 0u);
    EXPECT_EQ(driver.fInX, 0u);

    port_.timeouts = {};
    ASSERT_TRUE(port_.GetTimeouts());
    EXPECT_TRUE(SameTimeouts(port_.timeouts, kOpenTimeouts)) << Describe(port_.timeouts);
    EXPECT_TRUE(port_.SetupBuffers());
}

TEST_F(SerialLine, EveryComSpellingOpensTheLinkedPort) {
    for (const char* name : {"\\\\.\\COM7", "COM7", "com7"}) {
        log_.Clear();
        EXPECT_TRUE(port_.Open(name)) << name;
        EXPECT_STREQ(port_.portName, name);
        EXPECT_EQ(log_.Lines().back(), std::string("QXSerial: ") + name + " opened at 115200 baud");
        port_.Close();
    }
}

TEST_F(SerialLine, ReopenClosesFirstAndNullReopensThePreviousName) {
    OpenQuietly();
    ASSERT_TRUE(port_.Open(nullptr));
    EXPECT_EQ(log_.Lines(),
              (Lines{"QXSerial: Port Closed", "QXSerial: Successfully opened \\\\.\\COM7",
                     "QXSerial: \\\\.\\COM7 opened at 115200 baud"}));
    EXPECT_STREQ(port_.portName, "\\\\.\\COM7");
}

TEST_F(SerialLine, SecondOpenerIsRefusedUntilClose) {
    OpenQuietly();
    qxtest::CapturedLog otherLog;
    QXSerial other;
    other.logger = otherLog.window();
    EXPECT_FALSE(other.Open("COM7"));
    EXPECT_EQ(otherLog.Lines(),
              (Lines{"QXSerial: Open Port COM7 Failed", "QXSerial: Port Closed"}));
    port_.Close();
    EXPECT_EQ(log_.Lines(), Lines{"QXSerial: Port Closed"});
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_TRUE(other.Open("COM7"));
}

TEST_F(SerialLine, OverlongNameOpensItsFirst259Characters) {
    // coms_/LLL...L is exactly 259 characters; the name passed runs 41 further.
    const std::string prefix = coms_.path() + "/";
    ASSERT_LT(prefix.size(), 259u - 200u);
    const std::string linkName(259 - prefix.size(), 'L');
    ASSERT_TRUE(coms_.Link(linkName, peer_.slavePath()));
    const std::string name = prefix + linkName + std::string(41, 'x');
    ASSERT_EQ(name.size(), 300u);
    EXPECT_TRUE(port_.Open(name.c_str()));
    EXPECT_EQ(std::string(port_.portName), prefix + linkName);
    EXPECT_EQ(peer_.Line().baud, 115200u);
}

TEST_F(SerialLine, PortThatIsNoCommDeviceFailsAtGetCommState) {
    const std::string path = coms_.path() + "/plainfile";
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_FALSE(port_.Open(path.c_str()));
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(log_.Lines(), (Lines{"QXSerial: Successfully opened " + path,
                                   "QXSerial: GetCommState Failed", "QXSerial: Port Closed"}));
}

TEST_F(SerialLine, SetBaudReachesTheLineAndLogsOnlyChanges) {
    OpenQuietly();
    const struct {
        uint32_t rate;
        bool logs;
    } steps[] = {{921600, true}, {19200, true}, {19200, false}, {115200, true}, {115200, false}};
    for (const auto& step : steps) {
        log_.Clear();
        EXPECT_TRUE(port_.SetBaud(step.rate)) << step.rate;
        EXPECT_EQ(peer_.Line().baud, step.rate);
        EXPECT_EQ(port_.dcb.BaudRate, step.rate);
        const Lines expected =
            step.logs ? Lines{"QXSerial: Baud changed to " + std::to_string(step.rate)} : Lines{};
        EXPECT_EQ(log_.Lines(), expected) << step.rate;
    }
}

TEST_F(SerialLine, RefusedBaudKeepsTheLineAndLeavesTheRateInDcb) {
    OpenQuietly();
    EXPECT_FALSE(port_.SetBaud(0));
    EXPECT_EQ(log_.Lines(), Lines{"QXSerial: SetCommState Failed"});
    EXPECT_EQ(port_.dcb.BaudRate, 0u);
    EXPECT_EQ(peer_.Line().baud, 115200u);
}

TEST_F(SerialLine, SetTimeoutsMovesExactlyTheMembersOfItsMask) {
    OpenQuietly();
    const qx::COMMTIMEOUTS values = {1001, 1002, 1003, 1004, 1005};
    const struct {
        uint32_t mask;
        qx::COMMTIMEOUTS expected;
    } cases[] = {
        {0x00, {40, 0, 300, 0, 300}},
        {qx::kTimeoutReadTotalConstant, {40, 0, 1003, 0, 300}},
        {qx::kTimeoutReadTotalMultiplier, {40, 1002, 300, 0, 300}},
        {qx::kTimeoutReadInterval, {1001, 0, 300, 0, 300}},
        {qx::kTimeoutWriteTotalConstant, {40, 0, 300, 0, 1005}},
        {qx::kTimeoutWriteTotalMultiplier, {40, 0, 300, 1004, 300}},
        {0x1F, values},
        {0x05, {1001, 0, 1003, 0, 300}},
    };
    for (const auto& c : cases) {
        qx::COMMTIMEOUTS reset = kOpenTimeouts;
        ASSERT_TRUE(qx::platform::CommSetTimeouts(port_.handle, &reset));
        // The mirror is stale on purpose: the call must start from the driver's values.
        port_.timeouts = {7, 7, 7, 7, 7};
        EXPECT_TRUE(port_.SetTimeouts(&values, c.mask));
        EXPECT_TRUE(SameTimeouts(port_.timeouts, c.expected)) << c.mask;
        qx::COMMTIMEOUTS driver{};
        ASSERT_TRUE(qx::platform::CommGetTimeouts(port_.handle, &driver));
        EXPECT_TRUE(SameTimeouts(driver, c.expected))
            << "mask " << c.mask << ": " << Describe(driver);
    }
    EXPECT_FALSE(port_.SetTimeouts(nullptr, 0x1F));
    EXPECT_TRUE(log_.Empty());
}

TEST_F(SerialLine, SetReadTimeoutChangesOnlyTheReadConstant) {
    OpenQuietly();
    qx::COMMTIMEOUTS policy = {200, 1, 300, 0, 300};
    ASSERT_TRUE(qx::platform::CommSetTimeouts(port_.handle, &policy));
    port_.timeouts = {};
    EXPECT_TRUE(port_.SetReadTimeout(600));
    qx::COMMTIMEOUTS driver{};
    ASSERT_TRUE(qx::platform::CommGetTimeouts(port_.handle, &driver));
    const qx::COMMTIMEOUTS expected = {200, 1, 600, 0, 300};
    EXPECT_TRUE(SameTimeouts(driver, expected)) << Describe(driver);
    EXPECT_TRUE(SameTimeouts(port_.timeouts, expected));
}

TEST_F(SerialLine, ReadWithNothingComingBackEndsAtTheTotalTimeOut) {
    OpenQuietly();
    uint8_t buffer[16];
    const auto start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, sizeof buffer), 0u);
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 280);
    EXPECT_LE(elapsed, 700);
    EXPECT_TRUE(log_.Empty());  // nothing read: no dump, not even the label
}

TEST_F(SerialLine, ShortReadReturnsAfterTheIntervalAndDumpsWhatCame) {
    OpenQuietly();
    const qx::COMMTIMEOUTS t = {200, 0, 3000, 0, 300};
    ASSERT_TRUE(port_.SetTimeouts(&t, 0x1F));
    peer_.WriteLater({0x41, 0x42, 0x0D}, 50);
    uint8_t buffer[10] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, sizeof buffer), 3u);
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 230);
    EXPECT_LE(elapsed, 1200);  // well short of the 3000 ms total
    EXPECT_EQ(log_.Lines(),
              (Lines{"QXSerial: Read", "0000: 41 42 0D " + std::string(39, ' ') + "AB."}));
}

TEST_F(SerialLine, FullReadReturnsWithoutWaitingForTimeOuts) {
    OpenQuietly();
    const qx::COMMTIMEOUTS t = {1000, 0, 3000, 0, 300};
    ASSERT_TRUE(port_.SetTimeouts(&t, 0x1F));
    Bytes reply(20);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(0xE0 + i);
    // Half waiting already, half arriving in pieces during the read.
    ASSERT_TRUE(peer_.Write(Bytes(reply.begin(), reply.begin() + 10)));
    ASSERT_EQ(peer_.WaitHostInput(10, 2000), 10u);
    peer_.WriteLater(Bytes(reply.begin() + 10, reply.end()), 20, 3, 10);
    Bytes buffer(20);
    const auto start = Clock::now();
    EXPECT_EQ(port_.Read(buffer.data(), 20), 20u);
    EXPECT_LT(MsSince(start), 700);
    EXPECT_EQ(buffer, reply);
    const Lines lines = log_.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "QXSerial: Read");
    EXPECT_EQ(lines[1].substr(0, 6), "0000: ");
    EXPECT_EQ(lines[2], "0010: F0 F1 F2 F3 " + std::string(36, ' ') + "....");
}

TEST_F(SerialLine, WriteSendsAndDumpsTheBytes) {
    OpenQuietly();
    const char text[] = "hello";
    EXPECT_EQ(port_.Write(text, 5), 5u);
    const Bytes sent = peer_.Read(5, 2000);
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "hello");
    EXPECT_EQ(log_.Lines(),
              (Lines{"QXSerial: Write", "0000: 68 65 6C 6C 6F " + std::string(33, ' ') + "hello"}));
}

TEST_F(SerialLine, EmptyTransfersTouchNeitherLineNorLog) {
    OpenQuietly();
    ASSERT_TRUE(peer_.Write({1, 2}));
    ASSERT_EQ(peer_.WaitHostInput(2, 2000), 2u);
    uint8_t buffer[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, 0), 0u);
    EXPECT_EQ(port_.Read(nullptr, 4), 0u);
    EXPECT_EQ(port_.Write(buffer, 0), 0u);
    EXPECT_EQ(port_.Write(nullptr, 4), 0u);
    EXPECT_LT(MsSince(start), 100);  // no wait for any time-out
    EXPECT_TRUE(log_.Empty());
    EXPECT_EQ(peer_.WaitHostInput(2, 0), 2u);  // input still there
    EXPECT_TRUE(peer_.Read(1, 100).empty());   // nothing went out
}

TEST_F(SerialLine, PurgeDiscardsPendingInput) {
    OpenQuietly();
    ASSERT_TRUE(peer_.Write({9, 8, 7, 6}));
    ASSERT_EQ(peer_.WaitHostInput(4, 2000), 4u);
    EXPECT_TRUE(port_.Purge());
    EXPECT_EQ(peer_.WaitHostInput(1, 0), 0u);
    uint8_t buffer[4];
    EXPECT_EQ(port_.Read(buffer, 4), 0u);
    EXPECT_TRUE(log_.Empty());
}

TEST_F(SerialLine, PortWalkOverMissingComNamesIsFast) {
    QXSerial walker;  // no logger, as during the launcher's scan
    char name[32];
    int opened = 0;
    const auto start = Clock::now();
    for (int i = 1; i <= 254; ++i) {
        if (i == 7) continue;  // the one that exists
        std::snprintf(name, sizeof name, "\\\\.\\COM%i", i);
        walker.Close();
        opened += walker.Open(name) ? 1 : 0;
    }
    const int64_t elapsed = MsSince(start);
    std::printf("[ info ] 253-port walk over missing COM names: %lld ms\n",
                static_cast<long long>(elapsed));
    EXPECT_EQ(opened, 0);
    EXPECT_LT(elapsed, 1000);
}

}  // namespace
