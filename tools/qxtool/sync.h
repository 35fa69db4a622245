// qxtool sync: brings device memory in line with an image file by writing only the 256-byte
// pages that differ, once or (--watch) every time the file is saved.
#pragma once

#include <string>

#include "tools/qxtool/session.h"

namespace qx::tool {

struct SyncArgs {
    std::string file;
    std::string address;  // binary files: device address of byte 0; empty: 0
    std::string format;   // bin, ihex, srec; empty: from the name, else the content
    std::string method;   // bulk, block; empty: bulk for whole 4096-byte blocks
    std::string space;    // 1, 2; empty: 2 (the only space of most models)
    std::string fill;     // holes and padding; empty: 0xFF (and no padding)
    std::string offset;   // record files: added to their addresses (may be negative)
    std::string split;    // even, odd: one byte lane; empty: every byte
    std::string bank;     // the bank to reach; empty: the emulated one
    bool plain = false;
    bool watch = false;
    bool assumeWritten = false;
};

int RunSync(Session& session, const SyncArgs& args);

}  // namespace qx::tool
