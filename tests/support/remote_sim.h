// RemoteSim: a qxsim process driven through its control port, for test executables that
// cannot host the simulator in-process (the Windows build under Wine). The runner starts
// qxsim and passes where it is through the environment:
//   QX_SIM_CONTROL   the control port on 127.0.0.1
//   QX_SIM_COM       the COM number its pseudo-terminal rests on between tests
//   QX_SIM_LINK_DIR  the directory of COM links the simulator's link lives in (the Wine
//                    prefix's dosdevices); tests may move the link to other numbers there
//
//     qxtest::RemoteSim sim;
//     ASSERT_TRUE(sim.Connect());
//     ASSERT_TRUE(sim.Reset());             // a fresh Kelby 10.15 on COM<QX_SIM_COM>
//     ASSERT_TRUE(sim.Command("fault HR:none"));
//
// SimDevice (sim_fixture.h) wraps the same client as its remote backend.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/loopback_client.h"
#include "sim.h"

namespace qxtest {

class RemoteSim {
  public:
    // Connects to the simulator named by the environment.
    ::testing::AssertionResult Connect();
    int comNumber() const { return comNumber_; }
    const std::string& linkDir() const { return linkDir_; }
    // The link for COM<number> in linkDir() ("" when the runner did not say where).
    std::string LinkPath(int number) const;

    // One command: its data lines, and the value after "ok". Fails on "error ..." or when
    // the connection breaks.
    ::testing::AssertionResult Command(const std::string& line,
                                       std::vector<std::string>* data = nullptr,
                                       std::string* value = nullptr);

    // Back to the device the runner started: a fresh default Kelby 10.15 (no faults, any
    // speed, empty transcript, memory and EEPROM as after power-up, link speed forgotten)
    // linked as COM<comNumber()>.
    ::testing::AssertionResult Reset();

    // Memory of the simulated device, any length (several read commands).
    std::vector<uint8_t> ReadMemory(uint8_t space, uint32_t offset, uint32_t length);

  private:
    qx::platform::LoopbackClient client_;
    int comNumber_ = 0;
    std::string linkDir_;
};

// The control line that makes the simulated device the one `config` describes.
std::string ConfigCommand(const qxsim::Config& config);

}  // namespace qxtest
