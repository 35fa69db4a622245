// Link speed against the simulated device: the request bytes, the line speed on both ends,
// refusals and time-outs.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device_wire_support.h"

namespace qx {
namespace {

using namespace wiretest;

TEST(LinkSpeed, RaisesTheLineAndClosePortBringsItBackFirst) {
    SimDevice dev(Kelby());
    START(dev);
    QXVorrel& d = dev.device();
    EXPECT_EQ(d.SetUSBBaud(kSpeed921600, 0), VR_S_OK);
    EXPECT_EQ(d.baudIndex, 0);
    EXPECT_EQ(dev.sim().LineBaud(), 921600u);
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
    EXPECT_EQ(dev.sim().LineBaud(), 115200u);
    EXPECT_EQ(dev.sim().DeviceBaud(), 115200u);
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
        EXPECT_EQ(dev.sim().LineBaud(), 921600u / (index + 1));
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
    EXPECT_EQ(dev.sim().LineBaud(), 921600u);
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
        EXPECT_EQ(dev.sim().LineBaud(), 115200u);
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

}  // namespace
}  // namespace qx
