// What only the library and its tests use of the device object: the checksums, the link
// cipher and the port lock. Free functions, so the object's layout stays as it is.
#pragma once

#include <cstdint>

#include "device/qx_vorrel.h"

namespace qx {

// The link cipher's constants, shared with devices (and the simulator).
extern const uint8_t kTransferKey[kTransferKeySize];
inline constexpr uint8_t kChainSeed = 0x3C;

// The sum of `length` bytes (0 for none or a negative length).
uint8_t PacketChecksum(const uint8_t* bytes, int32_t length);
// The same sum started at kChainSeed.
uint8_t SeededChecksum(const uint8_t* bytes, uint32_t length);

// The link cipher with the device's transfer key, in place; 0, or kStatusFail for an empty
// buffer. `chainOut` receives the last cipher byte.
int32_t EncryptBuffer(const QXVorrel& device, uint8_t* buffer, uint32_t length, uint8_t* chainOut);
int32_t DecryptBuffer(const QXVorrel& device, uint8_t chain, uint8_t* buffer, int32_t length);
bool IsTransferEncrypted(const QXVorrel& device, uint32_t flags);

// The lock that serialises exchanges on the port: VR_S_OK, or VR_E_PORT_BUSY after
// kPortLockWaitMs.
[[nodiscard]] int32_t AcquirePort(QXVorrel& device);
int32_t ReleasePort(QXVorrel& device);

}  // namespace qx
