// The flash-information record against the simulated device: success, failures and a bad
// checksum.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "device/qx_vorrel_internal.h"
#include "device_wire_support.h"

namespace qx {
namespace {

using namespace wiretest;

TEST(FlashInfo, ReadsTheRecordWithoutTheLock) {
    SimDevice dev(Halvane());
    START(dev);
    QXVorrel& d = dev.device();
    // Identification calls it between its own requests: it must not wait for the lock.
    ASSERT_EQ(AcquirePort(d), VR_S_OK);
    uint8_t buffer[16] = {};
    const auto start = Clock::now();
    EXPECT_EQ(d.GetFlashInfo(buffer), VR_S_OK);
    EXPECT_LT(ExactMsSince(start), 1000.0);
    ReleasePort(d);
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

}  // namespace
}  // namespace qx
