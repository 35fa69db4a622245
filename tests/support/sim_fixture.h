// SimDevice: a device object talking to a simulated device over a real pseudo-terminal.
//
//     qxtest::SimDevice dev(qxtest::SimConfig('Q', 2, 0));   // Tolliver, firmware 2.0
//     ASSERT_TRUE(dev.Start());        // sim on a pty, linked as COMn, device opened on it
//     dev.AdoptModel();                // device fields as identification would set them
//     dev.Reset();                     // forget the log and the transcript so far
//     EXPECT_EQ(dev.device().ReadEEPROM(buf, 0x100, 1), qx::VR_S_OK);
//     EXPECT_EQ(dev.RequestHex(), std::vector<std::string>{"48 52 01 01 00 9C"});
//     EXPECT_EQ(dev.Messages(), ...);  // log lines without the packet dumps
//
// Start() makes a private directory of COM links and points QX_COM_DIR at it for the life of
// the object (one SimDevice per test at a time). The device object logs into one TextSink
// through one LogWindow attached with AttachLogWindow. The destructor closes the port (which
// restores 115200 baud), stops the simulator and removes the directory. POSIX only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/qx_vorrel.h"
#include "diagnostics/log_sink.h"
#include "diagnostics/text_sink.h"
#include "sim.h"

namespace qxtest {

// A simulator configuration for the model with this hardware-ID letter and firmware.
qxsim::Config SimConfig(char hardwareId, uint8_t firmwareMajor, uint8_t firmwareMinor);

// "48 52 07" for those bytes; and back.
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(std::string_view text);

class SimDevice {
  public:
    explicit SimDevice(const qxsim::Config& config = SimConfig('O', 10, 15), int comNumber = 9);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Starts the simulator, links it as COMn and opens the device on "COMn" with
    // OpenPortByName. Fails (with the reason) when any step does.
    ::testing::AssertionResult Start();

    qx::QXVorrel& device() { return *device_; }
    qxsim::Simulator& sim() { return *sim_; }
    const std::string& comName() const { return comName_; }

    // Fills the identification fields from the simulated model the way identification
    // would: firmware, hardware ID, family, type, capabilities (CapEncryption only when the
    // simulated device has encryption on), memory and bank geometry (0 for models without
    // one), bank count, data width (16 bits for the Sarnet, else 8), the Tolliver's mode.
    // The bank fields start at the simulator's configured values.
    void AdoptModel();

    // --- log: the whole text, its lines, and the lines without the packet dumps (labels
    // "QXSerial: Write"/"QXSerial: Read" and their hex lines). A message holding "\r\n" (the
    // checksum messages) spans several lines; test it with LogText().
    std::string LogText() const { return sink_.Text(); }
    std::vector<std::string> LogLines() const;
    std::vector<std::string> Messages() const;
    void ClearLog() { sink_.Clear(); }

    // --- wire: every request the simulator received, in order, with the line speed.
    std::vector<qxsim::TranscriptEntry> Transcript() const { return sim_->transcript(); }
    std::vector<std::vector<uint8_t>> Requests() const;
    std::vector<std::string> RequestHex() const;  // Hex() of each request
    void ClearTranscript() { sim_->clearTranscript(); }

    void Reset() {
        ClearTranscript();
        ClearLog();
    }

    // Fault injection, spec text as qxsim::parseFault reads it ("HR:refuse", "B:none@2").
    ::testing::AssertionResult AddFault(std::string_view spec);
    void ClearFaults() { sim_->clearFaults(); }

  private:
    qxsim::Config config_;
    int comNumber_;
    std::string comName_;
    std::string comDir_;
    std::unique_ptr<qxsim::Simulator> sim_;
    qx::TextSink sink_{true};
    qx::LogWindow log_;
    std::unique_ptr<qx::QXVorrel> device_;
};

}  // namespace qxtest
