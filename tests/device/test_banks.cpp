// Bank queries and selection against the simulated device: requests, labels, range checks
// and failures that leave the fields alone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "device/qx_vorrel_internal.h"
#include "device_wire_support.h"

namespace qx {
namespace {

using namespace wiretest;

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
        const qxsim::DeviceState state = dev.sim().State();
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
    EXPECT_EQ(dev.sim().State().emulationBank, 0);
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
    ASSERT_EQ(AcquirePort(d), VR_S_OK);  // a transfer holds it
    const auto start = Clock::now();
    EXPECT_EQ(d.SetBank(1, 1, 0, 1), VR_S_OK);
    EXPECT_EQ(d.SetReadWriteBank(2), VR_S_OK);
    ASSERT_TRUE(dev.AddFault("B:refuse"));
    EXPECT_EQ(d.SetBank(3, 1, 0, 1), VR_E_INVALID_RESPONSE);
    EXPECT_LT(ExactMsSince(start), 1000.0);
    EXPECT_EQ(d.portFree.load(), 0) << "still held by the transfer";
    EXPECT_EQ(dev.RequestHex(), (Lines{"42 52 01 95", "42 52 02 96", "42 52 03 97"}));
    EXPECT_EQ(d.readWriteBank, 2);
    // And the holder still owns it: a second thread cannot get it.
    int32_t other = 0;
    std::thread([&] { other = AcquirePort(d); }).join();
    EXPECT_EQ(other, VR_E_PORT_BUSY);
    ReleasePort(d);
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

}  // namespace
}  // namespace qx
