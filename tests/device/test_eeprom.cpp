// EEPROM reads and writes against the simulated device in both command sets: request
// bytes, lengths, checksums and failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device_wire_support.h"

namespace qx {
namespace {

using namespace wiretest;

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
        const auto eeprom = dev.sim().Eeprom();
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
    dev.sim().WriteEeprom(0x1F00, pattern);
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
    EXPECT_EQ(buffer, Slice(dev.sim().Eeprom(), 0x200, 256));
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
        const auto eeprom = dev.sim().Eeprom();
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
    dev.sim().WriteEeprom(0x40, {0x10, 0x20, 0x30, 0x41});
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

}  // namespace
}  // namespace qx
