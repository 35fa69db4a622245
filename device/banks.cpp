// Bank requests ("B", and "8" for a set on the Brannock) and the per-model routes to them.
#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"

namespace qx {
namespace {

constexpr uint32_t kLabelCapacity = 50;
constexpr uint8_t kRefused = 0x3F;   // '?'
constexpr uint8_t kAccepted = 0x4F;  // 'O'
constexpr uint32_t kMaxBankByte = 0xFF;

}  // namespace

int32_t QXVorrel::GetBank(uint8_t* out, int32_t readWrite, int32_t, int32_t) {
    if ((capabilities & CapBanks) == 0 || !TraitsOf(hardwareType).answersBankGet) {
        return VR_E_REQUEST_NOT_SUPPORTED;
    }
    const uint8_t which = readWrite != 0 ? 'R' : 'E';
    char label[kLabelCapacity];
    BoundedFormat(label, sizeof(label), "%s", readWrite != 0 ? "R/W" : "Active Emulation");
    uint8_t request[4] = {'B', which, which, 0};
    request[3] = PacketChecksum(request, 3);
    if (AcquirePort(*this) == VR_E_PORT_BUSY) return VR_E_PORT_BUSY;

    port->Purge();
    // A request that did not go out shows up as the missing reply.
    (void)port->Write(request, sizeof(request));
    uint8_t reply = 0;
    int32_t result = VR_S_OK;
    if (port->Read(&reply, 1) != 1 || reply == kRefused) {
        LogMessage(logger, "QXVorrel: Get %s Bank Failed!", label);
        result = VR_E_INVALID_RESPONSE;
    } else {
        LogMessage(logger, "QXVorrel: Get %s Bank Succeeded: Bank %i", label, reply);
        if (out != nullptr) *out = reply;
        if (readWrite != 0) {
            readWriteBank = reply;
        } else {
            emulationBank = reply;
        }
    }
    ReleasePort(*this);
    return result;
}

int32_t QXVorrel::SetBank(uint32_t bank, int32_t readWrite, int32_t persistent, int32_t lockHeld) {
    if ((capabilities & CapBanks) == 0) return VR_E_REQUEST_NOT_SUPPORTED;
    const ModelTraits& traits = TraitsOf(hardwareType);
    const uint8_t command = traits.bankSetCommand;
    uint8_t which = 0;
    const char* name = nullptr;
    if (readWrite != 0) {
        // A bank equal to the count passes: large-bin models reach their whole memory there.
        if (bank > GetBankCount()) return VR_E_INVALID_REQUEST_PARAM;
        which = 'R';
        name = "R/W";
    } else {
        // Only a byte goes on the wire: a larger number would select a different bank.
        if (bank > kMaxBankByte) return VR_E_INVALID_REQUEST_PARAM;
        if (traits.alwaysPersistent) persistent = 1;
        which = persistent != 0 ? 'S' : 'E';
        name = persistent != 0 ? "Persistent Emulation" : "Non-persistent Emulation";
    }
    char label[kLabelCapacity];
    BoundedFormat(label, sizeof(label), "%s", name);
    uint8_t request[4] = {command, which, static_cast<uint8_t>(bank & 0xFF), 0};
    request[3] = PacketChecksum(request, 3);

    // Bit 0 set: the caller (a transfer) already holds the lock; never touch it then.
    const bool takeLock = (lockHeld & 1) == 0;
    if (takeLock && AcquirePort(*this) == VR_E_PORT_BUSY) return VR_E_PORT_BUSY;

    port->Purge();
    // A request that did not go out shows up as the missing reply.
    (void)port->Write(request, sizeof(request));
    uint8_t reply = 0;
    int32_t result = VR_S_OK;
    if (port->Read(&reply, 1) != 1 || reply != kAccepted) {
        LogMessage(logger, "QXVorrel: Set %s Bank Failed!", label);
        result = VR_E_INVALID_RESPONSE;
    } else {
        LogMessage(logger, "QXVorrel: Set %s Bank Succeeded: Bank %i", label,
                   static_cast<int32_t>(bank));
        if (readWrite != 0) {
            readWriteBank = static_cast<uint8_t>(bank & 0xFF);
        } else {
            emulationBank = static_cast<uint8_t>(bank & 0xFF);
        }
    }
    if (takeLock) ReleasePort(*this);
    return result;
}

int32_t QXVorrel::QueryBank(uint8_t* out, int32_t readWrite, int32_t, int32_t) {
    if ((capabilities & CapBanks) == 0) return VR_E_REQUEST_NOT_SUPPORTED;
    // The Tolliver's one bank byte answers for both banks.
    if (TraitsOf(hardwareType).configBank) return GetTolliverBank(out);
    return GetBank(out, readWrite);
}

int32_t QXVorrel::SetReadWriteBank(int32_t bank, int32_t, int32_t, int32_t) {
    if ((capabilities & CapBanks) == 0) return VR_E_REQUEST_NOT_SUPPORTED;
    if (TraitsOf(hardwareType).configBank) return SetTolliverBank(static_cast<uint32_t>(bank));
    // Called from inside a transfer that holds the port lock.
    return SetBank(static_cast<uint32_t>(bank), 1, 0, 1);
}

}  // namespace qx
