// Result codes of every device operation: 0 is success, failures are negative.
#pragma once

#include <cstdint>

namespace qx {

enum : int32_t {
    VR_S_OK = 0,
    VR_E_GENERAL_ERROR = -1,
    VR_E_PORT_NOT_INITIALIZED = -2,
    VR_E_REQUEST_NOT_SUPPORTED = -3,
    VR_E_COMM_WRITE_FAILURE = -4,
    VR_E_COMM_READ_FAILURE = -5,
    VR_E_DEVICE_NOT_FOUND = -6,
    VR_E_INVALID_RESPONSE = -7,
    VR_E_UNKNOWN_COMMAND = -8,
    VR_E_BAD_CHECKSUM = -9,
    VR_E_ALT_WRITE_BAD_CHECKSUM = -10,
    VR_E_EXTERNAL_CS_INVALID = -11,
    VR_E_NVRAM_BUFFERING_FAILED = -12,
    VR_E_INTERNAL_CS_INVALID = -13,
    VR_E_INVALID_FIRMWARE_IMAGE = -14,
    VR_E_FIRMWARE_FLASH_FAILED = -15,
    VR_E_THREAD_TIMEOUT = -16,
    VR_E_COMM_READ_TIMEOUT = -17,
    VR_E_INVALID_FUNC_PARAM = -18,
    VR_E_OPERATION_CANCELED = -19,
    VR_E_PORT_BUSY = -20,
    VR_E_INVALID_VERSION = -21,
    VR_E_INVALID_HARDWARE_ID = -22,
    VR_E_LARGE_BIN_BANK_FAILED = -23,
    VR_E_INVALID_REQUEST_PARAM = -24,
    VR_E_INVALID_ALIGNMENT = -28,
};

// Windows status values that identification can return besides the VR_ codes.
inline constexpr int32_t kStatusFail = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kStatusDeviceNotConnected = static_cast<int32_t>(0x8007048Fu);

// The code's own name ("VR_E_PORT_BUSY"), "(ERROR NOT IN LIST)" for any other value.
const char* ResultCodeName(int32_t code);

}  // namespace qx
