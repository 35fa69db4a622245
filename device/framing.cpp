// What every exchange shares: the packet checksum, the link cipher, the port lock, the
// large-bin bank, and the frame of the long transfers.
#include <cstdlib>

#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "device/transfer_frame.h"
#include "platform/thread_sync.h"

namespace qx {

const uint8_t kTransferKey[kTransferKeySize] = {0x5A, 0xC3, 0x17, 0x8E, 0x42, 0xB9, 0x6D, 0xF0};

namespace {

// transferKeyLength is a public field: never let it walk the cipher off the key.
uint32_t KeyLength(int32_t length) {
    if (length < 0) return 0;
    return static_cast<uint32_t>(length) > kTransferKeySize ? kTransferKeySize
                                                            : static_cast<uint32_t>(length);
}

}  // namespace

uint8_t PacketChecksum(const uint8_t* bytes, int32_t length) {
    uint8_t sum = 0;
    if (bytes == nullptr) return sum;
    for (int32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

uint8_t SeededChecksum(const uint8_t* bytes, uint32_t length) {
    uint8_t sum = kChainSeed;
    if (bytes == nullptr) return sum;
    for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

int32_t EncryptBuffer(const QXVorrel& device, uint8_t* buffer, uint32_t length, uint8_t* chainOut) {
    if (buffer == nullptr || length == 0) {
        if (chainOut != nullptr) *chainOut = 0;
        return kStatusFail;
    }
    const uint8_t* const transferKey = device.transferKey;
    const uint32_t keyLength = KeyLength(device.transferKeyLength);
    uint8_t chain = SeededChecksum(transferKey, keyLength);
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t v = buffer[i] ^ chain;
        for (uint32_t j = 0; j < keyLength; ++j) {
            v = (j % 2 == 0) ? static_cast<uint8_t>(v + transferKey[j]) : v ^ transferKey[j];
        }
        buffer[i] = v;
        chain = v;
    }
    if (chainOut != nullptr) *chainOut = chain;
    return 0;
}

int32_t DecryptBuffer(const QXVorrel& device, uint8_t chain, uint8_t* buffer, int32_t length) {
    if (buffer == nullptr || length == 0) return kStatusFail;
    const uint8_t* const transferKey = device.transferKey;
    const uint32_t keyLength = KeyLength(device.transferKeyLength);
    uint8_t previous = chain;
    for (int32_t i = 0; i < length; ++i) {
        const uint8_t received = buffer[i];
        uint8_t v = received;
        for (uint32_t j = keyLength; j-- > 0;) {
            v = (j % 2 == 1) ? v ^ transferKey[j] : static_cast<uint8_t>(v - transferKey[j]);
        }
        buffer[i] = v ^ previous;
        previous = received;
    }
    return 0;
}

int32_t AcquirePort(QXVorrel& device) {
    // Without an event (creation failed) exchanges go on unserialised.
    if (device.portLock == nullptr) return VR_S_OK;
    switch (platform::EventWait(device.portLock, kPortLockWaitMs)) {
        case platform::WaitResult::Signalled:
            device.portFree.store(0);
            return VR_S_OK;
        case platform::WaitResult::TimedOut:
            return VR_E_PORT_BUSY;
        case platform::WaitResult::Failed:
            break;
    }
    return VR_S_OK;
}

int32_t ReleasePort(QXVorrel& device) {
    device.portFree.store(1);
    if (device.portLock != nullptr) platform::EventSet(device.portLock);
    return VR_S_OK;
}

int32_t QXVorrel::GetLargeBinBank() const {
    return TraitsOf(hardwareType).largeBinBank;
}

bool IsTransferEncrypted(const QXVorrel& device, uint32_t flags) {
    return (device.capabilities & CapEncryption) != 0 && (flags & XferPlain) == 0;
}

bool QXVorrel::InLargeBinMode() const {
    const int32_t bank = GetLargeBinBank();
    return bank >= 0 && emulationBank == static_cast<uint32_t>(bank);
}

// --- transfer frame

TransferProgressReporter::TransferProgressReporter(TransferCallback callback)
    : callback_(callback), record_{sizeof(TransferProgress), 0, 0, 0, 0, 0} {}

void TransferProgressReporter::Report() {
    if (callback_ != nullptr) callback_(&record_);
}

void TransferProgressReporter::Start(uint32_t total) {
    record_.total = total;
    record_.done = 0;
    record_.state = kProgressStarted;
    Report();
}

void TransferProgressReporter::PacketDone() {
    ++record_.done;
    record_.state = kProgressPacket;
    Report();
}

void TransferProgressReporter::Finished() {
    record_.state = kProgressFinished;
    Report();
}

TransferFrame::TransferFrame(QXVorrel& device, TransferCallback callback)
    : device_(device), progress_(callback) {}

int32_t TransferFrame::Acquire() {
    const int32_t result = AcquirePort(device_);
    lockTaken_ = result == VR_S_OK;
    return result;
}

void TransferFrame::Prepare(uint32_t readTimeoutMs) {
    device_.port->SetReadTimeout(readTimeoutMs);
    device_.port->Purge();
}

bool TransferFrame::Canceled(const char* message) {
    if (device_.cancelRequested.load() == 0) return false;
    LogMessage(device_.logger, "%s", message);
    return true;
}

int32_t TransferFrame::Finish(int32_t result, FinishOrder order) {
    if (order == FinishOrder::ReportThenRestore) progress_.Finished();
    if (lockTaken_) {
        device_.port->SetReadTimeout(kDefaultReadTimeoutMs);
    } else {
        RestoreReadTimeoutWhenIdle(device_);
    }
    if (order == FinishOrder::RestoreThenReport) progress_.Finished();
    // Only the holder clears it, and while it still holds the lock: a transfer waiting for the
    // lock must not start with the cancellation meant for this one, and a call that never held
    // it (busy, refused) must not wipe the cancellation meant for the transfer that does.
    if (lockTaken_) {
        device_.cancelRequested.store(0);
        ReleasePort(device_);
    }
    lockTaken_ = false;
    return result;
}

void RestoreReadTimeoutWhenIdle(QXVorrel& device) {
    if (device.portLock == nullptr) {
        device.port->SetReadTimeout(kDefaultReadTimeoutMs);
        return;
    }
    // Taken for the moment of the change only, without waiting and without portFree: a
    // holder's exchange must not see its time-out change under it.
    if (platform::EventWait(device.portLock, 0) != platform::WaitResult::Signalled) return;
    device.port->SetReadTimeout(kDefaultReadTimeoutMs);
    platform::EventSet(device.portLock);
}

uint32_t PutRandomPair(uint8_t* at) {
    at[0] = static_cast<uint8_t>(std::rand() & 0xFF);
    at[1] = static_cast<uint8_t>(std::rand() & 0xFF);
    return kRandomPairSize;
}

uint32_t SealRequest(QXVorrel& device, uint8_t* request, uint32_t runStart, uint32_t length,
                     bool encrypt, uint8_t* chainOut) {
    uint8_t chain = 0;
    if (encrypt && length > runStart) {
        EncryptBuffer(device, request + runStart, length - runStart, &chain);
    }
    if (chainOut != nullptr) *chainOut = chain;
    request[length] = PacketChecksum(request, static_cast<int32_t>(length));
    return length + 1;
}

}  // namespace qx
