// Identification: the version ID, the name string and serial requests, and turning the
// hardware-ID letter into a model with its banks, flash information and encryption state.
#include <cstring>

#include "base/bounded_text.h"
#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"

namespace qx {
namespace {

constexpr uint32_t kSerialTimeoutMs = 600;
constexpr uint32_t kNameStringSize = 255;
constexpr uint32_t kSerialSize = 9;
// The device's own name: 31 characters at most.
constexpr uint32_t kDeviceNameCapacity = 32;
constexpr uint32_t kSuffixCapacity = 25;

bool IsPrintable(uint8_t c) {
    return c >= 0x20 && c <= 0x7E;
}

}  // namespace

int32_t QXVorrel::GetFirmwareVersion(uint8_t* versionOut) {
    if (!port->IsOpen()) return VR_E_PORT_NOT_INITIALIZED;
    LogMessage(logger, "QXVorrel: Firmware Version string requested");
    if (AcquirePort(*this) != VR_S_OK) return VR_E_PORT_BUSY;

    port->SetReadTimeout(kDefaultReadTimeoutMs);
    firmwareMajor = 0;
    firmwareMinor = 0;
    hardwareId = 0;
    port->Purge();

    int32_t result = VR_S_OK;
    static constexpr uint8_t kRequest[2] = {'V', 'V'};
    if (port->Write(kRequest, sizeof kRequest) != sizeof kRequest) {
        result = VR_E_COMM_WRITE_FAILURE;
    } else {
        uint8_t reply[3] = {};
        const uint32_t received = port->Read(reply, sizeof reply);
        // The bytes land in the fields even when the reply is refused below.
        firmwareMajor = reply[0];
        firmwareMinor = reply[1];
        hardwareId = static_cast<char>(reply[2]);
        if (received != sizeof reply) {
            result = VR_E_COMM_READ_FAILURE;
        } else if ((reply[0] == 'V' && reply[1] == 'V') ||  // our own request echoed
                   (reply[0] == 0 && reply[1] == 0) || !IsPrintable(reply[2])) {
            result = VR_E_INVALID_RESPONSE;
        } else if (versionOut != nullptr) {
            std::memcpy(versionOut, reply, sizeof reply);
        }
    }

    if (port->IsOpen()) port->SetReadTimeout(kDefaultReadTimeoutMs);
    ReleasePort(*this);
    return result;
}

int32_t QXVorrel::GetNameString(uint8_t* buffer) {
    if (buffer == nullptr) return VR_E_INVALID_FUNC_PARAM;
    if (!port->IsOpen()) return VR_E_PORT_NOT_INITIALIZED;
    if (AcquirePort(*this) != VR_S_OK) return VR_E_PORT_BUSY;

    port->SetReadTimeout(kDefaultReadTimeoutMs);
    port->Purge();

    int32_t result = VR_S_OK;
    static constexpr uint8_t kRequest[4] = {'V', 'S', 'S', 0xFC};
    uint8_t checksum = 0;
    if (port->Write(kRequest, sizeof kRequest) != sizeof kRequest) {
        result = VR_E_COMM_WRITE_FAILURE;
    } else if (port->Read(buffer, kNameStringSize) != kNameStringSize ||
               port->Read(&checksum, 1) != 1) {
        result = VR_E_COMM_READ_FAILURE;
    } else if (buffer[0] != 'S' || buffer[1] != '!') {
        result = VR_E_INVALID_RESPONSE;
    } else if (PacketChecksum(buffer, kNameStringSize) != checksum) {
        result = VR_E_BAD_CHECKSUM;
    }

    if (port->IsOpen()) port->SetReadTimeout(kDefaultReadTimeoutMs);
    ReleasePort(*this);
    return result;
}

int32_t QXVorrel::GetSerial(uint8_t* buffer) {
    if (buffer == nullptr) return VR_E_INVALID_FUNC_PARAM;
    LogMessage(logger, "SarNet: Serial requested");
    if (AcquirePort(*this) != VR_S_OK) return VR_E_PORT_BUSY;

    // The longer time-out stays: the serial request is the last of identification.
    port->SetReadTimeout(kSerialTimeoutMs);
    port->Purge();

    int32_t result = VR_S_OK;
    static constexpr uint8_t kRequest[3] = {'N', 'S', 0xA1};
    uint8_t checksum = 0;
    if (port->Write(kRequest, sizeof kRequest) != sizeof kRequest) {
        result = VR_E_COMM_WRITE_FAILURE;
    } else if (port->Read(buffer, kSerialSize) != kSerialSize) {
        LogMessage(logger, "Serial request timed out");
        result = VR_E_COMM_READ_TIMEOUT;
    } else if (port->Read(&checksum, 1) != 1) {
        result = VR_E_COMM_READ_FAILURE;
    } else if (PacketChecksum(buffer, kSerialSize) != checksum) {
        // A corrupted reply must not decide the encryption state.
        result = VR_E_BAD_CHECKSUM;
    }

    ReleasePort(*this);
    return result;
}

namespace {

// Asks the model's further questions in order; the first failing one ends identification.
int32_t IdentifyModel(QXVorrel& device, const ModelRow& row) {
    switch (row.step) {
        case ModelStep::KelbyVariant: {
            EEPROMInfo record{};
            if (device.GetEEPROMInfo(&record) != VR_S_OK) {
                ApplyModelRow(device, KelbyFallbackRow());
            } else if (record.deviceId == 'P') {
                ApplyModelRow(device, *FindModelRow('P', device.firmwareMajor));
            }
            break;
        }
        case ModelStep::TolliverMode: {
            const int32_t result = device.GetTolliverMode();
            if (result != VR_S_OK) return result;
            break;
        }
        case ModelStep::NameString: {
            uint8_t name[kNameStringSize] = {};
            if (device.GetNameString(name) != VR_S_OK) return kStatusFail;
            // The reply need not hold a terminator: the copy stops at its capacity.
            BoundedCopy(device.modelName, kDeviceNameCapacity,
                        reinterpret_cast<const char*>(name + 2));
            break;
        }
        case ModelStep::None:
            break;
    }

    if (device.protocolFamily != 4) {
        char suffix[kSuffixCapacity];
        BoundedFormat(suffix, sizeof suffix, " v%i.%i", device.firmwareMajor, device.firmwareMinor);
        BoundedAppend(device.modelName, kModelNameCapacity, suffix);
    }

    if (device.protocolFamily == 1) {
        EEPROMInfo record{};
        if (device.GetEEPROMInfo(&record) == VR_S_OK) {
            device.interfaceType = InterfaceTypeOf(static_cast<char>(record.interfaceLetter));
            if (device.interfaceType == 0)
                LogMessage(device.logger,
                           "VarnexWare: Could not get communication interface type.");
        }
    }

    if ((device.capabilities & CapBanks) != 0) {
        uint8_t bank = 0;
        // The Tolliver answers from its configuration byte, every other model by request.
        int32_t result = device.QueryBank(&bank, 0);
        if (result != VR_S_OK) return result;
        if (TraitsOf(device.hardwareType).readWriteBank) {
            result = device.GetBank(&bank, 1);
            if (result != VR_S_OK) return result;
        }
    }

    if (TraitsOf(device.hardwareType).flashInfo) {
        const int32_t result = device.GetFlashInfo(device.flashInfo);
        if (result != VR_S_OK) return result;
    }
    return VR_S_OK;
}

// Encryption stays on only when the device's serial reply confirms it, whatever ended
// identification: transfers encrypted for a device that does not expect it all fail.
void ConfirmEncryption(QXVorrel& device) {
    if ((device.capabilities & CapEncryption) == 0) return;
    uint8_t serial[kSerialSize] = {};
    if (device.GetSerial(serial) != VR_S_OK || serial[0] == 0 || serial[0] == 'n') {
        device.capabilities &= ~CapEncryption;
        LogMessage(device.logger, "Encryption possible, but disabled");
    } else {
        LogMessage(device.logger, "Encryption Enabled");
    }
}

}  // namespace

int32_t QXVorrel::Identify() {
    ClearIdentificationBlock();

    const ModelRow* row = FindModelRow(hardwareId, firmwareMajor);
    if (row == nullptr) {
        LogMessage(logger, "QXVorrel: Could not determine hardware type from version ID.");
        return kStatusDeviceNotConnected;
    }
    // The row goes in first: the special steps' requests depend on its family and type.
    ApplyModelRow(*this, *row);
    const int32_t result = IdentifyModel(*this, *row);
    ConfirmEncryption(*this);
    return result;
}

}  // namespace qx
