// The Tolliver's mode and bank marker through its EEPROM, and its one-byte block transfers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device_wire_support.h"

namespace qx {
namespace {

using namespace wiretest;

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
    auto eeprom = dev.sim().Eeprom();
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
    EXPECT_EQ(Hex(dev.sim().ReadMemory(qxsim::kSpace2, 0, 3)), "04 00 AA");
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

}  // namespace
}  // namespace qx
