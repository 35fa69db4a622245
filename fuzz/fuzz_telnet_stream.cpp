// libFuzzer entry: what a network port's server sends.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string verdict = qxfuzz::RunTelnetStream(data, size);
    if (!verdict.empty()) {
        std::fprintf(stderr, "telnet_stream: %s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
