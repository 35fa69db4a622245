// Shared pieces of the transfer tests: simulated models, test images, and a progress
// recorder that a plain-function callback can feed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "sim_fixture.h"

namespace xfer {

// Models by address form. Encryption is on in the simulated device when serial byte 0 is
// neither 0 nor 'n'; AdoptModel then keeps CapEncryption.
struct ModelCase {
    const char* name;
    char letter;
    uint8_t major;
    uint8_t minor;
    int32_t dataWidth;  // as identification sets it
};

inline constexpr ModelCase kKelby{"Kelby", 'O', 10, 15, 8};      // 2-byte, bulk, banks
inline constexpr ModelCase kSarnet{"Sarnet", 'R', 2, 0, 16};     // 3-byte, two spaces, bulk
inline constexpr ModelCase kTolliver{"Tolliver", 'Q', 2, 0, 8};  // 3-byte, two spaces
inline constexpr ModelCase kQuentor{"Quentor", '+', 1, 0, 16};   // 3-byte, one space, bulk
inline constexpr ModelCase kVorrel{"Vorrel", 'A', 2, 11, 8};     // 2-byte, no bulk
inline constexpr ModelCase kCalder{"CalderI", '1', 1, 34, 8};    // 2-byte, family 2

inline qxsim::Config Config(const ModelCase& model, bool encrypted) {
    qxsim::Config config = qxtest::SimConfig(model.letter, model.major, model.minor);
    config.serial[0] = encrypted ? 'E' : 'n';
    return config;
}

// Starts the simulated device and fills the device fields as identification would.
// `forceEncryption` also sets CapEncryption on models whose row lacks it (the library sends
// the encrypted forms whenever the bit is set).
inline ::testing::AssertionResult Open(qxtest::SimDevice& dev, const ModelCase& model,
                                       bool forceEncryption = false) {
    ::testing::AssertionResult started = dev.Start();
    if (!started) return started;
    dev.AdoptModel();
    dev.device().dataWidth = model.dataWidth;
    if (forceEncryption) dev.device().capabilities |= qx::CapEncryption;
    dev.Reset();
    return ::testing::AssertionSuccess();
}

// Bytes that differ from packet to packet and from the simulator's 0xFF fill.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(state >> 16);
        if (bytes[i] == 0xFF) bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

// What a progress callback saw, with the port state at the moment of the report.
struct Report {
    uint32_t size, done, total, state, spare1, spare2;
    uint32_t readTimeout;  // ReadTotalTimeoutConstant as the driver holds it
    int32_t portFree;
    bool operator==(const Report&) const = default;
};

struct Recorder {
    static inline std::vector<Report> reports;
    static inline qx::QXVorrel* device = nullptr;

    static void Begin(qx::QXVorrel* watched) {
        reports.clear();
        device = watched;
    }
    static void Callback(qx::TransferProgress* p) {
        Report r{p->size, p->done, p->total, p->state, p->spare1, p->spare2, 0, -1};
        if (device != nullptr) {
            if (device->port->GetTimeouts())
                r.readTimeout = device->port->timeouts.ReadTotalTimeoutConstant;
            r.portFree = device->portFree.load();
        }
        reports.push_back(r);
    }
    // (done, total, state) of every report.
    static std::vector<std::vector<uint32_t>> Steps() {
        std::vector<std::vector<uint32_t>> steps;
        for (const Report& r : reports) steps.push_back({r.done, r.total, r.state});
        return steps;
    }
};

// The driver's ReadTotalTimeoutConstant now (0 when unreadable).
inline uint32_t ReadTimeout(qx::QXVorrel& device) {
    return device.port->GetTimeouts() ? device.port->timeouts.ReadTotalTimeoutConstant : 0;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

inline uint8_t Sum8(const std::vector<uint8_t>& bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    return sum;
}

// A request as the library must send it: the bytes, then their 8-bit sum.
inline std::vector<uint8_t> Sealed(std::vector<uint8_t> bytes) {
    bytes.push_back(Sum8(bytes));
    return bytes;
}

}  // namespace xfer
