// One run of qxtool against one device: the device object, its log (--log, --verbose),
// finding and opening the device, checking each operation's result, and closing the port
// properly on every way out (ClosePort brings the link back to 115200 baud).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/qx_vorrel.h"
#include "log/log_sink.h"
#include "log/text_sink.h"

namespace qx::tool {

struct GlobalOptions {
    std::string port;     // --port: "COMn" or a device path; empty: scan
    std::string logFile;  // --log
    std::string baud;     // --baud: link speed for the command
    bool json = false;
    bool quiet = false;
    bool verbose = false;
};

// Ctrl+C: the first one stops the running transfer (cancelRequested) and makes the tool
// stop before its next step; a second one ends the process at once.
bool InstallInterruptHandler();
bool Interrupted();

// "COM5", "com5" and "\\.\COM5" name COM port 5 (0..255); anything else is a path.
std::optional<uint32_t> ParseComName(const std::string& name);

// The outcome of looking for a device on one port.
struct ProbeResult {
    bool answered = false;    // something answered the version request
    bool identified = false;  // ... and identification gave it capabilities; port left open
    bool openFailed = false;  // the port could not be opened (or is no serial port)
    int32_t identifyResult = VR_S_OK;  // known only for ports opened by path
    std::string detail;                // why not, for messages
};

// Probes one port given as "COMn" (OpenDeviceOnPort, as the launcher's scan does) or as a
// device path (OpenPortByName, then the version request at 115200, 921600 and 19200 baud as
// the scan tries them, then Identify). Leaves the port open only when identified.
ProbeResult ProbePort(QXVorrel& device, const std::string& port);

class Session {
  public:
    explicit Session(const GlobalOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    QXVorrel& Device() { return *device_; }
    const GlobalOptions& Options() const { return options_; }

    // Finds the device (--port or a scan like the launcher's) and raises the link to
    // --baud. Throws ToolError with status 3 when no device is found.
    void Open();
    // "COM3" or the path the device was opened by.
    const std::string& PortLabel() const { return portLabel_; }

    // Throws DeviceError when result is a failure, and a cancellation when Ctrl+C was
    // pressed. `what` says what was being done ("reading 256 bytes at 0x000000");
    // `notSupported` explains VR_E_REQUEST_NOT_SUPPORTED in words ("this model has no banks").
    void Check(int32_t result, const std::string& what, const std::string& notSupported = "");
    void CheckInterrupted(const std::string& what);

    // A log is attached (--log or --verbose).
    bool Logging() const { return logging_; }
    // Appends lines logged elsewhere (one probe of detect --all) to this run's log.
    void AppendLog(const std::string& text);

  private:
    GlobalOptions options_;
    TextSink sink_;
    LogWindow log_;
    bool logging_ = false;
    // Destroyed by hand before the log: it logs while it goes.
    std::unique_ptr<QXVorrel> device_;
    std::string portLabel_;
};

}  // namespace qx::tool
