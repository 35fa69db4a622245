// Block transfers: the "slow" packets of at most 256 bytes, one request and one reply each,
// with the bulk fast path for writes.
#include <cstring>

#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "device/transfer_frame.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

constexpr uint32_t kBlockPacketMax = 256;
constexpr uint32_t kLargeBinWindow = 0x10000;
constexpr uint32_t kBulkPage = 256;
constexpr uint32_t kBulkFallbackPauseMs = 800;
// Command, count, two random bytes, three address bytes.
constexpr uint32_t kBlockHeaderMax = 7;
constexpr uint8_t kAccepted = 'O';
constexpr uint8_t kSpaceBits1 = 0x10;
constexpr uint8_t kSpaceBits2 = 0x20;

// Models without a geometry report no data width: they are treated as byte-aligned, so the
// test never divides by zero.
bool IsAligned(const QXVorrel& device, uint32_t length, uint32_t address) {
    const int32_t bytes = device.dataWidth / 8;
    const uint32_t unit = bytes > 0 ? static_cast<uint32_t>(bytes) : 1;
    return length % unit == 0 && address % unit == 0;
}

bool InLargeBin(const QXVorrel& device) {
    return (device.capabilities & CapBanks) != 0 && device.InLargeBinMode();
}

struct BlockPacket {
    uint32_t address;
    uint32_t size;
    uint8_t count;  // the size's low byte: 256 goes out as 0
};

// At most 256 bytes; in large-bin mode never across a 64 KiB boundary, because the 16-bit
// address of a packet reaches only the read/write bank it was sent for.
BlockPacket NextPacket(const QXVorrel& device, uint32_t address, uint32_t offset,
                       uint32_t remaining) {
    BlockPacket packet{address + offset, remaining < kBlockPacketMax ? remaining : kBlockPacketMax,
                       0};
    if (InLargeBin(device)) {
        const uint32_t within = packet.address % kLargeBinWindow;
        if (within + packet.size > kLargeBinWindow) packet.size = kLargeBinWindow - within;
    }
    packet.count = static_cast<uint8_t>(packet.size & 0xFF);
    return packet;
}

// In large-bin mode bits 23..16 of a 2-byte-address packet pick the read/write bank. The
// transfer holds the port lock, so SetBank must not take it again.
int32_t SelectReadWriteBank(QXVorrel& device, uint32_t packetAddress) {
    const uint8_t bank = static_cast<uint8_t>((packetAddress >> 16) & 0xFF);
    if (!InLargeBin(device) || device.readWriteBank == bank) return VR_S_OK;
    if (device.SetBank(bank, 1, 0, 1) != VR_S_OK) return VR_E_LARGE_BIN_BANK_FAILED;
    return VR_S_OK;
}

uint32_t PutAddress(uint8_t* at, uint32_t address, bool wide, uint8_t spaceBits) {
    uint32_t n = 0;
    if (wide) at[n++] = static_cast<uint8_t>(((address >> 16) & 0xFF) | spaceBits);
    at[n++] = static_cast<uint8_t>((address >> 8) & 0xFF);
    at[n++] = static_cast<uint8_t>(address & 0xFF);
    return n;
}

uint16_t DataSum16(const uint8_t* data, uint32_t size) {
    uint16_t sum = 0;
    for (uint32_t i = 0; i < size; ++i) sum = static_cast<uint16_t>(sum + data[i]);
    return sum;
}

}  // namespace

