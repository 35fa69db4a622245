// How qxtool shows an identified device: the identification block as text and as JSON.
#pragma once

#include <string>

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

// "0x1A2B" style hexadecimal, at least `digits` digits.
std::string Hex(uint64_t value, int digits = 1);
// "01 02 0A" style.
std::string HexBytes(const uint8_t* bytes, size_t count, const char* separator = " ");

}  // namespace qx::tool
