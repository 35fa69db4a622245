// detect --all: every serial port of the machine probed at the same time, one device object
// per port, so many silent ports cost the time of one probe.
#pragma once

#include "tools/qxtool/session.h"

namespace qx::tool {

int RunDetectAll(Session& session);

}  // namespace qx::tool
