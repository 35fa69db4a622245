// RemoteSim: a qxsim process driven through its control port, for test executables that
// cannot host the simulator in-process (the Windows build under Wine). The runner starts
// qxsim and passes where it is through the environment:
//   QX_SIM_CONTROL  the control port on 127.0.0.1
//   QX_SIM_COM      the COM number its pseudo-terminal is mapped to
//
//     qxtest::RemoteDevice dev;
//     ASSERT_TRUE(dev.Start());            // fresh device state, port opened on COMn
//     EXPECT_EQ(dev.device().ReadEEPROM(buf, 1, 1), qx::VR_S_OK);
//     EXPECT_EQ(dev.RequestHex(), Lines{"48 52 01 01 00 9C"});
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
#include "platform/loopback_client.h"

namespace qxtest {

// One request as the simulator received it.
struct RemoteRequest {
    uint32_t baud = 0;
    std::vector<uint8_t> bytes;
    std::string command;  // fault key ("R", "ZW", ...) or "-"
    std::string outcome;  // "answered", "refused", "faulted", ...
    bool encrypted = false;
};

// "48 52 07" for those bytes; and back (any non-hex character separates nothing).
std::string HexText(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> HexBytes(std::string_view text);

class RemoteSim {
  public:
    // Connects to the simulator named by the environment.
    ::testing::AssertionResult Connect();
    int comNumber() const { return comNumber_; }

    // One command: its data lines, and the value after "ok". Fails on "error ..." or when
    // the connection breaks.
    ::testing::AssertionResult Command(const std::string& line,
                                       std::vector<std::string>* data = nullptr,
                                       std::string* value = nullptr);

    // Back to a freshly plugged device: no faults, any speed, empty transcript, the device's
    // link speed forgotten (a replug, so a test left at 921600 does not leak into the next).
    ::testing::AssertionResult Reset();

    std::vector<RemoteRequest> Transcript();
    // Polls until the transcript holds at least `count` requests (bounded).
    bool WaitForTranscript(size_t count, int timeoutMs);
    std::vector<uint8_t> ReadMemory(uint8_t space, uint32_t offset, uint32_t length);
    uint32_t LineBaud();

  private:
    qx::platform::LoopbackClient client_;
    int comNumber_ = 0;
};

class RemoteDevice {
  public:
    RemoteDevice();
    ~RemoteDevice();
    RemoteDevice(const RemoteDevice&) = delete;
    RemoteDevice& operator=(const RemoteDevice&) = delete;

    // Connects, resets the simulator and (when openPort) opens the device on "COMn".
    ::testing::AssertionResult Start(bool openPort = true);
    // Connects, resets the simulator and opens the device the way the launcher does
    // (OpenDeviceOnPort on COMn: version, identification, fields); then forgets the log and
    // the transcript of that, so the test sees only its own requests.
    ::testing::AssertionResult StartIdentified();

    qx::QXVorrel& device() { return *device_; }
    RemoteSim& sim() { return sim_; }
    std::string comName() const { return "COM" + std::to_string(sim_.comNumber()); }

    std::string LogText() const { return sink_.Text(); }
    std::vector<std::string> LogLines() const;
    std::vector<std::string> Messages() const;  // without the packet dumps
    void ClearLog() { sink_.Clear(); }

    std::vector<std::string> RequestHex();
    void ClearWire();  // forgets the log and the transcript so far

  private:
    RemoteSim sim_;
    qx::TextSink sink_{true};
    qx::LogWindow log_;
    std::unique_ptr<qx::QXVorrel> device_;
};

}  // namespace qxtest
