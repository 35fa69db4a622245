// What the link groups share around the measurements: the scan's fixed pauses, thread CPU
// accounts, simulated devices and what crossed their line, and running qxtool.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "pty_peer.h"
#include "raw_pty.h"
#include "sim.h"
#include "sim_config.h"

namespace linkbench {

using qxbench::Exchange;
// A private QX_COM_DIR of COM links while it lives.
using qxtest::ComDir;
using qxtest::SimConfig;

// The probe's fixed pauses (PreparePort 100 ms, settle 60 ms) and one bounded version
// request that gets no answer (ReadTotalTimeoutConstant 300 ms + 1 ms per byte asked, 3).
constexpr double kProbePausesMs = 160.0;
constexpr double kFailedVersionRequestMs = 300.0 + 3.0;
constexpr double kSpeedChangePauseMs = 10.0;  // after each successful SetUSBBaud
constexpr double kEmptyWalkTargetMs = 50.0;

// Thread ids of this process.
std::set<int> TaskIds();
// CPU time a thread of this process has run (the scheduler's account, in ns); 0 when unknown.
double TaskCpuSeconds(int tid);

std::vector<uint8_t> RandomBytes(size_t size, std::mt19937& rng);

// Bytes the simulated device sent back for a request, from what it did with it.
uint32_t ReplyBytes(const qxsim::TranscriptEntry& e);

// What crossed the line: request/reply rounds and their byte total.
struct LineTraffic {
    std::vector<Exchange> rounds;
    uint64_t bytes = 0;
    size_t answered = 0;
    double answeredWireSeconds = 0;  // answered rounds, each at the baud it went at
    bool allAnswered = true;
};

LineTraffic Traffic(const std::vector<qxsim::TranscriptEntry>& transcript);

// A simulated device on COMn with a device object identified on it.
struct LinkedDevice {
    std::unique_ptr<qxsim::Simulator> sim;
    std::unique_ptr<qx::QXVorrel> device;
    int simThread = 0;  // the simulator's service thread, for its CPU time
    std::string error;

    bool Start(const qxsim::Config& config, int com);
    ~LinkedDevice();
};

struct ProcessRun {
    bool started = false;
    int status = -1;
    double seconds = 0;
    std::string out;
};

// Runs a program to its end, its stdout into outFile (and then into out), stderr discarded.
ProcessRun RunProcess(const std::vector<std::string>& args, const std::string& outFile);
// The qxtool beside this program.
std::string DefaultQxtool();
// "probed":9 in the --json summary; -1 when missing.
long JsonNumber(const std::string& json, const std::string& key);
// "key":1.5 in a JSON line; NaN when missing.
double JsonReal(const std::string& json, const std::string& key);

}  // namespace linkbench
