#include "groups.h"

#include <sched.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "link_env.h"
#include "link_transfer.h"
#include "raw_pty.h"
#include "sim.h"

namespace linkbench {

namespace {

// Keeps the calling thread (and the threads it starts) on the CPU it runs on, while alive.
class OneCpu {
  public:
    OneCpu() {
        saved_ = sched_getaffinity(0, sizeof previous_, &previous_) == 0;
        const int cpu = sched_getcpu();
        if (!saved_ || cpu < 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    ~OneCpu() {
        if (saved_) sched_setaffinity(0, sizeof previous_, &previous_);
    }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

  private:
    cpu_set_t previous_{};
    bool saved_ = false;
};

// What the simulated far end costs per request, without any I/O: the engine parsing and
// answering the same request again and again. Microseconds per request.
double EngineMicros(const std::vector<uint8_t>& request) {
    qxsim::Config config = TransferDevice({});
    config.readWriteBank = 8;  // the whole memory, as a bulk transfer selects it
    config.transcriptLimit = 0;
    qxsim::Engine engine(config);
    constexpr int kRounds = 500;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        engine.Feed(request.data(), request.size(), 115200);
        qxsim::Action action;
        engine.Next(action);
        engine.Transcript().clear();
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kRounds;
}

std::vector<uint8_t> Sealed(std::vector<uint8_t> request) {
    request.push_back(qx::PacketChecksum(request.data(), static_cast<int32_t>(request.size())));
    return request;
}

std::string EngineCostNote() {
    std::vector<uint8_t> bulkWrite{'Z', 'W', 16, 0, 0};
    bulkWrite.resize(bulkWrite.size() + 4096, 0x5A);
    std::vector<uint8_t> blockWrite{'W', 0, 0, 0};
    blockWrite.resize(blockWrite.size() + 256, 0x5A);
    return "simulator engine alone, per request (no I/O): ZR of 4 KiB " +
           Format("%.1f µs", EngineMicros(Sealed({'Z', 'R', 16, 0, 0}))) + ", ZW of 4 KiB " +
           Format("%.1f µs", EngineMicros(Sealed(bulkWrite))) + ", R of 256 B " +
           Format("%.1f µs", EngineMicros(Sealed({'R', 0, 0, 0}))) + ", W of 256 B " +
           Format("%.1f µs", EngineMicros(Sealed(blockWrite))) +
           "; this is part of the library's host time above, not of the raw baseline.";
}

}  // namespace

void HostGroup(const Options& options, Report& report) {
    std::fprintf(stderr, "host: unthrottled transfers vs. a raw pty moving the same rounds\n");
    const std::vector<uint32_t> sizes = options.shortMode
                                            ? std::vector<uint32_t>{64 * KiB}
                                            : std::vector<uint32_t>{64 * KiB, 512 * KiB};
    const int repeats = options.shortMode ? 11 : 31;
    // Host and far end share one CPU for this group, threads created here included: on a
    // small shared machine a round trip between two CPUs costs whatever the other CPU is busy
    // with, which swamps the difference being measured.
    const OneCpu pinned;
    std::mt19937 rng(13);
    ComDir dir;
    std::vector<uint8_t> image = RandomBytes(512 * KiB, rng);
    LinkedDevice link;
    if (!dir.ok() || !link.Start(TransferDevice(image), 6)) {
        report.Fail("host set-up: " + link.error);
        return;
    }
    for (uint32_t size : sizes) {
        for (Op op : kOps) {
            std::vector<double> library, raw, libraryCpu, rawCpu, simCpu, peerCpu;
            bool ok = true;
            // Many short samples, the two kinds alternating, so that both meet the same mix of
            // the machine's load; the medians are compared.
            for (int i = 0; i < repeats && ok; ++i) {
                const Measured m = RunTransfer(link, op, size, image, rng, report);
                if (!m.ok) {
                    ok = false;
                    break;
                }
                std::string error;
                const qxbench::RawTiming base = qxbench::RawExchange(m.traffic.rounds, &error);
                if (!base.ok) {
                    report.Fail(std::string("raw baseline for ") + OpName(op) + ": " + error);
                    ok = false;
                    break;
                }
                library.push_back(m.seconds);
                libraryCpu.push_back(m.cpuSeconds);
                raw.push_back(base.seconds);
                rawCpu.push_back(base.cpuSeconds);
                simCpu.push_back(m.farCpuSeconds);
                peerCpu.push_back(base.peerCpuSeconds);
            }
            if (!ok) continue;
            const double ratio = Median(library) / Median(raw);
            const bool bulk = IsBulk(op);
            report.Add({std::string(OpName(op)) + ", host time", SizeText(size), "pty",
                        Duration(Median(library)), Duration(Median(raw)) + " raw pty",
                        AtMost(ratio), bulk ? "≤ 1.30" : "(report)",
                        bulk ? Met(ratio <= 1.30) : "-"});
            report.Add({std::string(OpName(op)) + ", host CPU", SizeText(size), "pty",
                        Duration(Median(libraryCpu)), Duration(Median(rawCpu)) + " raw pty",
                        Format("%.2f", Median(libraryCpu) / Median(rawCpu)), "(report)", "-"});
            if (link.simThread != 0)
                report.Add({std::string(OpName(op)) + ", far end CPU", SizeText(size), "pty",
                            Duration(Median(simCpu)) + " simulator",
                            Duration(Median(peerCpu)) + " raw peer",
                            Format("%.2f", Median(simCpu) / Median(peerCpu)), "(report)", "-"});
        }
    }
    report.Note("host rows: the median of " + std::to_string(repeats) +
                " transfers, library and raw baseline alternating, every thread of both on one "
                "CPU. Time: wall clock of the call. Host CPU: CPU time of the calling thread "
                "alone. Far end CPU: of the simulator's thread (its engine parses and checks "
                "every request) and of the raw peer's thread (it moves the same request/reply "
                "sizes with no protocol).");
    report.Note(EngineCostNote());
}

}  // namespace linkbench
