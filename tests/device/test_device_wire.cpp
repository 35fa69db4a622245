// Device operations against the simulated device over a pseudo-terminal: the exact request
// bytes, the result codes, the device fields and the log lines, for success and failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel.h"
#include "sim_fixture.h"

namespace qx {
namespace {

using qxtest::Hex;
using qxtest::SimConfig;
using qxtest::SimDevice;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A device object opened on the simulated model, fields as identification would leave
// them, log and transcript empty.
#define START(dev)              \
    ASSERT_TRUE((dev).Start()); \
    (dev).AdoptModel();         \
    (dev).Reset()

qxsim::Config Kelby() {
    return SimConfig('O', 10, 15);
}  // family 1, 9 banks
qxsim::Config CalderI() {
    return SimConfig('1', 1, 40);
}  // family 2
qxsim::Config Halvane() {
    return SimConfig('L', 1, 0);
}  // flash information
qxsim::Config Brannock() {
    return SimConfig('Z', 1, 0);
}  // "8", no get
qxsim::Config Tolliver(uint8_t major, uint8_t minor, uint8_t mode, uint8_t marker = 0xAA) {
    qxsim::Config config = SimConfig('Q', major, minor);
    config.tolliverMode = mode;
    config.tolliverMarker = marker;
    return config;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

// ---------------------------------------------------------------- device object

TEST(DeviceWire, OpenPortByNamePreparesThePort) {
#ifdef _WIN32
    // Windows opens "COM10" and up only by their "\\.\COMn" names, which hold no number.
    constexpr int kPort = 7;
#else
    constexpr int kPort = 12;
#endif
    SimDevice dev(Kelby(), kPort);
    ASSERT_TRUE(dev.Start());
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.portNumber, kPort);
    ASSERT_TRUE(d.port->GetTimeouts());
    EXPECT_EQ(d.port->timeouts.ReadIntervalTimeout, 200u);
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutConstant, 300u);
    EXPECT_EQ(d.port->timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(d.port->timeouts.WriteTotalTimeoutConstant, 300u);
    EXPECT_EQ(dev.sim().lineBaud(), 115200u);
    // Opening neither identifies nor sends anything.
    EXPECT_EQ(d.capabilities, 0u);
    EXPECT_TRUE(dev.Transcript().empty());
}

TEST(DeviceWire, OpenPortByNameTakesTheNumberAfterThreeCharacters) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    // Reopened by the name a scan saved ("\\.\COMn"): the COM number of that name.
    ASSERT_EQ(d.OpenDeviceOnPort(static_cast<uint32_t>(dev.comNumber()), nullptr, 0, nullptr,
                                 kScanFromComZero),
              1);
    ASSERT_EQ(d.OpenPortByName(nullptr), VR_S_OK);
    EXPECT_EQ(d.portNumber, dev.comNumber());
    dev.ClearLog();
    // A device path: the fourth character is not a digit. (Under Wine the simulator's path
    // is the "\\.\COMn" name itself, which names its COM number.)
    const std::string path = dev.sim().portPath();
    EXPECT_EQ(d.OpenPortByName(path.c_str()), VR_S_OK);
    EXPECT_EQ(d.portNumber, path.rfind("\\\\.\\COM", 0) == 0 ? dev.comNumber() : 0);
    EXPECT_EQ(dev.Messages().front(), "QXSerial: Port Closed");  // the open port closed first
    dev.ClearLog();
    // Opening a missing port: closed afterwards, both "Port Closed" lines.
    EXPECT_EQ(d.OpenPortByName("COM77"), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_FALSE(d.port->IsOpen());
    const Lines messages = dev.Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3].rfind("QXSerial: Open Port COM77 Failed", 0), 0u)
        << messages[messages.size() - 3];
    EXPECT_EQ(messages[messages.size() - 2], "QXSerial: Port Closed");
    EXPECT_EQ(messages.back(), "QXSerial: Port Closed");
}

// ---------------------------------------------------------------- link speed

