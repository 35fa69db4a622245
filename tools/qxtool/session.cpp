#include "tools/qxtool/session.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/comm.h"
#include "platform/console.h"
#include "platform/port_failure.h"
#include "tools/qxtool/console.h"
#include "tools/qxtool/ports.h"
#include "tools/qxtool/report.h"
#include "tools/qxtool/tool_error.h"

namespace qx::tool {
namespace {

std::atomic<int> g_interrupts{0};
std::atomic<std::atomic<int32_t>*> g_cancelTarget{nullptr};

bool OnInterrupt() {
    if (g_interrupts.fetch_add(1) != 0) return false;
    if (std::atomic<int32_t>* flag = g_cancelTarget.load()) flag->store(1);
    return true;
}

std::string Version(const QXVorrel& device) {
    return std::to_string(device.firmwareMajor) + "." + std::to_string(device.firmwareMinor);
}

std::string Unidentified(const QXVorrel& device) {
    const auto id = static_cast<unsigned char>(device.hardwareId);
    char letter[16];
    if (std::isprint(id)) {
        std::snprintf(letter, sizeof letter, "'%c'", id);
    } else {
        std::snprintf(letter, sizeof letter, "0x%02X", id);
    }
    return std::string("a device answered (hardware ID ") + letter + ", firmware " +
           Version(device) + ") but its model is not known";
}

// Why the last open on this thread gave no serial port; nothing when it opened one.
std::optional<std::string> OpenFailure() {
    const platform::PortFailure failure = platform::LastPortFailure();
    if (failure.problem == platform::PortProblem::None) return std::nullopt;
    return platform::DescribePortFailure(failure);
}

}  // namespace

bool InstallInterruptHandler() {
    return platform::SetInterruptHandler(&OnInterrupt);
}

bool Interrupted() {
    return g_interrupts.load() != 0;
}

std::optional<uint32_t> ParseComName(const std::string& name) {
    return platform::ComNameNumber(name, 255);
}

ProbeResult ProbePort(QXVorrel& device, const std::string& port) {
    ProbeResult result;
    char name[kModelNameCapacity] = {};
    uint8_t version[3] = {};
    if (const auto number = ParseComName(port)) {
        // The settle delay makes the single probe behave like one step of the launcher's scan.
        result.answered =
            device.OpenDeviceOnPort(*number, name, sizeof name, version, kScanSettleDelay) != 0;
        if (!result.answered) {
            if (const auto reason = OpenFailure()) {
                result.openFailed = true;
                result.detail = "cannot open " + port + ": " + *reason;
                return result;
            }
        }
    } else {
        const int32_t opened = device.OpenPortByName(port.c_str());
        if (opened != VR_S_OK) {
            result.openFailed = true;
            result.detail =
                "cannot open " + port + ": " + OpenFailure().value_or(DescribeResult(opened));
            return result;
        }
        // The rates the scan tries, in its order: 115200, 921600, then 19200 baud.
        result.answered = device.GetFirmwareVersion(version) == VR_S_OK;
        if (!result.answered && device.SetUSBBaud(kSpeed921600, 1) == VR_S_OK)
            result.answered = device.GetFirmwareVersion(version) == VR_S_OK;
        if (!result.answered) {
            // A refusal changes nothing: the line is set to 19200 next either way.
            (void)device.SetUSBBaud(kSpeed115200, 1);
            if (device.port->IsOpen() && device.port->SetBaud(19200))
                result.answered = device.GetFirmwareVersion(version) == VR_S_OK;
        }
        if (result.answered) result.identifyResult = device.Identify();
        if (!result.answered || device.capabilities == 0) {
            const std::string detail = result.answered ? Unidentified(device) + " on " + port : "";
            device.ClosePort();
            result.detail = detail;
        }
    }
    if (!result.answered) {
        if (result.detail.empty()) result.detail = "no device answered on " + port;
        return result;
    }
    if (device.capabilities == 0) {
        if (result.detail.empty()) result.detail = Unidentified(device) + " on " + port;
        return result;
    }
    result.identified = true;
    return result;
}

Session::Session(const GlobalOptions& options)
    : options_(options), sink_(options.verbose), device_(std::make_unique<QXVorrel>()) {
    if (!options_.logFile.empty() && !sink_.OpenMirror(options_.logFile.c_str()))
        throw UsageError("cannot create the log file " + options_.logFile);
    logging_ = options_.verbose || !options_.logFile.empty();
    if (logging_) {
        AttachTextSink(log_, sink_);
        device_->AttachLogWindow(&log_);
        if (options_.verbose) Console::Get().SetVerboseLog(&sink_);
    }
    g_cancelTarget.store(&device_->cancelRequested);
}

Session::~Session() {
    g_cancelTarget.store(nullptr);
    // ClosePort brings a raised link back to 115200 baud before the handle goes.
    if (device_->port->IsOpen()) device_->ClosePort();
    device_.reset();
    Console::Get().DrainLog();
    Console::Get().SetVerboseLog(nullptr);
}

void Session::Open() {
    int32_t identifyResult = VR_S_OK;
    if (options_.port.empty()) {
        char name[kModelNameCapacity] = {};
        uint8_t version[3] = {};
        const bool answered = device_->FindDevice(name, sizeof name, version, 0) != 0;
        Console::Get().DrainLog();
        CheckInterrupted("scanning for a device");
        if (!answered)
            throw NoDeviceError("no device found (scanned COM0 to COM253)" + UnusableComPorts());
        if (device_->capabilities == 0)
            throw NoDeviceError(Unidentified(*device_) + " on COM" +
                                std::to_string(device_->lastPortNumber));
        portLabel_ = "COM" + std::to_string(device_->portNumber);
    } else {
        const ProbeResult probe = ProbePort(*device_, options_.port);
        Console::Get().DrainLog();
        CheckInterrupted("opening " + options_.port);
        if (!probe.identified) throw NoDeviceError(probe.detail);
        identifyResult = probe.identifyResult;
        const auto number = ParseComName(options_.port);
        portLabel_ = number ? "COM" + std::to_string(*number) : options_.port;
    }
    // A half-identified device works, with less: every command says so.
    for (const std::string& gap : IdentificationGaps(*device_, identifyResult))
        Console::Get().Warning(gap);
    if (!options_.baud.empty()) {
        const uint32_t baud =
            static_cast<uint32_t>(std::strtoul(options_.baud.c_str(), nullptr, 10));
        const auto index = SpeedIndexOfBaud(baud);
        if (!index) throw UsageError("--baud must be 921600, 460800, 230400 or 115200");
        Check(device_->SetUSBBaud(*index, 0), "raising the link to " + options_.baud + " baud");
    }
}

void Session::Check(int32_t result, const std::string& what, const std::string& notSupported) {
    Console::Get().DrainLog();
    if (result < 0)
        throw DeviceError(result, what, result == VR_E_REQUEST_NOT_SUPPORTED ? notSupported : "");
    CheckInterrupted(what);
}

void Session::CheckInterrupted(const std::string& what) {
    if (Interrupted()) throw DeviceError(VR_E_OPERATION_CANCELED, what);
}

void Session::AppendLog(const std::string& text) {
    if (!logging_ || text.empty()) return;
    AppendEditText(&sink_, text.c_str(), 1);
    Console::Get().DrainLog();
}

}  // namespace qx::tool
