// SimDevice: a device object talking to a simulated device over a real serial line - the same
// test source on every platform.
//
//     qxtest::SimDevice dev(qxtest::SimConfig('Q', 2, 0));   // Tolliver, firmware 2.0
//     ASSERT_TRUE(dev.Start());        // sim linked as COMn, device opened on "COMn"
//     dev.AdoptModel();                // device fields as identification would set them
//     dev.Reset();                     // forget the log and the transcript so far
//     EXPECT_EQ(dev.device().ReadEEPROM(buf, 0x100, 1), qx::VR_S_OK);
//     EXPECT_EQ(dev.RequestHex(), std::vector<std::string>{"48 52 01 01 00 9C"});
//     EXPECT_EQ(dev.sim().ReadMemory(qxsim::kSpace2, 0, 3), ...);   // the device's side
//
// Two backends behind one handle (sim()):
//   in-process (POSIX)  a qxsim::Simulator on a pty of this process, linked as COMn in a
//                       private QX_COM_DIR for the life of the object (one at a time).
//   remote (Windows)    the qxsim process scripts/run-wine-tests.sh started, driven through its
//                       control port: "config" replaces it by the configured device, "link"
//                       maps it as COMn of the Wine prefix. The environment says where:
//                       QX_SIM_CONTROL (port), QX_SIM_LINK_DIR (the prefix's dosdevices),
//                       QX_SIM_COM (its resting COM number, restored afterwards).
//   QX_SIM_BACKEND=remote selects the remote backend on POSIX too (the same variables, with
//   QX_COM_DIR made QX_SIM_LINK_DIR), to check the control path without Wine.
// The device object logs into one TextSink through one LogWindow. The destructor closes the
// port (which restores 115200 baud) and stops (or, remote, resets) the simulator.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/qx_vorrel.h"
#include "log/log_sink.h"
#include "log/text_sink.h"
#include "sim.h"
#include "sim_config.h"

namespace qxtest {

// "48 52 07" for those bytes; and back (anything but hex digits is skipped).
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(std::string_view text);

// The simulated device's side, as the simulator sees it. The remote backend reports a failed
// control command as a test failure (and returns an empty or zero result).
class SimHandle {
  public:
    virtual ~SimHandle() = default;

    // Starts the device built from `config`, linked as COM<comNumber>.
    virtual ::testing::AssertionResult Launch(const qxsim::Config& config, int comNumber) = 0;

    virtual std::vector<uint8_t> Memory(uint8_t space = qxsim::kSpace2) const = 0;
    virtual std::vector<uint8_t> ReadMemory(uint8_t space, uint32_t offset,
                                            size_t length) const = 0;
    virtual void WriteMemory(uint8_t space, uint32_t offset, const std::vector<uint8_t>& bytes) = 0;
    virtual std::vector<uint8_t> Eeprom() const = 0;  // all 64 KiB
    virtual void WriteEeprom(uint16_t address, const std::vector<uint8_t>& bytes) = 0;
    virtual qxsim::ModelInfo Model() const = 0;
    virtual qxsim::DeviceState State() const = 0;
    virtual uint32_t LineBaud() const = 0;    // the line's speed now
    virtual uint32_t DeviceBaud() const = 0;  // 0: not told

    virtual std::vector<qxsim::TranscriptEntry> Transcript() const = 0;
    virtual void ClearTranscript() = 0;
    virtual bool WaitForTranscript(size_t count, int timeoutMs) const = 0;

    virtual bool AddFault(std::string_view spec, std::string* error = nullptr) = 0;
    virtual void ClearFaults() = 0;
    virtual bool Unplug() = 0;
    virtual bool Replug(std::string* error = nullptr) = 0;
    virtual bool Plugged() const = 0;

    // A name OpenPortByName opens this device by that holds no COM number.
    virtual std::string PortPath() const = 0;
};

// The backend this build and environment use, and the two backends.
std::unique_ptr<SimHandle> MakeSimHandle();
std::unique_ptr<SimHandle> MakeRemoteSimHandle();  // remote_sim.cpp
#ifndef _WIN32
std::unique_ptr<SimHandle> MakeLocalSimHandle();  // sim_local.cpp
#endif

class SimDevice {
  public:
    explicit SimDevice(const qxsim::Config& config = SimConfig('O', 10, 15), int comNumber = 9);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Starts the simulator, links it as COMn and (with openPort) opens the device on "COMn"
    // with OpenPortByName. Fails (with the reason) when any step does.
    ::testing::AssertionResult Start(bool openPort = true);

    qx::QXVorrel& device() { return *device_; }
    SimHandle& sim() { return *sim_; }
    const SimHandle& sim() const { return *sim_; }
    int comNumber() const { return comNumber_; }
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
    std::vector<qxsim::TranscriptEntry> Transcript() const { return sim_->Transcript(); }
    std::vector<std::vector<uint8_t>> Requests() const;
    std::vector<std::string> RequestHex() const;  // Hex() of each request
    void ClearTranscript() { sim_->ClearTranscript(); }

    void Reset() {
        ClearTranscript();
        ClearLog();
    }

    // Fault injection, spec text as qxsim::ParseFault reads it ("HR:refuse", "B:none@2").
    ::testing::AssertionResult AddFault(std::string_view spec);
    void ClearFaults() { sim_->ClearFaults(); }

  private:
    qxsim::Config config_;
    int comNumber_;
    std::string comName_;
    std::unique_ptr<SimHandle> sim_;
    qx::TextSink sink_{true};
    qx::LogWindow log_;
    std::unique_ptr<qx::QXVorrel> device_;
};

}  // namespace qxtest
