#include "remote_sim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace qxtest {
namespace {

// Generous: the control thread polls every 250 ms and the machine may be loaded.
constexpr uint32_t kReplyTimeoutMs = 10000;

int EnvNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0) return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == 0 && value > 0 && value < 65536) ? static_cast<int>(value) : -1;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "0000: 48 52 ..." - an offset of four or more hex digits, a colon and a blank.
bool IsDumpLine(const std::string& line) {
    if (line == "QXSerial: Write" || line == "QXSerial: Read") return true;
    const size_t colon = line.find(": ");
    if (colon == std::string::npos || colon < 4) return false;
    for (size_t i = 0; i < colon; ++i)
        if (!((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'A' && line[i] <= 'F')))
            return false;
    return true;
}

}  // namespace

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (uint8_t byte : bytes) {
        std::snprintf(piece, sizeof piece, "%02X", byte);
        if (!text.empty()) text += ' ';
        text += piece;
    }
    return text;
}

std::vector<uint8_t> HexBytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) continue;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return bytes;
}

::testing::AssertionResult RemoteSim::Connect() {
    const int port = EnvNumber("QX_SIM_CONTROL");
    comNumber_ = EnvNumber("QX_SIM_COM");
    if (port < 0 || comNumber_ < 1 || comNumber_ > 255)
        return ::testing::AssertionFailure()
               << "QX_SIM_CONTROL / QX_SIM_COM not set: run this test through "
                  "scripts/run-wine-tests.sh, which starts the simulator";
    std::string error;
    if (!client_.Connect(static_cast<uint16_t>(port), &error))
        return ::testing::AssertionFailure() << "simulator control: " << error;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult RemoteSim::Command(const std::string& line,
                                              std::vector<std::string>* data, std::string* value) {
    if (!client_.SendAll(line + "\n"))
        return ::testing::AssertionFailure() << "'" << line << "': send failed";
    for (;;) {
        std::string reply;
        if (!client_.ReadLine(reply, kReplyTimeoutMs))
            return ::testing::AssertionFailure() << "'" << line << "': no answer";
        if (reply == "ok" || reply.rfind("ok ", 0) == 0) {
            if (value) *value = reply.size() > 3 ? reply.substr(3) : std::string();
            return ::testing::AssertionSuccess();
        }
        if (reply.rfind("error", 0) == 0)
            return ::testing::AssertionFailure() << "'" << line << "': " << reply;
        if (data) data->push_back(reply);
    }
}

::testing::AssertionResult RemoteSim::Reset() {
    for (const char* line : {"clear-faults", "bauds -", "replug", "clear-transcript"}) {
        ::testing::AssertionResult done = Command(line);
        if (!done) return done;
    }
    return ::testing::AssertionSuccess();
}

std::vector<RemoteRequest> RemoteSim::Transcript() {
    std::vector<std::string> lines;
    std::vector<RemoteRequest> requests;
    if (!Command("transcript", &lines)) return requests;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        RemoteRequest r;
        std::string hex, enc;
        in >> r.baud >> hex >> r.command >> r.outcome >> enc;
        if (hex != "-") r.bytes = HexBytes(hex);
        r.encrypted = enc == "enc";
        requests.push_back(std::move(r));
    }
    return requests;
}

bool RemoteSim::WaitForTranscript(size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::string value;
        if (Command("transcript", nullptr, &value) &&
            std::strtoul(value.c_str(), nullptr, 10) >= count)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<uint8_t> RemoteSim::ReadMemory(uint8_t space, uint32_t offset, uint32_t length) {
    char line[64];
    std::snprintf(line, sizeof line, "read %X %X %u", space, offset, length);
    std::string value;
    if (!Command(line, nullptr, &value)) return {};
    return HexBytes(value);
}

uint32_t RemoteSim::LineBaud() {
    std::string value;
    if (!Command("speed", nullptr, &value)) return 0;
    return static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
}

RemoteDevice::RemoteDevice() {
    qx::AttachTextSink(log_, sink_);
}

RemoteDevice::~RemoteDevice() {
    if (device_) {
        device_->ClosePort();
        device_->AttachLogWindow(nullptr);
    }
}

::testing::AssertionResult RemoteDevice::Start(bool openPort) {
    ::testing::AssertionResult step = sim_.Connect();
    if (!step) return step;
    step = sim_.Reset();
    if (!step) return step;
    device_ = std::make_unique<qx::QXVorrel>();
    device_->AttachLogWindow(&log_);
    if (!openPort) return ::testing::AssertionSuccess();
    const std::string name = comName();
    const int32_t opened = device_->OpenPortByName(name.c_str());
    if (opened != qx::VR_S_OK)
        return ::testing::AssertionFailure()
               << "OpenPortByName(" << name << "): " << qx::ResultCodeName(opened) << "\n"
               << sink_.Text();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult RemoteDevice::StartIdentified() {
    ::testing::AssertionResult step = Start(false);
    if (!step) return step;
    char text[100] = {};
    const int32_t found = device_->OpenDeviceOnPort(static_cast<uint32_t>(sim_.comNumber()), text,
                                                    sizeof text, nullptr, 0);
    if (found != 1)
        return ::testing::AssertionFailure()
               << "OpenDeviceOnPort(" << sim_.comNumber() << ") gave " << found << "\n"
               << sink_.Text();
    ClearWire();
    return ::testing::AssertionSuccess();
}

std::vector<std::string> RemoteDevice::LogLines() const {
    std::vector<std::string> lines;
    const std::string& text = sink_.Text();
    if (text.empty()) return lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> RemoteDevice::Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : LogLines())
        if (!IsDumpLine(line)) messages.push_back(line);
    return messages;
}

std::vector<std::string> RemoteDevice::RequestHex() {
    std::vector<std::string> hex;
    for (const RemoteRequest& r : sim_.Transcript()) hex.push_back(HexText(r.bytes));
    return hex;
}

void RemoteDevice::ClearWire() {
    ClearLog();
    EXPECT_TRUE(sim_.Command("clear-transcript"));
}

}  // namespace qxtest
