// Shared by the identification and detection tests: simulated devices registered as COM
// ports in a private QX_COM_DIR (POSIX: several simulators at once), a device object logging
// into a text sink, and readers of the simulator's transcript.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "log/log_sink.h"
#include "log/text_sink.h"
#include "sim.h"
#include "support/elapsed.h"
#include "support/sim_config.h"

namespace identtest {

using qxtest::SimConfig;

#ifndef _WIN32
// A fresh directory of COM links, made the process's QX_COM_DIR while it lives.
class ComDir {
  public:
    ComDir() {
        char pattern[] = "/tmp/qxident-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        if (made != nullptr) path_ = made;
        setenv("QX_COM_DIR", path_.c_str(), 1);
    }
    ~ComDir() {
        unsetenv("QX_COM_DIR");
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ComDir(const ComDir&) = delete;
    ComDir& operator=(const ComDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
#endif

// A device that answers at none of the rates the scan tries.
inline qxsim::Config Silent() {
    qxsim::Config config = SimConfig('O', 10, 15);
    config.bauds = {4800};
    return config;
}

#ifndef _WIN32
// Starts a simulator; with comNumber >= 0 it is also linked as COMn in `dir`.
inline std::unique_ptr<qxsim::Simulator> StartSim(const qxsim::Config& config, int comNumber = -1,
                                                  const std::string& dir = {}) {
    auto sim = std::make_unique<qxsim::Simulator>(config);
    std::string error;
    EXPECT_TRUE(sim->Start(&error)) << error;
    if (comNumber >= 0) {
        EXPECT_TRUE(sim->LinkAsCom(comNumber, dir, &error)) << error;
    }
    return sim;
}
#endif

// The device object with its log going to a text sink.
struct LoggedDevice {
    LoggedDevice() {
        qx::AttachTextSink(log, sink);
        device.AttachLogWindow(&log);
    }
    ~LoggedDevice() {
        device.ClosePort();
        device.AttachLogWindow(nullptr);
    }
    bool Logged(const std::string& line) const {
        return sink.Text().find(line) != std::string::npos;
    }

    qx::TextSink sink;
    qx::LogWindow log;
    qx::QXVorrel device;
};

// The transcript's request keys, in order ("VV", "HR", "B", ...).
inline std::vector<std::string> Requests(const std::vector<qxsim::TranscriptEntry>& transcript) {
    std::vector<std::string> keys;
    for (const qxsim::TranscriptEntry& entry : transcript) keys.push_back(entry.command);
    return keys;
}

inline std::vector<std::string> Split(const std::string& words) {
    std::vector<std::string> out;
    std::string word;
    for (char c : words) {
        if (c == ' ') {
            if (!word.empty()) out.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

using qxtest::Clock;
using qxtest::ExactMsSince;

}  // namespace identtest
