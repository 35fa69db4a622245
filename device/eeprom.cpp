// The device's own EEPROM: byte-wise reads and writes, and the 7-byte information record.
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"

namespace qx {
namespace {

constexpr uint16_t kMaxEepromRead = 256;
constexpr uint16_t kInfoAddress = 1;
constexpr uint8_t kRefused = 0x3F;   // '?'
constexpr uint8_t kAccepted = 0x4F;  // 'O'

// "HR" for family 1, else "E" followed by as many zero bytes as it asks for.
// Returns the request length including the checksum.
uint32_t BuildReadRequest(int32_t family, uint16_t address, uint16_t length, uint8_t* out) {
    uint32_t n = 0;
    if (family == 1) {
        out[n++] = 'H';
        out[n++] = 'R';
    } else {
        out[n++] = 'E';
    }
    out[n++] = static_cast<uint8_t>(length & 0xFF);  // 256 travels as 0
    out[n++] = static_cast<uint8_t>(address >> 8);
    out[n++] = static_cast<uint8_t>(address & 0xFF);
    if (family != 1) {
        for (uint16_t i = 0; i < length; ++i) out[n++] = 0;
    }
    out[n] = PacketChecksum(out, static_cast<int32_t>(n));
    return n + 1;
}

uint32_t BuildWriteRequest(int32_t family, uint16_t address, uint8_t value, uint8_t* out) {
    uint32_t n = 0;
    if (family == 1) {
        out[n++] = 'H';
        out[n++] = 'W';
    } else {
        out[n++] = 'e';
    }
    out[n++] = 0x01;
    out[n++] = static_cast<uint8_t>(address >> 8);
    out[n++] = static_cast<uint8_t>(address & 0xFF);
    out[n++] = value;
    out[n] = PacketChecksum(out, static_cast<int32_t>(n));
    return n + 1;
}

}  // namespace

int32_t QXVorrel::ReadEEPROM(uint8_t* buffer, uint16_t address, uint16_t length) {
    if (!port->IsOpen()) return VR_E_PORT_NOT_INITIALIZED;
    // The "E" request carries `length` zero bytes: bound it before building anything.
    if (length == 0 || length > kMaxEepromRead) return VR_E_INVALID_FUNC_PARAM;
    LogMessage(logger, "QXVorrel: ReadEEPROM requested, %i bytes from address %X", length, address);
    uint8_t request[kMaxEepromRead + 5];
    const uint32_t requestLength = BuildReadRequest(protocolFamily, address, length, request);
    if (AcquirePort(*this) == VR_E_PORT_BUSY) return VR_E_PORT_BUSY;

    port->SetReadTimeout(kDefaultReadTimeoutMs);
    port->Purge();
    int32_t result = VR_S_OK;
    uint8_t checksum = 0;
    if (port->Write(request, requestLength) != requestLength) {
        result = VR_E_COMM_WRITE_FAILURE;
    } else if (const uint32_t received = port->Read(buffer, length); received != length) {
        LogMessage(logger, "QXVorrel: ReadEEPROM failed with missing or invalid response.");
        // A device that does not know the command answers a lone '?'.
        result = (length > 1 && received > 0 && buffer[0] == kRefused) ? VR_E_UNKNOWN_COMMAND
                                                                       : VR_E_COMM_READ_FAILURE;
    } else if (port->Read(&checksum, 1) != 1) {
        result = VR_E_COMM_READ_FAILURE;
    } else if (const uint8_t sum = PacketChecksum(buffer, length); sum != checksum) {
        LogMessage(logger,
                   "QXVorrel: ReadEEPROM: Invalid external data checksum\r\n\tCS of recvd data: "
                   "%.2X\r\n\tCS from device: %.2x",
                   sum, checksum);
        result = VR_E_EXTERNAL_CS_INVALID;
    }
    ReleasePort(*this);
    return result;
}

int32_t QXVorrel::WriteEEPROM(const uint8_t* data, uint16_t address, uint16_t /*count*/) {
    if (!port->IsOpen()) return VR_E_PORT_NOT_INITIALIZED;
    if (data == nullptr) return VR_E_INVALID_FUNC_PARAM;
    // Exactly one byte is written, whatever the count says.
    LogMessage(logger, "QXVorrel: WriteEEPROM requested, %i bytes to address %X", 1, address);
    if (AcquirePort(*this) == VR_E_PORT_BUSY) return VR_E_PORT_BUSY;

    port->Purge();
    uint8_t request[8];
    const uint32_t requestLength = BuildWriteRequest(protocolFamily, address, data[0], request);
    int32_t result = VR_S_OK;
    uint8_t reply = 0;
    if (port->Write(request, requestLength) != requestLength) {
        result = VR_E_COMM_WRITE_FAILURE;
    } else if (port->Read(&reply, 1) != 1) {
        result = VR_E_COMM_READ_FAILURE;
    } else if (reply != kAccepted) {
        result = VR_E_INVALID_RESPONSE;
    }
    ReleasePort(*this);
    return result;
}

int32_t QXVorrel::GetEEPROMInfo(EEPROMInfo* record) {
    if (record == nullptr) return VR_E_INVALID_FUNC_PARAM;
    LogMessage(logger, "QXVorrel: EEPROM Information requested");
    const int32_t result =
        ReadEEPROM(reinterpret_cast<uint8_t*>(record), kInfoAddress, sizeof(EEPROMInfo));
    // The Morrow2 reports the Morrow's letter; applied to whatever the record holds.
    if (hardwareId == 'D' && firmwareMajor >= 2 && record->deviceId == 'D') {
        record->deviceId = 'd';
        LogMessage(logger, "Morrow2 device ID fixup applied");
    }
    return result;
}

}  // namespace qx
