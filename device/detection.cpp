// Detection: probing COM ports for a device at three line speeds, and the port scan.
#include <algorithm>

#include "base/bounded_text.h"
#include "device/qx_vorrel.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

constexpr uint32_t kPortPathCapacity = 50;
constexpr uint32_t kSettleMs = 60;
// Last resort for devices that never learned the faster rates.
constexpr uint32_t kFallbackBaud = 19200;
constexpr int kScanAttempts = 254;
constexpr int32_t kLastPortBeforeWrap = 255;
// COM0 and COM1 are not revisited after the wrap.
constexpr int32_t kFirstPortAfterWrap = 2;

// Tries the version-ID request at 115200, then 921600, then 19200 baud.
bool AskVersionAtAnySpeed(QXVorrel& device) {
    if (device.GetFirmwareVersion(nullptr) == VR_S_OK) return true;
    // Nothing is identified yet, so this only moves the PC's side of the line.
    if (device.SetUSBBaud(kSpeed921600, 1) == VR_S_OK &&
        device.GetFirmwareVersion(nullptr) == VR_S_OK)
        return true;
    // A refusal changes nothing: the line is set to 19200 next either way.
    (void)device.SetUSBBaud(kSpeed115200, 1);
    // baudIndex stays at 115200's index: the device never agreed to a speed change.
    if (!device.port->SetBaud(kFallbackBaud)) return false;
    return device.GetFirmwareVersion(nullptr) == VR_S_OK;
}

// Probes one port. Found: the device is identified (capabilities may still be 0) and the
// port left open. Not found: the port may still be open; the caller closes it.
bool ProbePort(QXVorrel& device, int32_t number, char* text, uint32_t textCapacity,
               uint8_t* versionOut, uint32_t options, bool settle) {
    char path[kPortPathCapacity];
    BoundedFormat(path, sizeof path, "\\\\.\\COM%i", number);

    device.ClosePort();
    if (device.port->IsOpen()) device.port->Close();

    bool found = false;
    if (!device.port->Open(path) || !device.PreparePort()) {
        device.port->Close();
    } else {
        device.portNumber = static_cast<uint8_t>(number);
        if (settle) platform::SleepMs(kSettleMs);
        found = AskVersionAtAnySpeed(device);
    }

    const bool wantText = text != nullptr && textCapacity != 0;
    const uint32_t capacity = std::min(textCapacity, kModelNameCapacity);
    if (!found) {
        if (wantText) BoundedCopy(text, capacity, "");
        device.firmwareMajor = 0;
        device.firmwareMinor = 0;
        device.hardwareId = 0;
        if (versionOut != nullptr) std::fill_n(versionOut, 3, uint8_t{0});
        return false;
    }

    if ((options & kScanFromComZero) == 0) {
        device.lastPortNumber = number;
        device.lastBaudIndex = device.baudIndex;
    }
    if (versionOut != nullptr) {
        versionOut[0] = device.firmwareMajor;
        versionOut[1] = device.firmwareMinor;
        versionOut[2] = static_cast<uint8_t>(device.hardwareId);
    }
    // Its result does not matter here: whatever capabilities it left decide.
    (void)device.Identify();
    if (wantText) BoundedCopy(text, capacity, device.modelName);
    return true;
}

}  // namespace

int32_t QXVorrel::FindDevice(char* text, uint32_t textCapacity, uint8_t* versionOut,
                             uint32_t options) {
    int32_t number = (options & kScanFromComZero) != 0 ? 0 : lastPortNumber;
    for (int attempt = 0; attempt < kScanAttempts; ++attempt) {
        if (ProbePort(*this, number, text, textCapacity, versionOut, options, true)) {
            // A device answered; one that is not identified stops the scan all the same.
            if (capabilities == 0) ClosePort();
            return 1;
        }
        ClosePort();
        number = number >= kLastPortBeforeWrap ? kFirstPortAfterWrap : number + 1;
    }
    return 0;
}

int32_t QXVorrel::OpenDeviceOnPort(uint32_t portNumber, char* text, uint32_t textCapacity,
                                   uint8_t* versionOut, uint32_t options) {
    const bool settle = (options & kScanSettleDelay) != 0;
    if (ProbePort(*this, static_cast<int32_t>(portNumber), text, textCapacity, versionOut, options,
                  settle)) {
        if (capabilities == 0) ClosePort();
        return 1;
    }
    ClosePort();
    return 0;
}

}  // namespace qx
