// libFuzzer entry: Intel HEX files.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string verdict = qxfuzz::RunIntelHex(data, size);
    if (!verdict.empty()) {
        std::fprintf(stderr, "intel_hex: %s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
