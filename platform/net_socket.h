// The TCP connection of a network serial port: the few socket calls that differ between
// POSIX and Winsock. Nonblocking; every wait is bounded by its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace qx::platform {

class NetSocket {
  public:
    NetSocket() = default;
    ~NetSocket() { Close(); }
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // Resolves `host` and connects to each of its addresses in turn, all within timeoutMs;
    // Nagle's algorithm off. On failure `error` says why (and errno / the Winsock error is
    // left set).
    bool Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* error);
    bool IsOpen() const { return socket_ != kNone; }

    enum class Ready { Yes, TimedOut, Failed };
    // Waits until bytes (or the end of the stream) can be read; ms < 0: no limit.
    Ready WaitReadable(int64_t ms);
    Ready WaitWritable(int64_t ms);
    // Bytes received; 0 when none are waiting; -1 when the peer closed the connection or it
    // failed.
    int64_t Receive(uint8_t* buffer, size_t size);
    // Bytes sent; 0 when the send buffer is full; -1 on failure.
    int64_t Send(const uint8_t* data, size_t size);
    void Close();

  private:
    static constexpr intptr_t kNone = -1;
    intptr_t socket_ = kNone;
};

// Why a network port call failed, left where the platform's callers look for errors (errno,
// the thread's last error).
enum class NetFailure {
    BadName,         // not a network port name
    InvalidSetting,  // line settings no port has
    NotSupported,    // a change the port cannot make (the speed of a tcp:// port)
    NoAnswer,        // the server did not answer within its bound
    Refused,         // the server refused the COM-PORT-OPTION or answered another value
    Closed,          // the connection closed or failed
};
void SetNetFailure(NetFailure failure);
// The error a failed network call left (errno, or the thread's last error on Windows).
uint32_t LastNetError();
// A failed network open in words: what the server did, or the system's reason.
std::string DescribeNetFailure(uint32_t error);

// A lock for the state two threads may share in one port. On Windows the system's slim
// reader/writer lock: a port the launcher opened is used by the user-interface library, whose
// static runtime is a copy of its own, and a lock the system implements is the same in both.
class NetLock {
  public:
    NetLock();
    NetLock(const NetLock&) = delete;
    NetLock& operator=(const NetLock&) = delete;
    void lock();
    void unlock();

  private:
#ifdef _WIN32
    SRWLOCK lock_;
#else
    std::mutex mutex_;
#endif
};

}  // namespace qx::platform
