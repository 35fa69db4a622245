// Ser2net: a ser2net process serving one serial device on a free port of 127.0.0.1, for tests
// of network ports. Its configuration lives in a temporary folder of its own; the process is
// stopped (and the folder removed) with the object.
//
//     qxtest::Ser2net server;
//     ASSERT_TRUE(server.Start(peer.slavePath())) << server.error();
//     OpenPort(server.Url());                  // "rfc2217://127.0.0.1:PORT"
//     server.Kill();                           // the connection drops mid-transfer
//
// POSIX (Linux) only; ser2net is the Debian package of that name.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace qxtest {

class Ser2net {
  public:
    struct Options {
        bool telnet = true;  // telnet(rfc2217) over tcp; else raw tcp
        // The README's settings. tcp(nodelay): without it a reply split in two waits for the
        // acknowledgement of its first part. chardelay off: with it ser2net holds what the
        // line delivered until the line has been quiet for a while (at least 1 ms), which
        // every short reply pays.
        bool nodelay = true;
        bool chardelay = false;
        std::string line = "115200n81";  // the serial line at each connection
    };

    Ser2net() = default;
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Starts ser2net in the foreground on a free port in front of `device`, and waits
    // (bounded) until it listens.
    bool Start(const std::string& device, const Options& options);
    bool Start(const std::string& device) { return Start(device, Options{}); }
    const std::string& error() const { return error_; }

    uint16_t port() const { return port_; }
    // "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT".
    std::string Url() const;
    // The YAML it was started with.
    const std::string& config() const { return config_; }
    bool running() const { return pid_ > 0; }

    // Ends it at once (SIGKILL): every connection drops without a goodbye.
    void Kill();
    // Ends it politely (SIGTERM, bounded wait, then SIGKILL).
    void Stop();

  private:
    bool Listening() const;
    void Reap(int signal, int waitMs);

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    bool telnet_ = true;
    std::string folder_;
    std::string config_;
    std::string error_;
};

// True when the ser2net program can be started.
bool HaveSer2net();

}  // namespace qxtest