TEST(LinkSpeed, RaisesTheLineAndClosePortBringsItBackFirst) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.SetUSBBaud(kSpeed921600, 0), VR_S_OK);
    EXPECT_EQ(d.baudIndex, 0);
    EXPECT_EQ(dev.sim().lineBaud(), 921600u);
    EXPECT_EQ(dev.RequestHex(), Lines{"53 00 53"});
    EXPECT_EQ(dev.Transcript()[0].baud, 115200u) << "the request goes out at the old speed";
    EXPECT_EQ(dev.Messages(), (Lines{"QXSerial: Baud changed to 921600",
                                     "QXVorrel: SetUSBBaud to 921600, Force = FALSE SUCCEEDED"}));
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutConstant, 300u);

    // The device now answers at 921600.
    uint8_t byte = 0;
    EXPECT_EQ(d.ReadEEPROM(&byte, 0x10, 1), VR_S_OK);
    dev.Reset();

    d.ClosePort();
    const auto transcript = dev.Transcript();
    ASSERT_EQ(transcript.size(), 1u);
    EXPECT_EQ(Hex(transcript[0].bytes), "53 07 5A");
    EXPECT_EQ(transcript[0].baud, 921600u);
    EXPECT_EQ(dev.sim().lineBaud(), 115200u);
    EXPECT_EQ(dev.sim().deviceBaud(), 115200u);
    EXPECT_EQ(dev.Messages(), (Lines{"QXSerial: Baud changed to 115200",
                                     "QXVorrel: SetUSBBaud to 115200, Force = TRUE SUCCEEDED",
                                     "QXSerial: Port Closed", "QXVorrel: COM Port closed."}));
    EXPECT_EQ(d.baudIndex, 7);
    EXPECT_EQ(d.portNumber, 255);
    EXPECT_EQ(d.capabilities, 0u);
    EXPECT_FALSE(d.port->IsOpen());
}

TEST(LinkSpeed, EveryIndexSendsItsCommand) {
    const std::pair<uint32_t, const char*> cases[] = {
        {1, "53 01 54"}, {3, "53 03 56"}, {7, "53 07 5A"}, {0, "53 00 53"}};
    SimDevice dev(Kelby());
    START(dev);
    for (auto [index, bytes] : cases) {
        dev.Reset();
        EXPECT_EQ(dev.device().SetUSBBaud(index, 1), VR_S_OK) << bytes;
        EXPECT_EQ(dev.RequestHex(), Lines{bytes});
        EXPECT_EQ(dev.sim().lineBaud(), 921600u / (index + 1));
        EXPECT_EQ(dev.device().baudIndex, static_cast<int32_t>(index));
    }
}

TEST(LinkSpeed, WithoutCapabilitiesAForcedChangeMovesOnlyThePc) {
    SimDevice dev(Kelby());
    ASSERT_TRUE(dev.Start());
    dev.Reset();
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.SetUSBBaud(kSpeed921600, 1), VR_S_OK);
    EXPECT_TRUE(dev.Transcript().empty());
    EXPECT_EQ(dev.sim().lineBaud(), 921600u);
    EXPECT_EQ(d.baudIndex, 0);
    EXPECT_EQ(dev.Messages(), (Lines{"QXSerial: Baud changed to 921600",
                                     "QXVorrel: SetUSBBaud to 921600, Force = TRUE SUCCEEDED"}));
}

struct SpeedFailure {
    const char* name;
    const char* fault;
    int32_t force;
    int32_t result;
    const char* message;
};

TEST(LinkSpeed, RefusedOrUnansweredLeavesTheSpeedAlone) {
    const SpeedFailure cases[] = {
        {"refused", "S:refuse", 0, VR_E_GENERAL_ERROR,
         "QXVorrel: SetUSBBaud to 921600, Force = FALSE FAILED with VR_E_GENERAL_ERROR"},
        {"refused, forced", "S:refuse", 1, VR_S_OK,
         "QXVorrel: SetUSBBaud to 921600, Force = TRUE SUCCEEDED"},
        {"no reply", "S:none", 0, VR_E_COMM_READ_FAILURE,
         "QXVorrel: SetUSBBaud to 921600, Force = FALSE FAILED with VR_E_COMM_READ_FAILURE"},
        {"no reply, forced", "S:none", 1, VR_E_COMM_READ_FAILURE,
         "QXVorrel: SetUSBBaud to 921600, Force = TRUE FAILED with VR_E_COMM_READ_FAILURE"},
    };
    for (const SpeedFailure& c : cases) {
        SCOPED_TRACE(c.name);
        SimDevice dev(Kelby());
        START(dev);
        ASSERT_TRUE(dev.AddFault(c.fault));
        EXPECT_EQ(dev.device().SetUSBBaud(kSpeed921600, c.force), c.result);
        EXPECT_EQ(dev.RequestHex(), Lines{"53 00 53"});
        EXPECT_EQ(dev.Messages(), Lines{c.message});
        EXPECT_EQ(dev.device().baudIndex, 7);
        EXPECT_EQ(dev.sim().lineBaud(), 115200u);
        EXPECT_EQ(dev.device().portFree.load(), 1);
        EXPECT_EQ(dev.device().port->timeouts.ReadTotalTimeoutConstant, 300u);
    }
}

TEST(LinkSpeed, ClosedPortIsAWriteFailureAndTheTimeoutEndsAt300) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    d.port->SetReadTimeout(777);
    EXPECT_EQ(d.SetUSBBaud(2, 0), VR_E_INVALID_FUNC_PARAM);
    ASSERT_TRUE(d.port->GetTimeouts());
    EXPECT_EQ(d.port->timeouts.ReadTotalTimeoutConstant, 300u) << "restored on every path";

    d.port->Close();
    dev.Reset();
    EXPECT_EQ(d.SetUSBBaud(kSpeed921600, 0), VR_E_COMM_WRITE_FAILURE);
    EXPECT_EQ(dev.Messages(), Lines{"QXVorrel: SetUSBBaud to 921600, Force = FALSE FAILED with "
                                    "VR_E_COMM_WRITE_FAILURE"});
    EXPECT_EQ(d.portFree.load(), 1);
    EXPECT_TRUE(dev.Transcript().empty());
}

