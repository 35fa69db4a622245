// The serial ports of this machine: their COM names, what they open, who made the adapter
// behind them, and whether they can be opened now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/port_failure.h"

namespace qx::platform {

// What a USB adapter says of itself. Empty texts: the device or the system does not tell.
struct UsbIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    int interfaceNumber = -1;  // which port of a multi-port adapter; -1: not known
    std::string location;      // Linux: the USB port path ("1-2.3"), which tells apart two
                               // adapters of one make without serial numbers
};

struct SerialPortEntry {
    int comNumber = -1;   // -1: a serial device that no COM name reaches
    std::string name;     // "COM3", or the device path for unmapped devices
    std::string path;     // what the name opens ("\\.\COM3" on Windows, a tty path on POSIX)
    bool present = true;  // false: a COM link whose target does not exist
    std::string source;   // where the entry comes from: "QX_COM_DIR", "built-in map", "registry",
                          // "DOS device", "open", "device node"

    // Filled when asked for (PortListOptions::identify).
    std::optional<UsbIdentity> usb;
    std::string description;               // Windows: the device's friendly name
    std::string hardwareId;                // Windows: its first hardware id
    std::vector<std::string> stableNames;  // Linux: /dev/serial/by-id links to the device

    // Filled when asked for (PortListOptions::tryOpen): TryPort's answer.
    std::optional<PortFailure> open;
};

struct PortListOptions {
    bool identify = false;  // USB identity, friendly names, stable names
    bool tryOpen = false;   // open and close every present port once
};

// The serial ports of this machine, COM names first in number order. On POSIX: COM0..COM255
// as ResolveComName maps them (entries of $QX_COM_DIR, or the built-in map when it is unset),
// then tty device nodes of USB, ACM and Bluetooth adapters that no COM name reaches; the
// identity comes from sysfs ($QX_SYSFS_ROOT, default /sys) and the stable names from
// $QX_DEV_ROOT/serial/by-id (default /dev; both moved only by tests). On Windows: the ports
// in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and the COMn DOS device names, and of the other
// numbers of COM1..COM255 those that open; the identity from SetupAPI (the COM port
// interface and the Ports class), which may know none of them (Wine).
std::vector<SerialPortEntry> ListSerialPorts(const PortListOptions& options = {});

// What keeps the COM-name map from reaching any port, in words: on POSIX, QX_COM_DIR naming
// a folder that does not exist. Empty when nothing is wrong.
std::vector<std::string> ComMapWarnings();

}  // namespace qx::platform
