// How qxtool fails: every failure is a ToolError carrying the exit status, a kind a script can
// test, and the details --json reports beside the message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tools/qxtool/json.h"

namespace qx::tool {

enum ExitStatus : int {
    kExitOk = 0,
    kExitDeviceFailed = 1,  // a device operation failed (or a verify found a difference)
    kExitUsage = 2,         // bad arguments or a bad input file
    kExitNoDevice = 3,      // no device found
};

class ToolError : public std::runtime_error {
  public:
    // kind: "usage", "file", "device", "verify", "no-device"; empty: from the status.
    ToolError(int status, const std::string& message, std::string kind = "");
    int Status() const { return status_; }
    const std::string& Kind() const { return kind_; }
    // Keys for the "error" object of --json beyond status, kind, code, name and message.
    JsonObject& Details() { return details_; }
    const JsonObject& Details() const { return details_; }

  private:
    int status_;
    std::string kind_;
    JsonObject details_;
};

// A device operation returned a failure code.
class DeviceError : public ToolError {
  public:
    DeviceError(int32_t code, const std::string& during, const std::string& explanation = "");
    int32_t Code() const { return code_; }
    const std::string& During() const { return during_; }

  private:
    int32_t code_;
    std::string during_;
};

// "VR_E_COMM_READ_TIMEOUT (-17)"; codes outside the table with their hexadecimal value.
std::string DescribeResult(int32_t code);

inline ToolError UsageError(const std::string& message) {
    return ToolError(kExitUsage, message);
}
inline ToolError NoDeviceError(const std::string& message) {
    return ToolError(kExitNoDevice, message);
}
// A file that cannot be used: where it went wrong (line and column 0 when not known).
ToolError FileError(const std::string& file, const std::string& message, size_t line = 0,
                    size_t column = 0);

}  // namespace qx::tool
