// The device operations through the real Win32 comm calls (under Wine in CI), against a qxsim
// process whose pseudo-terminal is mapped as a COM port of the prefix: the bytes on the wire,
// the result codes, the fields and the log lines, as the native suites check them.
//
// Where Wine differs from Windows the library must not care: SetupComm succeeds without doing
// anything (the queues keep Wine's sizes), and EscapeCommFunction fails with
// ERROR_NOT_SUPPORTED on a pseudo-terminal. The library sets DTR and RTS through the DCB only,
// so neither difference shows in these results.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "device/qx_vorrel.h"
#include "sim_fixture.h"
#include "support/elapsed.h"

namespace {

using qxtest::MsSince;

using namespace qx;
using qxtest::SimDevice;
using Requests = std::vector<qxsim::TranscriptEntry>;
using Lines = std::vector<std::string>;

// Opens the device the way the launcher does (OpenDeviceOnPort on COMn: version,
// identification, fields), then forgets the log and the transcript of that.
::testing::AssertionResult StartIdentified(SimDevice& dev) {
    ::testing::AssertionResult step = dev.Start(false);
    if (!step) return step;
    char text[100] = {};
    const int32_t found = dev.device().OpenDeviceOnPort(static_cast<uint32_t>(dev.comNumber()),
                                                        text, sizeof text, nullptr, 0);
    if (found != 1)
        return ::testing::AssertionFailure()
               << "OpenDeviceOnPort(" << dev.comNumber() << ") gave " << found << "\n"
               << dev.LogText();
    dev.Reset();
    return ::testing::AssertionSuccess();
}

#define START(dev) ASSERT_TRUE(StartIdentified(dev))

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

std::string Keys(const Requests& requests) {
    std::string keys;
    for (const qxsim::TranscriptEntry& r : requests) keys += (keys.empty() ? "" : " ") + r.command;
    return keys;
}

void ExpectKelby(const QXVorrel& d, const char* text, const uint8_t* version) {
    EXPECT_STREQ(text, "Kelby v10.15");
    EXPECT_EQ(version[0], 10);
    EXPECT_EQ(version[1], 15);
    EXPECT_EQ(version[2], 'O');
    EXPECT_EQ(d.firmwareMajor, 10);
    EXPECT_EQ(d.firmwareMinor, 15);
    EXPECT_EQ(d.hardwareId, 'O');
    EXPECT_EQ(d.protocolFamily, 1);
    EXPECT_EQ(d.hardwareType, 7);
    EXPECT_EQ(d.capabilities, 0x104Au);  // the simulator's serial byte 0 is 'n': no cipher
    EXPECT_EQ(d.interfaceType, 1);
    EXPECT_GT(d.memorySize, 0u);
    EXPECT_STREQ(d.modelName, "Kelby v10.15");
}

TEST(Win32Port, OpensThroughTheCommApiAndToleratesWineEscapes) {
    SimDevice dev;
    ASSERT_TRUE(dev.Start(false));
    QXVorrel& d = dev.device();
    ASSERT_EQ(d.OpenPortByName(dev.comName().c_str()), VR_S_OK) << dev.LogText();
    ASSERT_TRUE(d.port->IsOpen());
    EXPECT_EQ(d.port->dcb.BaudRate, 115200u);
    EXPECT_EQ(d.port->dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(d.port->dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dev.sim().LineBaud(), 115200u) << "SetCommState reaches the pseudo-terminal";
    EXPECT_EQ(dev.Messages(), (Lines{"QXSerial: Successfully opened " + dev.comName(),
                                     "QXSerial: " + dev.comName() + " opened at 115200 baud"}));

    // Wine cannot raise DTR by escape function on a pseudo-terminal (error 50); Windows can.
    // Either way the port keeps working, because nothing in the library uses it.
    SetLastError(0);
    if (!EscapeCommFunction(d.port->handle, SETDTR)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    uint8_t version[3] = {};
    EXPECT_EQ(d.GetFirmwareVersion(version), VR_S_OK);
    EXPECT_EQ(qxtest::Hex({version, version + 3}), "0A 0F 4F");
}

// The stream reader is a thread start routine a holder hands to CreateThread as it is.
static_assert(std::is_same_v<decltype(&QXVorrel::StreamReader), LPTHREAD_START_ROUTINE>);

std::mutex gStreamedMutex;
std::vector<uint32_t> gStreamed;

void CollectStreamed(uint32_t* values, int32_t count, int32_t) {
    std::lock_guard<std::mutex> hold(gStreamedMutex);
    gStreamed.insert(gStreamed.end(), values, values + count);
}

size_t StreamedCount() {
    std::lock_guard<std::mutex> hold(gStreamedMutex);
    return gStreamed.size();
}

TEST(Win32StreamReader, RunsAsACreateThreadRoutine) {
    SimDevice dev;
    ASSERT_TRUE(dev.Start(false));
    QXVorrel& d = dev.device();
    ASSERT_EQ(d.OpenPortByName(dev.comName().c_str()), VR_S_OK) << dev.LogText();
    gStreamed.clear();
    d.streamRecordCount = 3;
    d.streamRecordLength = 1;
    d.streamCallback = CollectStreamed;
    d.streamActive = 1;
    HANDLE thread = CreateThread(nullptr, 0, &QXVorrel::StreamReader, &d, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // The version reply is the stream: three one-byte records.
    static constexpr uint8_t kVersion[2] = {'V', 'V'};
    EXPECT_EQ(d.port->Write(kVersion, sizeof kVersion), 2u);
    for (int i = 0; i < 100 && d.streamActive.load() != 0; ++i) {
        Sleep(20);
        if (StreamedCount() >= 3) d.streamActive = 0;
    }
    d.streamActive = 0;
    ASSERT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(thread);
    EXPECT_EQ(gStreamed, (std::vector<uint32_t>{0x0A, 0x0F, 'O'}));
}

// Another program left the port with software flow control, null stripping, an error
// character, parity checking, abort-on-error and two stop bits. Open still gives a line that
// carries every byte value both ways: 0x11 and 0x13 are XON and XOFF, 0x00 a null.
TEST(Win32Port, OpenMakesALineLeftByAnotherProgramBinarySafe) {
    SimDevice dev;
    ASSERT_TRUE(dev.Start(false));
    const std::string path = "\\\\.\\" + dev.comName();
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DCB left{};
    left.DCBlength = sizeof left;
    ASSERT_TRUE(GetCommState(other, &left));
    left.fOutX = 1;
    left.fInX = 1;
    left.XonChar = 0x11;
    left.XoffChar = 0x13;
    left.fNull = 1;
    left.fErrorChar = 1;
    left.ErrorChar = '?';
    left.fParity = 1;
    left.fAbortOnError = 1;
    left.StopBits = TWOSTOPBITS;
    EXPECT_TRUE(SetCommState(other, &left));
    CloseHandle(other);

    QXVorrel& d = dev.device();
    char text[100] = {};
    ASSERT_EQ(
        d.OpenDeviceOnPort(static_cast<uint32_t>(dev.comNumber()), text, sizeof text, nullptr, 0),
        1)
        << dev.LogText();
    DCB now{};
    now.DCBlength = sizeof now;
    ASSERT_TRUE(GetCommState(d.port->handle, &now));
    for (const DCB* dcb : {static_cast<const DCB*>(&d.port->dcb), static_cast<const DCB*>(&now)}) {
        SCOPED_TRACE(dcb == &now ? "as the driver reports it" : "as the port object keeps it");
        EXPECT_EQ(dcb->fBinary, 1u);
        EXPECT_EQ(dcb->fOutX, 0u);
        EXPECT_EQ(dcb->fInX, 0u);
        EXPECT_EQ(dcb->fNull, 0u);
        EXPECT_EQ(dcb->fErrorChar, 0u);
        EXPECT_EQ(dcb->fParity, 0u);
        EXPECT_EQ(dcb->fAbortOnError, 0u);
        EXPECT_EQ(dcb->StopBits, ONESTOPBIT);
        EXPECT_EQ(dcb->Parity, NOPARITY);
        EXPECT_EQ(dcb->ByteSize, 8);
    }
    dev.Reset();

    // Runs of the three bytes, then every value, out and back.
    std::vector<uint8_t> out;
    for (int i = 0; i < 64; ++i) out.insert(out.end(), {0x00, 0x11, 0x13, 0x11});
    for (int value = 0; value < 256; ++value) out.push_back(static_cast<uint8_t>(value));
    const uint32_t size = static_cast<uint32_t>(out.size());
    ASSERT_EQ(d.WriteBlock(out.data(), size, 0x1000, XferNoBulk, nullptr), VR_S_OK)
        << dev.LogText();
    EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0x1000, size), out);
    std::vector<uint8_t> in(out.rbegin(), out.rend());
    dev.sim().WriteMemory(qxsim::kSpace2, 0x3000, in);
    std::vector<uint8_t> back(size, 0xA5);
    ASSERT_EQ(d.ReadBlock(back.data(), size, 0x3000, 0, nullptr), VR_S_OK) << dev.LogText();
    EXPECT_EQ(back, in);
}

TEST(Win32Identification, OpenDeviceOnPortIdentifiesTheKelby) {
    SimDevice dev;
    ASSERT_TRUE(dev.Start(false));
    QXVorrel& d = dev.device();
    char text[100] = {};
    uint8_t version[3] = {};
    ASSERT_EQ(
        d.OpenDeviceOnPort(static_cast<uint32_t>(dev.comNumber()), text, sizeof text, version, 0),
        1)
        << dev.LogText();
    ExpectKelby(d, text, version);
    EXPECT_EQ(d.portNumber, dev.comNumber());
    const Requests requests = dev.Transcript();
    EXPECT_EQ(Keys(requests), "VV HR HR B B NS");
    for (const qxsim::TranscriptEntry& r : requests) EXPECT_EQ(r.baud, 115200u) << r.command;
    EXPECT_EQ(qxtest::Hex(requests.at(0).bytes), "56 56");
}

TEST(Win32Identification, FindDeviceReachesTheMappedPortQuickly) {
    SimDevice dev;
    ASSERT_TRUE(dev.Start(false));
    QXVorrel& d = dev.device();
    char text[100] = {};
    uint8_t version[3] = {};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(d.FindDevice(text, sizeof text, version, kScanFromComZero), 1) << dev.LogText();
    const int64_t elapsed = MsSince(start);
    ExpectKelby(d, text, version);
    EXPECT_EQ(d.portNumber, dev.comNumber());
    // The runner leaves no other port in the prefix: a probed but silent port costs three
    // read time-outs (about a second), so a scan this quick asked nobody else.
    EXPECT_LT(elapsed, 900) << "did the scan probe Wine's default com1 -> /dev/ttyS0?";
}

TEST(Win32Eeprom, InformationRecordOnTheWire) {
    SimDevice dev;
    START(dev);
    EEPROMInfo info{};
    EXPECT_EQ(dev.device().GetEEPROMInfo(&info), VR_S_OK);
    EXPECT_EQ(dev.RequestHex(), Lines{"48 52 07 00 01 A2"});
    EXPECT_EQ(info.deviceId, 'O');
    EXPECT_EQ(info.interfaceLetter, 'U');
    EXPECT_EQ(dev.Messages(), (Lines{"QXVorrel: EEPROM Information requested",
                                     "QXVorrel: ReadEEPROM requested, 7 bytes from address 1"}));
    // Request and reply are dumped.
    const Lines lines = dev.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "QXSerial: Write"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "QXSerial: Read"), lines.end());
}

