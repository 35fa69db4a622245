// Raw pseudo-terminals for the link benchmarks: the no-protocol baseline (the same request
// and reply sizes moved between the two ends of one pty). Linux only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxbench {

// One request/reply round: the host writes `request` bytes, the far end reads them all and
// answers with `reply` bytes, which the host reads all before the next round.
struct Exchange {
    uint32_t request = 0;
    uint32_t reply = 0;
};

// A pseudo-terminal in raw mode; the slave is held open so the master never sees EIO.
class Pty {
  public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Open(std::string* error);
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

struct RawTiming {
    bool ok = false;
    double seconds = 0;         // from the host's first write to the last byte it read
    double cpuSeconds = 0;      // CPU time of the host thread over the same span
    double peerCpuSeconds = 0;  // CPU time of the far end's thread
};

// Runs the rounds between a fresh pty's slave (this thread, the host) and its master (a peer
// thread), with nonblocking descriptors and poll as a serial driver would. Not ok (and
// `error`) when a round did not complete within a few seconds.
//
// pacedBaud 0: the peer answers at once. Otherwise it paces as the throttled simulator does:
// the reply starts when the request's wire time (from its first byte's arrival) has passed,
// and leaves in chunks of about a millisecond of wire time, each when its last byte would
// have arrived.
RawTiming RawExchange(const std::vector<Exchange>& rounds, std::string* error,
                      uint32_t pacedBaud = 0);

// CPU time of the calling thread.
double ThreadCpuSeconds();

}  // namespace qxbench
