// QXSerial without a line: construction, Reset, and every operation on a closed port.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "serial/qx_serial.h"
#include "serial_test_log.h"

namespace {

using qx::QXSerial;
using Lines = std::vector<std::string>;

void ExpectPristine(const QXSerial& port) {
    EXPECT_EQ(port.handle, qx::InvalidHandle());
    EXPECT_EQ(port.logger, nullptr);
    EXPECT_STREQ(port.portName, "");
    qx::DCB dcb{};
    dcb.DCBlength = 28;
    EXPECT_EQ(std::memcmp(&port.dcb, &dcb, sizeof dcb), 0);
    const qx::COMMTIMEOUTS zero{};
    EXPECT_EQ(std::memcmp(&port.timeouts, &zero, sizeof zero), 0);
    EXPECT_EQ(port.scratchBuffer, nullptr);
    EXPECT_EQ(port.scratchLength, 0u);
    ASSERT_NE(port.terminatorPrimary, nullptr);
    ASSERT_EQ(port.terminatorPrimaryLength, 2u);
    EXPECT_EQ(port.terminatorPrimary[0], 0x0D);
    EXPECT_EQ(port.terminatorPrimary[1], 0x0A);
    ASSERT_NE(port.terminatorSecondary, nullptr);
    ASSERT_EQ(port.terminatorSecondaryLength, 1u);
    EXPECT_EQ(port.terminatorSecondary[0], 0x0D);
}

TEST(QXSerialState, ConstructedPortIsClosedWithDefaultTerminators) {
    QXSerial port;
    ExpectPristine(port);
}

TEST(QXSerialState, ResetLogsThroughCurrentLoggerThenRestoresEverything) {
    qxtest::CapturedLog log;
    QXSerial port;
    port.logger = log.window();
    std::strcpy(port.portName, "\\\\.\\COM3");
    port.dcb.BaudRate = 921600;
    port.timeouts.ReadTotalTimeoutConstant = 600;
    port.scratchBuffer = new uint8_t[64];
    port.scratchLength = 64;
    port.terminatorPrimary[0] = 'X';
    port.terminatorSecondary[0] = 'Y';

    port.Reset();

    EXPECT_EQ(log.Lines(), Lines{"QXSerial: Port Closed"});
    ExpectPristine(port);
}

TEST(QXSerialState, TerminatorResetsReplaceOnlyTheirOwnBlock) {
    QXSerial port;
    port.terminatorPrimary[1] = 'x';
    port.terminatorSecondary[0] = 'y';
    port.ResetPrimaryTerminator();
    EXPECT_EQ(port.terminatorPrimary[1], 0x0A);
    EXPECT_EQ(port.terminatorSecondary[0], 'y');
    port.ResetSecondaryTerminator();
    EXPECT_EQ(port.terminatorSecondary[0], 0x0D);
    EXPECT_EQ(port.terminatorSecondaryLength, 1u);
}

TEST(QXSerialClosed, EveryTransferAndSettingFailsWithoutLogging) {
    qxtest::CapturedLog log;
    QXSerial port;
    port.logger = log.window();
    uint8_t buffer[8] = {1, 2, 3};
    const qx::COMMTIMEOUTS values{1, 2, 3, 4, 5};
    const struct {
        const char* name;
        std::function<bool()> call;
    } cases[] = {
        {"SetBaud", [&] { return port.SetBaud(19200); }},
        {"SetReadTimeout", [&] { return port.SetReadTimeout(600); }},
        {"SetTimeouts", [&] { return port.SetTimeouts(&values, 0x1F); }},
        {"GetTimeouts", [&] { return port.GetTimeouts(); }},
        {"SetupBuffers", [&] { return port.SetupBuffers(); }},
        {"Purge", [&] { return port.Purge(); }},
        {"Read", [&] { return port.Read(buffer, sizeof buffer) != 0; }},
        {"Write", [&] { return port.Write(buffer, sizeof buffer) != 0; }},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(c.call()) << c.name;
        EXPECT_TRUE(log.Empty()) << c.name;
    }
    const qx::COMMTIMEOUTS zero{};
    EXPECT_EQ(std::memcmp(&port.timeouts, &zero, sizeof zero), 0);
    EXPECT_EQ(port.dcb.BaudRate, 0u);
}

TEST(QXSerialClosed, CloseOnClosedPortOnlyLogs) {
    qxtest::CapturedLog log;
    QXSerial port;
    port.logger = log.window();
    port.Close();
    port.Close();
    EXPECT_EQ(log.Lines(), (Lines{"QXSerial: Port Closed", "QXSerial: Port Closed"}));
    EXPECT_FALSE(port.IsOpen());
}

TEST(QXSerialOpen, MissingPortFailsAndLeavesPortClosed) {
    for (const char* name : {"\\\\.\\COM0", "\\\\.\\QXNoSuchPort"}) {
        qxtest::CapturedLog log;
        QXSerial port;
        port.logger = log.window();
        EXPECT_FALSE(port.Open(name)) << name;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_STREQ(port.portName, name);
        EXPECT_EQ(log.Lines(), (Lines{std::string("QXSerial: Open Port ") + name + " Failed",
                                      "QXSerial: Port Closed"}));
    }
}

TEST(QXSerialOpen, OverlongNameIsCutTo259Characters) {
    qxtest::CapturedLog log;
    QXSerial port;
    port.logger = log.window();
    const std::string name = "\\\\.\\QX" + std::string(294, 'n');  // 300 characters
    EXPECT_FALSE(port.Open(name.c_str()));
    const std::string cut = name.substr(0, 259);
    EXPECT_EQ(std::string(port.portName), cut);
    EXPECT_EQ(log.Lines(),
              (Lines{"QXSerial: Open Port " + cut + " Failed", "QXSerial: Port Closed"}));
}

}  // namespace