int32_t QXVorrel::ReadBlock(uint8_t* buffer, uint32_t length, uint32_t address, uint32_t flags,
                            TransferCallback) {
    // Block reads give no progress reports.
    constexpr FinishOrder order = FinishOrder::RestoreThenReport;
    TransferFrame frame(*this, nullptr);
    if (buffer == nullptr && length != 0) return frame.Finish(VR_E_INVALID_FUNC_PARAM, order);
    if (!port->IsOpen()) {
        LogMessage(logger, "QXVorrel: ReadBlock requested on uninitialized port");
        return frame.Finish(VR_E_PORT_NOT_INITIALIZED, order);
    }
    LogMessage(logger, "QXVorrel: Slow Reading %i bytes", static_cast<int>(length));
    if (!IsAligned(*this, length, address)) {
        LogMessage(logger, "QXVorrel: SarNet I/O request address/size alignment error");
        return frame.Finish(VR_E_INVALID_ALIGNMENT, order);
    }
    const bool wide = TraitsOf(hardwareType).wideAddress;
    const bool encrypted = IsTransferEncrypted(*this, flags);
    uint8_t spaceBits = 0;
    if (TraitsOf(hardwareType).twoMemorySpaces) {
        // Reads without a space flag go to space 0x20.
        spaceBits = (flags & XferSpace1) != 0 ? kSpaceBits1 : kSpaceBits2;
    }
    LogMessage(logger, "QXVorrel ReadBlock Request initiated for %i bytes.",
               static_cast<int>(length));
    if (const int32_t busy = frame.Acquire(); busy != VR_S_OK) return frame.Finish(busy, order);
    frame.Prepare(kDefaultReadTimeoutMs);

    // A zero length sends nothing (a count byte of 0 would ask for 256 bytes).
    uint32_t offset = 0;
    uint32_t remaining = length;
    while (remaining != 0) {
        if (frame.Canceled("QXVorrel: ReadBlock - Operation Canceled")) {
            return frame.Finish(VR_E_OPERATION_CANCELED, order);
        }
        const BlockPacket packet = NextPacket(*this, address, offset, remaining);
        if (!wide) {
            if (const int32_t bank = SelectReadWriteBank(*this, packet.address); bank != VR_S_OK) {
                return frame.Finish(bank, order);
            }
        }

        uint8_t request[kBlockHeaderMax + 1];
        uint32_t n = 0;
        request[n++] = 'R';
        request[n++] = packet.count;
        const uint32_t run = n;
        if (encrypted) n += PutRandomPair(request + n);
        n += PutAddress(request + n, packet.address, wide, spaceBits);
        uint8_t chain = 0;
        n = SealRequest(*this, request, run, n, encrypted, &chain);

        if (port->Write(request, n) != n) return frame.Finish(VR_E_COMM_WRITE_FAILURE, order);
        uint8_t* data = buffer + offset;
        if (port->Read(data, packet.size) != packet.size) {
            LogMessage(logger,
                       "QXVorrel: ReadBlock: Read timed-out after %i bytes. Expected %i bytes.",
                       static_cast<int>(offset), static_cast<int>(length));
            return frame.Finish(VR_E_COMM_READ_TIMEOUT, order);
        }
        uint8_t received = 0;
        if (port->Read(&received, 1) != 1) return frame.Finish(VR_E_COMM_READ_TIMEOUT, order);
        const uint8_t expected = PacketChecksum(data, static_cast<int32_t>(packet.size));
        if (expected != received) {
            LogMessage(logger,
                       "QXVorrel Read Error - invalid packet checksum. Expected %.2X, Received "
                       "%.2X.",
                       expected, received);
            return frame.Finish(VR_E_EXTERNAL_CS_INVALID, order);
        }
        if (encrypted) DecryptBuffer(*this, chain, data, static_cast<int32_t>(packet.size));

        offset += packet.size;
        remaining -= packet.size;
    }
    return frame.Finish(VR_S_OK, order);
}

