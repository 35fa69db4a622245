// libFuzzer entry: device replies to every operation, over the scripted line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string verdict = qxfuzz::RunDeviceReplies(data, size);
    if (!verdict.empty()) {
        std::fprintf(stderr, "device_replies: %s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
