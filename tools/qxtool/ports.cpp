#include "tools/qxtool/ports.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/port_list.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

JsonObject& TextOrNull(JsonObject& json, const char* key, const std::string& value) {
    return value.empty() ? json.Null(key) : json.String(key, value);
}

// "USB 0403:6001 FTDI FT232R USB UART, serial A1B2C3, interface 0, at USB port 1-2".
std::string UsbLine(const platform::UsbIdentity& usb) {
    std::string line = "USB " + Hex4(usb.vendorId) + ":" + Hex4(usb.productId);
    if (!usb.manufacturer.empty()) line += " " + usb.manufacturer;
    if (!usb.product.empty()) line += " " + usb.product;
    if (!usb.serialNumber.empty()) line += ", serial " + usb.serialNumber;
    if (usb.interfaceNumber >= 0) line += ", interface " + std::to_string(usb.interfaceNumber);
    if (!usb.location.empty()) line += ", at USB port " + usb.location;
    return line;
}

JsonObject UsbJson(const platform::UsbIdentity& usb) {
    JsonObject json;
    json.String("vendorId", Hex4(usb.vendorId)).String("productId", Hex4(usb.productId));
    TextOrNull(json, "manufacturer", usb.manufacturer);
    TextOrNull(json, "product", usb.product);
    TextOrNull(json, "serialNumber", usb.serialNumber);
    if (usb.interfaceNumber >= 0) {
        json.Number("interface", usb.interfaceNumber);
    } else {
        json.Null("interface");
    }
    TextOrNull(json, "location", usb.location);
    return json;
}

}  // namespace

std::string UnusableComPorts() {
    constexpr size_t kShown = 8;
    platform::PortListOptions options;
    options.tryOpen = true;
    std::string text;
    size_t unusable = 0;
    for (const std::string& warning : platform::ComMapWarnings()) text += "\n  " + warning;
    for (const auto& port : platform::ListSerialPorts(options)) {
        if (port.comNumber < 0 || !port.open || port.open->problem == platform::PortProblem::None)
            continue;
        if (++unusable <= kShown)
            text += "\n  " + port.name + " (" + port.path +
                    "): " + platform::DescribePortFailure(*port.open);
    }
    if (unusable > kShown)
        text += "\n  and " + std::to_string(unusable - kShown) +
                " more ports that cannot be opened ('qxtool ports' lists them)";
    return text;
}

int RunPorts() {
    platform::PortListOptions options;
    options.identify = true;
    options.tryOpen = true;
    const std::vector<platform::SerialPortEntry> ports = platform::ListSerialPorts(options);
    const std::vector<std::string> warnings = platform::ComMapWarnings();
    for (const std::string& warning : warnings) Console::Get().Note("qxtool: warning: " + warning);

    const char* comDir = std::getenv("QX_COM_DIR");
    constexpr const char* kIndent = "         ";
    std::string text;
    JsonArray list;
    for (const auto& port : ports) {
        std::string state;
        if (!port.present) {
            state = " (target missing)";
        } else if (port.open) {
            state = ", " + platform::DescribePortFailure(*port.open);
        }
        char line[512];
        std::snprintf(line, sizeof line, "%-8s %-32s %s%s\n", port.name.c_str(), port.path.c_str(),
                      port.source.c_str(), state.c_str());
        text += line;
        if (!port.description.empty()) text += kIndent + port.description + "\n";
        if (port.usb) text += kIndent + UsbLine(*port.usb) + "\n";
        if (!port.hardwareId.empty()) text += kIndent + ("hardware id " + port.hardwareId) + "\n";
        for (const auto& name : port.stableNames) text += kIndent + ("stable name " + name) + "\n";

        JsonObject entry;
        entry.String("name", port.name).String("path", port.path).String("source", port.source);
        if (port.comNumber >= 0) {
            entry.Number("com", port.comNumber);
        } else {
            entry.Null("com");
        }
        entry.Bool("present", port.present);
        if (port.open) {
            const bool opens = port.open->problem == platform::PortProblem::None;
            entry.Bool("opens", opens);
            if (opens) {
                entry.Null("problem").Null("reason");
            } else {
                entry.String("problem", platform::PortProblemKey(port.open->problem))
                    .String("reason", platform::DescribePortFailure(*port.open));
            }
        } else {
            entry.Null("opens").Null("problem").Null("reason");
        }
        if (port.usb) {
            entry.Object("usb", UsbJson(*port.usb));
        } else {
            entry.Null("usb");
        }
        TextOrNull(entry, "description", port.description);
        TextOrNull(entry, "hardwareId", port.hardwareId);
        JsonArray stable;
        for (const auto& name : port.stableNames) stable.String(name);
        entry.Array("stableNames", stable);
        list.Object(entry);
    }
    if (ports.empty()) text = "no serial ports found\n";
    Console::Get().Result(text);
    JsonObject json;
    json.Array("ports", list);
    if (comDir != nullptr && *comDir != '\0') {
        json.String("comDir", comDir);
    } else {
        json.Null("comDir");
    }
    JsonArray warningList;
    for (const std::string& warning : warnings) warningList.String(warning);
    json.Array("warnings", warningList);
    Console::Get().JsonResult(json.Text());
    return kExitOk;
}

}  // namespace qx::tool
