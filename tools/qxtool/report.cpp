#include "tools/qxtool/report.h"

#include <cstdio>
#include <cstring>

#include "device/model_table.h"
#include "tools/qxtool/session.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

// Device addresses reach 24 bits on every model: one width for all of them.
constexpr int kAddressDigits = 6;

std::string Firmware(const QXVorrel& device) {
    return std::to_string(device.firmwareMajor) + "." + std::to_string(device.firmwareMinor);
}

std::string Letter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string(1, c);
    return Hex(byte, 2);
}

}  // namespace

std::string CapabilityNames(uint32_t capabilities) {
    std::string names;
    for (const CapabilityName& entry : NamedCapabilities()) {
        if ((capabilities & entry.bit) == 0) continue;
        if (!names.empty()) names += ' ';
        names += entry.name;
    }
    return names;
}

namespace {

std::string InterfaceName(int32_t type) {
    const InterfaceKind* kind = FindInterface(type);
    return std::to_string(type) + " (" +
           (kind != nullptr ? std::string(1, kind->letter) : "unknown") + ")";
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

std::string Address(uint64_t address) {
    return Hex(address, kAddressDigits);
}

std::string Range(uint64_t address, uint64_t length) {
    return Address(address) + "-" + Address(address + length - 1);
}

std::string Plural(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Bytes(uint64_t count) {
    return Plural(count, "byte", "bytes");
}

std::vector<std::string> IdentificationGaps(const QXVorrel& device, int32_t identifyResult) {
    std::vector<std::string> gaps;
    const ModelRow* row = FindModelRow(device.hardwareId, device.firmwareMajor);
    const bool unknownInterface = device.protocolFamily == 1 && device.interfaceType == 0;
    // A Kelby whose information record could not be read keeps no name and assumes the rest.
    if (row != nullptr && row->step == ModelStep::KelbyVariant &&
        device.hardwareType == row->type && ModelWithoutVersion(device).empty()) {
        const uint8_t version[2] = {device.firmwareMajor, device.firmwareMinor};
        const uint32_t lost = ModelCapabilities(*row, version) & ~device.capabilities;
        std::string text =
            "the EEPROM information record could not be read: the model (Kelby or Kelby II)" +
            std::string(unknownInterface ? " and its interface are" : " is") +
            " unknown; the bank geometry is assumed (" + std::to_string(device.bankCount) +
            " banks of " + Hex(device.bankSize) + " bytes)";
        if (lost & CapBulk) text += "; no bulk transfers (block transfers only, much slower)";
        if (lost & CapEncryption)
            text += "; the link cipher's state was not asked for (requests go unencrypted)";
        gaps.push_back(text);
    } else if (unknownInterface) {
        gaps.push_back(
            "the interface type could not be read from the EEPROM information record: the "
            "launcher will not raise the link to 921600 baud for it");
    }
    if (identifyResult < 0)
        gaps.push_back("identification stopped early with " + DescribeResult(identifyResult) +
                       ": the banks, the flash information and the link cipher's state may "
                       "not have been read");
    return gaps;
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
    return BaudOfSpeedIndex(device.baudIndex);
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
    if (TraitsOf(device.hardwareType).configBank)
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
    if (TraitsOf(device.hardwareType).configBank)
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
