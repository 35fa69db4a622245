// A simulator configuration by model letter and firmware: for the fixture, and for the
// benchmarks, which build without GoogleTest.
#pragma once

#include <cstdint>

#include "sim.h"

namespace qxtest {

// A simulator configuration for the model with this hardware-ID letter and firmware.
inline qxsim::Config SimConfig(char hardwareId, uint8_t firmwareMajor, uint8_t firmwareMinor) {
    qxsim::Config config;
    config.hardwareId = hardwareId;
    config.firmwareMajor = firmwareMajor;
    config.firmwareMinor = firmwareMinor;
    return config;
}

}  // namespace qxtest
