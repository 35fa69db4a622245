#include "tools/qxtool/tool_error.h"

#include <cstdio>

#include "device/result_codes.h"

namespace qx::tool {

std::string DescribeResult(int32_t code) {
    char number[24];
    // The Windows status values identification can return read better in hexadecimal.
    if (code < -0xFFFF) {
        std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(code));
    } else {
        std::snprintf(number, sizeof number, "%d", static_cast<int>(code));
    }
    return std::string(ResultCodeName(code)) + " (" + number + ")";
}

DeviceError::DeviceError(int32_t code, const std::string& during)
    : ToolError(kExitDeviceFailed, during + " failed: " + DescribeResult(code)),
      code_(code),
      during_(during) {}

}  // namespace qx::tool
