// Shared pieces of the device-operation tests: the simulated models they run against, the
// START macro and small helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "sim_fixture.h"
#include "support/elapsed.h"

namespace qx::wiretest {

using qxtest::Hex;
using qxtest::SimConfig;
using qxtest::SimDevice;
using Lines = std::vector<std::string>;
using qxtest::Clock;
using qxtest::ExactMsSince;

// A device object opened on the simulated model, fields as identification would leave
// them, log and transcript empty.
#define START(dev)              \
    ASSERT_TRUE((dev).Start()); \
    (dev).AdoptModel();         \
    (dev).Reset()

inline qxsim::Config Kelby() {
    return SimConfig('O', 10, 15);
}  // family 1, 9 banks
inline qxsim::Config CalderI() {
    return SimConfig('1', 1, 40);
}  // family 2
inline qxsim::Config Halvane() {
    return SimConfig('L', 1, 0);
}  // flash information
inline qxsim::Config Brannock() {
    return SimConfig('Z', 1, 0);
}  // "8", no get
inline qxsim::Config Tolliver(uint8_t major, uint8_t minor, uint8_t mode, uint8_t marker = 0xAA) {
    qxsim::Config config = SimConfig('Q', major, minor);
    config.tolliverMode = mode;
    config.tolliverMarker = marker;
    return config;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

}  // namespace qx::wiretest
