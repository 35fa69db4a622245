#include "tools/qxtool/ports.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/port_list.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/json.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {

int RunPorts() {
    const std::vector<platform::SerialPortEntry> ports = platform::ListSerialPorts();
    const char* comDir = std::getenv("QX_COM_DIR");
    std::string text;
    JsonArray list;
    for (const auto& port : ports) {
        char line[512];
        std::snprintf(line, sizeof line, "%-8s %-32s %s%s\n", port.name.c_str(), port.path.c_str(),
                      port.source.c_str(), port.present ? "" : " (target missing)");
        text += line;
        JsonObject entry;
        entry.String("name", port.name).String("path", port.path).String("source", port.source);
        if (port.comNumber >= 0) {
            entry.Number("com", port.comNumber);
        } else {
            entry.Null("com");
        }
        entry.Bool("present", port.present);
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
    Console::Get().JsonResult(json.Text());
    return kExitOk;
}

}  // namespace qx::tool