int32_t QXVorrel::WriteBlock(const uint8_t* buffer, uint32_t length, uint32_t address,
                             uint32_t flags, TransferCallback callback) {
    constexpr FinishOrder order = FinishOrder::ReportThenRestore;
    TransferFrame frame(*this, callback);
    if (buffer == nullptr && length != 0) return frame.Finish(VR_E_INVALID_FUNC_PARAM, order);
    if (!port->IsOpen()) return frame.Finish(VR_E_PORT_NOT_INITIALIZED, order);

    // Whole pages go the bulk way first; a failure there (a busy port included) falls back to
    // the slow packets for the whole length. A cancellation does not: the caller asked the
    // write to stop, and BulkWrite has already cleared the request it would need to see.
    bool fellBack = false;
    if ((capabilities & CapBulk) != 0 && (flags & XferNoBulk) == 0 && length % kBulkPage == 0 &&
        address % kBulkPage == 0) {
        const int32_t bulk = BulkWriteBoth(buffer, length, address, flags, callback);
        if (bulk == VR_S_OK || bulk == VR_E_OPERATION_CANCELED) return frame.Finish(bulk, order);
        platform::SleepMs(kBulkFallbackPauseMs);
        fellBack = true;
    }

    LogMessage(logger, "QXVorrel: Slow writing %i bytes", static_cast<int>(length));
    if (!IsAligned(*this, length, address)) {
        LogMessage(logger, "QXVorrel: Device I/O request address/size alignment error");
        return frame.Finish(VR_E_INVALID_ALIGNMENT, order);
    }
    const bool wide = TraitsOf(hardwareType).wideAddress;
    const bool encrypted = IsTransferEncrypted(*this, flags);
    // The memory spaces this write fills, one pass each. No default space on writes: without
    // a flag no bits are set. A fallback writes what the bulk path would have written, which
    // without a named space is both spaces, 0x20 first.
    uint8_t spaces[2] = {0, 0};
    uint32_t passes = 1;
    if (TraitsOf(hardwareType).twoMemorySpaces) {
        if ((flags & XferSpace1) != 0) {
            spaces[0] = kSpaceBits1;
        } else if ((flags & XferSpace2) != 0) {
            spaces[0] = kSpaceBits2;
        } else if (fellBack && (flags & XferSpace3) == 0) {
            spaces[0] = kSpaceBits2;
            spaces[1] = kSpaceBits1;
            passes = 2;
        }
    }
    // One packet buffer for the whole call: header, up to 256 data bytes, checksum.
    uint8_t packetBuffer[kBlockHeaderMax + kBlockPacketMax + 1] = {};

    frame.progress().Start(passes * (length / kBlockPacketMax));
    if (const int32_t busy = frame.Acquire(); busy != VR_S_OK) return frame.Finish(busy, order);
    frame.Prepare(kDefaultReadTimeoutMs);

    uint32_t commandFlags = flags;
    if (protocolFamily == 1 || TraitsOf(hardwareType).dropsWriteLower)
        commandFlags &= ~XferWriteLower;
    const bool altWrite = (commandFlags & XferAltWrite) != 0;
    const uint8_t command = altWrite ? 'X' : (commandFlags & XferWriteLower) != 0 ? 'w' : 'W';
    const uint32_t replyLength = altWrite ? 2 : 1;
    if (length == 0) return frame.Finish(VR_S_OK, order);

    for (uint32_t pass = 0; pass < passes; ++pass) {
        uint32_t offset = 0;
        uint32_t remaining = length;
        while (remaining != 0) {
            if (frame.Canceled("QXVorrel: WriteBlock - Operation Canceled")) {
                return frame.Finish(VR_E_OPERATION_CANCELED, order);
            }
            const BlockPacket packet = NextPacket(*this, address, offset, remaining);
            if (!wide) {
                if (const int32_t bank = SelectReadWriteBank(*this, packet.address);
                    bank != VR_S_OK) {
                    return frame.Finish(bank, order);
                }
            }

            uint8_t* request = packetBuffer;
            uint32_t n = 0;
            request[n++] = command;
            request[n++] = packet.count;
            const uint32_t run = n;
            if (encrypted) n += PutRandomPair(request + n);
            n += PutAddress(request + n, packet.address, wide, spaces[pass]);
            std::memcpy(request + n, buffer + offset, packet.size);
            const uint16_t sum = altWrite ? DataSum16(request + n, packet.size) : 0;
            n += packet.size;
            n = SealRequest(*this, request, run, n, encrypted, nullptr);

            port->Purge();
            // A short write sent part of a packet: the device would take the next request's
            // bytes as the rest of it.
            if (port->Write(request, n) != n) return frame.Finish(VR_E_COMM_WRITE_FAILURE, order);
            // Every reply byte must arrive: a lone byte of the 'X' sum confirms nothing.
            uint8_t reply[2] = {0, 0};
            if (port->Read(reply, replyLength) != replyLength) {
                return frame.Finish(VR_E_COMM_READ_TIMEOUT, order);
            }
            if (altWrite) {
                // Only the full little-endian sum confirms the packet.
                const uint16_t answered = static_cast<uint16_t>(reply[0] | (reply[1] << 8));
                if (answered != sum) return frame.Finish(VR_E_ALT_WRITE_BAD_CHECKSUM, order);
            } else if (reply[0] != kAccepted) {
                return frame.Finish(VR_E_INVALID_RESPONSE, order);
            }
            frame.progress().PacketDone();

            offset += packet.size;
            remaining -= packet.size;
        }
    }
    return frame.Finish(VR_S_OK, order);
}

int32_t QXVorrel::WriteConfigByte(const uint8_t* buffer, uint32_t address) {
    return WriteBlock(buffer, 1, address, XferSpace2, nullptr);
}

}  // namespace qx
