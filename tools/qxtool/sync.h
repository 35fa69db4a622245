// qxtool sync: brings device memory in line with an image file by writing only the 256-byte
// pages that differ, once or (--watch) every time the file is saved.
#pragma once

#include <string>

#include "tools/qxtool/commands.h"
#include "tools/qxtool/session.h"

namespace qx::tool {

struct SyncArgs : SharedTransferArgs {
    std::string file;
    bool watch = false;
    bool assumeWritten = false;
};

int RunSync(Session& session, const SyncArgs& args);

}  // namespace qx::tool
