// How qxtool fails: every failure is a ToolError carrying the exit status.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qx::tool {

enum ExitStatus : int {
    kExitOk = 0,
    kExitDeviceFailed = 1,  // a device operation failed (or a verify found a difference)
    kExitUsage = 2,         // bad arguments or a bad input file
    kExitNoDevice = 3,      // no device found
};

class ToolError : public std::runtime_error {
  public:
    ToolError(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int Status() const { return status_; }

  private:
    int status_;
};

// A device operation returned a failure code.
class DeviceError : public ToolError {
  public:
    DeviceError(int32_t code, const std::string& during);
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

}  // namespace qx::tool
