// SetUSBBaud: the device agrees to a new link speed at the old one, then the PC follows.
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "device/transfer_frame.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

constexpr uint32_t kFastestBaud = 921600;
constexpr uint8_t kSpeedCommand = 0x53;  // 'S'
constexpr uint8_t kAccepted = 0x4F;      // 'O'
constexpr uint32_t kSettleAfterChangeMs = 10;

constexpr uint32_t kSupportedIndices[] = {kSpeed921600, kSpeed460800, kSpeed230400, kSpeed115200};

bool IsSupportedIndex(uint32_t index) {
    for (const uint32_t supported : kSupportedIndices) {
        if (index == supported) return true;
    }
    return false;
}

}  // namespace

uint32_t BaudOfSpeedIndex(int32_t index) {
    if (index < 0) return 0;
    return kFastestBaud / (static_cast<uint32_t>(index) + 1);
}

std::optional<uint32_t> SpeedIndexOfBaud(uint32_t baud) {
    for (const uint32_t index : kSupportedIndices) {
        if (BaudOfSpeedIndex(static_cast<int32_t>(index)) == baud) return index;
    }
    return std::nullopt;
}

int32_t QXVorrel::SetUSBBaud(uint32_t speedIndex, int32_t force) {
    const char* const forceText = force != 0 ? "TRUE" : "FALSE";
    int32_t baud = static_cast<int32_t>(BaudOfSpeedIndex(baudIndex));
    int32_t result = VR_S_OK;
    bool lockTaken = false;

    if (protocolFamily != 1 && force == 0) {
        result = VR_E_REQUEST_NOT_SUPPORTED;
    } else if (!IsSupportedIndex(speedIndex)) {
        result = VR_E_INVALID_FUNC_PARAM;
    } else if (port->SpeedIsFixed()) {
        // A tcp:// port: the device would move to a speed this side can never follow.
        result = VR_E_REQUEST_NOT_SUPPORTED;
    } else {
        baud = static_cast<int32_t>(BaudOfSpeedIndex(static_cast<int32_t>(speedIndex)));
        if (capabilities == 0) {
            // Nothing identified yet: a forced change moves only the PC's side (the scan
            // tries the fastest speed this way).
            if (force != 0) {
                baudIndex = static_cast<int32_t>(speedIndex);
                // A line that cannot take the speed shows up as the next request unanswered.
                (void)port->SetBaud(static_cast<uint32_t>(baud));
            }
        } else if ((result = AcquirePort(*this)) == VR_S_OK) {
            lockTaken = true;
            port->SetReadTimeout(kDefaultReadTimeoutMs);
            port->Purge();
            uint8_t request[3] = {kSpeedCommand, static_cast<uint8_t>(speedIndex), 0};
            request[2] = PacketChecksum(request, 2);
            uint8_t reply = 0;
            if (port->Write(request, sizeof(request)) != sizeof(request)) {
                result = VR_E_COMM_WRITE_FAILURE;
            } else if (port->Read(&reply, 1) != 1) {
                result = VR_E_COMM_READ_FAILURE;
            } else if (reply == kAccepted) {
                // The device answered at the old speed; only now does the PC switch. A line
                // that cannot follow shows up as the next request unanswered.
                baudIndex = static_cast<int32_t>(speedIndex);
                (void)port->SetBaud(static_cast<uint32_t>(baud));
            } else if (force == 0) {
                result = VR_E_GENERAL_ERROR;
            }
        }
    }

    if (lockTaken) {
        port->SetReadTimeout(kDefaultReadTimeoutMs);
    } else {
        RestoreReadTimeoutWhenIdle(*this);
    }
    if (result == VR_E_PORT_BUSY) {
        LogMessage(logger, "QXVorrel: SetUSBBaud to %i, Force = %s FAILED with %s", baud, forceText,
                   "VR_E_PORT_BUSY");
        return result;
    }
    if (lockTaken) ReleasePort(*this);
    if (result >= 0) {
        LogMessage(logger, "QXVorrel: SetUSBBaud to %i, Force = %s SUCCEEDED", baud, forceText);
        platform::SleepMs(kSettleAfterChangeMs);
        return result;
    }
    LogMessage(logger, "QXVorrel: SetUSBBaud to %i, Force = %s FAILED with %s", baud, forceText,
               ResultCodeName(result));
    return result;
}

}  // namespace qx
