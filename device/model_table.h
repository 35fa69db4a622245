// The hardware model table: what a hardware-ID letter means. Fixed data; the firmware
// version only switches single capability bits through the firmware feature rule.
#pragma once

#include <cstdint>
#include <span>

namespace qx {

class QXVorrel;

// A request a model needs before its fields are final.
enum class ModelStep : uint8_t {
    None,
    KelbyVariant,  // the EEPROM record tells Kelby and Kelby II apart
    TolliverMode,  // the mode byte decides bank size and count
    NameString,    // the device names itself
};

// One capability bit that depends on a firmware feature: `withFeature` is added when the
// firmware has the feature, `withoutFeature` when it has not. Feature 0 ends the list.
struct FeatureCapability {
    int32_t feature;
    uint32_t withFeature;
    uint32_t withoutFeature;
};

inline constexpr int kMaxFeatureCapabilities = 3;

struct ModelRow {
    char letter;  // case-sensitive
    // The row applies to firmware majors majorFrom..majorTo (a letter may have several rows).
    uint8_t majorFrom;
    uint8_t majorTo;
    const char* name;  // "" for the rows whose name comes from the device or is empty
    int32_t family;
    int32_t type;
    uint32_t capabilities;  // before the feature bits
    FeatureCapability features[kMaxFeatureCapabilities];
    int32_t dataWidth;  // 0: the row sets no geometry
    int32_t bankCount;
    uint32_t memorySize;
    uint32_t bankSize;
    uint32_t sizeHint;
    int32_t interfaceType;  // 0: learned from the EEPROM record (family 1) or unknown
    int32_t rateValue;      // the three rateValues
    ModelStep step;
};

std::span<const ModelRow> ModelTable();

// The row for a letter and firmware major, or null for an unlisted letter.
const ModelRow* FindModelRow(char letter, uint8_t firmwareMajor);

// A Kelby whose EEPROM record cannot be read: banks assumed, no name, no feature bits.
const ModelRow& KelbyFallbackRow();

// The row's capabilities with its feature bits applied to `version` (major, minor).
uint32_t ModelCapabilities(const ModelRow& row, const uint8_t* version);

// Writes the row's fields into the identification block of `device` (name included).
void ApplyModelRow(QXVorrel& device, const ModelRow& row);

// How the active bank's size follows the bank state.
enum class BankSizeRule : uint8_t {
    Memory,           // the whole memory
    Bank,             // the bank size
    WholeAtLargeBin,  // the whole memory with the large-bin bank emulated, else the bank size
    ConfigMode,       // fixed by the configuration mode byte
};

// What a model does differently from the common command set, keyed by the row's `type`.
struct ModelTraits {
    int32_t type;
    bool twoMemorySpaces;    // spaces 0x10 and 0x20, each a full image
    bool wideAddress;        // 3-byte block addresses
    bool dropsWriteLower;    // the lower-byte write flag is never sent
    uint8_t bankSetCommand;  // the request letter of a bank set
    bool answersBankGet;     // the bank get request exists
    bool alwaysPersistent;   // every emulation bank set is persistent
    bool readWriteBank;      // a read/write bank apart from the emulation bank
    bool configBank;         // one bank byte in the configuration bytes serves both selectors
    bool flashInfo;          // identification reads the flash information
    bool usbLink;            // always on a USB link, whatever the interface type says
    uint32_t bankCount;      // with the banks capability; a config-bank model counts by mode
    int32_t largeBinBank;    // -1: none
    BankSizeRule bankSize;
};

// The traits of a hardware type; an unlisted type gets the common ones.
const ModelTraits& TraitsOf(int32_t hardwareType);

// A capability bit with a name, in the order reports list them.
struct CapabilityName {
    uint32_t bit;
    const char* name;
};
std::span<const CapabilityName> NamedCapabilities();

// An interface type of the EEPROM information record: its letter there and the link it is.
struct InterfaceKind {
    int32_t type;
    char letter;
    const char* link;  // "" when it has no common name
};
inline constexpr int32_t kInterfaceUsb = 1;
// The row of an interface type, or null for an unknown one (0 among them).
const InterfaceKind* FindInterface(int32_t type);
// The interface type of a record letter; 0 for any other letter.
int32_t InterfaceTypeOf(char letter);

}  // namespace qx