TEST(Win32LinkSpeed, RaisesTheLineTo921600AndClosePortBringsItBack) {
    SimDevice dev;
    START(dev);
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.SetUSBBaud(kSpeed921600, 0), VR_S_OK);
    EXPECT_EQ(d.baudIndex, 0);
    EXPECT_EQ(dev.sim().LineBaud(), 921600u);
    Requests requests = dev.Transcript();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(qxtest::Hex(requests[0].bytes), "53 00 53");
    EXPECT_EQ(requests[0].baud, 115200u) << "the request goes out at the old speed";
    EXPECT_EQ(dev.Messages(), (Lines{"QXSerial: Baud changed to 921600",
                                     "QXVorrel: SetUSBBaud to 921600, Force = FALSE SUCCEEDED"}));

    // The device now answers at 921600.
    uint8_t byte = 0;
    EXPECT_EQ(d.ReadEEPROM(&byte, 1, 1), VR_S_OK);
    requests = dev.Transcript();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].baud, 921600u);
    EXPECT_EQ(requests[1].outcome, qxsim::Outcome::Answered);
    dev.Reset();

    d.ClosePort();
    ASSERT_TRUE(dev.sim().WaitForTranscript(1, 2000));
    requests = dev.Transcript();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(qxtest::Hex(requests[0].bytes), "53 07 5A");
    EXPECT_EQ(requests[0].baud, 921600u);
    EXPECT_EQ(dev.sim().LineBaud(), 115200u);
}

