// The model table from the device's point of view: what each hardware-ID letter is.
#include <array>

#include "sim.h"

namespace qxsim {
namespace {

struct Row {
    char letter;
    const char* name;
    int family;
    int type;
    uint32_t caps;
    uint32_t memory;  // 0: no geometry
    uint32_t bank;
};

constexpr std::array<Row, 23> kRows{{
    {'1', "Calder I", 2, 1, 0x1002, 0x8000, 0x8000},
    {'2', "Calder II", 2, 2, 0x1002, 0x10000, 0x10000},
    {'T', "Vespin Pro", 3, 3, 0x1102, 0x10000, 0x10000},
    {'S', "", 4, 4, 0x1002, 0x10000, 0x10000},
    {'A', "Vorrel", 1, 5, 0x1113, 0x10000, 0x10000},
    {'F', "Quillon", 1, 6, 0x0001, 0, 0},
    {'O', "Kelby", 1, 7, 0x1002, 0x80000, 0x10000},
    {'P', "Kelby II", 1, 8, 0x106E, 0x80000, 0x10000},
    {'R', "Sarnet", 1, 9, 0x1066, 0x100000, 0x100000},
    {'L', "Halvane", 1, 10, 0x0280, 0, 0},
    {'D', "Morrow", 1, 11, 0x10CA, 0x80000, 0x8000},
    {'X', "Tessary", 1, 13, 0x0401, 0, 0},
    {'Q', "Tolliver", 1, 14, 0x102B, 0x80000, 0x80000},
    {'J', "Fennick", 1, 15, 0x0001, 0, 0},
    {'Z', "Brannock", 1, 16, 0x0009, 0, 0},
    {'N', "ORVA", 1, 17, 0x108A, 0x20000, 0x10000},
    {'n', "ORVA2", 1, 18, 0x108A, 0x20000, 0x10000},
    {'#', "Pyrrin", 5, 19, 0x1022, 0x10000, 0x10000},
    {'+', "Quentor", 5, 20, 0x1062, 0x100000, 0x100000},
    {'l', "Astrel Lite", 6, 21, 0x0042, 0x100000, 0x100000},
    {'^', "Astrel Plus", 6, 22, 0x0042, 0x100000, 0x100000},
    {'c', "Ombrel", 7, 23, 0x0001, 0, 0},
    {'d', "", 0, 0, 0, 0, 0},
}};

// A firmware has a feature unless it is the feature's major with a lower minor.
bool Has(uint8_t major, uint8_t minor, uint8_t featMajor, uint8_t featMinor) {
    return !(major == featMajor && minor < featMinor);
}

}  // namespace

std::optional<ModelInfo> LookupModel(char id, uint8_t major, uint8_t minor, char eepromId) {
    char letter = id;
    if (id == 'O' && eepromId == 'P') letter = 'P';
    const Row* row = nullptr;
    for (const Row& r : kRows)
        if (r.letter == letter) {
            row = &r;
            break;
        }
    if (!row) return std::nullopt;

    ModelInfo m;
    m.letter = id;
    m.name = row->name;
    m.family = row->family;
    m.type = row->type;
    m.capabilities = row->caps;
    m.memorySize = row->memory;
    m.bankSize = row->bank;
    if (id == 'D' && major >= 50) {
        m.name = "Morrow II";
        m.type = 12;
        m.capabilities = 0x10C2;
        m.memorySize = m.bankSize = 0x8000;
    }
    switch (m.type) {
        case 1:
        case 2:
            if (Has(major, minor, 1, 34)) m.capabilities |= 0x20;
            break;
        case 5:
            if (Has(major, minor, 2, 12)) m.capabilities = 0x1153;
            break;
        case 7:
            if (Has(major, minor, 10, 15)) m.capabilities |= 0x04;
            if (Has(major, minor, 10, 5)) m.capabilities |= 0x08;
            if (Has(major, minor, 10, 12)) m.capabilities |= 0x40;
            break;
        case 13:
            if (Has(major, minor, 1, 3)) m.capabilities = 0x0801;
            break;
        default:
            break;
    }
    m.hasGeometry = m.memorySize != 0;
    if (!m.hasGeometry) m.memorySize = m.bankSize = 0x10000;

    const bool banks = (m.capabilities & 0x08) != 0;
    switch (m.type) {
        case 7:
        case 8:
            m.bankCount = banks ? 9 : 1;
            m.largeBinBank = 8;
            break;
        case 11:
            m.bankCount = banks ? 17 : 1;
            m.largeBinBank = 16;
            break;
        case 16:
            m.bankCount = banks ? 16 : 1;
            break;
        case 17:
        case 18:
            m.bankCount = banks ? 3 : 1;
            m.largeBinBank = 2;
            break;
        default:
            m.bankCount = 1;
            break;
    }
    if (m.type == 9 || m.type == 14 || m.type == 20) m.addressBytes = 3;
    m.twoSpaces = m.type == 9 || m.type == 14;
    return m;
}

}  // namespace qxsim
