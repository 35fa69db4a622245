// A line-oriented TCP client for 127.0.0.1: test code uses it to drive a simulator process
// through its control port from either platform (a Windows test under Wine included).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx::platform {

class LoopbackClient {
  public:
    LoopbackClient() = default;
    ~LoopbackClient() { Close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Connects to 127.0.0.1:port; on failure `error` says why.
    bool Connect(uint16_t port, std::string* error = nullptr);
    bool IsConnected() const { return socket_ != kNoSocket; }
    bool SendAll(std::string_view text);
    // The next line without its "\n" (and "\r"); false on close, error or when no whole line
    // arrives within timeoutMs.
    bool ReadLine(std::string& line, uint32_t timeoutMs);
    void Close();

  private:
    static constexpr intptr_t kNoSocket = -1;
    // Waits up to timeoutMs for bytes and appends them to pending_; false on close/error/time-out.
    bool Receive(uint32_t timeoutMs);

    intptr_t socket_ = kNoSocket;
    std::string pending_;
};

}  // namespace qx::platform