// ---------------------------------------------------------------- EEPROM

TEST(Eeprom, InformationRecordInBothCommandSets) {
    struct Case {
        qxsim::Config config;
        const char* request;
    };
    const Case cases[] = {
        {Kelby(), "48 52 07 00 01 A2"},
        {CalderI(), "45 07 00 01 00 00 00 00 00 00 00 4D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        SimDevice dev(c.config);
        START(dev);
        EEPROMInfo info{};
        EXPECT_EQ(dev.device().GetEEPROMInfo(&info), VR_S_OK);
        EXPECT_EQ(dev.RequestHex(), Lines{c.request});
        const auto eeprom = dev.sim().eeprom();
        EXPECT_EQ(Hex(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&info),
                                           reinterpret_cast<uint8_t*>(&info) + 7)),
                  Hex(Slice(eeprom, 1, 7)));
        EXPECT_EQ(info.deviceId, static_cast<uint8_t>(c.config.hardwareId));
        EXPECT_EQ(info.interfaceLetter, 'U');
        EXPECT_EQ(dev.Messages(),
                  (Lines{"QXVorrel: EEPROM Information requested",
                         "QXVorrel: ReadEEPROM requested, 7 bytes from address 1"}));
        // Request and reply are dumped.
        const Lines lines = dev.LogLines();
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(lines[2], "QXSerial: Write");
        EXPECT_EQ(lines[3].substr(0, 6), "0000: ");
    }
}

TEST(Eeprom, ReadLengthsAndAddresses) {
    SimDevice dev(Kelby());
    START(dev);
    std::vector<uint8_t> pattern(256);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(0xFF - i);
    dev.sim().writeEeprom(0x1F00, pattern);
    std::vector<uint8_t> buffer(256, 0);
    EXPECT_EQ(dev.device().ReadEEPROM(buffer.data(), 0x1F00, 256), VR_S_OK);
    EXPECT_EQ(buffer, pattern);
    uint8_t one = 0;
    EXPECT_EQ(dev.device().ReadEEPROM(&one, 0x100, 1), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), (Lines{"48 52 00 1F 00 B9", "48 52 01 01 00 9C"}))
        << "256 travels as length byte 0";
    EXPECT_EQ(dev.Messages(), (Lines{"QXVorrel: ReadEEPROM requested, 256 bytes from address 1F00",
                                     "QXVorrel: ReadEEPROM requested, 1 bytes from address 100"}));
}

TEST(Eeprom, A256ByteReadOfTheOtherFamilySends261Bytes) {
    SimDevice dev(CalderI());
    START(dev);
    std::vector<uint8_t> buffer(256, 0);
    EXPECT_EQ(dev.device().ReadEEPROM(buffer.data(), 0x0200, 256), VR_S_OK);
    const auto requests = dev.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].size(), 261u);
    EXPECT_EQ(Hex(Slice(requests[0], 0, 4)), "45 00 02 00");
    EXPECT_EQ(requests[0].back(), 0x47);
    EXPECT_EQ(buffer, Slice(dev.sim().eeprom(), 0x200, 256));
}

