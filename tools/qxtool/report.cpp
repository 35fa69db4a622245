#include "tools/qxtool/report.h"

#include <cstdio>
#include <cstring>

#include "tools/qxtool/session.h"

namespace qx::tool {
namespace {

constexpr uint32_t kTolliverType = 14;

std::string Firmware(const QXVorrel& device) {
    return std::to_string(device.firmwareMajor) + "." + std::to_string(device.firmwareMinor);
}

std::string Letter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string(1, c);
    return Hex(byte, 2);
}

std::string CapabilityNames(uint32_t capabilities) {
    static const struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {{CapEncryption, "encryption"},
                  {CapBanks, "banks"},
                  {CapBulk, "bulk"},
                  {CapFlashInfo, "flash-info"}};
    std::string names;
    for (const auto& entry : kNames) {
        if ((capabilities & entry.bit) == 0) continue;
        if (!names.empty()) names += ' ';
        names += entry.name;
    }
    return names;
}

std::string InterfaceName(int32_t type) {
    switch (type) {
        case 1:
            return "1 (U)";
        case 2:
            return "2 (B)";
        case 3:
            return "3 (S)";
        default:
            return std::to_string(type) + " (unknown)";
    }
}

std::string Size(uint32_t bytes) {
    return std::to_string(bytes) + " (" + Hex(bytes) + ")";
}

}  // namespace

std::string Hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string HexBytes(const uint8_t* bytes, size_t count, const char* separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i != 0) out += separator;
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string ModelWithoutVersion(const QXVorrel& device) {
    const size_t length = strnlen(device.modelName, kModelNameCapacity);
    std::string name(device.modelName, length);
    const std::string suffix = " v" + Firmware(device);
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    return name;
}

uint32_t LineBaud(const QXVorrel& device) {
    // The port's own setting: after a 19200-baud answer the index still says 115200.
    if (device.port->IsOpen() && device.port->dcb.BaudRate != 0) return device.port->dcb.BaudRate;
    return BaudOfIndex(device.baudIndex);
}

JsonObject DeviceJson(const QXVorrel& device, const std::string& port) {
    JsonObject json;
    json.String("port", port)
        .String("model", ModelWithoutVersion(device))
        .String("name",
                std::string(device.modelName, strnlen(device.modelName, kModelNameCapacity)))
        .String("hardwareId", std::string(1, device.hardwareId))
        .String("firmware", Firmware(device))
        .Number("protocolFamily", int64_t{device.protocolFamily})
        .Number("hardwareType", int64_t{device.hardwareType})
        .Number("interfaceType", int64_t{device.interfaceType})
        .Number("capabilities", int64_t{device.capabilities})
        .Number("memorySize", int64_t{device.memorySize})
        .Number("bankSize", int64_t{device.bankSize})
        .Number("bankCount", int64_t{device.bankCount})
        .Number("activeBankSize", int64_t{device.GetActiveBankSize()})
        .Number("dataWidth", int64_t{device.dataWidth})
        .Number("emulationBank", int64_t{device.emulationBank})
        .Number("readWriteBank", int64_t{device.readWriteBank})
        .Number("baud", int64_t{LineBaud(device)})
        .Bool("encryption", (device.capabilities & CapEncryption) != 0);
    if (device.hardwareType == kTolliverType)
        json.Number("tolliverMode", int64_t{device.tolliverMode});
    return json;
}

std::string DeviceText(const QXVorrel& device, const std::string& port) {
    const std::string capabilities = CapabilityNames(device.capabilities);
    std::string text;
    const auto line = [&text](const char* key, const std::string& value) {
        char head[24];
        std::snprintf(head, sizeof head, "%-17s", key);
        text += head;
        text += value;
        text += '\n';
    };
    line("port", port);
    line("model", std::string(device.modelName, strnlen(device.modelName, kModelNameCapacity)));
    line("hardware ID", Letter(device.hardwareId));
    line("firmware", Firmware(device));
    line("protocol family", std::to_string(device.protocolFamily));
    line("hardware type", std::to_string(device.hardwareType));
    line("interface type", InterfaceName(device.interfaceType));
    line("capabilities",
         Hex(device.capabilities, 4) + (capabilities.empty() ? "" : " (" + capabilities + ")"));
    line("memory size", Size(device.memorySize));
    line("bank size", Size(device.bankSize));
    line("bank count", std::to_string(device.bankCount));
    line("active bank size", Size(device.GetActiveBankSize()));
    line("data width", std::to_string(device.dataWidth) + " bits");
    line("emulation bank", std::to_string(device.emulationBank));
    line("read/write bank", std::to_string(device.readWriteBank));
    if (device.hardwareType == kTolliverType)
        line("tolliver mode", std::to_string(device.tolliverMode));
    line("baud", std::to_string(LineBaud(device)));
    line("encryption", (device.capabilities & CapEncryption) != 0 ? "on" : "off");
    return text;
}

std::string DeviceLine(const QXVorrel& device, const std::string& port) {
    return port + "  " +
           std::string(device.modelName, strnlen(device.modelName, kModelNameCapacity)) +
           " (hardware ID " + Letter(device.hardwareId) + ")";
}

}  // namespace qx::tool
