#include "groups.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "device/qx_vorrel.h"
#include "link_env.h"
#include "sim.h"

namespace linkbench {

namespace {

struct ScanRun {
    bool ok = false;
    double seconds = 0;
    LineTraffic traffic;
    std::string requests;  // "VV@115200 HR@115200 ..."
};

// FindDevice on a fresh device object, as the launcher calls it; best of `repeats`.
ScanRun BestScan(qxsim::Simulator* sim, bool expectFound, int expectPort, int repeats,
                 Report& report, const std::string& what) {
    ScanRun best;
    for (int i = 0; i < repeats; ++i) {
        if (sim) sim->ClearTranscript();
        qx::QXVorrel device;
        char text[qx::kModelNameCapacity] = {};
        uint8_t version[3] = {};
        const auto start = Clock::now();
        const int32_t found = device.FindDevice(text, sizeof text, version, 0);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const bool ok = expectFound ? (found == 1 && device.capabilities != 0 &&
                                       device.portNumber == expectPort)
                                    : found == 0;
        device.ClosePort();
        if (!ok) {
            report.Fail(what + ": FindDevice returned " + std::to_string(found) +
                        (expectFound ? " without the device" : ""));
            return best;
        }
        if (!best.ok || seconds < best.seconds) {
            best.ok = true;
            best.seconds = seconds;
            if (sim) {
                const auto transcript = sim->Transcript();
                best.traffic = Traffic(transcript);
                best.requests.clear();
                for (const qxsim::TranscriptEntry& e : transcript) {
                    if (!best.requests.empty()) best.requests += ' ';
                    best.requests +=
                        (e.command.empty() ? std::string("?") : e.command) + "@" +
                        std::to_string(e.baud) +
                        (e.outcome == qxsim::Outcome::Answered
                             ? ""
                             : std::string(" (") + qxsim::OutcomeName(e.outcome) + ")");
                }
            }
        }
    }
    return best;
}

}  // namespace

void ScanGroup(const Options& options, Report& report) {
    std::fprintf(stderr, "scan: FindDevice against its budget\n");
    const int repeats = options.shortMode ? 1 : 3;

    struct Case {
        const char* what;
        qxsim::Config config;
        int failedRequests;  // version requests that time out before the answer
    };
    qxsim::Config slow = SimConfig('1', 1, 40);
    slow.bauds = {19200};
    const Case cases[] = {
        {"FindDevice, Calder I on COM3", SimConfig('1', 1, 40), 0},
        {"FindDevice, Kelby 10.15 on COM3", SimConfig('O', 10, 15), 0},
        {"FindDevice, Calder I at 19200 only on COM3", slow, 2},
    };
    for (const Case& c : cases) {
        ComDir dir;
        qxsim::Config config = c.config;
        config.throttle = true;
        qxsim::Simulator sim(config);
        std::string error;
        if (!dir.ok() || !sim.Start(&error) || !sim.LinkAsCom(3, {}, &error)) {
            report.Fail(std::string(c.what) + ": " + error);
            continue;
        }
        const ScanRun run = BestScan(&sim, true, 3, repeats, report, c.what);
        sim.Stop();
        if (!run.ok) continue;
        // Fixed pauses, the bounded failures (each with the 10 ms pause of the speed change
        // that follows it), and the wire time of every exchange that was answered.
        const size_t answered = run.traffic.answered;
        const double answeredWire = run.traffic.answeredWireSeconds * 1000.0;
        const double budgetMs = kProbePausesMs +
                                c.failedRequests * (kFailedVersionRequestMs + kSpeedChangePauseMs) +
                                answeredWire;
        const double ratio = run.seconds * 1000.0 / budgetMs;
        std::string limit = Format("%.1f ms", budgetMs) + " budget (" + std::to_string(answered) +
                            " exchange" + (answered == 1 ? "" : "s");
        if (c.failedRequests) limit += ", " + std::to_string(c.failedRequests) + " time-outs";
        limit += ")";
        report.Note(std::string(c.what) + ": " + run.requests);
        report.Add({c.what, "-", c.failedRequests ? "19200" : "115200", Duration(run.seconds),
                    limit, AtMost(ratio), "≤ 1.10", Met(ratio <= 1.10)});
    }

    ComDir empty;
    const ScanRun walk = BestScan(nullptr, false, 0, repeats, report, "254-port walk");
    if (walk.ok) {
        report.Add({"FindDevice, 254 ports, no device", "-", "-", Duration(walk.seconds),
                    Format("%.0f ms target", kEmptyWalkTargetMs),
                    AtMost(walk.seconds * 1000.0 / kEmptyWalkTargetMs), "< 1.00",
                    Met(walk.seconds * 1000.0 < kEmptyWalkTargetMs)});
    }
    if (repeats > 1)
        report.Note("scan rows: best of " + std::to_string(repeats) +
                    " runs, each on a fresh device object (the scan starts at COM0).");
}

}  // namespace linkbench
