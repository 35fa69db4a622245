#include "base/result_codes.h"

namespace qx {

const char* ResultCodeName(int32_t code) {
    switch (code) {
        case VR_S_OK:
            return "VR_S_OK";
        case VR_E_GENERAL_ERROR:
            return "VR_E_GENERAL_ERROR";
        case VR_E_PORT_NOT_INITIALIZED:
            return "VR_E_PORT_NOT_INITIALIZED";
        case VR_E_REQUEST_NOT_SUPPORTED:
            return "VR_E_REQUEST_NOT_SUPPORTED";
        case VR_E_COMM_WRITE_FAILURE:
            return "VR_E_COMM_WRITE_FAILURE";
        case VR_E_COMM_READ_FAILURE:
            return "VR_E_COMM_READ_FAILURE";
        case VR_E_DEVICE_NOT_FOUND:
            return "VR_E_DEVICE_NOT_FOUND";
        case VR_E_INVALID_RESPONSE:
            return "VR_E_INVALID_RESPONSE";
        case VR_E_UNKNOWN_COMMAND:
            return "VR_E_UNKNOWN_COMMAND";
        case VR_E_BAD_CHECKSUM:
            return "VR_E_BAD_CHECKSUM";
        case VR_E_ALT_WRITE_BAD_CHECKSUM:
            return "VR_E_ALT_WRITE_BAD_CHECKSUM";
        case VR_E_EXTERNAL_CS_INVALID:
            return "VR_E_EXTERNAL_CS_INVALID";
        case VR_E_NVRAM_BUFFERING_FAILED:
            return "VR_E_NVRAM_BUFFERING_FAILED";
        case VR_E_INTERNAL_CS_INVALID:
            return "VR_E_INTERNAL_CS_INVALID";
        case VR_E_INVALID_FIRMWARE_IMAGE:
            return "VR_E_INVALID_FIRMWARE_IMAGE";
        case VR_E_FIRMWARE_FLASH_FAILED:
            return "VR_E_FIRMWARE_FLASH_FAILED";
        case VR_E_THREAD_TIMEOUT:
            return "VR_E_THREAD_TIMEOUT";
        case VR_E_COMM_READ_TIMEOUT:
            return "VR_E_COMM_READ_TIMEOUT";
        case VR_E_INVALID_FUNC_PARAM:
            return "VR_E_INVALID_FUNC_PARAM";
        case VR_E_OPERATION_CANCELED:
            return "VR_E_OPERATION_CANCELED";
        case VR_E_PORT_BUSY:
            return "VR_E_PORT_BUSY";
        case VR_E_INVALID_VERSION:
            return "VR_E_INVALID_VERSION";
        case VR_E_INVALID_HARDWARE_ID:
            return "VR_E_INVALID_HARDWARE_ID";
        case VR_E_LARGE_BIN_BANK_FAILED:
            return "VR_E_LARGE_BIN_BANK_FAILED";
        case VR_E_INVALID_REQUEST_PARAM:
            return "VR_E_INVALID_REQUEST_PARAM";
        case VR_E_INVALID_ALIGNMENT:
            return "VR_E_INVALID_ALIGNMENT";
        default:
            return "(ERROR NOT IN LIST)";
    }
}

}  // namespace qx
