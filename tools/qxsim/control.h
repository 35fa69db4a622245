// Line-based control channel on 127.0.0.1 so that tests can drive a qxsim process remotely.
// Each command line gets zero or more data lines, then one line "ok[ VALUE]" or "error TEXT".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sim.h"

namespace qxsim {

class ControlServer {
  public:
    explicit ControlServer(Simulator& sim) : sim_(sim) {}
    ~ControlServer() { Stop(); }
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool Start(uint16_t port, std::string* error = nullptr);  // 0: any free port
    void Stop();
    uint16_t Port() const { return port_; }
    bool QuitRequested() const { return quit_; }

    // Runs one command line and returns the full response (newline-terminated lines).
    std::string Execute(const std::string& line);

  private:
    void Serve();

    Simulator& sim_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> quit_{false};
};

}  // namespace qxsim
