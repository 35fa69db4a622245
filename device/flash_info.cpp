// GetFlashInfo: the 16-byte flash information record of the logging models.
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"

namespace qx {

int32_t QXVorrel::GetFlashInfo(uint8_t* buffer) {
    if (buffer == nullptr) return VR_E_INVALID_FUNC_PARAM;
    if (!port->IsOpen()) return VR_E_PORT_NOT_INITIALIZED;
    if ((capabilities & CapFlashInfo) == 0) return VR_E_REQUEST_NOT_SUPPORTED;
    LogMessage(logger, "QXVorrel: GetFlashInfo requested");

    // Runs between identification's other requests, so it takes no port lock.
    port->SetReadTimeout(kDefaultReadTimeoutMs);
    port->Purge();
    uint8_t request[5] = {'D', 'O', 'L', 'I', 0};
    request[4] = PacketChecksum(request, 4);
    if (port->Write(request, sizeof(request)) != sizeof(request)) return VR_E_COMM_WRITE_FAILURE;
    if (port->Read(buffer, kFlashInfoSize) != kFlashInfoSize) return VR_E_COMM_READ_FAILURE;
    uint8_t checksum = 0;
    if (port->Read(&checksum, 1) != 1) return VR_E_COMM_READ_FAILURE;
    const uint8_t sum = PacketChecksum(buffer, static_cast<int32_t>(kFlashInfoSize));
    if (sum != checksum) {
        // The bytes stay in the buffer as received, but they are not reported as good.
        LogMessage(logger,
                   "QXVorrel: GetFlashInfo: Invalid external data checksum\r\n\tCS of recvd "
                   "data: %.2X\r\n\tCS from device: %.2x",
                   sum, checksum);
        return VR_E_EXTERNAL_CS_INVALID;
    }
    return VR_S_OK;
}

}  // namespace qx
