// The ground the qxtool end-to-end tests stand on: simulated devices in this process, linked
// as COMn in a private QX_COM_DIR, and the built tool run against them as a child process.
// The including target defines QXTOOL_EXE. POSIX only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qxtool/tool_process.h"
#include "sim.h"
#include "support/sim_config.h"

namespace qxtest {

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// Bytes as the text a file of them holds.
inline std::string Bytes(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class ToolFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        comDir_ = dir_ / "com";
        std::filesystem::create_directories(comDir_);
    }

    qxsim::Simulator& Device(int com, const qxsim::Config& config) {
        auto sim = std::make_unique<qxsim::Simulator>(config);
        std::string error;
        EXPECT_TRUE(sim->Start(&error)) << error;
        EXPECT_TRUE(sim->LinkAsCom(com, comDir_, &error)) << error;
        sims_.push_back(std::move(sim));
        return *sims_.back();
    }

    ToolResult Tool(std::vector<std::string> args, int timeoutMs = 60000) {
        ChildProcess process;
        args.insert(args.begin(), QXTOOL_EXE);
        EXPECT_TRUE(process.Start(args, {{"QX_COM_DIR", comDir_}}));
        return process.Finish(timeoutMs);
    }

    std::string File(const std::string& name) const { return dir_ / name; }

    static size_t Count(const qxsim::Simulator& sim, const std::string& command) {
        size_t n = 0;
        for (const auto& entry : sim.Transcript()) n += entry.command == command;
        return n;
    }

    TempDir dir_;
    std::string comDir_;
    std::vector<std::unique_ptr<qxsim::Simulator>> sims_;
};

}  // namespace qxtest
