// The device as text: shared by the console report and the window's identification block.
#pragma once

#include <cstdint>
#include <string>

#include "device/qx_vorrel.h"

namespace tarnwell {

std::string Hex32(uint32_t value);
// The capability word, the named bits decoded, then whether the model can burn.
std::string Capabilities(uint32_t caps);
std::string InterfaceName(int32_t type);
// True when the object holds an identified device on an open port.
bool Connected(const qx::QXVorrel* device);

// The identification block as the window shows it, lines joined by "\r\n"; `name` is the
// name the user gave the device (empty: none).
std::string IdentificationText(const qx::QXVorrel* device, const std::string& name);

}  // namespace tarnwell
