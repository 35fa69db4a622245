// The device object is handed by address to a separately built 32-bit Windows library, so
// its fields keep the widths and offsets of the field table there: pointers and handles of
// 4 bytes, 32-bit integers 4-aligned, single bytes packed, the port object at its natural
// (4-byte) alignment. The POSIX stand-ins for DCB, COMMTIMEOUTS and the handle have the
// Windows shapes, so the same offsets hold on every 32-bit build; 64-bit builds are checked
// only for field order.
#include <cstddef>

#include "device/qx_vorrel.h"

namespace qx {
namespace {

constexpr bool kNarrow = sizeof(void*) == 4;

#define QX_AT(type, field, offset)                               \
    static_assert(!kNarrow || offsetof(type, field) == (offset), \
                  #type "::" #field " must sit at offset " #offset " on i686")

QX_AT(QXSerial, handle, 0);
QX_AT(QXSerial, logger, 4);
QX_AT(QXSerial, portName, 8);
QX_AT(QXSerial, dcb, 268);
QX_AT(QXSerial, timeouts, 296);
QX_AT(QXSerial, scratchBuffer, 316);
QX_AT(QXSerial, scratchLength, 320);
QX_AT(QXSerial, terminatorPrimary, 324);
QX_AT(QXSerial, terminatorPrimaryLength, 328);
QX_AT(QXSerial, terminatorSecondary, 332);
QX_AT(QXSerial, terminatorSecondaryLength, 336);
static_assert(!kNarrow || sizeof(QXSerial) == 340, "QXSerial must be 340 bytes on i686");

QX_AT(QXVorrel, logger, 0);
QX_AT(QXVorrel, cancelRequested, 4);
QX_AT(QXVorrel, baudIndex, 8);
QX_AT(QXVorrel, firmwareMajor, 12);
QX_AT(QXVorrel, firmwareMinor, 13);
QX_AT(QXVorrel, hardwareId, 14);
QX_AT(QXVorrel, emulationBank, 15);
QX_AT(QXVorrel, readWriteBank, 16);
QX_AT(QXVorrel, protocolFamily, 20);
QX_AT(QXVorrel, hardwareType, 24);
QX_AT(QXVorrel, interfaceType, 28);
QX_AT(QXVorrel, capabilities, 32);
QX_AT(QXVorrel, memorySize, 36);
QX_AT(QXVorrel, bankSize, 40);
QX_AT(QXVorrel, bankCount, 44);
QX_AT(QXVorrel, sizeHint, 48);
QX_AT(QXVorrel, dataWidth, 52);
QX_AT(QXVorrel, rateValues, 56);
QX_AT(QXVorrel, modelName, 68);
QX_AT(QXVorrel, tolliverMode, 168);
QX_AT(QXVorrel, flashInfo, 172);
QX_AT(QXVorrel, transferKey, 188);
QX_AT(QXVorrel, transferKeyLength, 196);
QX_AT(QXVorrel, reserved1, 200);
QX_AT(QXVorrel, reserved2, 204);
QX_AT(QXVorrel, reserved3, 208);
QX_AT(QXVorrel, streamActive, 212);
QX_AT(QXVorrel, streamCallback, 216);
QX_AT(QXVorrel, streamRecordCount, 220);
QX_AT(QXVorrel, reserved4, 224);
QX_AT(QXVorrel, streamRecordLength, 228);
QX_AT(QXVorrel, streamBigEndian, 232);
QX_AT(QXVorrel, serialPort, 236);
QX_AT(QXVorrel, port, 576);
QX_AT(QXVorrel, portLock, 580);
QX_AT(QXVorrel, portFree, 584);
QX_AT(QXVorrel, portNumber, 588);
QX_AT(QXVorrel, lastPortNumber, 592);
QX_AT(QXVorrel, lastBaudIndex, 596);
static_assert(!kNarrow || sizeof(QXVorrel) == 600, "QXVorrel must be 600 bytes on i686");

#undef QX_AT

// The atomics stand in for plain 32-bit fields: same width, no lock inside.
static_assert(sizeof(std::atomic<int32_t>) == 4 && alignof(std::atomic<int32_t>) == 4);
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(sizeof(TransferProgress) == 24);

// Every field in table order, on every build.
static_assert(offsetof(QXVorrel, logger) < offsetof(QXVorrel, cancelRequested) &&
              offsetof(QXVorrel, readWriteBank) < offsetof(QXVorrel, protocolFamily) &&
              offsetof(QXVorrel, modelName) < offsetof(QXVorrel, tolliverMode) &&
              offsetof(QXVorrel, streamBigEndian) < offsetof(QXVorrel, serialPort) &&
              offsetof(QXVorrel, serialPort) < offsetof(QXVorrel, port) &&
              offsetof(QXVorrel, lastPortNumber) < offsetof(QXVorrel, lastBaudIndex));

}  // namespace
}  // namespace qx
