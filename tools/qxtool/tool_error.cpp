#include "tools/qxtool/tool_error.h"

#include <cstdio>

#include "base/result_codes.h"

namespace qx::tool {
namespace {

std::string KindOf(int status) {
    switch (status) {
        case kExitUsage:
            return "usage";
        case kExitNoDevice:
            return "no-device";
        default:
            return "device";
    }
}

}  // namespace

ToolError::ToolError(int status, const std::string& message, std::string kind)
    : std::runtime_error(message),
      status_(status),
      kind_(kind.empty() ? KindOf(status) : std::move(kind)) {}

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

DeviceError::DeviceError(int32_t code, const std::string& during, const std::string& explanation)
    : ToolError(kExitDeviceFailed,
                during + " failed: " + DescribeResult(code) +
                    (explanation.empty() ? "" : ": " + explanation),
                "device"),
      code_(code),
      during_(during) {}

ToolError FileError(const std::string& file, const std::string& message, size_t line,
                    size_t column) {
    ToolError error(kExitUsage, file + ": " + message, "file");
    error.Details().String("file", file);
    if (line != 0) {
        error.Details().Number("line", static_cast<int64_t>(line));
    } else {
        error.Details().Null("line");
    }
    if (column != 0) {
        error.Details().Number("column", static_cast<int64_t>(column));
    } else {
        error.Details().Null("column");
    }
    return error;
}

}  // namespace qx::tool
