#include "ui_device_text.h"

#include <cstdio>

#include "device/model_table.h"

namespace tarnwell {

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Capabilities(uint32_t caps) {
    std::string out = Hex32(caps) + " (";
    uint32_t rest = caps;
    bool first = true;
    for (const qx::CapabilityName& bit : qx::NamedCapabilities()) {
        if ((caps & bit.bit) == 0) continue;
        out += (first ? "" : ", ");
        out += bit.name;
        rest &= ~bit.bit;
        first = false;
    }
    if (rest != 0) {
        out += (first ? "model bits " : ", model bits ") + Hex32(rest);
        first = false;
    }
    if (first) out += "none";
    out += "), burning: ";
    out += caps == 1 ? "yes" : "no";
    return out;
}

std::string InterfaceName(int32_t type) {
    const qx::InterfaceKind* kind = qx::FindInterface(type);
    if (kind == nullptr) return "unknown";
    std::string name(1, kind->letter);
    if (*kind->link != '\0') name += std::string(" (") + kind->link + ")";
    return name;
}

bool Connected(const qx::QXVorrel* device) {
    return device != nullptr && device->capabilities != 0 && device->port != nullptr &&
           device->port->IsOpen();
}

std::string IdentificationText(const qx::QXVorrel* device, const std::string& name) {
    if (!Connected(device)) return "No device: the launcher found none.";
    const qx::QXVorrel& d = *device;
    std::string out;
    auto line = [&out](const std::string& text) {
        if (!out.empty()) out += "\r\n";
        out += text;
    };
    line(std::string("Model: ") + d.modelName + " (hardware " + d.hardwareId + ", type " +
         std::to_string(d.hardwareType) + ", family " + std::to_string(d.protocolFamily) + ")");
    line("Name: " + (name.empty() ? std::string("(not named)") : name));
    line("Firmware: " + std::to_string(d.firmwareMajor) + "." + std::to_string(d.firmwareMinor));
    line("Port: COM" + std::to_string(d.portNumber) + " at " +
         std::to_string(qx::BaudOfSpeedIndex(d.baudIndex)) + " baud, interface " +
         InterfaceName(d.interfaceType));
    line("Capabilities: " + Capabilities(d.capabilities));
    line("Memory: " + Hex32(d.memorySize) + " bytes; image " + Hex32(d.GetActiveBankSize()) +
         " bytes");
    line("Banks: " + std::to_string(d.GetBankCount()) + " of " + Hex32(d.bankSize) +
         ", emulating bank " + std::to_string(d.emulationBank));
    line(std::string("Encryption: ") + ((d.capabilities & qx::CapEncryption) != 0 ? "on" : "off"));
    return out;
}

}  // namespace tarnwell
