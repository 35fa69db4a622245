// ports: the serial ports of this machine and the COM-number map in use.
#pragma once

namespace qx::tool {

int RunPorts();

}  // namespace qx::tool
