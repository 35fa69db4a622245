// The stream reader: a thread routine for the holder of the device object that turns the
// bytes a logging device streams into records of 1 to 4 bytes.
#include <memory>
#include <new>

#include "device/qx_vorrel.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

constexpr uint32_t kMaxRecordLength = 4;
// With the port closed or failing, a read returns nothing at once; pause instead of spinning.
constexpr uint32_t kIdlePauseMs = 1;

// Little-endian streams deliver the value of the record's L bytes, least significant first;
// big-endian streams their big-endian value.
uint32_t RecordValue(const uint8_t* record, uint32_t length, bool bigEndian) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t shift = 8 * (bigEndian ? length - 1 - i : i);
        value |= static_cast<uint32_t>(record[i]) << shift;
    }
    return value;
}

}  // namespace

ThreadResult QX_THREAD_ROUTINE QXVorrel::StreamReader(void* device) {
    auto* self = static_cast<QXVorrel*>(device);
    if (self == nullptr) return 0;
    const int32_t count = self->streamRecordCount;
    const uint32_t length = self->streamRecordLength;
    const int32_t bigEndian = self->streamBigEndian;
    // Records wider than the 32-bit word, empty records or a batch whose byte count does not
    // fit the port's 32-bit read cannot be delivered: refuse to run rather than loop on them.
    if (length == 0 || length > kMaxRecordLength || count <= 0 ||
        static_cast<uint32_t>(count) > 0xFFFFFFFFu / length) {
        return 0;
    }
    const uint32_t batchBytes = static_cast<uint32_t>(count) * length;
    std::unique_ptr<uint32_t[]> values(new (std::nothrow) uint32_t[count]);
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[batchBytes]);
    if (!values || !bytes) return 0;

    while (self->streamActive.load() != 0) {
        uint32_t received = 0;
        if (self->port->IsOpen()) received = self->port->Read(bytes.get(), batchBytes);
        if (received < length) {
            if (received == 0) platform::SleepMs(kIdlePauseMs);
            continue;
        }
        const StreamCallback callback = self->streamCallback;
        if (callback == nullptr) continue;
        const uint32_t records = received / length;
        for (uint32_t i = 0; i < records; ++i) {
            values[i] = RecordValue(bytes.get() + i * length, length, bigEndian != 0);
        }
        callback(values.get(), static_cast<int32_t>(records), bigEndian);
    }
    return 0;
}

}  // namespace qx
