// Device object, framing and cipher without a port: result names, the firmware rule, bank
// geometry, checksums, the link cipher, the port lock, the transfer frame helpers, and the
// refusals that happen before anything is sent. Builds for every platform.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "device/transfer_frame.h"
#include "log/log_sink.h"
#include "log/text_sink.h"
#include "support/elapsed.h"

namespace qx {
namespace {

using qxtest::Clock;
using qxtest::ExactMsSince;

// A device object logging into a text sink.
struct Logged {
    Logged() {
        AttachTextSink(log, sink);
        device.AttachLogWindow(&log);
    }
    ~Logged() { device.AttachLogWindow(nullptr); }
    TextSink sink{true};
    LogWindow log;
    QXVorrel device;
};

TEST(ResultCodeName, NamesEveryCodeAndNothingElse) {
    struct Case {
        int32_t code;
        const char* name;
    };
    const Case cases[] = {
        {0, "VR_S_OK"},
        {-1, "VR_E_GENERAL_ERROR"},
        {-2, "VR_E_PORT_NOT_INITIALIZED"},
        {-3, "VR_E_REQUEST_NOT_SUPPORTED"},
        {-4, "VR_E_COMM_WRITE_FAILURE"},
        {-5, "VR_E_COMM_READ_FAILURE"},
        {-6, "VR_E_DEVICE_NOT_FOUND"},
        {-7, "VR_E_INVALID_RESPONSE"},
        {-8, "VR_E_UNKNOWN_COMMAND"},
        {-9, "VR_E_BAD_CHECKSUM"},
        {-10, "VR_E_ALT_WRITE_BAD_CHECKSUM"},
        {-11, "VR_E_EXTERNAL_CS_INVALID"},
        {-12, "VR_E_NVRAM_BUFFERING_FAILED"},
        {-13, "VR_E_INTERNAL_CS_INVALID"},
        {-14, "VR_E_INVALID_FIRMWARE_IMAGE"},
        {-15, "VR_E_FIRMWARE_FLASH_FAILED"},
        {-16, "VR_E_THREAD_TIMEOUT"},
        {-17, "VR_E_COMM_READ_TIMEOUT"},
        {-18, "VR_E_INVALID_FUNC_PARAM"},
        {-19, "VR_E_OPERATION_CANCELED"},
        {-20, "VR_E_PORT_BUSY"},
        {-21, "VR_E_INVALID_VERSION"},
        {-22, "VR_E_INVALID_HARDWARE_ID"},
        {-23, "VR_E_LARGE_BIN_BANK_FAILED"},
        {-24, "VR_E_INVALID_REQUEST_PARAM"},
        {-28, "VR_E_INVALID_ALIGNMENT"},
        {1, "(ERROR NOT IN LIST)"},
        {-25, "(ERROR NOT IN LIST)"},
        {-27, "(ERROR NOT IN LIST)"},
        {-29, "(ERROR NOT IN LIST)"},
        {kStatusFail, "(ERROR NOT IN LIST)"},
        {kStatusDeviceNotConnected, "(ERROR NOT IN LIST)"},
    };
    for (const Case& c : cases) EXPECT_STREQ(ResultCodeName(c.code), c.name) << c.code;
}

TEST(FirmwareSupports, OnlyTheSameMajorWithALowerMinorLacksAFeature) {
    struct Case {
        int32_t feature;
        uint8_t major, minor;
        int32_t expected;
    };
    const Case cases[] = {
        {6, 10, 14, 0}, {6, 10, 15, 1},  {6, 9, 0, 1},   {6, 11, 0, 1},  {1, 10, 4, 0},
        {1, 10, 5, 1},  {2, 10, 4, 0},   {3, 2, 6, 0},   {3, 2, 7, 1},   {4, 2, 11, 0},
        {4, 2, 12, 1},  {5, 10, 11, 0},  {5, 10, 12, 1}, {7, 1, 33, 0},  {7, 1, 34, 1},
        {7, 0, 0, 1},   {8, 1, 2, 0},    {8, 1, 3, 1},   {8, 255, 0, 1}, {0, 10, 15, 0},
        {9, 10, 15, 0}, {-1, 10, 15, 0},
    };
    for (const Case& c : cases) {
        const uint8_t version[2] = {c.major, c.minor};
        EXPECT_EQ(QXVorrel::FirmwareSupports(c.feature, version), c.expected)
            << "feature " << c.feature << " firmware " << int(c.major) << "." << int(c.minor);
    }
    EXPECT_EQ(QXVorrel::FirmwareSupports(6, nullptr), 0);
}

TEST(SpeedIndex, MapsTheFourRatesOnly) {
    EXPECT_EQ(SpeedIndexOfBaud(921600), 0u);
    EXPECT_EQ(SpeedIndexOfBaud(460800), 1u);
    EXPECT_EQ(SpeedIndexOfBaud(230400), 3u);
    EXPECT_EQ(SpeedIndexOfBaud(115200), 7u);
    for (uint32_t baud : {0u, 19200u, 307200u, 1843200u})
        EXPECT_FALSE(SpeedIndexOfBaud(baud)) << baud;
    for (uint32_t baud : {921600u, 460800u, 230400u, 115200u})
        EXPECT_EQ(BaudOfSpeedIndex(static_cast<int32_t>(*SpeedIndexOfBaud(baud))), baud);
}

TEST(DeviceObject, ConstructsWithTheTableDefaults) {
    QXVorrel device;
    EXPECT_EQ(device.logger, nullptr);
    EXPECT_EQ(device.cancelRequested.load(), 0);
    EXPECT_EQ(device.baudIndex, 7);
    EXPECT_EQ(device.capabilities, 0u);
    EXPECT_EQ(device.dataWidth, 8);
    EXPECT_EQ(device.modelName[0], '\0');
    EXPECT_EQ(0, std::memcmp(device.transferKey, kTransferKey, kTransferKeySize));
    const uint8_t expectedKey[8] = {0x5A, 0xC3, 0x17, 0x8E, 0x42, 0xB9, 0x6D, 0xF0};
    EXPECT_EQ(0, std::memcmp(kTransferKey, expectedKey, sizeof(expectedKey)));
    EXPECT_EQ(device.transferKeyLength, 8);
    EXPECT_EQ(device.streamRecordCount, 1);
    EXPECT_EQ(device.port, &device.serialPort);
    EXPECT_NE(device.portLock, nullptr);
    EXPECT_EQ(device.portFree.load(), 1);
    EXPECT_EQ(device.portNumber, 255);
    EXPECT_EQ(device.lastPortNumber, 0);
    EXPECT_EQ(device.lastBaudIndex, 7);
    EXPECT_FALSE(device.port->IsOpen());
}

TEST(DeviceObject, ClearIdentificationBlockZeroesItsFieldsOnly) {
    QXVorrel device;
    device.firmwareMajor = 2;
    device.hardwareId = 'Q';
    device.protocolFamily = 1;
    device.hardwareType = 14;
    device.interfaceType = 1;
    device.capabilities = 0x102B;
    device.memorySize = 0x80000;
    device.bankSize = 0x10000;
    device.bankCount = 8;
    device.sizeHint = 5;
    device.rateValues[2] = 921000;
    std::strcpy(device.modelName, "Tolliver v2.0");
    device.tolliverMode = 3;
    device.ClearIdentificationBlock();
    EXPECT_EQ(device.protocolFamily, 0);
    EXPECT_EQ(device.hardwareType, 0);
    EXPECT_EQ(device.interfaceType, 0);
    EXPECT_EQ(device.capabilities, 0u);
    EXPECT_EQ(device.memorySize, 0u);
    EXPECT_EQ(device.bankSize, 0u);
    EXPECT_EQ(device.bankCount, 0);
    EXPECT_EQ(device.sizeHint, 0u);
    EXPECT_EQ(device.dataWidth, 0);
    EXPECT_EQ(device.rateValues[2], 0);
    for (char c : device.modelName) ASSERT_EQ(c, '\0');
    EXPECT_EQ(device.firmwareMajor, 2);
    EXPECT_EQ(device.hardwareId, 'Q');
    EXPECT_EQ(device.tolliverMode, 3);
}

TEST(DeviceObject, ClosePortOnAFreshObjectLogsBothLinesAndSendsNothing) {
    Logged logged;
    logged.device.capabilities = 0x1002;
    logged.device.reserved3 = 4;
    logged.device.emulationBank = 3;
    logged.device.ClosePort();
    // baudIndex was already 7: no SetUSBBaud message.
    EXPECT_EQ(logged.sink.Text(), "QXSerial: Port Closed\r\nQXVorrel: COM Port closed.");
    EXPECT_EQ(logged.device.portNumber, 255);
    EXPECT_EQ(logged.device.capabilities, 0u);
    EXPECT_EQ(logged.device.reserved3, 0);
    EXPECT_EQ(logged.device.emulationBank, 0);
}

TEST(DeviceObject, DestructorLogsPortClosedTwice) {
    TextSink sink(true);
    LogWindow log;
    AttachTextSink(log, sink);
    {
        QXVorrel device;
        device.AttachLogWindow(&log);
        EXPECT_EQ(device.logger, &log);
        EXPECT_EQ(device.port->logger, &log);
    }
    EXPECT_EQ(sink.Text(), "QXSerial: Port Closed\r\nQXSerial: Port Closed");
}

struct Geometry {
    int32_t type;
    uint32_t capabilities;
    uint8_t emulationBank;
    int32_t tolliverMode;
    uint32_t memorySize;
    uint32_t bankSize;
    uint32_t activeSize;
    uint32_t count;
};

TEST(DeviceObject, BankGeometryFollowsTypeModeAndLargeBinBank) {
    const Geometry cases[] = {
        // Kelby: the large bank (8) is the whole memory.
        {7, CapBanks, 8, 0, 0x80000, 0x10000, 0x80000, 9},
        {7, CapBanks, 3, 0, 0x80000, 0x10000, 0x10000, 9},
        {8, CapBanks, 3, 0, 0x80000, 0x10000, 0x10000, 9},
        {11, CapBanks, 16, 0, 0x80000, 0x8000, 0x80000, 17},
        {11, CapBanks, 2, 0, 0x80000, 0x8000, 0x8000, 17},
        {14, CapBanks, 0, 1, 0x80000, 0, 0x10000, 8},
        {14, CapBanks, 0, 2, 0x80000, 0, 0x10000, 8},
        {14, CapBanks, 0, 5, 0x80000, 0, 0x10000, 8},
        {14, CapBanks, 0, 3, 0x80000, 0, 0x20000, 4},
        {14, CapBanks, 0, 4, 0x80000, 0, 0x40000, 2},
        {14, CapBanks, 0, 0, 0x80000, 0, 0x80000, 1},
        {14, CapBanks, 0, 9, 0x80000, 0, 0x80000, 1},
        // A Tolliver not identified yet: no bank size, still one bank (no division by 0).
        {14, CapBanks, 0, 0, 0, 0, 0, 1},
        {16, CapBanks, 0, 0, 0, 0x4000, 0x4000, 16},
        {17, CapBanks, 0, 0, 0x20000, 0x10000, 0x10000, 3},
        {18, CapBanks, 2, 0, 0x20000, 0x10000, 0x10000, 3},
        {9, CapBanks, 0, 0, 0x100000, 0x100000, 0x100000, 1},
        {7, 0x1002, 0, 0, 0x80000, 0x10000, 0x10000, 1},  // no CapBanks: one bank
    };
    for (const Geometry& c : cases) {
        QXVorrel device;
        device.hardwareType = c.type;
        device.capabilities = c.capabilities;
        device.emulationBank = c.emulationBank;
        device.tolliverMode = c.tolliverMode;
        device.memorySize = c.memorySize;
        device.bankSize = c.bankSize;
        EXPECT_EQ(device.GetActiveBankSize(), c.activeSize)
            << "type " << c.type << " mode " << c.tolliverMode;
        EXPECT_EQ(device.GetBankCount(), c.count)
            << "type " << c.type << " mode " << c.tolliverMode;
    }
}

TEST(Framing, LargeBinBankByModel) {
    const std::pair<int32_t, int32_t> cases[] = {{7, 8},   {8, 8},  {11, 16}, {17, 2}, {18, 2},
                                                 {14, -1}, {9, -1}, {16, -1}, {0, -1}};
    for (auto [type, bank] : cases) {
        QXVorrel device;
        device.hardwareType = type;
        EXPECT_EQ(device.GetLargeBinBank(), bank) << type;
        device.emulationBank = static_cast<uint8_t>(bank);  // -1 becomes 255
        EXPECT_EQ(device.InLargeBinMode(), bank >= 0) << type;
    }
}

TEST(Framing, EncryptionFollowsCapabilityAndPlainFlag) {
    QXVorrel device;
    EXPECT_FALSE(IsTransferEncrypted(device, 0));
    device.capabilities = CapEncryption | CapBulk;
    EXPECT_TRUE(IsTransferEncrypted(device, 0));
    EXPECT_TRUE(IsTransferEncrypted(device, XferSpace1));
    EXPECT_FALSE(IsTransferEncrypted(device, XferPlain));
}

TEST(Framing, PacketAndSeededChecksums) {
    const uint8_t doli[] = {'D', 'O', 'L', 'I'};
    const uint8_t ns[] = {'N', 'S'};
    std::vector<uint8_t> ff(256, 0xFF);
    EXPECT_EQ(PacketChecksum(doli, 0), 0);
    EXPECT_EQ(PacketChecksum(doli, -3), 0);
    EXPECT_EQ(PacketChecksum(doli, 4), 0x28);
    EXPECT_EQ(PacketChecksum(ns, 2), 0xA1);
    EXPECT_EQ(PacketChecksum(ff.data(), 256), 0x00);
    EXPECT_EQ(PacketChecksum(ff.data(), 255), 0x01);
    EXPECT_EQ(SeededChecksum(nullptr, 5), kChainSeed);
    EXPECT_EQ(SeededChecksum(doli, 0), kChainSeed);
    EXPECT_EQ(SeededChecksum(doli, 4), static_cast<uint8_t>(kChainSeed + 0x28));
}

// The cipher written out from its description, independent of the library's loops.
uint8_t ReferenceEncrypt(std::vector<uint8_t>& bytes) {
    unsigned chain = kChainSeed;
    for (uint8_t k : kTransferKey) chain += k;
    uint8_t c = static_cast<uint8_t>(chain);
    for (uint8_t& b : bytes) {
        unsigned v = b ^ c;
        for (int j = 0; j < 8; ++j)
            v = (j % 2 == 0) ? (v + kTransferKey[j]) & 0xFF : v ^ kTransferKey[j];
        b = c = static_cast<uint8_t>(v);
    }
    return c;
}

TEST(Cipher, EncryptMatchesTheReferenceAndDecryptRestores) {
    QXVorrel device;
    const uint8_t start = SeededChecksum(kTransferKey, kTransferKeySize);
    for (uint32_t length : {1u, 2u, 7u, 256u, 4100u}) {
        std::vector<uint8_t> plain(length);
        for (uint32_t i = 0; i < length; ++i) plain[i] = static_cast<uint8_t>(i * 37 + 11);
        std::vector<uint8_t> expected = plain;
        const uint8_t expectedChain = ReferenceEncrypt(expected);

        std::vector<uint8_t> buffer = plain;
        uint8_t chain = 0x55;
        ASSERT_EQ(EncryptBuffer(device, buffer.data(), length, &chain), 0);
        EXPECT_EQ(buffer, expected) << length;
        EXPECT_EQ(chain, expectedChain);
        EXPECT_EQ(chain, buffer.back()) << "the chain byte is the last byte produced";
        EXPECT_NE(buffer, plain);

        ASSERT_EQ(DecryptBuffer(device, start, buffer.data(), static_cast<int32_t>(length)), 0);
        EXPECT_EQ(buffer, plain) << length;
    }
}

TEST(Cipher, EveryRequestStartsAFreshChain) {
    QXVorrel device;
    uint8_t a[3] = {1, 2, 3};
    uint8_t b[3] = {1, 2, 3};
    EncryptBuffer(device, a, 3, nullptr);
    EncryptBuffer(device, b, 3, nullptr);
    EXPECT_EQ(0, std::memcmp(a, b, 3));
}

TEST(Cipher, RefusalsAndOddLengths) {
    QXVorrel device;
    uint8_t buffer[4] = {9, 8, 7, 6};
    uint8_t chain = 0x77;
    EXPECT_EQ(EncryptBuffer(device, buffer, 0, &chain), kStatusFail);
    EXPECT_EQ(chain, 0);
    chain = 0x77;
    EXPECT_EQ(EncryptBuffer(device, nullptr, 4, &chain), kStatusFail);
    EXPECT_EQ(chain, 0);
    EXPECT_EQ(EncryptBuffer(device, nullptr, 0, nullptr), kStatusFail);
    EXPECT_EQ(DecryptBuffer(device, 0, buffer, 0), kStatusFail);
    EXPECT_EQ(DecryptBuffer(device, 0, nullptr, 4), kStatusFail);
    EXPECT_EQ(DecryptBuffer(device, 0, buffer, -2), 0);
    const uint8_t untouched[4] = {9, 8, 7, 6};
    EXPECT_EQ(0, std::memcmp(buffer, untouched, 4));
}

TEST(Cipher, KeyLengthBeyondTheKeyIsHeldToTheKey) {
    QXVorrel device;
    uint8_t normal[5] = {1, 2, 3, 4, 5};
    uint8_t wide[5] = {1, 2, 3, 4, 5};
    EncryptBuffer(device, normal, 5, nullptr);
    device.transferKeyLength = 1000;  // would read far past the 8 key bytes
    EncryptBuffer(device, wide, 5, nullptr);
    EXPECT_EQ(0, std::memcmp(normal, wide, 5));
    device.transferKeyLength = 2;  // a shorter key is honoured
    uint8_t shortKey[5] = {1, 2, 3, 4, 5};
    EncryptBuffer(device, shortKey, 5, nullptr);
    EXPECT_NE(0, std::memcmp(normal, shortKey, 5));
    DecryptBuffer(device, SeededChecksum(device.transferKey, 2), shortKey, 5);
    const uint8_t plain[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(0, std::memcmp(shortKey, plain, 5));
}

TEST(PortLock, AcquireReleaseAndBusyFromASecondThread) {
    QXVorrel device;
    ASSERT_EQ(AcquirePort(device), VR_S_OK);
    EXPECT_EQ(device.portFree.load(), 0);
    int32_t result = 1;
    double waited = 0;
    std::thread other([&] {
        const auto start = Clock::now();
        result = AcquirePort(device);
        waited = ExactMsSince(start);
    });
    other.join();
    EXPECT_EQ(result, VR_E_PORT_BUSY);
    EXPECT_GE(waited, 1100.0);
    EXPECT_LT(waited, 5000.0);
    EXPECT_EQ(device.portFree.load(), 0);
    EXPECT_EQ(ReleasePort(device), VR_S_OK);
    EXPECT_EQ(device.portFree.load(), 1);
    // Free again: a second thread gets it at once.
    std::thread again([&] { result = AcquirePort(device); });
    again.join();
    EXPECT_EQ(result, VR_S_OK);
    ReleasePort(device);
}

TEST(PortLock, WithoutAnEventAcquisitionProceedsAtOnce) {
    QXVorrel device;
    OsHandle saved = device.portLock;
    device.portLock = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(AcquirePort(device), VR_S_OK);
    EXPECT_EQ(AcquirePort(device), VR_S_OK);
    EXPECT_LT(ExactMsSince(start), 500.0);
    EXPECT_EQ(ReleasePort(device), VR_S_OK);
    device.portLock = saved;
}

std::vector<TransferProgress> g_reports;
void Record(TransferProgress* progress) {
    g_reports.push_back(*progress);
}

TEST(TransferFrame, ProgressRecordsAndExitSteps) {
    QXVorrel device;
    g_reports.clear();
    device.cancelRequested = 1;
    {
        TransferFrame frame(device, Record);
        frame.progress().Start(3);
        ASSERT_EQ(frame.Acquire(), VR_S_OK);
        EXPECT_TRUE(frame.LockTaken());
        EXPECT_EQ(device.portFree.load(), 0);
        EXPECT_TRUE(frame.Canceled("QXVorrel: Test - Operation Canceled"));
        frame.progress().PacketDone();
        frame.progress().PacketDone();
        EXPECT_EQ(frame.Finish(VR_E_OPERATION_CANCELED, FinishOrder::ReportThenRestore),
                  VR_E_OPERATION_CANCELED);
    }
    EXPECT_EQ(device.portFree.load(), 1);
    EXPECT_EQ(device.cancelRequested.load(), 0);
    ASSERT_EQ(g_reports.size(), 4u);
    const uint32_t expected[4][3] = {{0, 3, 1}, {1, 3, 0}, {2, 3, 0}, {2, 3, 2}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(g_reports[i].size, 24u);
        EXPECT_EQ(g_reports[i].done, expected[i][0]);
        EXPECT_EQ(g_reports[i].total, expected[i][1]);
        EXPECT_EQ(g_reports[i].state, expected[i][2]);
        EXPECT_EQ(g_reports[i].spare1, 0u);
        EXPECT_EQ(g_reports[i].spare2, 0u);
    }
}

TEST(TransferFrame, BusyTransferLeavesTheLockAlone) {
    QXVorrel device;
    ASSERT_EQ(AcquirePort(device), VR_S_OK);  // someone else holds it
    device.cancelRequested = 1;
    int32_t result = 0;
    std::thread other([&] {
        TransferFrame frame(device, nullptr);
        result = frame.Acquire();
        EXPECT_FALSE(frame.LockTaken());
        result = frame.Finish(result, FinishOrder::RestoreThenReport);
    });
    other.join();
    EXPECT_EQ(result, VR_E_PORT_BUSY);
    EXPECT_EQ(device.portFree.load(), 0) << "the holder's lock must not be released";
    EXPECT_EQ(device.cancelRequested.load(), 1) << "the holder's cancellation must stay";
    ReleasePort(device);
}

TEST(TransferFrame, SealRequestEncryptsTheRunAndChecksumsTheWire) {
    QXVorrel device;
    // 'R', count, random, random, address 15..8, address 7..0, checksum
    uint8_t request[8] = {'R', 0x10, 0, 0, 0x40, 0x00, 0, 0xEE};
    uint32_t n = 2;
    const uint32_t run = n;
    n += PutRandomPair(request + n);
    request[n++] = 0x40;
    request[n++] = 0x00;
    uint8_t plainRun[4];
    std::memcpy(plainRun, request + run, 4);
    uint8_t chain = 0;
    EXPECT_EQ(SealRequest(device, request, run, n, true, &chain), 7u);
    EXPECT_EQ(request[0], 'R');
    EXPECT_EQ(request[1], 0x10);
    EXPECT_EQ(chain, request[5]);
    EXPECT_EQ(request[6], PacketChecksum(request, 6));
    EXPECT_EQ(request[7], 0xEE);
    DecryptBuffer(device, SeededChecksum(kTransferKey, 8), request + run, 4);
    EXPECT_EQ(0, std::memcmp(request + run, plainRun, 4));

    uint8_t plain[6] = {'Z', 'R', 0x10, 0x00, 0x40, 0};
    chain = 0x99;
    EXPECT_EQ(SealRequest(device, plain, 3, 5, false, &chain), 6u);
    EXPECT_EQ(chain, 0);
    EXPECT_EQ(plain[5], 0xFC);
}

// Refusals that come before any exchange: nothing is logged unless the text says so.
TEST(EarlyRefusals, NoBanksNoPortNoFlashInfo) {
    Logged logged;
    QXVorrel& d = logged.device;
    d.hardwareType = 7;
    uint8_t out = 0x5A;
    EXPECT_EQ(d.GetBank(&out, 0), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.SetBank(1, 1, 0, 0), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.QueryBank(&out, 1), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.SetReadWriteBank(1), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.GetTolliverBank(&out), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.SetTolliverBank(1), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.GetTolliverMarker(&out), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(d.EnsureTolliverMarker(), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(out, 0x5A);
    EXPECT_EQ(d.portFree.load(), 1);

    uint8_t flash[16];
    EXPECT_EQ(d.GetFlashInfo(nullptr), VR_E_INVALID_FUNC_PARAM);  // before the port test
    EXPECT_EQ(d.GetFlashInfo(flash), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(d.ReadEEPROM(flash, 0, 1), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(d.WriteEEPROM(flash, 0, 1), VR_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(d.GetEEPROMInfo(nullptr), VR_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(logged.sink.Text(), "");

    // The one early refusal that logs: the mode read.
    EXPECT_EQ(d.GetTolliverMode(), VR_E_REQUEST_NOT_SUPPORTED);
    EXPECT_EQ(logged.sink.Text(), "QXVorrel: Tolliver mode retrieval FAILED");
}

TEST(EarlyRefusals, BankRangesAreCheckedBeforeTheLock) {
    Logged logged;
    QXVorrel& d = logged.device;
    d.capabilities = CapBanks;
    d.hardwareType = 7;  // 9 banks
    // Held elsewhere: a refusal must come back at once, not after the lock's 1200 ms.
    ASSERT_EQ(AcquirePort(d), VR_S_OK);
    const auto start = Clock::now();
    EXPECT_EQ(d.SetBank(10, 1, 0, 0), VR_E_INVALID_REQUEST_PARAM);
    EXPECT_EQ(d.SetBank(256, 0, 0, 0), VR_E_INVALID_REQUEST_PARAM);
    EXPECT_EQ(d.SetBank(300, 0, 1, 0), VR_E_INVALID_REQUEST_PARAM);
    EXPECT_LT(ExactMsSince(start), 1000.0);
    ReleasePort(d);
    EXPECT_EQ(d.emulationBank, 0);
    EXPECT_EQ(logged.sink.Text(), "");

    d.hardwareType = 14;
    d.memorySize = 0x80000;
    d.tolliverMode = 1;  // 8 banks
    EXPECT_EQ(d.SetTolliverBank(8), VR_E_INVALID_FUNC_PARAM);
    d.memorySize = 0;  // not identified: no bank at all, and no division by zero
    d.tolliverMode = 0;
    EXPECT_EQ(d.SetTolliverBank(0), VR_E_INVALID_FUNC_PARAM);
}

TEST(EarlyRefusals, SetUSBBaudFamilyAndIndexChecks) {
    struct Case {
        int32_t family;
        uint32_t index;
        int32_t force;
        int32_t result;
        const char* message;
    };
    const Case cases[] = {
        {1, 2, 0, VR_E_INVALID_FUNC_PARAM,
         "QXVorrel: SetUSBBaud to 115200, Force = FALSE FAILED with VR_E_INVALID_FUNC_PARAM"},
        {1, 8, 1, VR_E_INVALID_FUNC_PARAM,
         "QXVorrel: SetUSBBaud to 115200, Force = TRUE FAILED with VR_E_INVALID_FUNC_PARAM"},
        // The family test comes before the index test.
        {2, 9, 0, VR_E_REQUEST_NOT_SUPPORTED,
         "QXVorrel: SetUSBBaud to 115200, Force = FALSE FAILED with VR_E_REQUEST_NOT_SUPPORTED"},
        {2, 0, 0, VR_E_REQUEST_NOT_SUPPORTED,
         "QXVorrel: SetUSBBaud to 115200, Force = FALSE FAILED with VR_E_REQUEST_NOT_SUPPORTED"},
        // Nothing identified, no force: nothing to do.
        {1, 0, 0, VR_S_OK, "QXVorrel: SetUSBBaud to 921600, Force = FALSE SUCCEEDED"},
    };
    for (const Case& c : cases) {
        Logged logged;
        logged.device.protocolFamily = c.family;
        EXPECT_EQ(logged.device.SetUSBBaud(c.index, c.force), c.result) << c.message;
        EXPECT_EQ(logged.sink.Text(), c.message);
        EXPECT_EQ(logged.device.baudIndex, 7);
        EXPECT_EQ(logged.device.portFree.load(), 1);
    }
}

}  // namespace
}  // namespace qx
