// The Tolliver's three configuration bytes (mode, bank, marker): through one-byte block
// transfers on firmware 1.0 to 1.5, through the EEPROM on every later firmware.
#include "device/model_table.h"
#include "device/qx_vorrel.h"

namespace qx {
namespace {

constexpr uint8_t kMarkerSet = 0xAA;

enum ConfigByte : uint16_t { kModeByte = 0, kBankByte = 1, kMarkerByte = 2 };

constexpr uint32_t kConfigDeviceAddress = 0x200000;
constexpr uint16_t kConfigEepromAddress = 0x100;

bool UsesBlockRoute(const QXVorrel& device) {
    return device.firmwareMajor == 1 && device.firmwareMinor < 6;
}

int32_t ReadConfigByte(QXVorrel& device, ConfigByte which, uint8_t* value, uint32_t blockFlags) {
    if (UsesBlockRoute(device)) {
        return device.ReadBlock(value, 1, kConfigDeviceAddress + which, blockFlags, nullptr);
    }
    return device.ReadEEPROM(value, static_cast<uint16_t>(kConfigEepromAddress + which), 1);
}

int32_t WriteConfigByteTo(QXVorrel& device, ConfigByte which, uint8_t value) {
    if (UsesBlockRoute(device)) {
        return device.WriteBlock(&value, 1, kConfigDeviceAddress + which, XferSpace2, nullptr);
    }
    return device.WriteEEPROM(&value, static_cast<uint16_t>(kConfigEepromAddress + which), 1);
}

}  // namespace

int32_t QXVorrel::GetTolliverBank(uint8_t* out, int32_t) {
    if ((capabilities & CapBanks) == 0) return VR_E_REQUEST_NOT_SUPPORTED;
    uint8_t bank = 0;
    // The bank reads pass no memory-space flag (the block read assumes space 0x20).
    const int32_t result = ReadConfigByte(*this, kBankByte, &bank, 0);
    if (result == VR_S_OK) {
        if (out != nullptr) *out = bank;
        emulationBank = bank;
    }
    return result;
}

int32_t QXVorrel::SetTolliverBank(uint32_t bank, int32_t) {
    if ((capabilities & CapBanks) == 0) return VR_E_REQUEST_NOT_SUPPORTED;
    // Not identified yet, the bank size can be 0: then there is no bank to select.
    const uint32_t size = GetActiveBankSize();
    const uint32_t banks = size == 0 ? 0 : memorySize / size;
    if (bank >= banks) return VR_E_INVALID_FUNC_PARAM;
    if (const int32_t marker = EnsureTolliverMarker(); marker != VR_S_OK) return marker;
    const int32_t result = WriteConfigByteTo(*this, kBankByte, static_cast<uint8_t>(bank));
    if (result == VR_S_OK) emulationBank = static_cast<uint8_t>(bank);
    return result;
}

int32_t QXVorrel::GetTolliverMarker(uint8_t* out) {
    if (!TraitsOf(hardwareType).configBank) return VR_E_REQUEST_NOT_SUPPORTED;
    uint8_t marker = 0;
    const int32_t result = ReadConfigByte(*this, kMarkerByte, &marker, XferSpace2);
    if (result == VR_S_OK && out != nullptr) *out = marker;
    return result;
}

int32_t QXVorrel::EnsureTolliverMarker(int32_t) {
    if (!TraitsOf(hardwareType).configBank) return VR_E_REQUEST_NOT_SUPPORTED;
    uint8_t marker = 0;
    const int32_t result = ReadConfigByte(*this, kMarkerByte, &marker, XferSpace2);
    if (result != VR_S_OK || marker == kMarkerSet) return result;
    return WriteConfigByteTo(*this, kMarkerByte, kMarkerSet);
}

int32_t QXVorrel::GetTolliverMode(int32_t) {
    int32_t result = VR_E_REQUEST_NOT_SUPPORTED;
    if (TraitsOf(hardwareType).configBank) {
        uint8_t mode = 0;
        result = ReadConfigByte(*this, kModeByte, &mode, XferSpace2);
        if (result == VR_S_OK) {
            tolliverMode = mode;
            bankCount = static_cast<int32_t>(GetBankCount());
            bankSize = GetActiveBankSize();
            LogMessage(logger, "QXVorrel: Tolliver mode retrieved: %i", tolliverMode);
            return result;
        }
    }
    LogMessage(logger, "QXVorrel: Tolliver mode retrieval FAILED");
    return result;
}

}  // namespace qx
