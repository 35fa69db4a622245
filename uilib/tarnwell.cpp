// The stand-in user-interface library. It takes the launcher's six arguments, shows a window
// for the device (Windows) or reports what it was handed, works with the device through the
// library's operations, keeps its own data in the settings block, and runs the script named
// by QX_UI_SCRIPT (see README.md).
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "device/qx_vorrel.h"
#include "launcher/ui_procedure.h"
#include "ui_device_text.h"
#include "ui_settings.h"
#include "ui_window.h"

extern "C" QX_UI_EXPORT int32_t QX_UI_CDECL UIProcedure(int32_t reserved1, uint8_t* settings,
                                                        qx::QXVorrel* device, const char* title,
                                                        int32_t reserved2, int32_t reserved3);

static_assert(std::is_same_v<decltype(&UIProcedure), qx::UIProcedureFn>,
              "the entry must keep the launcher's signature");
static_assert(tarnwell::kBlockSize == qx::kSettingsBlockSize);

namespace tarnwell {
namespace {

constexpr uint32_t kSampleLength = 256;
constexpr uint32_t kMaxReadLength = 16u << 20;

struct Call {
    int32_t reserved1;
    uint8_t* settings;
    qx::QXVorrel* device;
    const char* title;
    int32_t reserved2;
    int32_t reserved3;
    BlockState state;
    Header header;
};

bool Connected(const Call& call) {
    return tarnwell::Connected(call.device);
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string out;
    char pair[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += pair;
    }
    return out;
}

// The first bytes of the emulated image, read through the library.
std::string ImageSample(qx::QXVorrel& device) {
    std::vector<uint8_t> bytes(kSampleLength);
    const int32_t rc = device.ReadBlock(bytes.data(), kSampleLength, 0, 0, nullptr);
    std::string out =
        "ReadBlock 0x0 " + std::to_string(kSampleLength) + " " + qx::ResultCodeName(rc);
    if (rc == qx::VR_S_OK) {
        uint32_t sum = 0;
        for (uint8_t b : bytes) sum += b;
        out += ", sum " + std::to_string(sum) + ", first " + HexBytes(bytes.data(), 16);
    }
    return out;
}

std::string Report(const Call& call) {
    std::ostringstream out;
    out << "Tarnwell stand-in\n";
    out << "title: " << (call.title != nullptr ? call.title : "(none)") << "\n";
    out << "arguments: " << call.reserved1 << " " << call.reserved2 << " " << call.reserved3
        << "\n";
    if (!Connected(call)) {
        out << "device: none\n";
    } else {
        qx::QXVorrel& d = *call.device;
        const uint32_t baud = qx::BaudOfSpeedIndex(d.baudIndex);
        out << "device: " << d.modelName << "\n";
        out << "hardware: " << d.hardwareId << ", type " << d.hardwareType << ", family "
            << d.protocolFamily << "\n";
        out << "firmware: " << static_cast<int>(d.firmwareMajor) << "."
            << static_cast<int>(d.firmwareMinor) << "\n";
        out << "interface: " << InterfaceName(d.interfaceType) << "\n";
        out << "port: COM" << static_cast<int>(d.portNumber) << "\n";
        out << "baud: " << baud << "\n";
        out << "capabilities: " << Capabilities(d.capabilities) << "\n";
        out << "memory: " << Hex32(d.memorySize) << " bytes, " << d.bankCount << " bank(s) of "
            << Hex32(d.bankSize) << "\n";
        out << "image: " << ImageSample(d) << "\n";
    }
    out << "settings: " << BlockStateName(call.state) << ", layout " << call.header.version
        << ", run " << call.header.runCount << "\n";
    return out.str();
}

// "-" is standard output.
bool WriteText(const std::string& path, const std::string& text) {
    if (path == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return true;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool WriteBytes(const std::string& path, const uint8_t* bytes, size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    return static_cast<bool>(out);
}

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > UINT32_MAX || text[0] == '-') return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        char* end = nullptr;
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

void Say(const std::string& line) {
    std::printf("Tarnwell: %s\n", line.c_str());
    std::fflush(stdout);
}

// One script line; false stops the script.
bool RunAction(Call& call, const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    const size_t argc = words.size() - 1;
    auto wrongArguments = [&](const char* usage) {
        Say("script: " + verb + " takes " + usage);
        return false;
    };

    if (verb == "report") {
        if (argc != 1) return wrongArguments("FILE");
        if (!WriteText(words[1], Report(call))) Say("cannot write " + words[1]);
        return true;
    }
    if (verb == "read" || verb == "bulk-read") {
        uint32_t address = 0, length = 0;
        if (argc != 3 || !ParseNumber(words[1], address) || !ParseNumber(words[2], length) ||
            length > kMaxReadLength)
            return wrongArguments("ADDRESS LENGTH FILE");
        std::vector<uint8_t> bytes(length);
        int32_t rc = qx::VR_E_PORT_NOT_INITIALIZED;
        if (call.device != nullptr) {
            rc = verb == "read" ? call.device->ReadBlock(bytes.data(), length, address, 0, nullptr)
                                : call.device->BulkRead(bytes.data(), length, address, 0, nullptr);
        }
        Say(verb + " " + Hex32(address) + " " + std::to_string(length) + ": " +
            qx::ResultCodeName(rc));
        // Only a complete read leaves a file behind.
        if (rc == qx::VR_S_OK && !WriteBytes(words[3], bytes.data(), bytes.size()))
            Say("cannot write " + words[3]);
        return true;
    }
    if (verb == "set-settings") {
        uint32_t offset = 0;
        std::vector<uint8_t> bytes;
        if (argc != 2 || !ParseNumber(words[1], offset) || !ParseHex(words[2], bytes))
            return wrongArguments("OFFSET HEXBYTES");
        if (call.state == BlockState::Newer) {
            Say("set-settings: the block has a newer layout; not changed");
        } else if (!SetPayload(call.settings, offset, bytes.data(),
                               static_cast<uint32_t>(bytes.size()))) {
            Say("set-settings: bytes " + std::to_string(offset) + ".." +
                std::to_string(offset + bytes.size()) + " are outside the payload (" +
                std::to_string(kHeaderSize) + ".." + std::to_string(kBlockSize) + ")");
        }
        return true;
    }
    if (verb == "save-settings") {
        if (argc != 1) return wrongArguments("FILE");
        if (!WriteBytes(words[1], call.settings, kBlockSize)) Say("cannot write " + words[1]);
        return true;
    }
    if (verb == "stat") {
        if (argc != 2) return wrongArguments("PATH FILE");
        std::ifstream probe(words[1], std::ios::binary | std::ios::ate);
        const long long size = probe ? static_cast<long long>(probe.tellg()) : -1;
        if (!WriteText(words[2], std::to_string(size) + "\n")) Say("cannot write " + words[2]);
        return true;
    }
    if (verb == "sleep") {
        uint32_t ms = 0;
        if (argc != 1 || !ParseNumber(words[1], ms)) return wrongArguments("MILLISECONDS");
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    }
    if (verb == "wait-for") {
        uint32_t ms = 0;
        if (argc != 2 || !ParseNumber(words[2], ms)) return wrongArguments("FILE MILLISECONDS");
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!std::ifstream(words[1]) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    }
    Say("script: unknown action \"" + verb + "\"");
    return false;
}

void RunScript(Call& call, const char* path) {
    std::ifstream in(path);
    if (!in) {
        Say(std::string("cannot read script ") + path);
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string w; words >> w;) parts.push_back(w);
        if (parts.empty() || parts[0][0] == '#') continue;
        if (!RunAction(call, parts)) return;
    }
}

}  // namespace
}  // namespace tarnwell

extern "C" int32_t QX_UI_CDECL UIProcedure(int32_t reserved1, uint8_t* settings,
                                           qx::QXVorrel* device, const char* title,
                                           int32_t reserved2, int32_t reserved3) {
    using namespace tarnwell;
    if (settings == nullptr) return 0;
    Call call{reserved1, settings, device, title, reserved2, reserved3, BlockState::Fresh, {}};
    const bool connected = Connected(call);
    call.state = BeginRun(settings, connected ? device->hardwareId : 0,
                          connected ? device->firmwareMajor : 0,
                          connected ? device->firmwareMinor : 0, &call.header);

    // A script runs as it always has. An empty QX_UI_SCRIPT asks for the console report (the
    // non-interactive runs); unset, the window is shown where one can be.
    const char* script = std::getenv("QX_UI_SCRIPT");
    if (script != nullptr && *script != '\0') {
        RunScript(call, script);
    } else if (script != nullptr || !RunWindow(WindowCall{settings, device, title, call.state})) {
        WriteText("-", Report(call));
    }
    return 0;
}