TEST(Eeprom, LengthsOutsideOneTo256AreRefusedUnsent) {
    SimDevice dev(CalderI());
    START(dev);
    std::vector<uint8_t> buffer(1024, 0);
    EXPECT_EQ(dev.device().ReadEEPROM(buffer.data(), 0, 0), VR_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(dev.device().ReadEEPROM(buffer.data(), 0, 257), VR_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(dev.device().ReadEEPROM(buffer.data(), 0, 0xFFFF), VR_E_INVALID_FUNC_PARAM);
    EXPECT_TRUE(dev.Transcript().empty());
    EXPECT_EQ(dev.LogText(), "");
}

TEST(Eeprom, WriteSendsOneByteInBothCommandSets) {
    struct Case {
        qxsim::Config config;
        const char* request;
    };
    const Case cases[] = {{Kelby(), "48 57 01 01 02 AA 4D"}, {CalderI(), "65 01 01 02 AA 13"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        SimDevice dev(c.config);
        START(dev);
        const uint8_t data[4] = {0xAA, 0x11, 0x22, 0x33};
        EXPECT_EQ(dev.device().WriteEEPROM(data, 0x102, 4), VR_S_OK);
        EXPECT_EQ(dev.RequestHex(), Lines{c.request});
        EXPECT_EQ(dev.Messages(), Lines{"QXVorrel: WriteEEPROM requested, 1 bytes to address 102"});
        const auto eeprom = dev.sim().eeprom();
        EXPECT_EQ(eeprom[0x102], 0xAA);
        EXPECT_NE(eeprom[0x103], 0x11);
    }
}

struct ReadFailure {
    const char* fault;
    uint16_t length;
    int32_t result;
    bool missingMessage;
};

TEST(Eeprom, ReadFailures) {
    const ReadFailure cases[] = {
        {"HR:refuse", 7, VR_E_UNKNOWN_COMMAND, true},
        // One byte: the '?' is taken as data and the checksum never comes.
        {"HR:refuse", 1, VR_E_COMM_READ_FAILURE, false},
        {"HR:none", 7, VR_E_COMM_READ_FAILURE, true},
        {"HR:short=3", 7, VR_E_COMM_READ_FAILURE, true},
        {"HR:short=7", 7, VR_E_COMM_READ_FAILURE, false},  // data complete, no checksum
    };
    for (const ReadFailure& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " length " + std::to_string(c.length));
        SimDevice dev(Kelby());
        START(dev);
        ASSERT_TRUE(dev.AddFault(c.fault));
        std::vector<uint8_t> buffer(c.length, 0);
        EXPECT_EQ(dev.device().ReadEEPROM(buffer.data(), 0x20, c.length), c.result);
        Lines expected{"QXVorrel: ReadEEPROM requested, " + std::to_string(c.length) +
                       " bytes from address 20"};
        if (c.missingMessage) {
            expected.push_back("QXVorrel: ReadEEPROM failed with missing or invalid response.");
        }
        EXPECT_EQ(dev.Messages(), expected);
        EXPECT_EQ(dev.Transcript().size(), 1u);
        EXPECT_EQ(dev.device().portFree.load(), 1);
    }
}

TEST(Eeprom, BadChecksumKeepsTheDataAndSaysWhichSumIsWhich) {
    SimDevice dev(Kelby());
    START(dev);
    dev.sim().writeEeprom(0x40, {0x10, 0x20, 0x30, 0x41});
    ASSERT_TRUE(dev.AddFault("HR:badsum"));
    uint8_t buffer[4] = {};
    EXPECT_EQ(dev.device().ReadEEPROM(buffer, 0x40, 4), VR_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(Hex({buffer, buffer + 4}), "10 20 30 41");
    // Computed 0xA1 first (upper case), the device's 0xA2 second (lower case).
    EXPECT_NE(dev.LogText().find("QXVorrel: ReadEEPROM: Invalid external data checksum\r\n\tCS "
                                 "of recvd data: A1\r\n\tCS from device: a2"),
              std::string::npos)
        << dev.LogText();
}

TEST(Eeprom, WriteFailures) {
    const std::pair<const char*, int32_t> cases[] = {{"HW:refuse", VR_E_INVALID_RESPONSE},
                                                     {"HW:none", VR_E_COMM_READ_FAILURE}};
    for (auto [fault, result] : cases) {
        SCOPED_TRACE(fault);
        SimDevice dev(Kelby());
        START(dev);
        ASSERT_TRUE(dev.AddFault(fault));
        const uint8_t data = 0x5C;
        EXPECT_EQ(dev.device().WriteEEPROM(&data, 0x30, 1), result);
        EXPECT_EQ(dev.Messages(), Lines{"QXVorrel: WriteEEPROM requested, 1 bytes to address 30"});
        EXPECT_EQ(dev.device().portFree.load(), 1);
    }
}

TEST(Eeprom, Morrow2FixUp) {
    struct Case {
        uint8_t major, minor;
        char recordId;
        char expected;
        bool fixed;
    };
    const Case cases[] = {
        {2, 0, 'D', 'd', true},
        {1, 9, 'D', 'D', false},
        {2, 0, 'd', 'd', false},
        {3, 1, 'O', 'O', false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + " " + c.recordId);
        qxsim::Config config = SimConfig('D', c.major, c.minor);
        config.eepromDeviceId = c.recordId;
        SimDevice dev(config);
        START(dev);
        EEPROMInfo info{};
        EXPECT_EQ(dev.device().GetEEPROMInfo(&info), VR_S_OK);
        EXPECT_EQ(info.deviceId, static_cast<uint8_t>(c.expected));
        Lines expected{"QXVorrel: EEPROM Information requested",
                       "QXVorrel: ReadEEPROM requested, 7 bytes from address 1"};
        if (c.fixed) expected.push_back("Morrow2 device ID fixup applied");
        EXPECT_EQ(dev.Messages(), expected);
    }
}

TEST(Eeprom, Morrow2FixUpAppliesAlsoWhenTheReadFails) {
    SimDevice dev(SimConfig('D', 2, 0));
    START(dev);
    dev.device().port->Close();
    dev.ClearLog();
    EEPROMInfo info{};
    info.deviceId = 'D';
    EXPECT_EQ(dev.device().GetEEPROMInfo(&info), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(info.deviceId, 'd');
    EXPECT_EQ(dev.Messages(),
              (Lines{"QXVorrel: EEPROM Information requested", "Morrow2 device ID fixup applied"}));
}

// ---------------------------------------------------------------- flash information

TEST(FlashInfo, ReadsTheRecordWithoutTheLock) {
    SimDevice dev(Halvane());
    START(dev);
    QXVorrel& d = dev.device();
    // Identification calls it between its own requests: it must not wait for the lock.
    ASSERT_EQ(d.AcquirePort(), VR_S_OK);
    uint8_t buffer[16] = {};
    const auto start = Clock::now();
    EXPECT_EQ(d.GetFlashInfo(buffer), VR_S_OK);
    EXPECT_LT(MsSince(start), 1000.0);
    d.ReleasePort();
    EXPECT_EQ(dev.RequestHex(), Lines{"44 4F 4C 49 28"});
    EXPECT_EQ(Hex({buffer, buffer + 16}), "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
    EXPECT_EQ(dev.Messages(), Lines{"QXVorrel: GetFlashInfo requested"});
}

TEST(FlashInfo, Failures) {
    struct Case {
        const char* fault;
        int32_t result;
    };
    const Case cases[] = {
        {"DOLI:none", VR_E_COMM_READ_FAILURE},
        {"DOLI:short=15", VR_E_COMM_READ_FAILURE},
        {"DOLI:short=16", VR_E_COMM_READ_FAILURE},  // no checksum byte
        {"DOLI:refuse", VR_E_COMM_READ_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        SimDevice dev(Halvane());
        START(dev);
        ASSERT_TRUE(dev.AddFault(c.fault));
        uint8_t buffer[16] = {};
        EXPECT_EQ(dev.device().GetFlashInfo(buffer), c.result);
        EXPECT_EQ(dev.Messages(), Lines{"QXVorrel: GetFlashInfo requested"});
        EXPECT_EQ(dev.device().port->timeouts.ReadTotalTimeoutConstant, 300u);
    }
}

TEST(FlashInfo, BadChecksumIsAFailureButKeepsTheBytes) {
    SimDevice dev(Halvane());
    START(dev);
    ASSERT_TRUE(dev.AddFault("DOLI:badsum"));
    uint8_t buffer[16] = {};
    EXPECT_EQ(dev.device().GetFlashInfo(buffer), VR_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(Hex({buffer, buffer + 16}), "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
    EXPECT_NE(dev.LogText().find("QXVorrel: GetFlashInfo: Invalid external data checksum\r\n\tCS "
                                 "of recvd data: 88\r\n\tCS from device: 89"),
              std::string::npos)
        << dev.LogText();
}

TEST(FlashInfo, RefusedWithoutTheCapabilityOrThePort) {
    SimDevice dev(Kelby());  // no CapFlashInfo
    START(dev);
    uint8_t buffer[16] = {};
    EXPECT_EQ(dev.device().GetFlashInfo(buffer), VR_E_REQUEST_NOT_SUPPORTED);
    dev.device().capabilities |= CapFlashInfo;
    dev.device().port->Close();
    dev.Reset();
    EXPECT_EQ(dev.device().GetFlashInfo(buffer), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_TRUE(dev.Transcript().empty());
    EXPECT_EQ(dev.LogText(), "");
}

// ---------------------------------------------------------------- banks

TEST(Banks, GetBothBanks) {
    qxsim::Config config = Kelby();
    config.emulationBank = 3;
    config.readWriteBank = 5;
    SimDevice dev(config);
    START(dev);
    QXVorrel& d = dev.device();
    d.emulationBank = 0;
    d.readWriteBank = 0;
    uint8_t out = 0;
    EXPECT_EQ(d.GetBank(&out, 0), VR_S_OK);
    EXPECT_EQ(out, 3);
    EXPECT_EQ(d.emulationBank, 3);
    EXPECT_EQ(d.GetBank(nullptr, 1), VR_S_OK);
    EXPECT_EQ(d.readWriteBank, 5);
    EXPECT_EQ(d.QueryBank(&out, 1), VR_S_OK);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(dev.RequestHex(), (Lines{"42 45 45 CC", "42 52 52 E6", "42 52 52 E6"}));
    EXPECT_EQ(dev.Messages(), (Lines{"QXVorrel: Get Active Emulation Bank Succeeded: Bank 3",
                                     "QXVorrel: Get R/W Bank Succeeded: Bank 5",
                                     "QXVorrel: Get R/W Bank Succeeded: Bank 5"}));
}

TEST(Banks, GetFailuresLeaveTheFieldsAlone) {
    const std::pair<const char*, const char*> cases[] = {
        {"B:refuse", "QXVorrel: Get Active Emulation Bank Failed!"},
        {"B:none", "QXVorrel: Get Active Emulation Bank Failed!"}};
    for (auto [fault, message] : cases) {
        SCOPED_TRACE(fault);
        SimDevice dev(Kelby());
        START(dev);
        ASSERT_TRUE(dev.AddFault(fault));
        dev.device().emulationBank = 6;
        uint8_t out = 0x77;
        EXPECT_EQ(dev.device().GetBank(&out, 0), VR_E_INVALID_RESPONSE);
        EXPECT_EQ(out, 0x77);
        EXPECT_EQ(dev.device().emulationBank, 6);
        EXPECT_EQ(dev.Messages(), Lines{message});
        EXPECT_EQ(dev.device().portFree.load(), 1);
    }
}

TEST(Banks, SetRequestsAndLabels) {
    struct Case {
        qxsim::Config config;
        uint32_t bank;
        int32_t readWrite, persistent;
        const char* request;
        const char* message;
    };
    const Case cases[] = {
        {Kelby(), 2, 1, 0, "42 52 02 96", "QXVorrel: Set R/W Bank Succeeded: Bank 2"},
        {Kelby(), 9, 1, 0, "42 52 09 9D", "QXVorrel: Set R/W Bank Succeeded: Bank 9"},
        {Kelby(), 3, 0, 1, "42 53 03 98",
         "QXVorrel: Set Persistent Emulation Bank Succeeded: Bank 3"},
        {Kelby(), 200, 0, 0, "42 45 C8 4F",
         "QXVorrel: Set Non-persistent Emulation Bank Succeeded: Bank 200"},
        // The Brannock's sets use "8", and its emulation sets are always persistent.
        {Brannock(), 3, 0, 0, "38 53 03 8E",
         "QXVorrel: Set Persistent Emulation Bank Succeeded: Bank 3"},
        {Brannock(), 4, 1, 0, "38 52 04 8E", "QXVorrel: Set R/W Bank Succeeded: Bank 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        SimDevice dev(c.config);
        START(dev);
        EXPECT_EQ(dev.device().SetBank(c.bank, c.readWrite, c.persistent, 0), VR_S_OK);
        EXPECT_EQ(dev.RequestHex(), Lines{c.request});
        EXPECT_EQ(dev.Messages(), Lines{c.message});
        const uint8_t stored =
            c.readWrite ? dev.device().readWriteBank : dev.device().emulationBank;
        EXPECT_EQ(stored, c.bank);
        const qxsim::DeviceState state = dev.sim().state();
        EXPECT_EQ(c.readWrite ? state.readWriteBank : state.emulationBank, c.bank);
        EXPECT_EQ(dev.device().portFree.load(), 1);
    }
}

TEST(Banks, OutOfRangeBanksAreNotSent) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.SetBank(10, 1, 0, 0), VR_E_INVALID_REQUEST_PARAM);
    // 300 would go out as 44 and select a different bank.
    EXPECT_EQ(d.SetBank(300, 0, 0, 0), VR_E_INVALID_REQUEST_PARAM);
    EXPECT_EQ(d.SetBank(0x100, 0, 1, 0), VR_E_INVALID_REQUEST_PARAM);
    EXPECT_EQ(d.emulationBank, 0);
    EXPECT_EQ(dev.sim().state().emulationBank, 0);
    EXPECT_TRUE(dev.Transcript().empty());
    EXPECT_EQ(dev.LogText(), "");
    EXPECT_EQ(d.SetBank(255, 0, 0, 0), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), Lines{"42 45 FF 86"});
}

TEST(Banks, SetFailuresLeaveTheFieldsAlone) {
    const std::pair<const char*, const char*> cases[] = {
        {"B:refuse", "QXVorrel: Set R/W Bank Failed!"},
        {"B:none", "QXVorrel: Set R/W Bank Failed!"},
        {"B:badsum", "QXVorrel: Set R/W Bank Failed!"}};  // 'O' altered
    for (auto [fault, message] : cases) {
        SCOPED_TRACE(fault);
        SimDevice dev(Kelby());
        START(dev);
        ASSERT_TRUE(dev.AddFault(fault));
        EXPECT_EQ(dev.device().SetBank(4, 1, 0, 0), VR_E_INVALID_RESPONSE);
        EXPECT_EQ(dev.device().readWriteBank, 0);
        EXPECT_EQ(dev.Messages(), Lines{message});
        EXPECT_EQ(dev.device().portFree.load(), 1);
    }
}

TEST(Banks, LockHeldFlagNeverTouchesTheLock) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    ASSERT_EQ(d.AcquirePort(), VR_S_OK);  // a transfer holds it
    const auto start = Clock::now();
    EXPECT_EQ(d.SetBank(1, 1, 0, 1), VR_S_OK);
    EXPECT_EQ(d.SetReadWriteBank(2), VR_S_OK);
    ASSERT_TRUE(dev.AddFault("B:refuse"));
    EXPECT_EQ(d.SetBank(3, 1, 0, 1), VR_E_INVALID_RESPONSE);
    EXPECT_LT(MsSince(start), 1000.0);
    EXPECT_EQ(d.portFree.load(), 0) << "still held by the transfer";
    EXPECT_EQ(dev.RequestHex(), (Lines{"42 52 01 95", "42 52 02 96", "42 52 03 97"}));
    EXPECT_EQ(d.readWriteBank, 2);
    // And the holder still owns it: a second thread cannot get it.
    int32_t other = 0;
    std::thread([&] { other = d.AcquirePort(); }).join();
    EXPECT_EQ(other, VR_E_PORT_BUSY);
    d.ReleasePort();
}

TEST(Banks, BrannockHasNoGet) {
    SimDevice dev(Brannock());
    START(dev);
    uint8_t out = 0;
    EXPECT_EQ(dev.device().GetBank(&out, 0), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(dev.device().QueryBank(&out, 1), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_TRUE(dev.Transcript().empty());
    EXPECT_EQ(dev.LogText(), "");
}

// ---------------------------------------------------------------- Tolliver

TEST(Tolliver, ModeThroughTheEeprom) {
    SimDevice dev(Tolliver(2, 0, 3));
    START(dev);
    QXVorrel& d = dev.device();
    d.tolliverMode = 0;
    EXPECT_EQ(d.GetTolliverMode(), VR_S_OK);
    EXPECT_EQ(d.tolliverMode, 3);
    EXPECT_EQ(d.bankSize, 0x20000u);
    EXPECT_EQ(d.bankCount, 4);
    EXPECT_EQ(dev.RequestHex(), Lines{"48 52 01 01 00 9C"});
    EXPECT_EQ(dev.Messages(), (Lines{"QXVorrel: ReadEEPROM requested, 1 bytes from address 100",
                                     "QXVorrel: Tolliver mode retrieved: 3"}));
}

TEST(Tolliver, ModeReadFailureIsLoggedAndLeavesTheFields) {
    SimDevice dev(Tolliver(2, 0, 3));
    START(dev);
    ASSERT_TRUE(dev.AddFault("HR:none"));
    QXVorrel& d = dev.device();
    d.tolliverMode = 1;
    d.bankSize = 0x10000;
    EXPECT_EQ(d.GetTolliverMode(), VR_E_COMM_READ_FAILURE);
    EXPECT_EQ(d.tolliverMode, 1);
    EXPECT_EQ(d.bankSize, 0x10000u);
    EXPECT_EQ(dev.Messages().back(), "QXVorrel: Tolliver mode retrieval FAILED");
}

TEST(Tolliver, BankMarkerAndSetThroughTheEeprom) {
    qxsim::Config config = Tolliver(1, 6, 1, 0x00);
    config.tolliverBank = 5;
    SimDevice dev(config);
    START(dev);
    QXVorrel& d = dev.device();
    uint8_t out = 0;
    EXPECT_EQ(d.QueryBank(&out, 1), VR_S_OK);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(d.emulationBank, 5);
    EXPECT_EQ(d.GetTolliverMarker(&out), VR_S_OK);
    EXPECT_EQ(out, 0x00);
    EXPECT_EQ(dev.RequestHex(), (Lines{"48 52 01 01 01 9D", "48 52 01 01 02 9E"}));
    dev.Reset();

    // Bank 7 of 8: the marker is set first, then the bank.
    EXPECT_EQ(d.SetReadWriteBank(7), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(),
              (Lines{"48 52 01 01 02 9E", "48 57 01 01 02 AA 4D", "48 57 01 01 01 07 A9"}));
    EXPECT_EQ(d.emulationBank, 7);
    auto eeprom = dev.sim().eeprom();
    EXPECT_EQ(eeprom[0x101], 7);
    EXPECT_EQ(eeprom[0x102], 0xAA);
    dev.Reset();

    // The marker now reads 0xAA: nothing more is written for it.
    EXPECT_EQ(d.EnsureTolliverMarker(), VR_S_OK);
    EXPECT_EQ(d.SetTolliverBank(8), VR_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(dev.RequestHex(), Lines{"48 52 01 01 02 9E"});
}

TEST(Tolliver, FirmwareUpTo15UsesOneByteBlockTransfers) {
    qxsim::Config config = Tolliver(1, 5, 4, 0x00);
    config.tolliverBank = 1;
    SimDevice dev(config);
    START(dev);
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.GetTolliverMode(), VR_S_OK);
    EXPECT_EQ(d.tolliverMode, 4);
    EXPECT_EQ(d.bankCount, 2);
    EXPECT_EQ(d.bankSize, 0x40000u);
    uint8_t out = 0;
    EXPECT_EQ(d.GetTolliverBank(&out), VR_S_OK);  // flags 0: the read assumes space 0x20
    EXPECT_EQ(out, 1);
    EXPECT_EQ(d.SetTolliverBank(0), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(),
              (Lines{"52 01 20 00 00 73", "52 01 20 00 01 74", "52 01 20 00 02 75",
                     "57 01 20 00 02 AA 24", "57 01 20 00 01 00 79"}));
    EXPECT_EQ(Hex(dev.sim().readMemory(qxsim::kSpace2, 0, 3)), "04 00 AA");
    EXPECT_EQ(d.emulationBank, 0);
}

TEST(Tolliver, MarkerReadFailureStopsTheBankWrite) {
    SimDevice dev(Tolliver(2, 0, 1, 0x00));
    START(dev);
    ASSERT_TRUE(dev.AddFault("HR:none"));
    EXPECT_EQ(dev.device().SetTolliverBank(2), VR_E_COMM_READ_FAILURE);
    EXPECT_EQ(dev.RequestHex(), Lines{"48 52 01 01 02 9E"});
    EXPECT_EQ(dev.device().emulationBank, 0);
}

// ---------------------------------------------------------------- the port lock

struct BusyCase {
    const char* name;
    std::function<int32_t(QXVorrel&)> call;
};

TEST(PortLock, EveryLockedOperationGivesPortBusyAfter1200ms) {
    const BusyCase cases[] = {
        {"ReadEEPROM",
         [](QXVorrel& d) {
             uint8_t b[4];
             return d.ReadEEPROM(b, 0, 4);
         }},
        {"WriteEEPROM",
         [](QXVorrel& d) {
             const uint8_t b = 1;
             return d.WriteEEPROM(&b, 0, 1);
         }},
        {"GetBank", [](QXVorrel& d) { return d.GetBank(nullptr, 1); }},
        {"SetBank", [](QXVorrel& d) { return d.SetBank(1, 1, 0, 0); }},
        {"SetUSBBaud", [](QXVorrel& d) { return d.SetUSBBaud(kSpeed921600, 0); }},
    };
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    for (const BusyCase& c : cases) {
        SCOPED_TRACE(c.name);
        dev.Reset();
        ASSERT_EQ(d.AcquirePort(), VR_S_OK);
        int32_t result = 0;
        double waited = 0;
        std::thread other([&] {
            const auto start = Clock::now();
            result = c.call(d);
            waited = MsSince(start);
        });
        other.join();
        EXPECT_EQ(result, VR_E_PORT_BUSY);
        EXPECT_GE(waited, 1100.0);
        EXPECT_LT(waited, 5000.0);
        EXPECT_EQ(d.portFree.load(), 0);
        EXPECT_TRUE(dev.Transcript().empty());
        d.ReleasePort();
    }
    EXPECT_EQ(dev.Messages().back(),
              "QXVorrel: SetUSBBaud to 921600, Force = FALSE FAILED with VR_E_PORT_BUSY");
    EXPECT_EQ(d.baudIndex, 7);
}

TEST(PortLock, TwoThreadsNeverInterleaveOnTheWire) {
    SimDevice dev(Kelby());
    START(dev);
    std::vector<uint8_t> low(16), high(16);
    for (int i = 0; i < 16; ++i) {
        low[i] = static_cast<uint8_t>(0x10 + i);
        high[i] = static_cast<uint8_t>(0xE0 + i);
    }
    dev.sim().writeEeprom(0x0000, low);
    dev.sim().writeEeprom(0x4000, high);
    QXVorrel& d = dev.device();
    constexpr int kRounds = 25;
    std::atomic<int> ok{0}, busy{0}, wrong{0};
    auto worker = [&](uint16_t address, const std::vector<uint8_t>& expected) {
        for (int i = 0; i < kRounds; ++i) {
            std::vector<uint8_t> buffer(16, 0);
            const int32_t result = d.ReadEEPROM(buffer.data(), address, 16);
            if (result == VR_S_OK && buffer == expected) {
                ++ok;
            } else if (result == VR_E_PORT_BUSY) {
                ++busy;
            } else {
                ++wrong;
            }
        }
    };
    std::thread a(worker, 0x0000, low);
    std::thread b(worker, 0x4000, high);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(ok.load() + busy.load(), 2 * kRounds);
    EXPECT_GT(ok.load(), kRounds);
    const auto transcript = dev.Transcript();
    EXPECT_EQ(transcript.size(), static_cast<size_t>(ok.load()));
    int lows = 0;
    for (const auto& entry : transcript) {
        const std::string hex = Hex(entry.bytes);
        EXPECT_TRUE(hex == "48 52 10 00 00 AA" || hex == "48 52 10 40 00 EA") << hex;
        EXPECT_EQ(entry.outcome, qxsim::Outcome::Answered);
        lows += hex == "48 52 10 00 00 AA";
    }
    EXPECT_GT(lows, 0);
    EXPECT_LT(lows, static_cast<int>(transcript.size()));
    EXPECT_EQ(d.portFree.load(), 1);
}

}  // namespace
}  // namespace qx
