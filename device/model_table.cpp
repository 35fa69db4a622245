#include "device/model_table.h"

#include <array>

#include "base/bounded_text.h"
#include "device/qx_vorrel.h"

namespace qx {
namespace {

// Shorthands for the columns the rows share.
constexpr uint8_t kAnyMajorFrom = 0;
constexpr uint8_t kAnyMajorTo = 255;

// clang-format off
constexpr std::array<ModelRow, 24> kRows{{
    // letter, majors, name, family, type, capabilities, feature bits,
    //   dataWidth, bankCount, memorySize, bankSize, sizeHint, interfaceType, rate, step
    {'1', kAnyMajorFrom, kAnyMajorTo, "Calder I", 2, 1, 0x1002, {{7, 0x20, 0}},
        8, 1, 0x8000, 0x8000, 0x8000, 0, 0, ModelStep::None},
    {'2', kAnyMajorFrom, kAnyMajorTo, "Calder II", 2, 2, 0x1002, {{7, 0x20, 0}},
        8, 1, 0x10000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'T', kAnyMajorFrom, kAnyMajorTo, "Vespin Pro", 3, 3, 0x1102, {},
        8, 1, 0x10000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'S', kAnyMajorFrom, kAnyMajorTo, "", 4, 4, 0x1002, {},
        8, 1, 0x10000, 0x10000, 0x10000, 3, 0, ModelStep::NameString},
    {'A', kAnyMajorFrom, kAnyMajorTo, "Vorrel", 1, 5, 0x1113, {{4, 0x40, 0}},
        8, 1, 0x10000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'F', kAnyMajorFrom, kAnyMajorTo, "Quillon", 1, 6, 0x0001, {},
        0, 0, 0, 0, 0, 0, 0, ModelStep::None},
    {'O', kAnyMajorFrom, kAnyMajorTo, "Kelby", 1, 7, 0x1002,
        {{6, CapEncryption, 0}, {1, CapBanks, 0}, {5, CapBulk, 0}},
        8, 9, 0x80000, 0x10000, 0x10000, 0, 0, ModelStep::KelbyVariant},
    {'P', kAnyMajorFrom, kAnyMajorTo, "Kelby II", 1, 8, 0x106E, {},
        8, 9, 0x80000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'R', kAnyMajorFrom, kAnyMajorTo, "Sarnet", 1, 9, 0x1066, {},
        16, 1, 0x100000, 0x100000, 0x100000, 0, 0, ModelStep::None},
    {'L', kAnyMajorFrom, kAnyMajorTo, "Halvane", 1, 10, 0x0280, {},
        0, 0, 0, 0, 0, 0, 0, ModelStep::None},
    {'D', kAnyMajorFrom, 49, "Morrow", 1, 11, 0x10CA, {},
        8, 17, 0x80000, 0x8000, 0x10000, 0, 0, ModelStep::None},
    {'D', 50, kAnyMajorTo, "Morrow II", 1, 12, 0x10C2, {},
        8, 1, 0x8000, 0x8000, 0x8000, 0, 0, ModelStep::None},
    {'X', kAnyMajorFrom, kAnyMajorTo, "Tessary", 1, 13, 0x0001, {{8, 0x0800, 0x0400}},
        0, 0, 0, 0, 0, 0, 0, ModelStep::None},
    // Bank size and count follow the mode byte read by the special step.
    {'Q', kAnyMajorFrom, kAnyMajorTo, "Tolliver", 1, 14, 0x102B, {},
        8, 0, 0x80000, 0, 0, 0, 0, ModelStep::TolliverMode},
    {'J', kAnyMajorFrom, kAnyMajorTo, "Fennick", 1, 15, 0x0001, {},
        0, 0, 0, 0, 0, 0, 0, ModelStep::None},
    {'Z', kAnyMajorFrom, kAnyMajorTo, "Brannock", 1, 16, 0x0009, {},
        0, 0, 0, 0, 0, 0, 921000, ModelStep::None},
    {'N', kAnyMajorFrom, kAnyMajorTo, "ORVA", 1, 17, 0x108A, {},
        8, 3, 0x20000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'n', kAnyMajorFrom, kAnyMajorTo, "ORVA2", 1, 18, 0x108A, {},
        8, 3, 0x20000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'#', kAnyMajorFrom, kAnyMajorTo, "Pyrrin", 5, 19, 0x1022, {},
        8, 1, 0x10000, 0x10000, 0x10000, 0, 0, ModelStep::None},
    {'+', kAnyMajorFrom, kAnyMajorTo, "Quentor", 5, 20, 0x1062, {},
        16, 1, 0x100000, 0x100000, 0x100000, 0, 0, ModelStep::None},
    {'l', kAnyMajorFrom, kAnyMajorTo, "Astrel Lite", 6, 21, 0x0042, {},
        16, 1, 0x100000, 0x100000, 0x100000, 0, 0, ModelStep::None},
    {'^', kAnyMajorFrom, kAnyMajorTo, "Astrel Plus", 6, 22, 0x0042, {},
        16, 1, 0x100000, 0x100000, 0x100000, 0, 0, ModelStep::None},
    {'c', kAnyMajorFrom, kAnyMajorTo, "Ombrel", 7, 23, 0x0001, {},
        0, 0, 0, 0, 0, 0, 0, ModelStep::None},
    // Known letter without a model: only the common steps run, on zero fields.
    {'d', kAnyMajorFrom, kAnyMajorTo, "", 0, 0, 0, {},
        0, 0, 0, 0, 0, 0, 0, ModelStep::None},
}};

constexpr ModelRow kKelbyFallback{'O', kAnyMajorFrom, kAnyMajorTo, "", 1, 7, 0x100A, {},
                                  8, 9, 0x80000, 0x10000, 0x10000, 0, 0, ModelStep::None};

constexpr bool y = true;
constexpr bool n = false;
constexpr ModelTraits kCommonTraits{0, n, n, n, 'B', y, n, n, n, n, n, 1, -1, BankSizeRule::Memory};

// Only the types that differ from the common traits.
constexpr std::array<ModelTraits, 11> kTraits{{
    // type, two spaces, wide address, drops write-lower, bank set command, answers bank get,
    //   always persistent, read/write bank, config bank, flash info, USB link,
    //   bank count, large-bin bank, active bank size
    {6, n, n, n, 'B', y, n, n, n, n, y, 1, -1, BankSizeRule::Memory},              // Quillon
    {7, n, n, n, 'B', y, n, y, n, n, n, 9, 8, BankSizeRule::WholeAtLargeBin},      // Kelby
    {8, n, n, n, 'B', y, n, y, n, n, n, 9, 8, BankSizeRule::WholeAtLargeBin},      // Kelby II
    {9, y, y, n, 'B', y, n, n, n, n, n, 1, -1, BankSizeRule::Memory},              // Sarnet
    {10, n, n, n, 'B', y, n, n, n, y, n, 1, -1, BankSizeRule::Memory},             // Halvane
    {11, n, n, n, 'B', y, n, y, n, y, n, 17, 16, BankSizeRule::WholeAtLargeBin},   // Morrow
    {14, y, y, n, 'B', y, n, n, y, n, n, 1, -1, BankSizeRule::ConfigMode},         // Tolliver
    {16, n, n, n, '8', n, y, n, n, n, n, 16, -1, BankSizeRule::Bank},              // Brannock
    {17, n, n, n, 'B', y, n, y, n, y, n, 3, 2, BankSizeRule::Bank},                // ORVA
    {18, n, n, n, 'B', y, n, y, n, y, n, 3, 2, BankSizeRule::Bank},                // ORVA2
    {20, n, y, y, 'B', y, n, n, n, n, n, 1, -1, BankSizeRule::Memory},             // Quentor
}};
// clang-format on

constexpr CapabilityName kCapabilityNames[] = {{CapEncryption, "encryption"},
                                               {CapBanks, "banks"},
                                               {CapBulk, "bulk"},
                                               {CapFlashInfo, "flash-info"}};

constexpr InterfaceKind kInterfaces[] = {
    {kInterfaceUsb, 'U', "USB"}, {2, 'B', ""}, {3, 'S', "serial"}};

}  // namespace

std::span<const ModelRow> ModelTable() {
    return kRows;
}

const ModelRow* FindModelRow(char letter, uint8_t firmwareMajor) {
    for (const ModelRow& row : kRows) {
        if (row.letter == letter && firmwareMajor >= row.majorFrom && firmwareMajor <= row.majorTo)
            return &row;
    }
    return nullptr;
}

const ModelRow& KelbyFallbackRow() {
    return kKelbyFallback;
}

uint32_t ModelCapabilities(const ModelRow& row, const uint8_t* version) {
    uint32_t capabilities = row.capabilities;
    for (const FeatureCapability& bit : row.features) {
        if (bit.feature == 0) break;
        capabilities |= QXVorrel::FirmwareSupports(bit.feature, version) != 0 ? bit.withFeature
                                                                              : bit.withoutFeature;
    }
    return capabilities;
}

const ModelTraits& TraitsOf(int32_t hardwareType) {
    for (const ModelTraits& traits : kTraits) {
        if (traits.type == hardwareType) return traits;
    }
    return kCommonTraits;
}

std::span<const CapabilityName> NamedCapabilities() {
    return kCapabilityNames;
}

const InterfaceKind* FindInterface(int32_t type) {
    for (const InterfaceKind& kind : kInterfaces) {
        if (kind.type == type) return &kind;
    }
    return nullptr;
}

int32_t InterfaceTypeOf(char letter) {
    for (const InterfaceKind& kind : kInterfaces) {
        if (kind.letter == letter) return kind.type;
    }
    return 0;
}

void ApplyModelRow(QXVorrel& device, const ModelRow& row) {
    const uint8_t version[2] = {device.firmwareMajor, device.firmwareMinor};
    BoundedCopy(device.modelName, kModelNameCapacity, row.name);
    device.protocolFamily = row.family;
    device.hardwareType = row.type;
    device.interfaceType = row.interfaceType;
    device.capabilities = ModelCapabilities(row, version);
    device.dataWidth = row.dataWidth;
    device.bankCount = row.bankCount;
    device.memorySize = row.memorySize;
    device.bankSize = row.bankSize;
    device.sizeHint = row.sizeHint;
    for (int32_t& rate : device.rateValues) rate = row.rateValue;
}

}  // namespace qx
