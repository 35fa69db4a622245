// ComPortServer: a scripted network serial port server on 127.0.0.1 for the tests of the
// network port, on every platform. It behaves as a well-mannered RFC 2217 server unless told
// otherwise (silent, refusing the COM-PORT-OPTION, not answering settings, answering another
// baud rate than asked), records what the client sent, and sends what the test asks, byte for byte.
//
//     qxtest::ComPortServer server;                      // a fresh port, any free number
//     OsHandle h = CommOpen(server.Url().c_str());       // "rfc2217://127.0.0.1:PORT"
//     server.SendRaw({0x41, 0xFF, 0xFF});                // the client reads 41 FF
//     server.WaitData(3, 2000);                          // what the client wrote, decoded
//     server.Cut();                                      // the connection drops
//
// One connection at a time, served on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qxtest {

class ComPortServer {
  public:
    using Bytes = std::vector<uint8_t>;

    struct Behaviour {
        bool telnet = true;         // false: a raw tcp:// server
        bool silent = false;        // accepts and never says anything
        bool agree = true;          // DO COM-PORT-OPTION (else DONT)
        bool answerQueries = true;  // answers SET-BAUDRATE/-DATASIZE/-PARITY/-STOPSIZE 0
        bool answerChanges = true;  // answers them with a new value
        uint32_t answerBaud = 0;    // non-zero: the rate every baud answer names
        bool answerPurge = true;
        // The line as the server starts it: 9600 baud, 7 bits, even parity, 1 stop bit (wire
        // values of the COM-PORT-OPTION: parity 3 is even, stop size 1 is one bit).
        uint32_t baud = 9600;
        uint8_t dataSize = 7;
        uint8_t parity = 3;
        uint8_t stopSize = 1;
    };

    ComPortServer() : ComPortServer(Behaviour{}) {}
    explicit ComPortServer(const Behaviour& behaviour);
    ~ComPortServer();
    ComPortServer(const ComPortServer&) = delete;
    ComPortServer& operator=(const ComPortServer&) = delete;

    bool ok() const { return listener_ != kNone; }
    uint16_t port() const { return port_; }
    std::string Url() const;

    // Data the client wrote (Telnet framing undone), and the bytes exactly as they came.
    Bytes Data() const;
    Bytes Raw() const;
    // COM-PORT-OPTION commands the client sent, command and value in hex ("01 00 0E 10 00").
    std::vector<std::string> Commands() const;
    bool WaitData(size_t count, int timeoutMs) const;
    bool WaitConnected(int timeoutMs) const;
    // Stops reading from the client (its writes then fill the buffers) or reads again.
    void PauseReading(bool paused);

    // Sends bytes as they are (the test composes the wire) on the current connection.
    bool SendRaw(const Bytes& bytes);
    // Closes the current connection.
    void Cut();

    // The line as the client last set it.
    uint32_t baud() const;

  private:
    static constexpr intptr_t kNone = -1;
    void Serve();
    void Take(const uint8_t* bytes, size_t size);

    Behaviour behaviour_;
    intptr_t listener_ = kNone;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> cut_{false};
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    intptr_t client_ = kNone;
    Bytes data_;
    Bytes raw_;
    std::vector<std::string> commands_;
    struct Parser;
    Parser* parser_ = nullptr;
};

}  // namespace qxtest
