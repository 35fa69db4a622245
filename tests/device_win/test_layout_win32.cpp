// The device object as the separately built 32-bit user-interface library sees it: every
// field's offset on i686, printed for the record and checked against the field table.
#include <cstddef>
#include <cstdio>

#include <gtest/gtest.h>

#include "device/qx_vorrel.h"

namespace {

using qx::QXSerial;
using qx::QXVorrel;

struct Field {
    const char* name;
    size_t offset;
    size_t expected;
};

#define QX_FIELD(type, field, expected) \
    { #type "::" #field, offsetof(type, field), expected }

// Order and widths of the field table; on i686 these are the absolute offsets.
const Field kFields[] = {
    QX_FIELD(QXVorrel, logger, 0),
    QX_FIELD(QXVorrel, cancelRequested, 4),
    QX_FIELD(QXVorrel, baudIndex, 8),
    QX_FIELD(QXVorrel, firmwareMajor, 12),
    QX_FIELD(QXVorrel, firmwareMinor, 13),
    QX_FIELD(QXVorrel, hardwareId, 14),
    QX_FIELD(QXVorrel, emulationBank, 15),
    QX_FIELD(QXVorrel, readWriteBank, 16),
    QX_FIELD(QXVorrel, protocolFamily, 20),
    QX_FIELD(QXVorrel, hardwareType, 24),
    QX_FIELD(QXVorrel, interfaceType, 28),
    QX_FIELD(QXVorrel, capabilities, 32),
    QX_FIELD(QXVorrel, memorySize, 36),
    QX_FIELD(QXVorrel, bankSize, 40),
    QX_FIELD(QXVorrel, bankCount, 44),
    QX_FIELD(QXVorrel, sizeHint, 48),
    QX_FIELD(QXVorrel, dataWidth, 52),
    QX_FIELD(QXVorrel, rateValues, 56),
    QX_FIELD(QXVorrel, modelName, 68),
    QX_FIELD(QXVorrel, tolliverMode, 168),
    QX_FIELD(QXVorrel, flashInfo, 172),
    QX_FIELD(QXVorrel, transferKey, 188),
    QX_FIELD(QXVorrel, transferKeyLength, 196),
    QX_FIELD(QXVorrel, reserved1, 200),
    QX_FIELD(QXVorrel, reserved2, 204),
    QX_FIELD(QXVorrel, reserved3, 208),
    QX_FIELD(QXVorrel, streamActive, 212),
    QX_FIELD(QXVorrel, streamCallback, 216),
    QX_FIELD(QXVorrel, streamRecordCount, 220),
    QX_FIELD(QXVorrel, reserved4, 224),
    QX_FIELD(QXVorrel, streamRecordLength, 228),
    QX_FIELD(QXVorrel, streamBigEndian, 232),
    QX_FIELD(QXVorrel, serialPort, 236),
    QX_FIELD(QXVorrel, port, 576),
    QX_FIELD(QXVorrel, portLock, 580),
    QX_FIELD(QXVorrel, portFree, 584),
    QX_FIELD(QXVorrel, portNumber, 588),
    QX_FIELD(QXVorrel, lastPortNumber, 592),
    QX_FIELD(QXVorrel, lastBaudIndex, 596),
    {"sizeof(QXVorrel)", sizeof(QXVorrel), 600},
    QX_FIELD(QXSerial, handle, 0),
    QX_FIELD(QXSerial, dcb, 268),
    QX_FIELD(QXSerial, timeouts, 296),
    {"sizeof(QXSerial)", sizeof(QXSerial), 340},
    {"sizeof(DCB)", sizeof(qx::DCB), 28},
    {"sizeof(COMMTIMEOUTS)", sizeof(qx::COMMTIMEOUTS), 20},
};

#undef QX_FIELD

TEST(Layout, DeviceObjectMatchesTheFieldTableOnI686) {
    // The x86_64 test build (for machines that run no 32-bit code) has wider pointers; the
    // i686 build checks this table again as it compiles (device/layout_check.cpp).
    if (sizeof(void*) != 4) GTEST_SKIP() << "the layout is fixed for the 32-bit build";
    for (const Field& f : kFields) {
        std::printf("%-34s %4zu\n", f.name, f.offset);
        EXPECT_EQ(f.offset, f.expected) << f.name;
    }
}

}  // namespace