class Win32Transfers : public ::testing::Test {
  protected:
    void SetUp() override { START(dev_); }
    SimDevice dev_;
};

TEST_F(Win32Transfers, RoundTripsMatchTheSimulatorsMemory) {
    QXVorrel& d = dev_.device();
    struct Case {
        const char* label;
        uint32_t address;
        uint32_t size;
        bool bulk;
    };
    const Case cases[] = {
        {"block, odd size and address", 0x1234, 300, false},
        {"block, one bank page", 0x2000, 4096, false},
        {"bulk, 16 KiB", 0x4000, 0x4000, true},
    };
    uint32_t seed = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::vector<uint8_t> image = Pattern(c.size, seed++);
        const int32_t written =
            c.bulk ? d.BulkWrite(image.data(), c.size, c.address, 0, nullptr)
                   : d.WriteBlock(image.data(), c.size, c.address, XferNoBulk, nullptr);
        ASSERT_EQ(written, VR_S_OK) << dev_.LogText();
        EXPECT_EQ(dev_.sim().ReadMemory(qxsim::kSpace2, c.address, c.size), image);

        std::vector<uint8_t> back(c.size, 0);
        const int32_t read = c.bulk ? d.BulkRead(back.data(), c.size, c.address, 0, nullptr)
                                    : d.ReadBlock(back.data(), c.size, c.address, 0, nullptr);
        ASSERT_EQ(read, VR_S_OK) << dev_.LogText();
        EXPECT_EQ(back, image);
    }
    // The bulk case really went the bulk way, the block cases the packet way.
    const std::string keys = Keys(dev_.Transcript());
    EXPECT_NE(keys.find("ZW"), std::string::npos) << keys;
    EXPECT_NE(keys.find("ZR"), std::string::npos) << keys;
    EXPECT_NE(keys.find("W"), std::string::npos) << keys;
}

TEST_F(Win32Transfers, NoReplyFailsWithinTheReadTimeOut) {
    QXVorrel& d = dev_.device();
    ASSERT_TRUE(dev_.AddFault("HR:none"));
    std::vector<uint8_t> buffer(7, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d.ReadEEPROM(buffer.data(), 0x20, 7), VR_E_COMM_READ_FAILURE);
    const int64_t elapsed = MsSince(start);
    // It waited for the read time-out (constant 300 ms), and not much more.
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(dev_.Messages(),
              (Lines{"QXVorrel: ReadEEPROM requested, 7 bytes from address 20",
                     "QXVorrel: ReadEEPROM failed with missing or invalid response."}));
    const Requests requests = dev_.Transcript();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].outcome, qxsim::Outcome::Faulted);
    EXPECT_EQ(d.portFree.load(), 1);

    // The port stays usable once the fault is gone.
    dev_.ClearFaults();
    EXPECT_EQ(d.ReadEEPROM(buffer.data(), 1, 7), VR_S_OK);
    EXPECT_EQ(buffer[0], 'O');
}

}  // namespace
