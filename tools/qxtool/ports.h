// ports: the serial ports of this machine, the COM-number map in use, what is behind each
// port and whether it can be opened now.
#pragma once

#include <string>

namespace qx::tool {

int RunPorts();

// What a failed scan adds to "no device found": one line for each COM port that exists but
// cannot be opened now, with the reason, and what is wrong with the COM map ("" when
// nothing).
std::string UnusableComPorts();

}  // namespace qx::tool
