// libFuzzer entry: the settings file found at start-up.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string verdict = qxfuzz::RunSettingsFile(data, size);
    if (!verdict.empty()) {
        std::fprintf(stderr, "settings_file: %s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
