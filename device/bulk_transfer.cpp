// Bulk transfers: up to 4096 bytes per packet, addressed in 256-byte pages, with one checksum
// or acknowledgement per packet.
#include <cstring>

#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "device/transfer_frame.h"

namespace qx {
namespace {

constexpr uint32_t kPage = 256;
constexpr uint32_t kBulkPacketMax = 4096;
constexpr uint32_t kBulkWriteTimeoutMs = 6000;
// 'Z', the direction letter, pages, two random bytes, two address bytes.
constexpr uint32_t kBulkHeaderMax = 7;
constexpr uint8_t kAccepted = 'O';
constexpr uint8_t kSpaceBits1 = 0x10;
constexpr uint8_t kSpaceBits2 = 0x20;

bool HasMemorySpaces(const QXVorrel& device) {
    return TraitsOf(device.hardwareType).twoMemorySpaces;
}

// The memory-space bits of a bulk request; false when the flags name no space the bulk
// commands can reach. Reads default to space 0x20, writes must name one.
bool BulkSpaceBits(const QXVorrel& device, uint32_t flags, bool defaultToSpace2, uint8_t& bits) {
    bits = 0;
    if (!HasMemorySpaces(device)) return true;
    if ((flags & XferSpace1) != 0) {
        bits = kSpaceBits1;
    } else if ((flags & XferSpace2) != 0) {
        bits = kSpaceBits2;
    } else if ((flags & XferSpace3) != 0 || !defaultToSpace2) {
        return false;
    } else {
        bits = kSpaceBits2;
    }
    return true;
}

// 'Z', direction, pages, [two random bytes], address bits 23..16 with the space bits, 15..8.
// Returns the header length; *runStart is where the encrypted run begins.
uint32_t PutBulkHeader(uint8_t* request, uint8_t direction, uint32_t packetLength, uint32_t address,
                       uint8_t spaceBits, bool encrypted, uint32_t* runStart) {
    uint32_t n = 0;
    request[n++] = 'Z';
    request[n++] = direction;
    request[n++] = static_cast<uint8_t>(packetLength / kPage);
    *runStart = n;
    if (encrypted) n += PutRandomPair(request + n);
    request[n++] = static_cast<uint8_t>(((address >> 16) & 0xFF) | spaceBits);
    request[n++] = static_cast<uint8_t>((address >> 8) & 0xFF);
    return n;
}

bool InLargeBin(const QXVorrel& device) {
    return (device.capabilities & CapBanks) != 0 && device.InLargeBinMode();
}

}  // namespace

int32_t QXVorrel::BulkRead(uint8_t* buffer, uint32_t length, uint32_t address, uint32_t flags,
                           TransferCallback callback) {
    constexpr FinishOrder order = FinishOrder::RestoreThenReport;
    TransferFrame frame(*this, callback);
    if (buffer == nullptr && length != 0) return frame.Finish(VR_E_INVALID_FUNC_PARAM, order);
    if ((capabilities & CapBulk) == 0) return frame.Finish(VR_E_REQUEST_NOT_SUPPORTED, order);
    if (length % kPage != 0 || address % kPage != 0) {
        LogMessage(logger, "VarnexWare: BulkRead failure. Size/Address must be divisible by 256.");
        return frame.Finish(VR_E_INVALID_FUNC_PARAM, order);
    }
    if (!port->IsOpen()) {
        LogMessage(logger, "VarnexWare: BulkRead requested on uninitialized port");
        return frame.Finish(VR_E_PORT_NOT_INITIALIZED, order);
    }
    LogMessage(logger, "QXVorrel: Bulk reading %iKB", static_cast<int>(length / 1024));
    const bool encrypted = IsTransferEncrypted(*this, flags);
    frame.progress().Start(length / kBulkPacketMax);
    LogMessage(logger, "VarnexWare: Bulk Read Request initiated for %i bytes.",
               static_cast<int>(length));
    if (const int32_t busy = frame.Acquire(); busy != VR_S_OK) return frame.Finish(busy, order);
    // The large bank reaches the whole memory with the full bulk address.
    if (InLargeBin(*this) && SetReadWriteBank(GetLargeBinBank()) != VR_S_OK) {
        return frame.Finish(VR_E_LARGE_BIN_BANK_FAILED, order);
    }
    uint8_t spaceBits = 0;
    if (!BulkSpaceBits(*this, flags, true, spaceBits)) {
        return frame.Finish(VR_E_INVALID_REQUEST_PARAM, order);
    }
    frame.Prepare(kDefaultReadTimeoutMs);

    uint32_t offset = 0;
    uint32_t remaining = length;
    while (remaining != 0) {
        if (frame.Canceled("VarnexWare: Bulk Read - Operation Canceled")) {
            return frame.Finish(VR_E_OPERATION_CANCELED, order);
        }
        const uint32_t packetLength = remaining < kBulkPacketMax ? remaining : kBulkPacketMax;
        uint8_t request[kBulkHeaderMax + 1];
        uint32_t run = 0;
        uint32_t n =
            PutBulkHeader(request, 'R', packetLength, address + offset, spaceBits, encrypted, &run);
        uint8_t chain = 0;
        n = SealRequest(*this, request, run, n, encrypted, &chain);
        if (port->Write(request, n) != n) return frame.Finish(VR_E_COMM_WRITE_FAILURE, order);

        // The data goes straight into the caller's buffer.
        uint8_t* data = buffer + offset;
        const uint32_t got = port->Read(data, packetLength);
        if (got != packetLength) {
            LogMessage(logger,
                       "VarnexWare: BulkRead: Read timed-out after %i bytes. Expected %i bytes.",
                       static_cast<int>(offset + got), static_cast<int>(length));
            return frame.Finish(VR_E_COMM_READ_TIMEOUT, order);
        }
        uint8_t received = 0;
        if (port->Read(&received, 1) != 1) return frame.Finish(VR_E_COMM_READ_TIMEOUT, order);
        const uint8_t expected = PacketChecksum(data, static_cast<int32_t>(packetLength));
        if (expected != received) {
            LogMessage(logger,
                       "VarnexWare Bulk Read Error - invalid packet checksum. Expected %.2X, "
                       "Received %.2X.",
                       expected, received);
            return frame.Finish(VR_E_EXTERNAL_CS_INVALID, order);
        }
        if (encrypted) DecryptBuffer(*this, chain, data, static_cast<int32_t>(packetLength));
        frame.progress().PacketDone();

        offset += packetLength;
        remaining -= packetLength;
    }
    return frame.Finish(VR_S_OK, order);
}

int32_t QXVorrel::BulkWrite(const uint8_t* buffer, uint32_t length, uint32_t address,
                            uint32_t flags, TransferCallback callback) {
    constexpr FinishOrder order = FinishOrder::ReportThenRestore;
    TransferFrame frame(*this, callback);
    if (buffer == nullptr && length != 0) return frame.Finish(VR_E_INVALID_FUNC_PARAM, order);
    if ((capabilities & CapBulk) == 0) return frame.Finish(VR_E_REQUEST_NOT_SUPPORTED, order);
    if (length % kPage != 0 || address % kPage != 0) {
        LogMessage(logger, "VarnexWare: BulkWrite failure. Size/Address must be divisible by 256.");
        return frame.Finish(VR_E_INVALID_FUNC_PARAM, order);
    }
    if (!port->IsOpen()) {
        LogMessage(logger, "VarnexWare: BulkWrite failure. Uninitialized Port.");
        return frame.Finish(VR_E_PORT_NOT_INITIALIZED, order);
    }
    LogMessage(logger, "QXVorrel: Bulk writing %iKB", static_cast<int>(length / 1024));
    const bool encrypted = IsTransferEncrypted(*this, flags);
    frame.progress().Start(length / kBulkPacketMax);
    if (const int32_t busy = frame.Acquire(); busy != VR_S_OK) {
        LogMessage(logger, "VarnexWare: BulkWrite failure. Failed to acquire port lock.");
        return frame.Finish(busy, order);
    }
    if (InLargeBin(*this) && SetReadWriteBank(GetLargeBinBank()) != VR_S_OK) {
        return frame.Finish(VR_E_LARGE_BIN_BANK_FAILED, order);
    }
    // The device acknowledges a packet only after storing it.
    frame.Prepare(kBulkWriteTimeoutMs);

    // Every packet is built in this one buffer: header, up to 4096 data bytes, checksum.
    uint8_t packet[kBulkHeaderMax + kBulkPacketMax + 1];
    uint32_t offset = 0;
    uint32_t remaining = length;
    while (remaining != 0) {
        if (frame.Canceled("VarnexWare: BulkWrite - Operation Canceled")) {
            return frame.Finish(VR_E_OPERATION_CANCELED, order);
        }
        const uint32_t packetLength = remaining < kBulkPacketMax ? remaining : kBulkPacketMax;
        uint8_t spaceBits = 0;
        if (!BulkSpaceBits(*this, flags, false, spaceBits)) {
            return frame.Finish(VR_E_INVALID_REQUEST_PARAM, order);
        }
        uint32_t run = 0;
        uint32_t n =
            PutBulkHeader(packet, 'W', packetLength, address + offset, spaceBits, encrypted, &run);
        std::memcpy(packet + n, buffer + offset, packetLength);
        n = SealRequest(*this, packet, run, n + packetLength, encrypted, nullptr);

        // A short write sent part of a packet: the device would take the next request's bytes
        // as the rest of it.
        if (port->Write(packet, n) != n) return frame.Finish(VR_E_COMM_WRITE_FAILURE, order);
        uint8_t reply = 0;
        if (port->Read(&reply, 1) != 1) return frame.Finish(VR_E_COMM_READ_TIMEOUT, order);
        if (reply != kAccepted) return frame.Finish(VR_E_INVALID_RESPONSE, order);
        frame.progress().PacketDone();

        offset += packetLength;
        remaining -= packetLength;
    }
    return frame.Finish(VR_S_OK, order);
}

int32_t QXVorrel::BulkWriteBoth(const uint8_t* buffer, uint32_t length, uint32_t address,
                                uint32_t flags, TransferCallback callback) {
    // Without a named space the image goes into both spaces, 0x20 first.
    if (HasMemorySpaces(*this) && (flags & (XferSpace1 | XferSpace2 | XferSpace3)) == 0) {
        const int32_t result = BulkWrite(buffer, length, address, flags | XferSpace2, callback);
        if (result != VR_S_OK) return result;
        return BulkWrite(buffer, length, address, flags | XferSpace1, callback);
    }
    return BulkWrite(buffer, length, address, flags, callback);
}

}  // namespace qx
