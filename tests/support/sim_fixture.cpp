#include "sim_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text_lines.h"

namespace qxtest {

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (uint8_t byte : bytes) {
        std::snprintf(piece, sizeof(piece), "%02X", byte);
        if (!text.empty()) text += ' ';
        text += piece;
    }
    return text;
}

std::vector<uint8_t> FromHex(std::string_view text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
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

std::unique_ptr<SimHandle> MakeSimHandle() {
#ifdef _WIN32
    return MakeRemoteSimHandle();
#else
    const char* backend = std::getenv("QX_SIM_BACKEND");
    if (backend != nullptr && std::strcmp(backend, "remote") == 0) return MakeRemoteSimHandle();
    return MakeLocalSimHandle();
#endif
}

SimDevice::SimDevice(const qxsim::Config& config, int comNumber)
    : config_(config),
      comNumber_(comNumber),
      comName_("COM" + std::to_string(comNumber)),
      sim_(MakeSimHandle()) {
    qx::AttachTextSink(log_, sink_);
}

SimDevice::~SimDevice() {
    if (device_) {
        device_->ClosePort();
        device_->AttachLogWindow(nullptr);
    }
}

::testing::AssertionResult SimDevice::Start(bool openPort) {
    ::testing::AssertionResult launched = sim_->Launch(config_, comNumber_);
    if (!launched) return launched;
    device_ = std::make_unique<qx::QXVorrel>();
    device_->AttachLogWindow(&log_);
    if (!openPort) return ::testing::AssertionSuccess();
    const int32_t opened = device_->OpenPortByName(comName_.c_str());
    if (opened != qx::VR_S_OK) {
        return ::testing::AssertionFailure()
               << "OpenPortByName(" << comName_ << "): " << qx::ResultCodeName(opened) << "\n"
               << sink_.Text();
    }
    return ::testing::AssertionSuccess();
}

void SimDevice::AdoptModel() {
    const qxsim::ModelInfo model = sim_->Model();
    qx::QXVorrel& d = *device_;
    d.firmwareMajor = config_.firmwareMajor;
    d.firmwareMinor = config_.firmwareMinor;
    d.hardwareId = config_.hardwareId;
    d.protocolFamily = model.family;
    d.hardwareType = model.type;
    d.capabilities = model.capabilities;
    if (!sim_->State().encryptionOn) d.capabilities &= ~qx::CapEncryption;
    // The simulator serves a 64 KiB window to models without a geometry; to the PC side
    // they have none.
    d.memorySize = model.hasGeometry ? model.memorySize : 0;
    d.bankSize = model.hasGeometry ? model.bankSize : 0;
    d.bankCount = model.bankCount;
    d.dataWidth = model.type == 9 ? 16 : 8;
    d.emulationBank = config_.emulationBank;
    d.readWriteBank = config_.readWriteBank;
    d.tolliverMode = model.type == 14 ? config_.tolliverMode : 0;
}

std::vector<std::string> SimDevice::LogLines() const {
    return sink_.Text().empty() ? std::vector<std::string>{} : SplitLines(sink_.Text());
}

namespace {

// "0000: 48 52 ..." - an offset of four or more hex digits, a colon and a blank.
bool IsDumpLine(const std::string& line) {
    if (line == "QXSerial: Write" || line == "QXSerial: Read") return true;
    const size_t colon = line.find(": ");
    if (colon == std::string::npos || colon < 4) return false;
    for (size_t i = 0; i < colon; ++i) {
        const char c = line[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> SimDevice::Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : LogLines()) {
        if (!IsDumpLine(line)) messages.push_back(line);
    }
    return messages;
}

std::vector<std::vector<uint8_t>> SimDevice::Requests() const {
    std::vector<std::vector<uint8_t>> requests;
    for (const qxsim::TranscriptEntry& entry : sim_->Transcript()) requests.push_back(entry.bytes);
    return requests;
}

std::vector<std::string> SimDevice::RequestHex() const {
    std::vector<std::string> requests;
    for (const qxsim::TranscriptEntry& entry : sim_->Transcript()) {
        requests.push_back(Hex(entry.bytes));
    }
    return requests;
}

::testing::AssertionResult SimDevice::AddFault(std::string_view spec) {
    std::string error;
    if (!sim_->AddFault(spec, &error)) {
        return ::testing::AssertionFailure() << "fault '" << spec << "': " << error;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace qxtest
