// How qxtool shows an identified device: the identification block as text and as JSON.
#pragma once

#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "tools/qxtool/json.h"

namespace qx::tool {

// The keys: port, model, name, hardwareId, firmware, protocolFamily, hardwareType,
// interfaceType, capabilities, memorySize, bankSize, bankCount, activeBankSize, dataWidth,
// emulationBank, readWriteBank, baud, encryption (and tolliverMode on the Tolliver).
JsonObject DeviceJson(const QXVorrel& device, const std::string& port);
// One "key: value" line per field.
std::string DeviceText(const QXVorrel& device, const std::string& port);
// "COM3  Kelby v10.15 (hardware ID O)".
std::string DeviceLine(const QXVorrel& device, const std::string& port);

// The model name without the " vMAJOR.MINOR" suffix identification appends.
std::string ModelWithoutVersion(const QXVorrel& device);
// The line rate the port runs at now.
uint32_t LineBaud(const QXVorrel& device);
// The named capability bits set in `capabilities`, space-separated ("" for none).
std::string CapabilityNames(uint32_t capabilities);

// What identification could not learn and what that costs, one text each; empty for a device
// identified in full. identifyResult: Identify's result where the tool knows it, else VR_S_OK.
std::vector<std::string> IdentificationGaps(const QXVorrel& device, int32_t identifyResult);

// "0x1A2B" style hexadecimal, at least `digits` digits.
std::string Hex(uint64_t value, int digits = 1);
// A device address in the one width qxtool prints them in: "0x01A2B0".
std::string Address(uint64_t address);
// "0x000100-0x0001FF" (the last address included).
std::string Range(uint64_t address, uint64_t length);
// "1 byte", "2 bytes".
std::string Bytes(uint64_t count);
// "1 page", "3 pages" for Plural(n, "page", "pages").
std::string Plural(uint64_t count, const char* one, const char* many);
// "01 02 0A" style.
std::string HexBytes(const uint8_t* bytes, size_t count, const char* separator = " ");

}  // namespace qx::tool
